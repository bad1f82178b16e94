// The blocking TCP socket and the TLS plug-in base.
#include "net/blocksock.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int32_t kMaxChunk = 65536;
// How much DrainInput and the plain-text discard before a handshake read at most.
constexpr size_t kMaxDrainBytes = 1024 * 1024;

using Clock = std::chrono::steady_clock;

int64_t ElapsedMs(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

bool IsNumericAddress(const std::string& host, int family) {
    unsigned char buffer[sizeof(in6_addr)];
    return inet_pton(family, host.c_str(), buffer) == 1;
}

} // namespace

// --- TReadAhead ---

void TReadAhead::Append(std::string_view data) {
    if (data.empty()) return;
    if (pos_ > 0) {
        buf_.erase(0, pos_);
        pos_ = 0;
    }
    buf_.append(data);
}

void TReadAhead::Consume(size_t n) {
    pos_ += std::min(n, size());
    if (pos_ == buf_.size()) clear();
}

std::string TReadAhead::Take() {
    std::string result;
    if (pos_ == 0)
        result.swap(buf_);
    else
        result.assign(buf_, pos_, std::string::npos);
    clear();
    return result;
}

void TReadAhead::TakeFront(std::string& front, size_t n, size_t skip) {
    n = std::min(n, size());
    skip = std::min(skip, size() - n);
    const size_t rest = size() - n - skip;
    if (pos_ == 0 && n > rest && n >= kStealAtLeast) {
        std::string remainder(buf_, n + skip, rest);
        front = std::move(buf_);
        front.resize(n);
        // The buffer grew by doubling; a line that keeps up to twice its size alive would be held twice after
        // all.
        if (front.capacity() - n > n / 8) front.shrink_to_fit();
        buf_.swap(remainder);
    } else {
        front.assign(buf_, pos_, n);
        Consume(n + skip);
    }
}

// --- TCustomSSL / TSSLNone ---

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

// --- TTCPBlockSocket ---

TTCPBlockSocket::TTCPBlockSocket() {
    TSSLClassFactory factory = ImplementationClass ? ImplementationClass : &MakeSSLNone;
    tls_ = factory(*this);
    if (!tls_) tls_ = MakeSSLNone(*this);
}

TTCPBlockSocket::~TTCPBlockSocket() {
    CloseConnection();
}

void TTCPBlockSocket::SetTls(std::unique_ptr<TCustomSSL> plugin) {
    tls_->ReleaseSession();
    tls_ = plugin ? std::move(plugin) : MakeSSLNone(*this);
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

bool TTCPBlockSocket::Resolve(std::string_view host, std::string_view port, void* address, uint32_t& length) {
    const std::string hostText(host);
    const std::string portText(port);
    // A socket that exists keeps its family; otherwise a numeric literal decides, and a name is tried as
    // IPv4 first, then as IPv6.
    int family = AF_UNSPEC;
    if (handle_ != -1)
        family = isIPv6_ ? AF_INET6 : AF_INET;
    else if (IsNumericAddress(hostText, AF_INET))
        family = AF_INET;
    else if (IsNumericAddress(hostText, AF_INET6))
        family = AF_INET6;

    int order[2] = {family, AF_UNSPEC};
    int attempts = 1;
    if (family == AF_UNSPEC) {
        order[0] = AF_INET;
        order[1] = AF_INET6;
        attempts = 2;
    }
    int firstError = 0;
    int firstErrno = 0;
    for (int i = 0; i < attempts; ++i) {
        addrinfo hints{};
        hints.ai_family = order[i];
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        addrinfo* result = nullptr;
        errno = 0;
        const int rc = getaddrinfo(hostText.c_str(), portText.c_str(), &hints, &result);
        if (rc == 0 && result != nullptr && result->ai_addrlen <= sizeof(sockaddr_storage)) {
            std::memcpy(address, result->ai_addr, result->ai_addrlen);
            length = static_cast<uint32_t>(result->ai_addrlen);
            freeaddrinfo(result);
            return true;
        }
        if (result != nullptr) freeaddrinfo(result);
        if (i == 0) {
            firstError = rc != 0 ? rc : EAI_FAIL;
            firstErrno = errno;
        }
    }
    LastErrorCode = SocketErrorFromResolver(firstError, firstErrno);
    return false;
}

bool TTCPBlockSocket::CreateHandle(int family) {
    StopFlag = false;
    ReadAhead.clear();
    IsBound = false;
    isIPv6_ = family == AF_INET6;
    rcvTimeoutSet_ = -2;
    handle_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (handle_ == -1) {
        SetErrno(errno);
        return false;
    }
    // A send that the peer does not take within NonblockSendTimeout returns instead of blocking forever.
    if (NonblockSendTimeout > 0) {
        timeval tv{};
        tv.tv_sec = NonblockSendTimeout / 1000;
        tv.tv_usec = (NonblockSendTimeout % 1000) * 1000;
        setsockopt(handle_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }
    return true;
}

void TTCPBlockSocket::BindLocal(std::string_view address, std::string_view port) {
    ClearLastError();
    if (handle_ == -1 && address == "0.0.0.0" && port == "0") return;
    sockaddr_storage addr{};
    uint32_t length = 0;
    if (Resolve(address, port, &addr, length)) {
        if (handle_ != -1 || CreateHandle(addr.ss_family)) {
            if (::bind(handle_, reinterpret_cast<sockaddr*>(&addr), length) != 0) SetErrno(errno);
            ReadAhead.clear();
            IsBound = LastErrorCode == 0;
        }
    }
    ReportError();
}

void TTCPBlockSocket::ConnectTo(std::string_view host, std::string_view port) {
    ClearLastError();
    sockaddr_storage addr{};
    uint32_t length = 0;
    if (Resolve(host, port, &addr, length)) {
        if (handle_ != -1 || CreateHandle(addr.ss_family)) {
            if (::connect(handle_, reinterpret_cast<sockaddr*>(&addr), length) != 0) {
                int err = errno;
                if (err == EINTR) {
                    // The connect goes on in the background: wait for it and take its outcome.
                    if (PollHandle(POLLOUT, -1) > 0) {
                        socklen_t len = sizeof err;
                        if (getsockopt(handle_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
                    }
                }
                if (err != 0) SetErrno(err);
            }
            if (LastErrorCode == 0) {
                // Commands are short lines: send each at once rather than wait for the last one's ACK.
                const int on = 1;
                ::setsockopt(handle_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            }
            ReadAhead.clear();
            SawLoneCr = false;
            SawLoneLf = false;
            plainTrafficSeen_ = false;
        }
    }
    ReportError();
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

void TTCPBlockSocket::ApplyLineEndFlags(std::string& chunk) {
    if (!ConvertLineEnd || chunk.empty()) return;
    if (SawLoneCr && chunk.front() == '\n') chunk.erase(0, 1);
    if (!chunk.empty() && SawLoneLf && chunk.front() == '\r') chunk.erase(0, 1);
    SawLoneCr = false;
    SawLoneLf = false;
}

std::string TTCPBlockSocket::ReceiveChunk(int32_t timeout) {
    ClearLastError();
    std::string result = ReadAhead.empty() ? ReadNetworkChunk(timeout) : ReadAhead.Take();
    ApplyLineEndFlags(result);
    ReportError();
    return result;
}

namespace {

// Position of the first CR or LF at or after from. memchr in windows of a few KB: a scan for both bytes at
// once would go byte by byte, and a scan for LF over the whole buffer would be repeated for every line of a
// text that uses lone CRs.
size_t FindLineEnd(std::string_view data, size_t from) {
    constexpr size_t kWindow = 4096;
    const char* base = data.data();
    while (from < data.size()) {
        const size_t end = std::min(data.size(), from + kWindow);
        const void* lf = std::memchr(base + from, '\n', end - from);
        const size_t stop = lf ? static_cast<size_t>(static_cast<const char*>(lf) - base) : end;
        if (const void* cr = std::memchr(base + from, '\r', stop - from))
            return static_cast<size_t>(static_cast<const char*>(cr) - base);
        if (lf) return stop;
        from = end;
    }
    return std::string_view::npos;
}

} // namespace

std::string TTCPBlockSocket::ReceiveUntil(int32_t timeout, std::string_view terminator) {
    std::string text;
    ReceiveUntilInto(text, timeout, terminator);
    return text;
}

bool TTCPBlockSocket::ReceiveUntilInto(std::string& out, int32_t timeout, std::string_view terminator) {
    ClearLastError();
    out.clear();
    if (terminator.empty()) {
        ReportError();
        return false;
    }
    const bool lineMode = ConvertLineEnd && terminator == "\r\n";
    const size_t limit = static_cast<size_t>(MaxLineLength > 0 ? std::min(MaxLineLength, kLineLengthCeiling)
                                                               : kLineLengthCeiling);

    // The line-end flags of the previous line apply to the first bytes this read takes.
    if (!ReadAhead.empty() && ConvertLineEnd && (SawLoneCr || SawLoneLf)) {
        const char first = ReadAhead.view().front();
        if (SawLoneCr && first == '\n')
            ReadAhead.Consume(1);
        else if (SawLoneLf && first == '\r')
            ReadAhead.Consume(1);
        SawLoneCr = false;
        SawLoneLf = false;
    }

    // The clock is read only when the time-out covers the whole read: a line read is often no more than a
    // scan of ReadAhead.
    const auto start = InterPacketTimeout ? Clock::time_point() : Clock::now();
    size_t scanned = 0; // bytes of ReadAhead already searched without finding a terminator
    for (;;) {
        const std::string_view data = ReadAhead.view();
        size_t pos = std::string_view::npos;
        size_t termLength = terminator.size();
        bool loneCr = false;
        bool loneLf = false;
        if (lineMode) {
            pos = FindLineEnd(data, scanned);
            if (pos != std::string_view::npos) {
                const char other = data[pos] == '\r' ? '\n' : '\r';
                if (pos + 1 < data.size() && data[pos + 1] == other) {
                    termLength = 2;
                } else {
                    termLength = 1;
                    loneCr = data[pos] == '\r';
                    loneLf = data[pos] == '\n';
                }
            }
        } else {
            pos = data.find(terminator, scanned);
        }

        if (pos != std::string_view::npos) {
            if (pos > limit) {
                LastErrorCode = WSAENOBUFS;
                break;
            }
            ReadAhead.TakeFront(out, pos, termLength);
            SawLoneCr = loneCr;
            SawLoneLf = loneLf;
            ReportError();
            return true;
        }
        // No terminator: a text that already exceeds the limit (with room for a terminator split across
        // reads) can never become an acceptable line.
        if (data.size() > limit + terminator.size()) {
            LastErrorCode = WSAENOBUFS;
            break;
        }
        scanned = lineMode ? data.size() : data.size() - std::min(data.size(), terminator.size() - 1);

        int32_t wait = timeout;
        if (!InterPacketTimeout && timeout >= 0) {
            const int64_t left = timeout - ElapsedMs(start);
            if (left <= 0) {
                LastErrorCode = WSAETIMEDOUT;
                break;
            }
            wait = static_cast<int32_t>(left);
        }
        std::string chunk = ReadNetworkChunk(wait);
        if (LastErrorCode != 0) break;
        ApplyLineEndFlags(chunk);
        ReadAhead.Append(chunk);
    }
    ReportError();
    return false;
}

std::string TTCPBlockSocket::ReceiveLine(int32_t timeout) {
    std::string line;
    ReceiveLineInto(line, timeout);
    return line;
}

bool TTCPBlockSocket::ReceiveLineInto(std::string& line, int32_t timeout) {
    return ReceiveUntilInto(line, timeout, "\r\n");
}

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
