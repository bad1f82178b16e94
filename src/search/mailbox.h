// The mailbox session of one run: the POP3 client, the login with the TLS mode chosen by the port, the
// capability checks and the UIDL listing that the find, view and delete actions walk.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "mime/basic/lines.h"
#include "pop3/pop3_send.h"
#include "search/outcome.h"

namespace maildig {

// What the driver owns for a mailbox action: the one client of the run and the parallel lists from the
// UIDL listing (entry i of both comes from line i: message number, UID).
struct TMailbox {
    TPOP3Send Pop;
    Lines MsgNumbers;
    Lines MsgUids;
};

// Where and as whom to log in.
struct TLogin {
    std::string Host;
    std::string User;
    std::string Pass;
    int Port = 110;
};

// Connects and logs in, then checks that the server lists UIDL and TOP. Fails with 10, 11 or 15. When the
// capabilities before the login list PIPELINING, CAPA and UIDL go out together after the login, followed by
// "TOP n topLines" for n = 1 to prefetch: a fresh session numbers its messages from 1, so the first heads
// of a walk can be on their way before the listing has arrived (the walk takes only those the listing
// confirms).
TOutcome openMailbox(TMailbox& box, const TLogin& login, bool verbose, std::size_t prefetch = 0,
                     int topLines = 0);

// Reads the UIDL listing into MsgNumbers and MsgUids. Fails with 12 when UIDL fails, with 20 on a line that
// does not hold exactly two fields or whose UID is not valid (the line is quoted with its control characters
// escaped).
TOutcome getMessageList(TMailbox& box, bool verbose);

// A UID as POP3 defines it: 1 to 70 characters in the range 0x21-0x7E.
bool isValidUid(std::string_view uid);

} // namespace maildig
