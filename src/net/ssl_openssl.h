// The TLS plug-in on OpenSSL (libssl and libcrypto of OpenSSL 3, loaded at run time with dlopen, never
// linked), the process-wide loader, and the MD5 digest taken from the loaded libcrypto.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/blocksock.h"

namespace maildig {

// Start-up of the network layer, called once by main before anything else: loads OpenSSL (so that every
// socket created afterwards gets TSSLOpenSSL; without it they get TSSLNone) and returns whether TLS is
// available. StopNetwork releases the libraries at process end.
bool StartNetwork();
void StopNetwork();

// Loads libssl and libcrypto, trying "libssl.so.3"/"libcrypto.so.3" and then "libssl.so"/"libcrypto.so";
// true when both were loaded and the required entry points found. Returns true at once when loaded.
// On success ImplementationClass becomes TSSLOpenSSL.
bool LoadTlsLibrary();
// The same with the library names to try, in order (pairs are not required: each list is tried alone).
bool LoadTlsLibraryFrom(const std::vector<std::string>& sslNames,
                        const std::vector<std::string>& cryptoNames);
// Releases the libraries; ImplementationClass goes back to TSSLNone.
void UnloadTlsLibrary();
bool IsTlsLibraryLoaded();
// File name of the loaded SSL library (empty when not loaded).
std::string TlsLibraryName();

// Whether host is an IPv4 or IPv6 address literal (a certificate names it as an address, and it is never
// sent as the server name).
bool IsIpLiteral(const std::string& host);
// Whether path is a readable file that holds at least one certificate OpenSSL can trust (PEM); else false
// with the reason in words in why.
bool CheckCAFile(const std::string& path, std::string& why);

// MD5 (RFC 1321) of data as 16 raw bytes in digest; false when OpenSSL is not loaded or lacks the entry
// points.
bool OpenSslMd5(std::string_view data, std::string& digest);

// The OpenSSL plug-in: a new context for every handshake (general TLS client method, highest common
// version, cipher list "DEFAULT", no certificate verification unless VerifyCert is set, no server name
// unless SNIHost is set).
class TSSLOpenSSL : public TCustomSSL {
  public:
    explicit TSSLOpenSSL(TTCPBlockSocket& socket);
    ~TSSLOpenSSL() override;

    std::string LibraryVersionText() override;
    std::string LibraryNameText() override { return "ssl_openssl"; }
    bool HandshakeAsClient() override;
    bool CloseTls() override;
    int32_t SendData(const void* buffer, int32_t length) override;
    int32_t ReceiveData(void* buffer, int32_t length) override;
    int32_t PendingBytes() override;
    void ReleaseSession() override;

  private:
    void* ctx_ = nullptr; // SSL_CTX
    void* ssl_ = nullptr; // SSL

    bool PrepareSession();
    // With VerifyCert: the context verifies the peer against CertCAFile or the system's store.
    bool TrustForVerification();
    // The connection checks that the certificate names VerifyHost (as a host name or an address).
    bool ExpectName();
    // The reason in words when the peer's certificate was refused; empty when it was not.
    std::string VerifyFailure();
    bool RecordTlsError();
    int32_t Finish(int rc, int error, bool timedOut);
};

} // namespace maildig
