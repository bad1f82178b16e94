#include "pop3/pop3_send.h"

#include "mime/basic/text_routines.h"
#include "net/ssl_openssl.h"

namespace {

// What one list entry costs besides its bytes, so that a flood of empty lines is bounded as well.
constexpr size_t kEntryOverhead = sizeof(std::string);

} // namespace

TPOP3Send::TPOP3Send() : sock_(std::make_unique<TTCPBlockSocket>()) {
    Timeout = 60000;
    TargetPort = "110";
    sock_->Owner = this;
    sock_->ConvertLineEnd = true;
    sock_->MaxLineLength = 64 * 1024 * 1024;
}

TPOP3Send::~TPOP3Send() = default;

int32_t TPOP3Send::ReadReply(bool full) {
    fullResult_.clear();
    std::string line = sock_->ReceiveLine(Timeout);
    int32_t verdict = line.starts_with("+OK") ? 1 : 0;
    resultString_ = std::move(line);
    bool tooLong = false;
    if (full && verdict == 1) {
        size_t held = 0;
        for (;;) {
            std::string body = sock_->ReceiveLine(Timeout);
            if (sock_->LastErrorCode == 0) {
                if (body == ".") break;
                if (!body.empty() && body[0] == '.') body.erase(0, 1);
            }
            held += body.size() + kEntryOverhead;
            fullResult_.push_back(std::move(body));
            if (sock_->LastErrorCode != 0) break;
            if (held > MaxReplyBytes) {
                // Too big to hold: end it like a cut-off reply.
                fullResult_.emplace_back();
                tooLong = true;
                break;
            }
        }
    } else if (verdict == 1) {
        fullResult_.push_back(TextAfter(resultString_, " "));
    }
    if (sock_->LastErrorCode != 0 || tooLong) {
        verdict = 0;
        // The rest of this reply may still arrive; drop the connection so that no later command takes it
        // for its own answer.
        sock_->CloseConnection();
    }
    resultCode_ = verdict;
    return verdict;
}

bool TPOP3Send::SendCommand(const std::string& command, bool full) {
    sock_->SendText(command + "\r\n");
    if (sock_->LastErrorCode != 0) {
        // A command that did not go out whole leaves the exchange out of step as well.
        fullResult_.clear();
        resultString_.clear();
        resultCode_ = 0;
        sock_->CloseConnection();
        return false;
    }
    return ReadReply(full) != 0;
}

bool TPOP3Send::OpenConnection() {
    statCount_ = 0;
    statSize_ = 0;
    sock_->CloseConnection();
    sock_->ReadAhead.clear();
    sock_->BindLocal(IPInterface, "0");
    if (sock_->LastErrorCode == 0) sock_->ConnectTo(TargetHost, TargetPort);
    if (sock_->LastErrorCode == 0 && FullSSL) sock_->NegotiateTls();
    return sock_->LastErrorCode == 0;
}

bool TPOP3Send::QueryCapabilities() {
    capabilityList_.clear();
    bool ok = SendCommand("CAPA", true);
    if (ok) capabilityList_ = fullResult_;
    return ok;
}

std::string TPOP3Send::FindCapability(std::string_view keyword) const {
    // An empty keyword occurs at no position, so it matches no line.
    if (keyword.empty()) return {};
    std::string key = UpperAscii(keyword);
    for (const std::string& line : capabilityList_)
        if (UpperAscii(line).starts_with(key)) return line;
    return {};
}

bool TPOP3Send::UpgradeToTls() {
    if (!SendCommand("STLS", false)) return false;
    sock_->NegotiateTls();
    return sock_->LastErrorCode == 0;
}

bool TPOP3Send::AuthUserPass() {
    if (!SendCommand("USER " + UserName, false)) return false;
    return SendCommand("PASS " + Password, false);
}

bool TPOP3Send::AuthApopDigest() {
    std::string digest;
    if (!OpenSslMd5(timeStamp_ + Password, digest)) return false;
    return SendCommand("APOP " + UserName + " " + HexOfBytes(digest), false);
}

bool TPOP3Send::OpenSession() {
    timeStamp_.clear();
    if (!OpenConnection()) return false;
    if (ReadReply(false) != 1) return false;

    std::string afterLt = TextAfter(resultString_, "<");
    if (afterLt != resultString_) {
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

    bool loggedIn = false;
    if (!timeStamp_.empty() && AuthType != POP3AuthLogin) {
        loggedIn = AuthApopDigest();
        if (!loggedIn) {
            if (!OpenConnection()) return false;
            if (ReadReply(false) != 1) return false;
            // Never fall back to plain text where the first connection was protected.
            if (upgradedWithStls && !UpgradeToTls()) return false;
        }
    }
    if (!loggedIn && AuthType != POP3AuthAPOP) loggedIn = AuthUserPass();
    return loggedIn;
}

bool TPOP3Send::CloseSession() {
    bool ok = SendCommand("QUIT", false);
    sock_->CloseConnection();
    return ok;
}

bool TPOP3Send::DeleteMessage(int32_t n) {
    return SendCommand("DELE " + std::to_string(n), false);
}

bool TPOP3Send::FetchTop(int32_t n, int32_t lines) {
    return SendCommand("TOP " + std::to_string(n) + " " + std::to_string(lines), true);
}

bool TPOP3Send::ListUids(int32_t n) {
    if (n == 0) return SendCommand("UIDL", true);
    return SendCommand("UIDL " + std::to_string(n), false);
}
