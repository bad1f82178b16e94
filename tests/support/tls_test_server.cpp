// A loopback TCP server for tests, scripted per connection, plain or TLS.
#include "support/tls_test_server.h"

#include "support/test_tls_context.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <pthread.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

bool WaitFd(int fd, short events, int timeoutMs) {
    pollfd p{};
    p.fd = fd;
    p.events = events;
    for (;;) {
        const int rc = ::poll(&p, 1, timeoutMs);
        if (rc < 0 && errno == EINTR) continue;
        return rc > 0;
    }
}

void BlockSigPipeInThisThread() {
    // Writes to a client that has gone must not end the test process; the client side is what is tested.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
}

} // namespace

TestConnection::TestConnection(int fd) : fd_(fd) {}

TestConnection::~TestConnection() {
    Close();
}

void TestConnection::Close() {
    if (ssl_) {
        SSL_free(ssl_);
        ssl_ = nullptr;
    }
    if (fd_ != -1) ::close(fd_);
    fd_ = -1;
}

bool TestConnection::Send(std::string_view data) {
    if (fd_ == -1) return false;
    while (!data.empty()) {
        int n;
        if (ssl_) {
            n = SSL_write(ssl_, data.data(), static_cast<int>(data.size()));
        } else {
            n = static_cast<int>(::send(fd_, data.data(), data.size(), MSG_NOSIGNAL));
            if (n < 0 && errno == EINTR) continue;
        }
        if (n <= 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

int TestConnection::Read(char* data, int size, int timeoutMs) {
    if (fd_ == -1) return -1;
    if (ssl_ && SSL_pending(ssl_) > 0) return SSL_read(ssl_, data, size);
    if (!WaitFd(fd_, POLLIN, timeoutMs)) return -1;
    if (ssl_) {
        const int n = SSL_read(ssl_, data, size);
        if (n > 0) return n;
        const int error = SSL_get_error(ssl_, n);
        ERR_clear_error();
        return error == SSL_ERROR_ZERO_RETURN || error == SSL_ERROR_SYSCALL || error == SSL_ERROR_SSL ? 0
                                                                                                      : -1;
    }
    ssize_t n;
    do {
        n = ::recv(fd_, data, static_cast<size_t>(size), 0);
    } while (n < 0 && errno == EINTR);
    return static_cast<int>(n);
}

bool TestConnection::ReadLine(std::string& line, int timeoutMs) {
    for (;;) {
        const size_t lf = buffer_.find('\n');
        if (lf != std::string::npos) {
            line = buffer_.substr(0, lf);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            buffer_.erase(0, lf + 1);
            return true;
        }
        char data[4096];
        const int n = Read(data, sizeof data, timeoutMs);
        if (n <= 0) return false;
        buffer_.append(data, static_cast<size_t>(n));
    }
}

std::string TestConnection::ReadSome(int timeoutMs) {
    if (!buffer_.empty()) return std::exchange(buffer_, {});
    char data[4096];
    const int n = Read(data, sizeof data, timeoutMs);
    return n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string();
}

bool TestConnection::WaitPeerClose(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    buffer_.clear();
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                .count();
        if (left <= 0) return false;
        char data[4096];
        const int n = Read(data, sizeof data, static_cast<int>(left));
        if (n == 0) return true;
        if (fd_ == -1) return false;
    }
}

bool TestConnection::StartTls(int timeoutMs) {
    if (fd_ == -1) return false;
    timeval tv{};
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = (timeoutMs % 1000) * 1000;
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    ssl_ = SSL_new(TestServerTlsContext());
    if (!ssl_ || SSL_set_fd(ssl_, fd_) != 1 || SSL_accept(ssl_) != 1) {
        ERR_clear_error();
        if (ssl_) SSL_free(ssl_);
        ssl_ = nullptr;
        return false;
    }
    return true;
}

std::string TestConnection::ServerName() const {
    const char* name = ssl_ ? SSL_get_servername(ssl_, TLSEXT_NAMETYPE_host_name) : nullptr;
    return name ? name : "";
}

std::string TestConnection::Version() const {
    return ssl_ ? SSL_get_version(ssl_) : "";
}

void TestConnection::ShutdownTls() {
    if (ssl_) SSL_shutdown(ssl_);
    ERR_clear_error();
}

TlsTestServer::TlsTestServer(Script script, Mode mode) : script_(std::move(script)), mode_(mode) {
    if (mode_ == ImplicitTls) TestServerTlsContext();
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ == -1) throw std::runtime_error("test server: socket failed");
    const int one = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 16) != 0 ||
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        ::close(listenFd_);
        throw std::runtime_error("test server: bind/listen failed");
    }
    port_ = ntohs(addr.sin_port);
    acceptThread_ = std::thread([this] { AcceptLoop(); });
}

TlsTestServer::~TlsTestServer() {
    stop_ = true;
    acceptThread_.join();
    ::close(listenFd_);
    std::lock_guard<std::mutex> guard(lock_);
    for (std::thread& worker : workers_)
        worker.join();
}

void TlsTestServer::AcceptLoop() {
    BlockSigPipeInThisThread();
    while (!stop_) {
        if (!WaitFd(listenFd_, POLLIN, 20)) continue;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd == -1) continue;
        ++accepted_;
        std::lock_guard<std::mutex> guard(lock_);
        workers_.emplace_back([this, fd] {
            BlockSigPipeInThisThread();
            TestConnection connection(fd);
            if (mode_ == ImplicitTls && !connection.StartTls()) return;
            script_(connection);
        });
    }
}

uint16_t UnusedLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    ::close(fd);
    return ntohs(addr.sin_port);
}
