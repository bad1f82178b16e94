#include "pop3/pop3_send.h"

#include <algorithm>
#include <utility>

#include "bytes/ascii.h"
#include "mime/basic/text_routines.h"
#include "mime/basic/transfer_encodings.h"
#include "net/ssl_openssl.h"
#include "pop3/reply_parser.h"

namespace maildig {

TPOP3Send::TPOP3Send() : sock_(std::make_unique<TTCPBlockSocket>()) {
    Timeout = 60000;
    TargetPort = "110";
    sock_->ConvertLineEnd = true;
    sock_->MaxLineLength = 64 * 1024 * 1024;
}

TPOP3Send::~TPOP3Send() = default;

namespace {

// What RecycleLines keeps: enough buffers for the lines of a long TOP reply, none of a long line's size.
constexpr size_t kSpareLines = 1024;
constexpr size_t kSpareLineCapacity = 1024;

} // namespace

void TPOP3Send::RecycleLines(Lines& used) {
    static const size_t inPlace = std::string().capacity(); // a string this short has no buffer of its own
    for (std::string& line : used)
        if (spare_.size() < kSpareLines && line.capacity() > inPlace && line.capacity() <= kSpareLineCapacity)
            spare_.push_back(std::move(line));
    used.clear();
}

TPOP3Reply TPOP3Send::ReadReply(bool full) {
    TPOP3Reply reply;
    ReadReplyInto(reply, full);
    return reply;
}

void TPOP3Send::ReadReplyInto(TPOP3Reply& reply, bool full, const TLineSink* take) {
    RecycleLines(reply.FullResult);
    reply.ResultClipped = false;
    reply.CrLfLines = false;
    sock_->BeginTransfer();
    reply.ResultString = sock_->ReceiveLine(Timeout);
    int32_t verdict = ReplyVerdict(reply.ResultString);
    bool inStep = sock_->LastErrorCode == 0;
    if (full && verdict == 1) {
        inStep = ReadBody(reply, take);
    } else if (verdict == 1) {
        reply.FullResult.push_back(SingleLineResult(reply.ResultString));
    }
    if (!inStep) {
        verdict = 0;
        // The rest of this reply may still arrive; drop the connection so that no later command takes it
        // for its own answer.
        sock_->CloseConnection();
        sessionLost_ = true;
    }
    reply.ResultCode = verdict;
}

bool TPOP3Send::ReadBody(TPOP3Reply& reply, const TLineSink* take) {
    size_t held = 0;
    // Counted as on the wire (each line with a two-byte line end): the rest of a clipped reply, or every
    // line handed to take.
    unsigned long long skipped = 0;
    const unsigned long long skipLimit = static_cast<unsigned long long>(MaxReplyBytes) * kSkippedReplyFactor;
    const uint64_t otherLineEnds = sock_->OtherLineEnds;
    std::string line;
    for (;;) {
        if (!reply.ResultClipped && !spare_.empty()) {
            line = std::move(spare_.back());
            spare_.pop_back();
        }
        if (!sock_->ReceiveLineInto(line, Timeout)) break;
        if (take != nullptr) {
            // Handed on instead of held: what the taker keeps is its own bound, the wire is this one.
            if (line == ".") break;
            skipped += line.size() + 2;
            if (skipped > skipLimit) break;
            if (line.starts_with('.')) line.erase(0, 1);
            (*take)(line);
            continue;
        }
        if (!reply.ResultClipped) {
            const TBodyStep step = AddBodyLine(reply.FullResult, std::move(line), held, MaxReplyBytes);
            if (step == BS_End) break;
            if (step == BS_More) continue;
            reply.ResultClipped = true; // the line that did not fit is the first of the rest
        } else if (line == ".") {
            break; // the lines of the rest are dropped as they are, dot-stuffed or not
        }
        skipped += line.size() + 2;
        if (skipped > skipLimit) break;
    }
    if (sock_->LastErrorCode == 0 && line == ".") {
        reply.CrLfLines = sock_->OtherLineEnds == otherLineEnds;
        return true;
    }
    reply.FullResult.emplace_back(); // a cut-off or abandoned body ends with one empty entry
    return false;
}

void TPOP3Send::FailedSend(TPOP3Reply& reply) {
    RecycleLines(reply.FullResult);
    reply.ResultString.clear();
    reply.ResultCode = 0;
    reply.ResultClipped = false;
    sock_->CloseConnection();
    sessionLost_ = true;
}

TPOP3Reply TPOP3Send::SendCommand(const std::string& command, bool full) {
    return Exchange(command, full, nullptr);
}

TPOP3Reply TPOP3Send::Exchange(const std::string& command, bool full, const TLineSink* take) {
    TPOP3Reply reply;
    if (!ahead_.empty()) {
        if (ahead_.front().Command == command) {
            ahead_.pop_front();
            ReadReplyInto(reply, full, take);
            return reply;
        }
        DropRepliesAhead();
    }
    sock_->SendText(command + "\r\n");
    if (sock_->LastErrorCode != 0)
        FailedSend(reply);
    else
        ReadReplyInto(reply, full, take);
    return reply;
}

bool TPOP3Send::SendAhead(const Lines& commands, bool full) {
    std::string batch;
    for (const std::string& command : commands) {
        batch += command;
        batch += "\r\n";
        ahead_.push_back({command, full});
    }
    sock_->SendText(batch);
    if (sock_->LastErrorCode == 0) return true;
    ahead_.clear();
    TPOP3Reply dropped;
    FailedSend(dropped);
    return false;
}

void TPOP3Send::DropRepliesAhead() {
    TPOP3Reply reply;
    while (!ahead_.empty()) {
        const bool full = ahead_.front().Full;
        ahead_.pop_front();
        ReadReplyInto(reply, full);
        if (sock_->LastErrorCode != 0) break; // the connection is closed now
    }
    ahead_.clear();
    RecycleLines(reply.FullResult);
}

bool TPOP3Send::OpenConnection() {
    ahead_.clear();
    sock_->CloseConnection();
    sock_->ReadAhead.clear();
    sessionLost_ = false;
    sock_->BindLocal(IPInterface, "0");
    if (sock_->LastErrorCode == 0) sock_->ConnectTo(TargetHost, TargetPort);
    if (sock_->LastErrorCode == 0 && FullSSL) {
        sock_->NegotiateTls();
        if (sock_->LastErrorCode != 0) tlsProblem_ = TP_Handshake;
    }
    return sock_->LastErrorCode == 0;
}

bool TPOP3Send::QueryCapabilities() {
    capabilityList_.clear();
    pipelining_ = false;
    TPOP3Reply reply = SendCommand("CAPA", true);
    if (!reply.Ok()) return false;
    capabilityList_ = std::move(reply.FullResult);
    pipelining_ = HasCapability("PIPELINING");
    return true;
}

bool TPOP3Send::HasCapability(std::string_view name) const {
    return std::any_of(capabilityList_.begin(), capabilityList_.end(),
                       [&](const std::string& line) { return EqualsAsciiNoCase(line, name); });
}

std::string TPOP3Send::FindCapability(std::string_view keyword) const {
    // An empty keyword occurs at no position, so it matches no line.
    if (keyword.empty()) return {};
    for (const std::string& line : capabilityList_)
        if (StartsWithNoCase(line, keyword)) return line;
    return {};
}

bool TPOP3Send::UpgradeToTls() {
    if (!SendCommand("STLS", false).Ok()) {
        tlsProblem_ = TP_StlsRefused;
        return false;
    }
    sock_->NegotiateTls();
    if (sock_->LastErrorCode != 0) tlsProblem_ = TP_Handshake;
    return sock_->LastErrorCode == 0;
}

bool TPOP3Send::AuthUserPass() {
    const std::string user = "USER " + UserName, pass = "PASS " + Password;
    if (pipelining_ && SendAhead({user, pass}, false)) {
        const bool userOk = SendCommand(user, false).Ok();
        return SendCommand(pass, false).Ok() && userOk; // the PASS reply is read whatever USER got
    }
    if (!SendCommand(user, false).Ok()) return false;
    return SendCommand(pass, false).Ok();
}

bool TPOP3Send::AuthApopDigest() {
    std::string digest;
    if (!OpenSslMd5(timeStamp_ + Password, digest)) return false;
    return SendCommand("APOP " + UserName + " " + HexOfBytes(digest), false).Ok();
}

namespace {

// Challenges of one AUTH exchange that are answered before it counts as stuck.
constexpr int kMaxSaslChallenges = 3;

} // namespace

bool TPOP3Send::AuthSasl(TSaslMech mech) {
    saslMech_ = mech;
    saslChallenge_.clear();
    const std::string auth = std::string("AUTH ") + SaslMechName(mech);
    const std::string response =
        Base64Encode(SaslInitialResponse(mech, UserName, Password, TargetHost, TargetPort));
    TPOP3Reply reply;
    std::string_view challenge;
    bool responded = true;
    if (auth.size() + 1 + response.size() + 2 <= kMaxCommandOctets) {
        reply = SendCommand(auth + " " + response, false);
    } else {
        // A mechanism where the client speaks first: the server asks with an empty challenge.
        reply = SendCommand(auth, false);
        responded = SaslContinuation(reply.ResultString, challenge) && challenge.empty();
        if (responded) reply = SendCommand(response, false);
    }
    // A challenge after the response is the refusal of a token (RFC 7628 3.2.2), holding the server's error:
    // the client answers it as its mechanism says and the server ends the exchange with -ERR. Every other
    // challenge is cancelled.
    for (int round = 0; round < kMaxSaslChallenges && SaslContinuation(reply.ResultString, challenge);
         ++round) {
        saslChallenge_.assign(challenge.substr(0, kSaslChallengeKept));
        std::string error;
        const bool answer =
            responded && round == 0 && mech != SM_Plain && DecodeSaslChallenge(challenge, error);
        reply = SendCommand(!answer ? "*" : mech == SM_OAuthBearer ? "AQ==" : "", false);
    }
    return reply.Ok();
}

bool TPOP3Send::OpenSession() {
    timeStamp_.clear();
    tlsProblem_ = TP_None;
    saslMech_ = SM_None;
    saslChallenge_.clear();
    noSaslMech_ = false;
    if (!OpenConnection()) return false;
    const TPOP3Reply greeting = ReadReply(false);
    if (!greeting.Ok()) return false;

    std::string afterLt = TextAfter(greeting.ResultString, "<");
    if (afterLt != greeting.ResultString) {
        std::string stamp = TrimGeneral(TextBefore(afterLt, ">"));
        if (stamp != afterLt) timeStamp_ = "<" + stamp + ">";
    }

    // Whether this session was protected by TLS before any login command; a reconnect must be as well.
    bool upgradedWithStls = false;
    if (QueryCapabilities() && AutoTLS && !FindCapability("STLS").empty()) {
        if (!UpgradeToTls()) return false;
        upgradedWithStls = true;
        QueryCapabilities();
    }
    if (RequireTls && !FullSSL && !upgradedWithStls) {
        tlsProblem_ = TP_NoStls;
        return false;
    }

    if (AuthType == POP3AuthOAuth) {
        const TSaslMech mech = SaslListed(capabilityList_, SM_OAuthBearer) ? SM_OAuthBearer
                               : SaslListed(capabilityList_, SM_XOAuth2)   ? SM_XOAuth2
                                                                           : SM_None;
        noSaslMech_ = mech == SM_None;
        return !noSaslMech_ && AuthSasl(mech);
    }
    bool loggedIn = false;
    if (!timeStamp_.empty() && AuthType != POP3AuthLogin) {
        loggedIn = AuthApopDigest();
        if (!loggedIn) {
            if (!OpenConnection()) return false;
            if (!ReadReply(false).Ok()) return false;
            // Never fall back to plain text where the first connection was protected.
            if (upgradedWithStls && !UpgradeToTls()) return false;
        }
    }
    // A server that says it takes no USER is not sent one when it takes the password with SASL PLAIN.
    if (!loggedIn && AuthType != POP3AuthAPOP)
        loggedIn = !HasCapability("USER") && SaslListed(capabilityList_, SM_Plain) ? AuthSasl(SM_Plain)
                                                                                   : AuthUserPass();
    return loggedIn;
}

TPOP3Reply TPOP3Send::CloseSession() {
    TPOP3Reply reply = SendCommand("QUIT", false);
    sock_->CloseConnection();
    return reply;
}

TPOP3Reply TPOP3Send::DeleteMessage(int32_t n) {
    return SendCommand("DELE " + std::to_string(n), false);
}

TPOP3Reply TPOP3Send::FetchTop(int32_t n, int32_t lines) {
    return SendCommand("TOP " + std::to_string(n) + " " + std::to_string(lines), true);
}

TPOP3Reply TPOP3Send::ListUids(int32_t n) {
    if (n == 0) return SendCommand("UIDL", true);
    return SendCommand("UIDL " + std::to_string(n), false);
}

TPOP3Reply TPOP3Send::ListUids(const TLineSink& take) {
    return Exchange("UIDL", true, &take);
}

TPOP3Reply TPOP3Send::ListSizes(const TLineSink& take) {
    return Exchange("LIST", true, &take);
}

long long TPOP3Send::EstimatedReplyBytes(int32_t lines) {
    return 8192 + static_cast<long long>(std::max(lines, 0)) * 80;
}

size_t TPOP3Send::PipelineWindow(long long replyBytes) {
    const long long byBudget = std::max(1LL, kPipelineByteBudget / std::max(replyBytes, 1LL));
    return static_cast<size_t>(std::min<long long>(byBudget, kPipelineMaxCommands));
}

void TPOP3Send::DropReplies(size_t count) {
    TPOP3Reply reply;
    for (; count > 0; --count) {
        ReadReplyInto(reply, true);
        if (sock_->LastErrorCode != 0) break; // the connection is closed now
    }
    RecycleLines(reply.FullResult);
}

bool TPOP3Send::FetchTopPipelined(const std::vector<int32_t>& numbers, int32_t lines, TTopWindow window,
                                  const std::function<bool(size_t, TPOP3Reply&)>& handle) {
    const size_t count = numbers.size();
    const size_t cap = std::max<size_t>(window.Max, 1);
    std::string tail = " "; // " lines" CR LF, the end of every command
    tail += std::to_string(lines);
    const std::string linesText = tail;
    tail += "\r\n";

    // TOP commands sent ahead: those for the first numbers, in order, are this walk's first commands; the
    // replies of the others come before those of the commands sent here and are dropped when their turn
    // comes.
    size_t sent = 0;
    while (sent < count && sent < ahead_.size() &&
           ahead_[sent].Command == "TOP " + std::to_string(numbers[sent]) + linesText)
        ++sent;
    const bool onlyTops = std::all_of(ahead_.begin(), ahead_.end(),
                                      [](const TSentAhead& a) { return a.Command.rfind("TOP ", 0) == 0; });
    if (!onlyTops) {
        sent = 0; // replies of other commands sent ahead are due first: read and drop everything
        DropRepliesAhead();
    }
    const size_t taken = sent;
    size_t stale = ahead_.size() - taken; // replies to drop once the first `taken` replies are handled
    ahead_.clear();

    std::string batch;
    TPOP3Reply reply;                 // one for every reply, so that its line buffers are reused
    unsigned long long seenBytes = 0; // the replies handled so far, as their lines take on the wire
    for (size_t handled = 0; handled < count; ++handled) {
        // Top the window up with one write: the commands are small, so the send never waits for the server.
        size_t allowed = window.Grow ? std::min(cap, std::max(window.Start, handled + 1)) : cap;
        const long long average =
            handled == 0 ? EstimatedReplyBytes(lines) : static_cast<long long>(seenBytes / handled);
        allowed = std::min(allowed, PipelineWindow(average));
        batch.clear();
        while (sent < count && sent - handled < allowed) {
            batch += "TOP ";
            batch += std::to_string(numbers[sent]);
            batch += tail;
            ++sent;
        }
        bool answered = true;
        if (!batch.empty()) {
            sock_->SendText(batch);
            if (sock_->LastErrorCode != 0) {
                FailedSend(reply);
                answered = false;
            }
        }
        if (handled == taken && stale > 0) {
            DropReplies(stale); // replies to TOP commands sent ahead that the listing did not confirm
            stale = 0;
        }
        if (answered) ReadReplyInto(reply, true);
        for (const std::string& line : reply.FullResult)
            seenBytes += line.size() + 2;
        if (!handle(handled, reply)) {
            RecycleLines(reply.FullResult);
            DropReplies(sent - handled - 1 + stale);
            return false;
        }
    }
    RecycleLines(reply.FullResult);
    if (stale > 0) DropReplies(stale);
    return true;
}

} // namespace maildig
