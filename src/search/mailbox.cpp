// The mailbox session: login, capability checks and the UIDL listing.
#include "search/mailbox.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "cli/params.h"
#include "cli/quit.h"
#include "mime/charset/control_escape.h"
#include "strutil/strutil.h"

std::unique_ptr<TPOP3Send> pop;
Lines msgNumbers;
Lines msgUids;

bool isValidUid(std::string_view uid) {
    if (uid.empty() || uid.size() > 70) return false;
    for (const unsigned char c : uid)
        if (c < 0x21 || c > 0x7E) return false;
    return true;
}

void openMailbox() {
    if (params.verbose) std::fputs("Opening mailbox...\n", stderr);
    pop = std::make_unique<TPOP3Send>();
    pop->TargetHost = params.host;
    pop->UserName = params.user;
    pop->Password = params.pass;
    pop->TargetPort = str_from_int(params.port);
    pop->AuthType = POP3AuthAll;
    // Port 110 starts in plain text and upgrades with STLS when offered; every other port speaks TLS from the
    // first byte.
    if (params.port == 110) {
        pop->AutoTLS = true;
    } else {
        pop->AutoTLS = false;
        pop->FullSSL = true;
    }
    if (!pop->OpenSession()) quit(10);
    if (!pop->QueryCapabilities()) quit(11);
    if (!pop->HasCapability("UIDL")) quit(11);
    if (!pop->HasCapability("TOP")) quit(15);
}

void getMessageList() {
    if (params.verbose) std::fputs("Getting list of messages on server...\n", stderr);
    if (!pop->ListUids(0)) quit(12);
    msgNumbers.clear();
    msgUids.clear();
    // The reply's lines are freed as they are split, so a long listing is held about once, not twice.
    Lines listing;
    pop->TakeFullResult(listing);
    msgNumbers.reserve(listing.size());
    msgUids.reserve(listing.size());
    std::vector<std::string> fields;
    for (std::string& line : listing) {
        str_delimit_TSL(line, " ", "", fields);
        if (fields.size() != 2 || !isValidUid(fields[1])) quit(20, EscapeControlChars(line, SystemCharset()));
        msgNumbers.push_back(std::move(fields[0]));
        msgUids.push_back(std::move(fields[1]));
        std::string().swap(line);
    }
}
