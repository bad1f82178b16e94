// The blocking TCP socket: construction and errors, send, waits, one read from the network with the bound
// of a trickling transfer, and the close.
#include "net/blocksock.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>
#include <utility>

#include "net/socket_internal.h"

namespace maildig {

TTCPBlockSocket::TTCPBlockSocket() {
    TSSLClassFactory factory = ImplementationClass ? ImplementationClass : &MakeSSLNone;
    tls_ = factory(*this);
    if (!tls_) tls_ = MakeSSLNone(*this);
}

TTCPBlockSocket::~TTCPBlockSocket() {
    CloseConnection();
}

void TTCPBlockSocket::ClearLastError() {
    LastErrorCode = 0;
    LastErrorText.clear();
}

std::string TTCPBlockSocket::DescribeLastError() const {
    if (LastErrorCode == WSASYSNOTREADY && tls_->LastError != 0 && !tls_->LastErrorDesc.empty())
        return tls_->LastErrorDesc;
    return ErrorText(LastErrorCode);
}

void TTCPBlockSocket::ReportError() {
    LastErrorText = DescribeLastError();
}

void TTCPBlockSocket::SetErrno(int err) {
    LastErrorCode = SocketErrorFromErrno(err);
}

int32_t TTCPBlockSocket::SendBytes(const void* buffer, int32_t length) {
    ClearLastError();
    int32_t sent = 0;
    if (StopFlag) {
        StopFlag = false;
        LastErrorCode = WSAECONNABORTED;
    } else if (length < 0 || (buffer == nullptr && length > 0)) {
        LastErrorCode = WSAEINVAL;
    } else if (handle_ == -1) {
        LastErrorCode = WSAENOTCONN;
    } else {
        const char* data = static_cast<const char*>(buffer);
        while (sent < length) {
            const int32_t chunk = std::min(length - sent, kMaxChunk);
            if (tls_->TlsEnabled()) {
                const int32_t n = tls_->SendData(data + sent, chunk);
                if (n <= 0) {
                    LastErrorCode = tls_->LastErrorTimedOut ? WSAETIMEDOUT : WSASYSNOTREADY;
                    break;
                }
                sent += n;
                continue;
            }
            const ssize_t n = ::send(handle_, data + sent, static_cast<size_t>(chunk), MSG_NOSIGNAL);
            plainTrafficSeen_ = true;
            if (n >= 0) {
                sent += static_cast<int32_t>(n);
                continue;
            }
            const int err = errno;
            if (err == EINTR) continue;
            if (err == EAGAIN || err == EWOULDBLOCK) {
                if (PollHandle(POLLOUT, NonblockSendTimeout) > 0) continue;
                if (LastErrorCode == 0) LastErrorCode = WSAETIMEDOUT;
                break;
            }
            SetErrno(err);
            break;
        }
    }
    ReportError();
    return sent;
}

void TTCPBlockSocket::SendText(std::string_view data) {
    // Larger texts go out in pieces that fit the 32-bit count.
    constexpr size_t kPiece = 1u << 30;
    if (data.empty()) {
        SendBytes(nullptr, 0);
        return;
    }
    while (!data.empty()) {
        const size_t piece = std::min(data.size(), kPiece);
        const int32_t n = SendBytes(data.data(), static_cast<int32_t>(piece));
        if (LastErrorCode != 0 || n <= 0) return;
        data.remove_prefix(static_cast<size_t>(n));
    }
}

int TTCPBlockSocket::PollHandle(short events, int32_t timeout) {
    if (handle_ == -1) {
        LastErrorCode = WSAENOTCONN;
        return -1;
    }
    const auto start = Clock::now();
    for (;;) {
        int wait = -1;
        if (timeout >= 0) wait = static_cast<int>(std::max<int64_t>(0, timeout - ElapsedMs(start)));
        pollfd p{};
        p.fd = handle_;
        p.events = events;
        const int rc = ::poll(&p, 1, wait);
        if (rc > 0) return 1;
        if (rc == 0) return 0;
        if (errno == EINTR) continue;
        SetErrno(errno);
        return -1;
    }
}

bool TTCPBlockSocket::WaitReadable(int32_t timeout) {
    ClearLastError();
    const bool ready = PollHandle(POLLIN, timeout) > 0;
    ReportError();
    return ready;
}

int32_t TTCPBlockSocket::PendingByteCount() {
    if (handle_ == -1) return 0;
    if (tls_->TlsEnabled()) {
        const int32_t pending = tls_->PendingBytes();
        if (pending > 0) return std::min(pending, kMaxChunk);
        // After the peer's close alert nothing readable on the wire is session data.
        if (tls_->PeerClosedTls()) return 0;
    }
    int count = 0;
    if (::ioctl(handle_, FIONREAD, &count) != 0) return 0;
    return std::clamp(count, 0, kMaxChunk);
}

void TTCPBlockSocket::SetReceiveTimeout(int32_t timeout) {
    // Only TLS reads can block in the read itself (a record that arrives in part); this bounds them.
    const int ms = timeout < 0 ? 0 : std::max(timeout, 1);
    if (ms == rcvTimeoutSet_ || handle_ == -1) return;
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    if (setsockopt(handle_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0) rcvTimeoutSet_ = ms;
}

int32_t TTCPBlockSocket::ReadOnce(void* buffer, int32_t length) {
    if (handle_ == -1) {
        LastErrorCode = WSAENOTCONN;
        return -1;
    }
    if (tls_->TlsEnabled()) {
        const int32_t n = tls_->ReceiveData(buffer, length);
        if (n < 0 || (n == 0 && tls_->LastError != 0)) {
            LastErrorCode = tls_->LastErrorTimedOut ? WSAETIMEDOUT : WSASYSNOTREADY;
            return -1;
        }
        return n;
    }
    ssize_t n;
    plainTrafficSeen_ = true;
    do {
        n = ::recv(handle_, buffer, static_cast<size_t>(length), 0);
    } while (n < 0 && errno == EINTR);
    if (n == 0 && length > 0) {
        LastErrorCode = WSAECONNRESET;
        return 0;
    }
    if (n < 0) {
        SetErrno(errno);
        return -1;
    }
    return static_cast<int32_t>(n);
}

std::string TTCPBlockSocket::ReadNetworkChunk(int32_t timeout) {
    if (StopFlag) {
        StopFlag = false;
        LastErrorCode = WSAECONNABORTED;
        return {};
    }
    if (handle_ == -1) {
        LastErrorCode = WSAENOTCONN;
        return {};
    }
    sched_yield();
    int32_t pending = PendingByteCount();
    if (pending <= 0) {
        const int ready = PollHandle(POLLIN, timeout);
        if (ready <= 0) {
            if (ready == 0) LastErrorCode = WSAETIMEDOUT;
            return {};
        }
        pending = PendingByteCount();
        if (pending <= 0) {
            LastErrorCode = WSAECONNRESET;
            return {};
        }
    }
    // A TLS read returns at most one record's data, whatever the raw byte count was.
    int32_t size = pending;
    if (tls_->TlsEnabled()) {
        size = kMaxChunk;
        SetReceiveTimeout(timeout);
    }
    std::string data(static_cast<size_t>(size), '\0');
    const int32_t n = ReadOnce(data.data(), size);
    if (n <= 0) return {};
    if (TransferTooSlow(static_cast<size_t>(n))) {
        LastErrorCode = WSAETIMEDOUT;
        return {};
    }
    data.resize(static_cast<size_t>(n));
    return data;
}

void TTCPBlockSocket::BeginTransfer() {
    transferBound_ = TrickleWindowMs > 0;
    windowStart_ = Clock::now();
    windowIndex_ = 0;
    windowBytes_ = 0;
}

bool TTCPBlockSocket::TransferTooSlow(size_t received) {
    if (!transferBound_) return false;
    const auto window = std::chrono::milliseconds(TrickleWindowMs);
    const auto now = Clock::now();
    // Close every window that has ended; bytes arriving now belong to the window they arrive in.
    while (now - windowStart_ >= window) {
        if (windowIndex_ > 0 && windowBytes_ < TrickleMinBytes) return true;
        windowStart_ += window;
        ++windowIndex_;
        windowBytes_ = 0;
    }
    windowBytes_ += static_cast<int64_t>(received);
    return false;
}

namespace {} // namespace

void TTCPBlockSocket::DrainInput() {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    size_t total = 0;
    while ((!ReadAhead.empty() || PendingByteCount() > 0) && total < kMaxDrainBytes) {
        total += ReceiveChunk(0).size();
        if (LastErrorCode != 0) break;
    }
    ReadAhead.clear();
    ClearLastError();
}

void TTCPBlockSocket::CloseConnection() {
    if (tls_->TlsEnabled()) tls_->CloseTls();
    if (handle_ != -1 && LastErrorCode == 0) {
        ::shutdown(handle_, SHUT_WR);
        DrainInput();
    }
    DropSocket();
}

void TTCPBlockSocket::DropSocket() {
    transferBound_ = false;
    tls_->ReleaseSession();
    if (handle_ != -1) ::close(handle_);
    handle_ = -1;
    IsBound = false;
    rcvTimeoutSet_ = -2;
}

} // namespace maildig
