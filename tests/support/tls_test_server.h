// A loopback TCP server for tests: each accepted connection runs a script (a function) in its own thread,
// in plain text or TLS (from the first byte, or started by the script), with a self-signed certificate
// made at run time through OpenSSL.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

typedef struct ssl_st SSL;

// One accepted connection as the script sees it. Every wait is bounded (10 s unless given).
class TestConnection {
  public:
    explicit TestConnection(int fd);
    ~TestConnection();
    TestConnection(const TestConnection&) = delete;
    TestConnection& operator=(const TestConnection&) = delete;

    // Writes data (through TLS when active); false when the peer is gone.
    bool Send(std::string_view data);
    // Reads up to and including the next LF; line is returned without its CR LF or LF. False on close,
    // error or time-out.
    bool ReadLine(std::string& line, int timeoutMs = 10000);
    // Whatever arrives within timeoutMs (empty on close or time-out).
    std::string ReadSome(int timeoutMs = 10000);
    // Waits until the peer closes its sending direction (reads and drops anything before that).
    bool WaitPeerClose(int timeoutMs = 10000);
    // Server-side TLS handshake on this connection.
    bool StartTls(int timeoutMs = 10000);
    // Sends the TLS close alert (the connection stays open).
    void ShutdownTls();
    // Closes the connection.
    void Close();

    bool tls() const { return ssl_ != nullptr; }
    // The server name the client sent in the handshake (empty when none) and the protocol version in use.
    std::string ServerName() const;
    std::string Version() const;
    int fd() const { return fd_; }

  private:
    int fd_;
    SSL* ssl_ = nullptr;
    std::string buffer_;
    int Read(char* data, int size, int timeoutMs); // >0 bytes, 0 closed, -1 error or time-out
};

class TlsTestServer {
  public:
    using Script = std::function<void(TestConnection&)>;
    enum Mode { Plain, ImplicitTls };

    // Listens on 127.0.0.1 at a free port; every accepted connection runs script (after the handshake in
    // ImplicitTls mode; a failed handshake skips the script).
    explicit TlsTestServer(Script script, Mode mode = Plain);
    ~TlsTestServer(); // stops accepting, waits for the running scripts
    TlsTestServer(const TlsTestServer&) = delete;
    TlsTestServer& operator=(const TlsTestServer&) = delete;

    uint16_t port() const { return port_; }
    std::string portText() const { return std::to_string(port_); }
    int accepted() const { return accepted_.load(); }

  private:
    Script script_;
    Mode mode_;
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::thread acceptThread_;
    std::mutex lock_;
    std::vector<std::thread> workers_;
    void AcceptLoop();
};

// A loopback port on which nothing listens (bound, then closed).
uint16_t UnusedLoopbackPort();
