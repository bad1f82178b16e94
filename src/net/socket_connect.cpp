// Name resolution, the socket handle, bind and connect.
#include "net/blocksock.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>

namespace maildig {

namespace {

bool IsNumericAddress(const std::string& host, int family) {
    unsigned char buffer[sizeof(in6_addr)];
    return inet_pton(family, host.c_str(), buffer) == 1;
}

} // namespace

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

} // namespace maildig
