// The blocking TCP socket: connect, send, line-oriented receive with time-outs, a last-error code and text
// instead of exceptions, and the TLS plug-in point (TCustomSSL, with TSSLNone when no TLS library is loaded).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "net/read_ahead.h"
#include "net/socket_errors.h"
#include "net/tls_plugin.h"

namespace maildig {

// A blocking TCP connection. Every operation leaves its outcome in LastErrorCode (Windows Sockets numbering,
// 0 = success) and LastErrorText; nothing throws. Time-outs are in milliseconds, -1 waits forever.
// Sending to a peer that has closed the connection is an error code, never a signal.
class TTCPBlockSocket {
  public:
    TTCPBlockSocket();  // the TLS plug-in comes from ImplementationClass
    ~TTCPBlockSocket(); // CloseConnection
    TTCPBlockSocket(const TTCPBlockSocket&) = delete;
    TTCPBlockSocket& operator=(const TTCPBlockSocket&) = delete;

    // Binds the local end. On a socket without a handle, "0.0.0.0" and port "0" do nothing (the connect
    // creates the handle).
    void BindLocal(std::string_view address, std::string_view port);
    // Resolves host (IPv4 first, then IPv6, unless a numeric literal decides) and connects, blocking.
    // Empties ReadAhead and the line-end flags.
    void ConnectTo(std::string_view host, std::string_view port);
    // TLS client handshake through the plug-in; 10091 on any failure, a handshake that runs out of time
    // included (the text is then the plug-in's). Bytes that arrived in plain text before the handshake are
    // discarded, never taken as TLS session data.
    void NegotiateTls();

    // Sends all bytes in chunks of at most 64 KB; the result is the number of bytes sent.
    int32_t SendBytes(const void* buffer, int32_t length);
    void SendText(std::string_view data);

    // The text before terminator; the rest stays in ReadAhead. On error: empty, everything collected stays
    // in ReadAhead. With ConvertLineEnd and terminator CR LF, a line ends in CR LF, LF, CR or LF CR.
    std::string ReceiveUntil(int32_t timeout, std::string_view terminator);
    // ReceiveUntil(timeout, CR LF); empty unless LastErrorCode is 0.
    std::string ReceiveLine(int32_t timeout);
    // ReceiveLine into line, reusing its buffer (a reader of many lines allocates nothing per line); true
    // when LastErrorCode is 0, else line is empty.
    bool ReceiveLineInto(std::string& line, int32_t timeout);

    // Bytes readable without blocking (TLS: decrypted bytes first), at most 65536.
    int32_t PendingByteCount();
    bool WaitReadable(int32_t timeout);

    // TLS close, then (when no error is pending) half-close, drain what the peer still sends, close.
    void CloseConnection();
    // Closes the handle without any exchange.
    void DropSocket();
    // Reads and throws away what is readable right now (bounded); clears the last error.
    void DrainInput();

    void ClearLastError();
    std::string DescribeLastError() const;
    static std::string ErrorText(int32_t code) { return maildig::ErrorText(code); }

    int Handle() const { return handle_; } // -1 when there is no socket
    TCustomSSL& Tls() { return *tls_; }
    const TCustomSSL& Tls() const { return *tls_; }
    // Replaces the plug-in (closes any TLS session of the old one first).
    void SetTls(std::unique_ptr<TCustomSSL> plugin);

    // Starts the bound of one transfer (a whole reply) that keeps trickling in, such as a server sending one
    // byte just inside each time-out: from here on time is cut into windows of TrickleWindowMs, and after
    // the first window, a window in which fewer than TrickleMinBytes arrived ends the read as a time-out
    // would (10060). A window of 0 turns the bound off.
    void BeginTransfer();

    // Settings.
    int32_t TrickleWindowMs = 60000;
    int32_t TrickleMinBytes = 1024;
    int32_t MaxLineLength = 0; // 0 = only the built-in ceiling kLineLengthCeiling applies
    bool ConvertLineEnd = false;
    bool InterPacketTimeout = true; // true: every wait gets the full time-out again
    bool StopFlag = false;
    int32_t NonblockSendTimeout = 15000;

    // State of the last operation and of the current connection.
    int32_t LastErrorCode = 0;
    std::string LastErrorText;
    TReadAhead ReadAhead;
    bool SawLoneCr = false;
    bool SawLoneLf = false;
    // Line ends other than CR LF read so far with ConvertLineEnd (LF, LF CR, CR); a CR is counted once the
    // byte after it shows that no LF follows.
    uint64_t OtherLineEnds = 0;
    bool IsBound = false;

    // Upper bound of a line (and of what one ReceiveUntil collects) even when MaxLineLength is 0.
    static constexpr int32_t kLineLengthCeiling = 64 * 1024 * 1024;

  private:
    int handle_ = -1;
    bool isIPv6_ = false;
    int rcvTimeoutSet_ = -2;        // the SO_RCVTIMEO last put on the handle (ms), -2 = not set
    bool plainTrafficSeen_ = false; // a plain-text send or receive happened on this connection
    std::unique_ptr<TCustomSSL> tls_;
    // The trickle bound of the current transfer (BeginTransfer).
    bool transferBound_ = false;
    std::chrono::steady_clock::time_point windowStart_;
    int64_t windowIndex_ = 0;
    int64_t windowBytes_ = 0;
    bool TransferTooSlow(size_t received);
    // ReadAhead when not empty, else what arrives within timeout (10054 when the peer closed, 10060 when
    // nothing came).
    std::string ReceiveChunk(int32_t timeout);

    void ReportError();
    void SetErrno(int err);
    bool CreateHandle(int family);
    // After a line that ended in a lone CR (LF), an LF (CR) at the start of next is the rest of that line
    // end: the number of bytes to drop from next (0 or 1). Any bytes use the carry up.
    size_t TakeLineEndCarry(std::string_view next);
    void SetReceiveTimeout(int32_t timeout);
    void DiscardPlainInput();
    bool Resolve(std::string_view host, std::string_view port, void* address, uint32_t& length);
    int PollHandle(short events, int32_t timeout);
    int32_t ReadOnce(void* buffer, int32_t length);
    std::string ReadNetworkChunk(int32_t timeout);
    bool ReceiveUntilInto(std::string& out, int32_t timeout, std::string_view terminator);
};

} // namespace maildig
