// The mailbox session: login, capability checks and the UIDL listing.
#include "search/mailbox.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "mime/charset/control_escape.h"
#include "strutil/strutil.h"

namespace maildig {

bool isValidUid(std::string_view uid) {
    if (uid.empty() || uid.size() > 70) return false;
    for (const unsigned char c : uid)
        if (c < 0x21 || c > 0x7E) return false;
    return true;
}

TOutcome openMailbox(TMailbox& box, const TLogin& login, bool verbose, std::size_t prefetch, int topLines) {
    if (verbose) std::fputs("Opening mailbox...\n", stderr);
    TPOP3Send& pop = box.Pop;
    pop.TargetHost = login.Host;
    pop.UserName = login.User;
    pop.Password = login.Pass;
    pop.TargetPort = str_from_int(login.Port);
    pop.AuthType = POP3AuthAll;
    // Port 110 starts in plain text and upgrades with STLS when offered; every other port speaks TLS from the
    // first byte.
    pop.AutoTLS = login.Port == 110;
    pop.FullSSL = login.Port != 110;
    if (!pop.OpenSession()) return {10};
    if (pop.Pipelining()) {
        Lines flight{"CAPA", "UIDL"};
        for (std::size_t n = 1; n <= prefetch; ++n)
            flight.push_back("TOP " + std::to_string(n) + " " + std::to_string(topLines));
        pop.SendAhead(flight, true); // a failed write closes the connection: CAPA then fails
    }
    if (!pop.QueryCapabilities() || !pop.HasCapability("UIDL")) return {11};
    if (!pop.HasCapability("TOP")) return {15};
    return {};
}

TOutcome getMessageList(TMailbox& box, bool verbose) {
    if (verbose) std::fputs("Getting list of messages on server...\n", stderr);
    TPOP3Reply listing = box.Pop.ListUids(0);
    if (!listing.Ok()) return {12};
    box.MsgNumbers.clear();
    box.MsgUids.clear();
    // The reply's lines are freed as they are split, so a long listing is held about once, not twice.
    box.MsgNumbers.reserve(listing.FullResult.size());
    box.MsgUids.reserve(listing.FullResult.size());
    std::vector<std::string> fields;
    for (std::string& line : listing.FullResult) {
        str_delimit_TSL(line, " ", "", fields);
        if (fields.size() != 2 || !isValidUid(fields[1]))
            return {20, EscapeControlChars(line, SystemCharset())};
        box.MsgNumbers.push_back(std::move(fields[0]));
        box.MsgUids.push_back(std::move(fields[1]));
        std::string().swap(line);
    }
    return {};
}

} // namespace maildig
