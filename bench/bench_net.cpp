// Line throughput of the blocking socket over loopback: 10 MB of lines received with ReceiveLine, in plain
// text and through TLS. The sending side runs in a thread, its TLS on the tests' server context (the same
// OpenSSL 3 library the program loads at run time).
#include <algorithm>
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <csignal>
#include <cstdint>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "net/blocksock.h"
#include "net/ssl_openssl.h"
#include "support/test_tls_context.h"
using namespace maildig;

namespace {

constexpr size_t kTotalBytes = 10 * 1024 * 1024;

// The server side of TLS, or null when the test context cannot be made.
SSL_CTX* ServerContext() {
    static SSL_CTX* ctx = [] {
        try {
            return TestServerTlsContext();
        } catch (const std::exception&) {
            return static_cast<SSL_CTX*>(nullptr);
        }
    }();
    return ctx;
}

std::string MakeLines(size_t& lineCount) {
    std::string text;
    text.reserve(kTotalBytes + 100);
    lineCount = 0;
    while (text.size() < kTotalBytes) {
        text +=
            "Received: from mail.example.org by mx.example.net; line " + std::to_string(lineCount) + "\r\n";
        ++lineCount;
    }
    return text;
}

// Listens on loopback, accepts one client, sends text (through TLS when tls is set) and closes.
class Sender {
  public:
    Sender(const std::string& text, bool tls) {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof addr;
        ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(listenFd_, 1);
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &length);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this, &text, tls] {
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
            const int fd = ::accept(listenFd_, nullptr, nullptr);
            if (fd < 0) return;
            if (tls) {
                SSL* ssl = SSL_new(ServerContext());
                SSL_set_fd(ssl, fd);
                if (SSL_accept(ssl) == 1) {
                    for (size_t pos = 0; pos < text.size(); pos += 65536) {
                        const int n = static_cast<int>(std::min<size_t>(65536, text.size() - pos));
                        if (SSL_write(ssl, text.data() + pos, n) <= 0) break;
                    }
                    SSL_shutdown(ssl);
                }
                SSL_free(ssl);
            } else {
                for (size_t pos = 0; pos < text.size();) {
                    const ssize_t n = ::send(fd, text.data() + pos, text.size() - pos, MSG_NOSIGNAL);
                    if (n <= 0) break;
                    pos += static_cast<size_t>(n);
                }
            }
            ::close(fd);
        });
    }
    ~Sender() {
        thread_.join();
        ::close(listenFd_);
    }
    std::string port() const { return std::to_string(port_); }

  private:
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

void ReceiveLines(benchmark::State& state, bool tls) {
    if (tls && (!LoadTlsLibrary() || !ServerContext())) {
        state.SkipWithError("OpenSSL 3 cannot be loaded");
        return;
    }
    size_t lineCount = 0;
    const std::string text = MakeLines(lineCount);
    size_t lines = 0;
    for (auto _ : state) {
        Sender sender(text, tls);
        TTCPBlockSocket sock;
        sock.ConvertLineEnd = true;
        sock.ConnectTo("127.0.0.1", sender.port());
        if (tls) sock.NegotiateTls();
        size_t got = 0;
        while (sock.LastErrorCode == 0) {
            const std::string line = sock.ReceiveLine(5000);
            if (sock.LastErrorCode == 0) ++got;
        }
        if (got != lineCount) state.SkipWithError(("lines lost: " + sock.LastErrorText).c_str());
        lines += got;
        sock.CloseConnection();
    }
    state.counters["lines/s"] = benchmark::Counter(static_cast<double>(lines), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_ReceiveLinesPlain(benchmark::State& state) {
    ReceiveLines(state, false);
}
void BM_ReceiveLinesTls(benchmark::State& state) {
    ReceiveLines(state, true);
}

} // namespace

BENCHMARK(BM_ReceiveLinesPlain)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_ReceiveLinesTls)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
