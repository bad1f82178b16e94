// The client side of POP3 on one connection: greeting and APOP time stamp, CAPA, STLS, APOP or USER/PASS
// login, UIDL, TOP, DELE and QUIT, each command handing its reply to the caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mime/basic/lines.h"
#include "net/blocksock.h"
#include "pop3/protocol_client.h"
#include "pop3/sasl.h"

namespace maildig {

// Which login methods OpenSession may try.
enum TPOP3AuthType {
    POP3AuthAll = 0,   // APOP when the greeting has a time stamp, else (or after a refused APOP) USER/PASS
    POP3AuthLogin = 1, // USER/PASS only
    POP3AuthAPOP = 2,  // APOP only
    // The password is an OAuth2 access token: AUTH OAUTHBEARER when the SASL capability lists it, else AUTH
    // XOAUTH2; nothing at all when it lists neither.
    POP3AuthOAuth = 3,
};

// Why OpenSession failed before any login command, when TLS was the cause.
enum TTlsProblem {
    TP_None = 0,
    TP_Handshake,   // the TLS handshake failed (Sock().LastErrorText says why)
    TP_NoStls,      // RequireTls, and the plain-text server did not offer STLS
    TP_StlsRefused, // the server did not answer STLS with "+OK"
};

// One reply as the caller receives it.
struct TPOP3Reply {
    int32_t ResultCode = 0;   // 1 when the status line starts with "+OK" and the reply was read to its end
    std::string ResultString; // the status line without its line end; empty when none could be read
    // The dot-unstuffed body of a multi-line reply, or the status text after its first blank for a
    // single-line one (the whole line when it has none).
    Lines FullResult;
    bool ResultClipped = false; // the body was longer than MaxReplyBytes: FullResult holds its first lines
    bool CrLfLines = false;     // the body was read to its "." and each of its lines ended in CR LF

    bool Ok() const { return ResultCode == 1; }
};

// Every operation blocks and reports by its result; none throws. Each command returns its reply; the
// transport's reason for a failure is in Sock().LastErrorCode/Text.
// A reply cut off by a socket error closes the connection (SessionLost), so later commands fail instead of
// reading the rest of the old reply as theirs.
class TPOP3Send : public TProtocolClient {
  public:
    TPOP3Send(); // Timeout 60000, TargetPort "110", POP3AuthAll, no TLS
    ~TPOP3Send() override;
    TPOP3Send(const TPOP3Send&) = delete;
    TPOP3Send& operator=(const TPOP3Send&) = delete;

    // Reads one reply: the status line, and with full and a "+OK" verdict the dot-unstuffed body up to "."
    // (what MaxReplyBytes allows of it).
    TPOP3Reply ReadReply(bool full);
    // Sends command + CR LF, then ReadReply(full). A command sent ahead (SendAhead) and next in line is not
    // sent again: its reply is read. Any other command first reads and drops the replies still due to
    // commands sent ahead, so that every reply goes to its own command.
    TPOP3Reply SendCommand(const std::string& command, bool full);
    // Sends the commands in one write without waiting for any reply (for a server that lists PIPELINING);
    // their replies, multi-line when full, are then taken in order by SendCommand with the same command, or
    // by FetchTopPipelined for TOP. False when the write failed: the connection is then closed.
    bool SendAhead(const Lines& commands, bool full);

    // Closes any previous connection, connects to TargetHost:TargetPort, and with FullSSL runs the TLS
    // handshake.
    bool OpenConnection();
    // Connects, reads the greeting and its time stamp, asks CAPA, upgrades with STLS when AutoTLS and
    // offered, and logs in as AuthType allows. After a refused APOP it reconnects once for USER/PASS,
    // protected the same way as the first connection (TLS at once, or STLS before any login command) or not
    // at all. Where USER/PASS would go, a server whose capabilities list SASL PLAIN but not USER gets AUTH
    // PLAIN. True when a login succeeded.
    bool OpenSession();
    // "QUIT", then the connection is closed whatever the reply.
    TPOP3Reply CloseSession();

    // "CAPA"; on success the reply lines replace CapabilityList. Pipelining then says whether they list
    // PIPELINING.
    bool QueryCapabilities();
    // True when a line of CapabilityList equals name, ignoring the case of ASCII letters (the whole line must
    // match: "TOP" is not "TOP 0").
    bool HasCapability(std::string_view name) const;
    // The first capability line starting with keyword (ASCII case ignored), in its own case; empty when none
    // matches or the keyword is empty.
    std::string FindCapability(std::string_view keyword) const;
    // "STLS" and, on "+OK", the TLS handshake.
    bool UpgradeToTls();
    // "USER " + UserName, then (only if accepted) "PASS " + Password; when the last CAPA listed PIPELINING
    // both go out in one write, and the PASS reply after a refused USER is read and dropped.
    bool AuthUserPass();
    // "APOP " + UserName + " " + lower-case hex MD5 of TimeStamp + Password. Fails without sending when no
    // MD5 is available (no OpenSSL).
    bool AuthApopDigest();
    // "AUTH mech" with its first client message (SaslInitialResponse of UserName and Password) in base64: on
    // the command line when the command fits kMaxCommandOctets, else after the server's empty challenge. A
    // challenge after that is the server's refusal: for OAUTHBEARER and XOAUTH2 a valid base64 one is
    // answered as the mechanism says ("AQ==", an empty line), any other is cancelled ("*"), and the server's
    // last word is read. Nothing is sent ahead of or into the exchange. True on "+OK".
    bool AuthSasl(TSaslMech mech);
    static constexpr std::size_t kMaxCommandOctets = 255; // RFC 2449, the CR LF included

    TPOP3Reply DeleteMessage(int32_t n);           // "DELE n"
    TPOP3Reply FetchTop(int32_t n, int32_t lines); // "TOP n lines", multi-line
    TPOP3Reply ListUids(int32_t n);                // n = 0: "UIDL", multi-line; else "UIDL n", one line
    // "UIDL" with each body line (dot-unstuffed) handed to take as it arrives instead of held in FullResult,
    // so that a long listing is never held as lines. Not bounded by MaxReplyBytes (take bounds what it
    // keeps): a body longer than kSkippedReplyFactor x MaxReplyBytes on the wire is abandoned like a
    // cut-off one.
    using TLineSink = std::function<void(const std::string&)>;
    TPOP3Reply ListUids(const TLineSink& take);
    // "LIST" (the number and size in octets of every message), its lines handed to take as ListUids does.
    TPOP3Reply ListSizes(const TLineSink& take);

    // How many TOP commands FetchTopPipelined keeps sent and unanswered.
    struct TTopWindow {
        std::size_t Max = 1; // at most this many (1: one command at a time, as FetchTop)
        // Start with Start commands and allow one more per reply handled past that, so that the commands sent
        // beyond any reply never outnumber the larger of Start and the replies handled before it (a walk
        // that stops early sent few extra commands). Without Grow the window is Max from the start.
        bool Grow = false;
        std::size_t Start = 1;
    };
    // "TOP numbers[i] lines" for every i in order, with several commands in flight as window allows, each
    // reply read as FetchTop reads it; after each reply handle(i, reply) runs, strictly in the order of
    // numbers (handle may take the reply's lines; the buffers it leaves are reused). Besides window, the
    // commands in flight are bounded by the bytes their replies are expected to take (PipelineWindow of the
    // average reply so far). TOP commands sent ahead (SendAhead) for the first numbers, in order, count as
    // sent; the replies of any others sent ahead are read and dropped, never handed over. A command that
    // cannot be sent closes the connection, so every later reply is empty with verdict 0. handle returning
    // false ends the walk: the replies still in flight are then read and dropped (each wait bounded by
    // Timeout; the first that fails closes the connection), so the next command gets its own reply. True
    // when the walk was not ended early.
    bool FetchTopPipelined(const std::vector<int32_t>& numbers, int32_t lines, TTopWindow window,
                           const std::function<bool(std::size_t, TPOP3Reply&)>& handle);
    // How many replies of replyBytes each fit kPipelineByteBudget: at least 1, at most kPipelineMaxCommands.
    static std::size_t PipelineWindow(long long replyBytes);
    // What a TOP reply of `lines` body lines is taken to be before any has been seen: a header block of a
    // few KB plus about 80 bytes a line.
    static long long EstimatedReplyBytes(int32_t lines);
    // 2048 commands take about 32 KB to send, which the server's receive buffer holds even while it does not
    // read, so that the one write never waits for the server; at 100-300 ms round trips a window this deep
    // keeps the link busy with ordinary heads.
    static constexpr std::size_t kPipelineMaxCommands = 2048;
    static constexpr long long kPipelineByteBudget = 8 * 1024 * 1024;
    // The window a --range first walk starts with, and the TOP commands a find sends ahead of the listing.
    static constexpr std::size_t kFirstWindow = 16;

    TTCPBlockSocket& Sock() { return *sock_; }
    const TTCPBlockSocket& Sock() const { return *sock_; }
    // Takes back the buffers of lines the caller is done with, to fill the lines of later replies without
    // allocating (a bounded number of short ones is kept); used is left empty.
    void RecycleLines(Lines& used);
    const std::string& TimeStamp() const { return timeStamp_; } // "<...>" from the greeting, or empty
    const Lines& CapabilityList() const { return capabilityList_; }
    bool Pipelining() const { return pipelining_; } // the last successful CAPA listed PIPELINING

    TPOP3AuthType AuthType = POP3AuthAll;
    bool AutoTLS = false; // upgrade with STLS after the greeting when the server offers it
    bool FullSSL = false; // TLS right after the TCP connect
    // No login command goes out in plain text: without FullSSL, a server that does not offer STLS, or does
    // not accept it, gets nothing after its CAPA reply.
    bool RequireTls = false;
    // Set by OpenSession when it failed because of TLS; TP_None otherwise.
    TTlsProblem TlsProblem() const { return tlsProblem_; }
    // The mechanism of the last AUTH that OpenSession sent (SM_None when it sent none), and the base64 text
    // of the last challenge of that exchange (its first kSaslChallengeKept bytes; empty when there was none).
    TSaslMech SaslMechanism() const { return saslMech_; }
    const std::string& SaslChallenge() const { return saslChallenge_; }
    static constexpr std::size_t kSaslChallengeKept = 1024;
    // OpenSession with POP3AuthOAuth found neither OAUTHBEARER nor XOAUTH2 listed, so it sent no login.
    bool NoSaslMechanism() const { return noSaslMech_; }

    // Bound of what FullResult holds of one multi-line reply (HeldBytes of its lines: a short line costs the
    // string object alone). A longer reply keeps the lines that fit (ResultClipped); the rest is read to the
    // "." and dropped, so the exchange stays in step. A rest of more than kSkippedReplyFactor x MaxReplyBytes
    // on the wire (1 GB by default) is not read to its end: the reply ends like a cut-off one (verdict 0, an
    // empty last entry, the connection closed), as does one that trickles in (Sock().BeginTransfer). One
    // line is bounded by the socket's MaxLineLength (64 MB here), beyond which the read fails with 10055.
    size_t MaxReplyBytes = 64u * 1024 * 1024;
    static constexpr unsigned kSkippedReplyFactor = 16;
    // A reply was cut off, timed out or abandoned, or a command could not be sent: the connection is closed,
    // and every later command fails. Cleared by the next OpenConnection.
    bool SessionLost() const { return sessionLost_; }

  private:
    // A command that did not go out whole leaves the exchange out of step: clear the reply, close.
    void FailedSend(TPOP3Reply& reply);
    // SendCommand, with the body lines handed to take (when not null) instead of kept in FullResult.
    TPOP3Reply Exchange(const std::string& command, bool full, const TLineSink* take);
    // ReadReply into reply, whose line buffers are reused; body lines go to take when it is not null.
    void ReadReplyInto(TPOP3Reply& reply, bool full, const TLineSink* take = nullptr);
    // The body of a multi-line reply into reply.FullResult (or to take); false when it was not read to its
    // "." line.
    bool ReadBody(TPOP3Reply& reply, const TLineSink* take);
    // Reads and drops up to count replies still in flight; stops at the first that fails.
    void DropReplies(std::size_t count);
    // Reads and drops the replies still due to commands sent ahead.
    void DropRepliesAhead();

    // Commands sent ahead whose replies were not read yet, in order, and whether each reply is multi-line.
    struct TSentAhead {
        std::string Command;
        bool Full = false;
    };
    std::deque<TSentAhead> ahead_;

    std::unique_ptr<TTCPBlockSocket> sock_;
    std::string timeStamp_;
    TTlsProblem tlsProblem_ = TP_None;
    TSaslMech saslMech_ = SM_None;
    std::string saslChallenge_;
    bool noSaslMech_ = false;
    Lines capabilityList_;
    bool pipelining_ = false;
    bool sessionLost_ = false;
    Lines spare_; // line buffers to reuse (RecycleLines)
};

} // namespace maildig
