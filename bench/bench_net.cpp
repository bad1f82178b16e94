// Line throughput of the blocking socket over loopback: 10 MB of lines received with ReceiveLine, in plain
// text and through TLS. The sending side runs in a thread; its TLS comes from the same OpenSSL library the
// program loads (looked up by name here as well, since the benchmarks do not link OpenSSL).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <csignal>
#include <dlfcn.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <pthread.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "net/blocksock.h"
#include "net/ssl_openssl.h"

namespace {

constexpr size_t kTotalBytes = 10 * 1024 * 1024;

#define OPENSSL_FN(lib, name) name##_fn = reinterpret_cast<decltype(&::name)>(dlsym(lib, #name))

// The server side of TLS: a context with a self-signed certificate made on first use.
struct ServerTls {
    decltype(&::TLS_server_method) TLS_server_method_fn;
    decltype(&::SSL_CTX_new) SSL_CTX_new_fn;
    decltype(&::SSL_CTX_use_certificate) SSL_CTX_use_certificate_fn;
    decltype(&::SSL_CTX_use_PrivateKey) SSL_CTX_use_PrivateKey_fn;
    decltype(&::SSL_new) SSL_new_fn;
    decltype(&::SSL_set_fd) SSL_set_fd_fn;
    decltype(&::SSL_accept) SSL_accept_fn;
    decltype(&::SSL_write) SSL_write_fn;
    decltype(&::SSL_shutdown) SSL_shutdown_fn;
    decltype(&::SSL_free) SSL_free_fn;
    decltype(&::EVP_PKEY_Q_keygen) EVP_PKEY_Q_keygen_fn;
    decltype(&::X509_new) X509_new_fn;
    decltype(&::X509_set_version) X509_set_version_fn;
    decltype(&::X509_gmtime_adj) X509_gmtime_adj_fn;
    decltype(&::X509_getm_notBefore) X509_getm_notBefore_fn;
    decltype(&::X509_getm_notAfter) X509_getm_notAfter_fn;
    decltype(&::X509_set_pubkey) X509_set_pubkey_fn;
    decltype(&::X509_sign) X509_sign_fn;
    decltype(&::EVP_sha256) EVP_sha256_fn;
    SSL_CTX* ctx = nullptr;

    bool Init() {
        void* ssl = dlopen("libssl.so.3", RTLD_NOW);
        void* crypto = dlopen("libcrypto.so.3", RTLD_NOW);
        if (!ssl || !crypto) return false;
        OPENSSL_FN(ssl, TLS_server_method);
        OPENSSL_FN(ssl, SSL_CTX_new);
        OPENSSL_FN(ssl, SSL_CTX_use_certificate);
        OPENSSL_FN(ssl, SSL_CTX_use_PrivateKey);
        OPENSSL_FN(ssl, SSL_new);
        OPENSSL_FN(ssl, SSL_set_fd);
        OPENSSL_FN(ssl, SSL_accept);
        OPENSSL_FN(ssl, SSL_write);
        OPENSSL_FN(ssl, SSL_shutdown);
        OPENSSL_FN(ssl, SSL_free);
        OPENSSL_FN(crypto, EVP_PKEY_Q_keygen);
        OPENSSL_FN(crypto, X509_new);
        OPENSSL_FN(crypto, X509_set_version);
        OPENSSL_FN(crypto, X509_gmtime_adj);
        OPENSSL_FN(crypto, X509_getm_notBefore);
        OPENSSL_FN(crypto, X509_getm_notAfter);
        OPENSSL_FN(crypto, X509_set_pubkey);
        OPENSSL_FN(crypto, X509_sign);
        OPENSSL_FN(crypto, EVP_sha256);
        if (!TLS_server_method_fn || !SSL_CTX_new_fn || !SSL_CTX_use_certificate_fn ||
            !SSL_CTX_use_PrivateKey_fn || !SSL_new_fn || !SSL_set_fd_fn || !SSL_accept_fn || !SSL_write_fn ||
            !SSL_shutdown_fn || !SSL_free_fn || !EVP_PKEY_Q_keygen_fn || !X509_new_fn ||
            !X509_set_version_fn || !X509_gmtime_adj_fn || !X509_getm_notBefore_fn ||
            !X509_getm_notAfter_fn || !X509_set_pubkey_fn || !X509_sign_fn || !EVP_sha256_fn)
            return false;
        EVP_PKEY* key = EVP_PKEY_Q_keygen_fn(nullptr, nullptr, "EC", "P-256");
        X509* cert = X509_new_fn();
        if (!key || !cert) return false;
        X509_set_version_fn(cert, 2);
        X509_gmtime_adj_fn(X509_getm_notBefore_fn(cert), -3600);
        X509_gmtime_adj_fn(X509_getm_notAfter_fn(cert), 3600);
        X509_set_pubkey_fn(cert, key);
        if (X509_sign_fn(cert, key, EVP_sha256_fn()) <= 0) return false;
        ctx = SSL_CTX_new_fn(TLS_server_method_fn());
        return ctx && SSL_CTX_use_certificate_fn(ctx, cert) == 1 && SSL_CTX_use_PrivateKey_fn(ctx, key) == 1;
    }
};

ServerTls* ServerSide() {
    static ServerTls* server = [] {
        auto* s = new ServerTls{};
        return s->Init() ? s : nullptr;
    }();
    return server;
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
                ServerTls* s = ServerSide();
                SSL* ssl = s->SSL_new_fn(s->ctx);
                s->SSL_set_fd_fn(ssl, fd);
                if (s->SSL_accept_fn(ssl) == 1) {
                    for (size_t pos = 0; pos < text.size(); pos += 65536) {
                        const int n = static_cast<int>(std::min<size_t>(65536, text.size() - pos));
                        if (s->SSL_write_fn(ssl, text.data() + pos, n) <= 0) break;
                    }
                    s->SSL_shutdown_fn(ssl);
                }
                s->SSL_free_fn(ssl);
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
    if (tls && (!LoadTlsLibrary() || !ServerSide())) {
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
