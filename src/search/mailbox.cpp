// The mailbox session: login, capability checks and the UIDL listing.
#include "search/mailbox.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "mime/charset/control_escape.h"
#include "net/ssl_openssl.h"
#include "pop3/sasl.h"
#include "strutil/strutil.h"

namespace maildig {

bool isValidUid(std::string_view uid) {
    if (uid.empty() || uid.size() > 70) return false;
    for (const unsigned char c : uid)
        if (c < 0x21 || c > 0x7E) return false;
    return true;
}

namespace {

// Code 9: the text goes on a line of its own after the code's message.
TOutcome tlsFailure(const std::string& why) {
    return {9, "\n" + why};
}

// Why a session that had to be verified was not opened, or empty when TLS was not the cause.
std::string tlsProblemText(TPOP3Send& pop) {
    switch (pop.TlsProblem()) {
    case TP_None:
        return {};
    case TP_Handshake:
        return pop.Sock().LastErrorText;
    case TP_NoStls:
        return "the server on port 110 offered no STLS: the password was not sent in clear";
    case TP_StlsRefused:
        return "the server refused STLS: the password was not sent in clear";
    }
    return {};
}

// The --verbose line of a SASL login: the mechanism that logged in, the server's reason for a refusal (its
// challenge decoded, control characters escaped like every server text), or that no mechanism could be used.
void printSaslOutcome(const TPOP3Send& pop, bool loggedIn) {
    const std::string auth = std::string("AUTH ") + SaslMechName(pop.SaslMechanism());
    const std::string& challenge = pop.SaslChallenge();
    std::string line, reason;
    if (pop.NoSaslMechanism())
        line = "No AUTH sent: the server's SASL capability lists neither OAUTHBEARER nor XOAUTH2.";
    else if (pop.SaslMechanism() == SM_None)
        return;
    else if (loggedIn)
        line = "Logged in with " + auth + ".";
    else if (challenge.empty())
        line = auth + " refused.";
    else if (DecodeSaslChallenge(challenge, reason))
        line = auth + " refused: " + EscapeControlChars(reason, SystemCharset());
    else
        line = auth + " refused with a challenge that is not base64: " +
               EscapeControlChars(challenge, SystemCharset());
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
}

} // namespace

TOutcome checkVerifySettings(const TLogin& login) {
    if (!login.Verify) return {};
    if (!IsTlsLibraryLoaded()) return tlsFailure("TLS is not available: OpenSSL could not be loaded");
    std::string why;
    if (!login.VerifyCA.empty() && !CheckCAFile(login.VerifyCA, why)) return tlsFailure(why);
    return {};
}

TOutcome openMailbox(TMailbox& box, const TLogin& login, bool verbose, std::size_t prefetch, int topLines) {
    if (verbose) std::fputs("Opening mailbox...\n", stderr);
    TPOP3Send& pop = box.Pop;
    pop.TargetHost = login.Host;
    pop.UserName = login.User;
    pop.Password = login.Pass;
    pop.TargetPort = str_from_int(login.Port);
    pop.AuthType = login.OAuth ? POP3AuthOAuth : POP3AuthAll;
    // Port 110 starts in plain text and upgrades with STLS when offered; every other port speaks TLS from the
    // first byte.
    pop.AutoTLS = login.Port == 110;
    pop.FullSSL = login.Port != 110;
    if (login.Verify) {
        TCustomSSL& tls = pop.Sock().Tls();
        tls.VerifyCert = true;
        tls.CertCAFile = login.VerifyCA;
        tls.VerifyHost = login.Host;
        tls.SNIHost = IsIpLiteral(login.Host) ? "" : login.Host;
        pop.RequireTls = true;
    }
    const bool open = pop.OpenSession();
    if (verbose) printSaslOutcome(pop, open);
    if (!open) {
        if (login.Verify)
            if (std::string why = tlsProblemText(pop); !why.empty()) return tlsFailure(why);
        return {10};
    }
    if (pop.Pipelining()) {
        Lines flight{"CAPA", "UIDL"};
        if (box.Heads) flight.push_back("LIST");
        for (std::size_t n = 1; n <= prefetch; ++n)
            if (!box.Heads || !box.Heads->Expects(static_cast<int32_t>(n)))
                flight.push_back("TOP " + std::to_string(n) + " " + std::to_string(topLines));
        pop.SendAhead(flight, true); // a failed write closes the connection: CAPA then fails
    }
    if (!pop.QueryCapabilities() || !pop.HasCapability("UIDL")) return {11};
    if (!pop.HasCapability("TOP")) return {15};
    return {};
}

TOutcome getMessageList(TMailbox& box, bool verbose, std::string_view keepUid) {
    if (verbose) std::fputs("Getting list of messages on server...\n", stderr);
    TUidList& list = box.Listing;
    list.Clear();
    // Each line is split as it arrives; after the first bad one the rest of the reply is read and dropped.
    std::string badLine;
    bool bad = false;
    std::vector<std::string> fields;
    const TPOP3Reply listing = box.Pop.ListUids([&](const std::string& line) {
        if (bad) return;
        str_delimit_TSL(line, " ", "", fields);
        if (fields.size() == 2 && isValidUid(fields[1])) {
            if (list.Bytes() >= list.MaxBytes && fields[1] != keepUid) {
                ++list.Unkept;
                return;
            }
            if (list.Add(fields[0], fields[1])) return;
        }
        bad = true;
        badLine = line;
    });
    if (!listing.Ok()) return {12};
    if (bad) return {20, EscapeControlChars(badLine, SystemCharset())};
    if (box.Heads) {
        box.Heads->ReadSizes(box.Pop, list);
        box.Heads->Match(list, list.Unkept == 0);
    }
    return {};
}

void TUidList::Clear() {
    Unkept = 0;
    text_.clear();
    ends_.clear();
    numbers_.clear();
}

bool TUidList::Add(std::string_view number, std::string_view uid) {
    if (number.size() + uid.size() > UINT32_MAX - text_.size()) return false;
    text_ += number;
    ends_.push_back(static_cast<std::uint32_t>(text_.size()));
    text_ += uid;
    ends_.push_back(static_cast<std::uint32_t>(text_.size()));
    numbers_.push_back(str_to_int(std::string(number)));
    return true;
}

std::string_view TUidList::Text(std::size_t k) const {
    const std::size_t start = k == 0 ? 0 : ends_[k - 1];
    return std::string_view(text_).substr(start, ends_[k] - start);
}

} // namespace maildig
