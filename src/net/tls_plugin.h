// The TLS plug-in point of the socket: the interface a TLS library implements (TCustomSSL), the plug-in used
// when none is loaded (TSSLNone) and the process-wide factory that gives each new socket its plug-in.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace maildig {

class TTCPBlockSocket;

// The TLS plug-in interface. A plug-in belongs to one socket, which owns it. This base behaves as if no TLS
// library were available: handshake, close, send and receive fail with error code -1 and the text
// "SSL/TLS support is not compiled!".
class TCustomSSL {
  public:
    explicit TCustomSSL(TTCPBlockSocket& socket) : Socket(socket) {}
    virtual ~TCustomSSL() = default;
    TCustomSSL(const TCustomSSL&) = delete;
    TCustomSSL& operator=(const TCustomSSL&) = delete;

    virtual std::string LibraryVersionText() { return {}; }
    virtual std::string LibraryNameText() { return {}; }
    // Starts TLS as client on the connected socket; true on success (TlsEnabled() then true).
    virtual bool HandshakeAsClient();
    // Sends the TLS close alert and ends the session (the peer's alert is not awaited).
    virtual bool CloseTls();
    // Bytes written or read; -1 (or OpenSSL's result) with LastError set on failure; a receive of 0 without
    // error means the peer closed the TLS session.
    virtual int32_t SendData(const void* buffer, int32_t length);
    virtual int32_t ReceiveData(void* buffer, int32_t length);
    // Decrypted bytes ready to be read without touching the network.
    virtual int32_t PendingBytes();
    // Forgets the session without any exchange (the socket is being dropped); TlsEnabled() becomes false.
    virtual void ReleaseSession() {
        tlsEnabled_ = false;
        peerClosed_ = false;
    }

    bool TlsEnabled() const { return tlsEnabled_; }
    // True after the peer closed the TLS session (close alert): no more session data can come.
    bool PeerClosedTls() const { return peerClosed_; }

    // The plug-in's own last error: 0 = none.
    int32_t LastError = 0;
    std::string LastErrorDesc;
    // True when the last failure was a time-out (a send or receive then reports 10060 rather than 10091;
    // a handshake that runs out of time fails with 10091 like any other).
    bool LastErrorTimedOut = false;

    // Settings.
    std::string Ciphers;              // cipher list; empty = the library's default
    std::string SNIHost;              // server name sent in the handshake; empty = none
    int32_t HandshakeTimeout = 60000; // ms for the whole handshake; -1 = no limit
    // Certificate verification: with VerifyCert the handshake fails unless the peer's chain leads to a
    // trusted certificate (those of CertCAFile, a PEM file, or the system's store when it is empty) and the
    // certificate names VerifyHost (a host name, wildcards as usual, or an IP literal; empty: no name is
    // checked). A refusal leaves the reason in words in LastErrorDesc.
    bool VerifyCert = false;
    std::string CertCAFile;
    std::string VerifyHost;

  protected:
    TTCPBlockSocket& Socket;
    bool tlsEnabled_ = false;
    bool peerClosed_ = false;
    void NotCompiled();
};

// The plug-in used when no TLS library could be loaded.
class TSSLNone : public TCustomSSL {
  public:
    using TCustomSSL::TCustomSSL;
    std::string LibraryVersionText() override { return "Without SSL support"; }
    std::string LibraryNameText() override { return "ssl_none"; }
};

// Creates the plug-in of a new socket. Process-wide; TSSLNone by default, TSSLOpenSSL once OpenSSL is loaded.
using TSSLClassFactory = std::unique_ptr<TCustomSSL> (*)(TTCPBlockSocket& socket);
extern TSSLClassFactory ImplementationClass;
std::unique_ptr<TCustomSSL> MakeSSLNone(TTCPBlockSocket& socket);

} // namespace maildig
