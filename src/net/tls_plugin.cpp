// The plug-in that refuses TLS, the factory of new sockets' plug-ins, and the socket's side of TLS: changing
// the plug-in and starting a session on a connected socket.
#include "net/tls_plugin.h"

#include <cerrno>
#include <cstddef>
#include <memory>
#include <sys/socket.h>
#include <utility>

#include "net/blocksock.h"
#include "net/socket_internal.h"

namespace maildig {

void TCustomSSL::NotCompiled() {
    LastError = -1;
    LastErrorDesc = "SSL/TLS support is not compiled!";
    LastErrorTimedOut = false;
}

bool TCustomSSL::HandshakeAsClient() {
    NotCompiled();
    return false;
}

bool TCustomSSL::CloseTls() {
    NotCompiled();
    return false;
}

int32_t TCustomSSL::SendData(const void*, int32_t) {
    NotCompiled();
    return -1;
}

int32_t TCustomSSL::ReceiveData(void*, int32_t) {
    NotCompiled();
    return -1;
}

int32_t TCustomSSL::PendingBytes() {
    NotCompiled();
    return 0;
}

std::unique_ptr<TCustomSSL> MakeSSLNone(TTCPBlockSocket& socket) {
    return std::make_unique<TSSLNone>(socket);
}

TSSLClassFactory ImplementationClass = &MakeSSLNone;

void TTCPBlockSocket::SetTls(std::unique_ptr<TCustomSSL> plugin) {
    tls_->ReleaseSession();
    tls_ = plugin ? std::move(plugin) : MakeSSLNone(*this);
}

void TTCPBlockSocket::DiscardPlainInput() {
    ReadAhead.clear();
    SawLoneCr = false;
    SawLoneLf = false;
    if (handle_ == -1) return;
    char buffer[4096];
    size_t total = 0;
    while (total < kMaxDrainBytes) {
        const ssize_t n = ::recv(handle_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        total += static_cast<size_t>(n);
    }
}

void TTCPBlockSocket::NegotiateTls() {
    ClearLastError();
    // After a plain-text exchange (an upgrade such as STLS), bytes that came before the handshake are thrown
    // away: they cannot belong to the TLS session. On a connection that has not exchanged a byte yet (TLS
    // from the first byte) the peer must not speak first, so whatever it sent is left for the handshake to
    // reject.
    if (handle_ != -1 && !tls_->TlsEnabled() && plainTrafficSeen_) DiscardPlainInput();
    if (!tls_->HandshakeAsClient()) LastErrorCode = WSASYSNOTREADY;
    ReportError();
}

} // namespace maildig
