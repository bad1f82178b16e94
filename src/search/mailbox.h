// The mailbox session of one run: the POP3 client, the login with the TLS mode chosen by the port, the
// capability checks and the UIDL listing that the find, view and delete actions walk.
#pragma once

#include <memory>
#include <string_view>

#include "mime/basic/lines.h"
#include "pop3/pop3_send.h"

// The one client of the run; created by openMailbox, closed and freed by the driver.
extern std::unique_ptr<TPOP3Send> pop;

// Parallel lists from the UIDL listing: entry i of both comes from line i (message number, UID).
extern Lines msgNumbers;
extern Lines msgUids;

// Connects and logs in with the parameters of the run, then checks that the server lists UIDL and TOP.
// Returns only on success; quit(10), quit(11) or quit(15) otherwise.
void openMailbox();

// Reads the UIDL listing into msgNumbers and msgUids. quit(12) when UIDL fails, quit(20) on a line that
// does not hold exactly two fields or whose UID is not valid (the line is quoted with its control characters
// escaped).
void getMessageList();

// A UID as POP3 defines it: 1 to 70 characters in the range 0x21-0x7E.
bool isValidUid(std::string_view uid);
