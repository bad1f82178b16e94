// The TLS plug-in on OpenSSL and the run-time loader of libssl and libcrypto. Only the types and constants
// come from the OpenSSL headers; every function is looked up in the loaded libraries.
#include "net/ssl_openssl.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>

namespace maildig {

namespace {

// The entry points in use, each checked when the libraries are loaded.
struct OpenSslApi {
    // libssl
    decltype(&::TLS_client_method) TLS_client_method = nullptr;
    decltype(&::SSL_CTX_new) SSL_CTX_new = nullptr;
    decltype(&::SSL_CTX_free) SSL_CTX_free = nullptr;
    decltype(&::SSL_CTX_set_cipher_list) SSL_CTX_set_cipher_list = nullptr;
    decltype(&::SSL_CTX_set_verify) SSL_CTX_set_verify = nullptr;
    decltype(&::SSL_new) SSL_new = nullptr;
    decltype(&::SSL_free) SSL_free = nullptr;
    decltype(&::SSL_set_fd) SSL_set_fd = nullptr;
    decltype(&::SSL_ctrl) SSL_ctrl = nullptr;
    decltype(&::SSL_connect) SSL_connect = nullptr;
    decltype(&::SSL_read) SSL_read = nullptr;
    decltype(&::SSL_write) SSL_write = nullptr;
    decltype(&::SSL_get_error) SSL_get_error = nullptr;
    decltype(&::SSL_pending) SSL_pending = nullptr;
    decltype(&::SSL_shutdown) SSL_shutdown = nullptr;
    // libcrypto
    decltype(&::ERR_get_error) ERR_get_error = nullptr;
    decltype(&::ERR_clear_error) ERR_clear_error = nullptr;
    decltype(&::ERR_error_string_n) ERR_error_string_n = nullptr;
    // optional: the version text and the MD5 digest
    decltype(&::OpenSSL_version) OpenSSL_version = nullptr;
    decltype(&::EVP_md5) EVP_md5 = nullptr;
    decltype(&::EVP_Digest) EVP_Digest = nullptr;
    // optional: certificate verification (a handshake that asks for it fails without them)
    decltype(&::SSL_CTX_set_default_verify_paths) SSL_CTX_set_default_verify_paths = nullptr;
    decltype(&::SSL_CTX_load_verify_locations) SSL_CTX_load_verify_locations = nullptr;
    decltype(&::SSL_get0_param) SSL_get0_param = nullptr;
    decltype(&::SSL_get_verify_result) SSL_get_verify_result = nullptr;
    decltype(&::X509_VERIFY_PARAM_set1_host) X509_VERIFY_PARAM_set1_host = nullptr;
    decltype(&::X509_VERIFY_PARAM_set1_ip_asc) X509_VERIFY_PARAM_set1_ip_asc = nullptr;
    decltype(&::X509_VERIFY_PARAM_set_hostflags) X509_VERIFY_PARAM_set_hostflags = nullptr;
    decltype(&::X509_verify_cert_error_string) X509_verify_cert_error_string = nullptr;

    bool CanVerify() const {
        return SSL_CTX_set_default_verify_paths && SSL_CTX_load_verify_locations && SSL_get0_param &&
               SSL_get_verify_result && X509_VERIFY_PARAM_set1_host && X509_VERIFY_PARAM_set1_ip_asc &&
               X509_VERIFY_PARAM_set_hostflags && X509_verify_cert_error_string;
    }
};

std::mutex g_lock; // serialises loading, unloading and the reads of the table below
OpenSslApi g_api;
bool g_loaded = false;
void* g_sslLib = nullptr;
void* g_cryptoLib = nullptr;
std::string g_sslName;

template <typename F> bool Bind(void* lib, const char* name, F& target) {
    void* symbol = dlsym(lib, name);
    target = reinterpret_cast<F>(symbol);
    return symbol != nullptr;
}

void* OpenFirst(const std::vector<std::string>& names, std::string& opened) {
    for (const std::string& name : names) {
        if (void* lib = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL)) {
            opened = name;
            return lib;
        }
    }
    return nullptr;
}

void ReleaseLibraries() {
    g_api = OpenSslApi{};
    g_loaded = false;
    if (g_sslLib) dlclose(g_sslLib);
    if (g_cryptoLib) dlclose(g_cryptoLib);
    g_sslLib = nullptr;
    g_cryptoLib = nullptr;
    g_sslName.clear();
}

// A snapshot of the table for one plug-in call (the table changes only at load and unload).
OpenSslApi Api() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_api;
}

std::unique_ptr<TCustomSSL> MakeSSLOpenSSL(TTCPBlockSocket& socket) {
    return std::make_unique<TSSLOpenSSL>(socket);
}

// OpenSSL writes to the socket with write(), which raises SIGPIPE when the peer has gone. While a guard
// lives, SIGPIPE is blocked in this thread; a SIGPIPE raised meanwhile is taken off the pending set before
// the old mask comes back, so the write fails with EPIPE and the process lives on.
class SigPipeGuard {
  public:
    SigPipeGuard() {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, &old_);
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        pendingBefore_ = sigismember(&pending, SIGPIPE) == 1;
    }
    ~SigPipeGuard() {
        if (!pendingBefore_) {
            sigset_t pending;
            sigemptyset(&pending);
            sigpending(&pending);
            if (sigismember(&pending, SIGPIPE) == 1) {
                sigset_t pipe;
                sigemptyset(&pipe);
                sigaddset(&pipe, SIGPIPE);
                const timespec zero{};
                const int saved = errno;
                while (sigtimedwait(&pipe, nullptr, &zero) == -1 && errno == EINTR) {
                }
                errno = saved;
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigPipeGuard(const SigPipeGuard&) = delete;
    SigPipeGuard& operator=(const SigPipeGuard&) = delete;

  private:
    sigset_t old_;
    bool pendingBefore_ = false;
};

// How often a read or write is repeated after SSL_ERROR_WANT_READ/WANT_WRITE on the blocking socket.
constexpr int kMaxRetries = 100;

} // namespace

bool LoadTlsLibraryFrom(const std::vector<std::string>& sslNames,
                        const std::vector<std::string>& cryptoNames) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_loaded) return true;
    std::string sslName;
    std::string cryptoName;
    g_sslLib = OpenFirst(sslNames, sslName);
    g_cryptoLib = OpenFirst(cryptoNames, cryptoName);
    if (!g_sslLib || !g_cryptoLib) {
        ReleaseLibraries();
        return false;
    }
    OpenSslApi api;
    bool ok = true;
    ok &= Bind(g_sslLib, "TLS_client_method", api.TLS_client_method);
    ok &= Bind(g_sslLib, "SSL_CTX_new", api.SSL_CTX_new);
    ok &= Bind(g_sslLib, "SSL_CTX_free", api.SSL_CTX_free);
    ok &= Bind(g_sslLib, "SSL_CTX_set_cipher_list", api.SSL_CTX_set_cipher_list);
    ok &= Bind(g_sslLib, "SSL_CTX_set_verify", api.SSL_CTX_set_verify);
    ok &= Bind(g_sslLib, "SSL_new", api.SSL_new);
    ok &= Bind(g_sslLib, "SSL_free", api.SSL_free);
    ok &= Bind(g_sslLib, "SSL_set_fd", api.SSL_set_fd);
    ok &= Bind(g_sslLib, "SSL_ctrl", api.SSL_ctrl);
    ok &= Bind(g_sslLib, "SSL_connect", api.SSL_connect);
    ok &= Bind(g_sslLib, "SSL_read", api.SSL_read);
    ok &= Bind(g_sslLib, "SSL_write", api.SSL_write);
    ok &= Bind(g_sslLib, "SSL_get_error", api.SSL_get_error);
    ok &= Bind(g_sslLib, "SSL_pending", api.SSL_pending);
    ok &= Bind(g_sslLib, "SSL_shutdown", api.SSL_shutdown);
    ok &= Bind(g_cryptoLib, "ERR_get_error", api.ERR_get_error);
    ok &= Bind(g_cryptoLib, "ERR_clear_error", api.ERR_clear_error);
    ok &= Bind(g_cryptoLib, "ERR_error_string_n", api.ERR_error_string_n);
    if (!ok) {
        ReleaseLibraries();
        return false;
    }
    Bind(g_cryptoLib, "OpenSSL_version", api.OpenSSL_version);
    Bind(g_cryptoLib, "EVP_md5", api.EVP_md5);
    Bind(g_cryptoLib, "EVP_Digest", api.EVP_Digest);
    Bind(g_sslLib, "SSL_CTX_set_default_verify_paths", api.SSL_CTX_set_default_verify_paths);
    Bind(g_sslLib, "SSL_CTX_load_verify_locations", api.SSL_CTX_load_verify_locations);
    Bind(g_sslLib, "SSL_get0_param", api.SSL_get0_param);
    Bind(g_sslLib, "SSL_get_verify_result", api.SSL_get_verify_result);
    Bind(g_cryptoLib, "X509_VERIFY_PARAM_set1_host", api.X509_VERIFY_PARAM_set1_host);
    Bind(g_cryptoLib, "X509_VERIFY_PARAM_set1_ip_asc", api.X509_VERIFY_PARAM_set1_ip_asc);
    Bind(g_cryptoLib, "X509_VERIFY_PARAM_set_hostflags", api.X509_VERIFY_PARAM_set_hostflags);
    Bind(g_cryptoLib, "X509_verify_cert_error_string", api.X509_verify_cert_error_string);
    // OpenSSL 3 initialises itself and needs no locking callback.
    g_api = api;
    g_sslName = sslName;
    g_loaded = true;
    ImplementationClass = &MakeSSLOpenSSL;
    return true;
}

bool LoadTlsLibrary() {
    return LoadTlsLibraryFrom({"libssl.so.3", "libssl.so"}, {"libcrypto.so.3", "libcrypto.so"});
}

void UnloadTlsLibrary() {
    std::lock_guard<std::mutex> guard(g_lock);
    ImplementationClass = &MakeSSLNone;
    ReleaseLibraries();
}

bool IsTlsLibraryLoaded() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_loaded;
}

std::string TlsLibraryName() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_sslName;
}

bool StartNetwork() {
    return LoadTlsLibrary();
}

void StopNetwork() {
    UnloadTlsLibrary();
}

bool IsIpLiteral(const std::string& host) {
    unsigned char address[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
}

bool CheckCAFile(const std::string& path, std::string& why) {
    why.clear();
    int error = 0; // why the file cannot be read (a folder opens, but its read fails)
    if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
        char first;
        if (std::fread(&first, 1, 1, file) == 0 && std::ferror(file) != 0) error = errno != 0 ? errno : EIO;
        std::fclose(file);
    } else {
        error = errno != 0 ? errno : EIO;
    }
    if (error != 0) {
        why = "cannot read the CA file " + path + ": " + std::strerror(error);
        return false;
    }
    const OpenSslApi api = Api();
    if (!api.CanVerify()) {
        why = "the loaded OpenSSL cannot verify certificates";
        return false;
    }
    SSL_CTX* ctx = api.SSL_CTX_new(api.TLS_client_method());
    const bool loaded = ctx && api.SSL_CTX_load_verify_locations(ctx, path.c_str(), nullptr) == 1;
    api.ERR_clear_error();
    if (ctx) api.SSL_CTX_free(ctx);
    if (!loaded) why = "no certificate in the CA file " + path;
    return loaded;
}

bool OpenSslMd5(std::string_view data, std::string& digest) {
    const OpenSslApi api = Api();
    if (!api.EVP_md5 || !api.EVP_Digest) return false;
    const EVP_MD* md5 = api.EVP_md5();
    if (!md5) return false;
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (api.EVP_Digest(data.data(), data.size(), out, &length, md5, nullptr) != 1 || length != 16) {
        if (api.ERR_clear_error) api.ERR_clear_error();
        return false;
    }
    digest.assign(reinterpret_cast<const char*>(out), length);
    return true;
}

// --- TSSLOpenSSL ---

TSSLOpenSSL::TSSLOpenSSL(TTCPBlockSocket& socket) : TCustomSSL(socket) {
    Ciphers = "DEFAULT";
}

TSSLOpenSSL::~TSSLOpenSSL() {
    TSSLOpenSSL::ReleaseSession();
}

std::string TSSLOpenSSL::LibraryVersionText() {
    const OpenSslApi api = Api();
    if (!api.OpenSSL_version) return {};
    const char* text = api.OpenSSL_version(OPENSSL_VERSION);
    return text ? text : "";
}

void TSSLOpenSSL::ReleaseSession() {
    const OpenSslApi api = Api();
    if (ssl_ && api.SSL_free) api.SSL_free(static_cast<SSL*>(ssl_));
    if (ctx_ && api.SSL_CTX_free) api.SSL_CTX_free(static_cast<SSL_CTX*>(ctx_));
    ssl_ = nullptr;
    ctx_ = nullptr;
    tlsEnabled_ = false;
    peerClosed_ = false;
}

bool TSSLOpenSSL::RecordTlsError() {
    LastErrorDesc.clear();
    const OpenSslApi api = Api();
    if (!api.ERR_get_error) return true;
    const unsigned long code = api.ERR_get_error();
    api.ERR_clear_error();
    if (code == 0) return true;
    LastError = static_cast<int32_t>(code & 0x7fffffffUL);
    if (LastError == 0) LastError = -1;
    char text[256] = {};
    api.ERR_error_string_n(code, text, sizeof text);
    LastErrorDesc = text;
    return false;
}

bool TSSLOpenSSL::PrepareSession() {
    ReleaseSession();
    const OpenSslApi api = Api();
    if (!api.SSL_CTX_new) {
        NotCompiled();
        return false;
    }
    api.ERR_clear_error();
    SSL_CTX* ctx = api.SSL_CTX_new(api.TLS_client_method());
    if (!ctx) {
        RecordTlsError();
        return false;
    }
    ctx_ = ctx;
    api.SSL_CTX_set_cipher_list(ctx, Ciphers.empty() ? "DEFAULT" : Ciphers.c_str());
    if (VerifyCert && !TrustForVerification()) {
        ReleaseSession();
        return false;
    }
    if (!VerifyCert) api.SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    SSL* ssl = api.SSL_new(ctx);
    if (!ssl) {
        RecordTlsError();
        ReleaseSession();
        return false;
    }
    ssl_ = ssl;
    if (VerifyCert && !VerifyHost.empty() && !ExpectName()) {
        ReleaseSession();
        return false;
    }
    api.ERR_clear_error();
    return true;
}

bool TSSLOpenSSL::TrustForVerification() {
    const OpenSslApi api = Api();
    if (!api.CanVerify()) {
        LastError = -1;
        LastErrorDesc = "the loaded OpenSSL cannot verify certificates";
        return false;
    }
    SSL_CTX* ctx = static_cast<SSL_CTX*>(ctx_);
    api.SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    const bool trusted = CertCAFile.empty()
                             ? api.SSL_CTX_set_default_verify_paths(ctx) == 1
                             : api.SSL_CTX_load_verify_locations(ctx, CertCAFile.c_str(), nullptr) == 1;
    if (trusted) return true;
    RecordTlsError();
    LastError = -1;
    LastErrorDesc =
        "cannot load the trusted certificates" + (CertCAFile.empty() ? std::string() : " of " + CertCAFile);
    return false;
}

bool TSSLOpenSSL::ExpectName() {
    const OpenSslApi api = Api();
    X509_VERIFY_PARAM* param = api.SSL_get0_param(static_cast<SSL*>(ssl_));
    bool set;
    if (IsIpLiteral(VerifyHost)) {
        set = api.X509_VERIFY_PARAM_set1_ip_asc(param, VerifyHost.c_str()) == 1;
    } else {
        api.X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        set = api.X509_VERIFY_PARAM_set1_host(param, VerifyHost.c_str(), VerifyHost.size()) == 1;
    }
    if (set) return true;
    RecordTlsError();
    LastError = -1;
    LastErrorDesc = "cannot check the certificate for the name " + VerifyHost;
    return false;
}

std::string TSSLOpenSSL::VerifyFailure() {
    const OpenSslApi api = Api();
    if (!VerifyCert || !ssl_ || !api.SSL_get_verify_result) return {};
    const long result = api.SSL_get_verify_result(static_cast<SSL*>(ssl_));
    if (result == X509_V_OK) return {};
    const char* why = api.X509_verify_cert_error_string(result);
    return std::string("certificate verify failed: ") + (why ? why : "unknown reason") +
           " (checked: " + (VerifyHost.empty() ? "no name" : VerifyHost) + ")";
}

bool TSSLOpenSSL::HandshakeAsClient() {
    LastError = 0;
    LastErrorDesc.clear();
    LastErrorTimedOut = false;
    const int fd = Socket.Handle();
    if (fd < 0) return false;
    if (!PrepareSession()) return false;
    const OpenSslApi api = Api();
    SSL* ssl = static_cast<SSL*>(ssl_);
    if (api.SSL_set_fd(ssl, fd) < 1) {
        RecordTlsError();
        ReleaseSession();
        return false;
    }
    if (!SNIHost.empty())
        api.SSL_ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                     const_cast<char*>(SNIHost.c_str()));

    // The handshake runs on a non-blocking handle so that a silent peer cannot hold it beyond the time-out.
    const int flags = fcntl(fd, F_GETFL);
    if (flags != -1) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    const auto start = std::chrono::steady_clock::now();
    bool ok = false;
    for (;;) {
        int rc;
        int error;
        {
            SigPipeGuard guard;
            api.ERR_clear_error();
            rc = api.SSL_connect(ssl);
            error = rc == 1 ? SSL_ERROR_NONE : api.SSL_get_error(ssl, rc);
        }
        if (rc == 1) {
            ok = true;
            break;
        }
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            int wait = -1;
            if (HandshakeTimeout >= 0) {
                const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - start)
                                         .count();
                wait = static_cast<int>(std::max<int64_t>(0, HandshakeTimeout - elapsed));
            }
            pollfd p{};
            p.fd = fd;
            p.events = error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
            int ready = wait == 0 ? 0 : ::poll(&p, 1, wait);
            if (ready < 0 && errno == EINTR) continue;
            if (ready > 0) continue;
            api.ERR_clear_error();
            LastError = -1;
            LastErrorDesc = "TLS handshake timed out";
            LastErrorTimedOut = true;
            break;
        }
        if (RecordTlsError()) {
            // No queued error (for example the peer closed the connection): keep OpenSSL's verdict.
            LastError = error;
            LastErrorDesc = error == SSL_ERROR_SYSCALL || error == SSL_ERROR_ZERO_RETURN
                                ? "TLS handshake failed: connection closed by peer"
                                : "TLS handshake failed";
        }
        break;
    }
    if (flags != -1) fcntl(fd, F_SETFL, flags);
    // A refused certificate fails the handshake; its reason in words replaces OpenSSL's error text.
    if (std::string refusal = VerifyFailure(); !refusal.empty()) {
        ok = false;
        LastError = -1;
        LastErrorDesc = std::move(refusal);
        LastErrorTimedOut = false;
    }
    if (!ok) {
        ReleaseSession();
        return false;
    }
    tlsEnabled_ = true;
    peerClosed_ = false;
    return true;
}

namespace {

struct IoResult {
    int rc = 0;
    int error = SSL_ERROR_NONE;
    bool timedOut = false;
};

// Runs one SSL_read or SSL_write (io) again while OpenSSL wants to read or write. On the blocking handle a
// "want" result only comes from the handle's send or receive time-out, which ends the attempt.
template <typename Io> IoResult RunIo(const OpenSslApi& api, SSL* ssl, Io io) {
    IoResult result;
    for (int attempt = 0; attempt < kMaxRetries; ++attempt) {
        int sysError;
        {
            SigPipeGuard guard; // a read may answer the peer (key update), which is a write as well
            api.ERR_clear_error();
            errno = 0;
            result.rc = io();
            sysError = errno;
            result.error = result.rc > 0 ? SSL_ERROR_NONE : api.SSL_get_error(ssl, result.rc);
        }
        if (result.rc > 0) return result;
        if (result.error != SSL_ERROR_WANT_READ && result.error != SSL_ERROR_WANT_WRITE) return result;
        if (sysError == EAGAIN || sysError == EWOULDBLOCK) {
            result.timedOut = true;
            return result;
        }
    }
    return result;
}

} // namespace

int32_t TSSLOpenSSL::Finish(int rc, int error, bool timedOut) {
    if (rc > 0) return rc;
    if (error == SSL_ERROR_ZERO_RETURN) {
        // The peer closed the TLS session: no data and no error.
        peerClosed_ = true;
        RecordTlsError();
        LastErrorDesc.clear();
        LastError = 0;
        return 0;
    }
    LastErrorTimedOut = timedOut;
    // OpenSSL's queued text when there is one; the code is SSL_get_error's verdict.
    RecordTlsError();
    LastError = error != SSL_ERROR_NONE ? error : -1;
    return -1;
}

int32_t TSSLOpenSSL::SendData(const void* buffer, int32_t length) {
    LastError = 0;
    LastErrorDesc.clear();
    LastErrorTimedOut = false;
    const OpenSslApi api = Api();
    if (!ssl_ || !api.SSL_write) {
        NotCompiled();
        return -1;
    }
    SSL* ssl = static_cast<SSL*>(ssl_);
    const IoResult r = RunIo(api, ssl, [&] { return api.SSL_write(ssl, buffer, length); });
    return Finish(r.rc, r.error, r.timedOut);
}

int32_t TSSLOpenSSL::ReceiveData(void* buffer, int32_t length) {
    LastError = 0;
    LastErrorDesc.clear();
    LastErrorTimedOut = false;
    const OpenSslApi api = Api();
    if (!ssl_ || !api.SSL_read) {
        NotCompiled();
        return -1;
    }
    if (peerClosed_) return 0;
    SSL* ssl = static_cast<SSL*>(ssl_);
    const IoResult r = RunIo(api, ssl, [&] { return api.SSL_read(ssl, buffer, length); });
    return Finish(r.rc, r.error, r.timedOut);
}

int32_t TSSLOpenSSL::PendingBytes() {
    if (!ssl_) return 0;
    const OpenSslApi api = Api();
    if (!api.SSL_pending) return 0;
    const int pending = api.SSL_pending(static_cast<SSL*>(ssl_));
    return pending > 0 ? pending : 0;
}

bool TSSLOpenSSL::CloseTls() {
    if (ssl_) {
        const OpenSslApi api = Api();
        if (api.SSL_shutdown) {
            SigPipeGuard guard;
            api.SSL_shutdown(static_cast<SSL*>(ssl_));
            api.ERR_clear_error();
        }
    }
    ReleaseSession();
    return true;
}

} // namespace maildig
