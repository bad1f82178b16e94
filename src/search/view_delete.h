// The two single-message actions: print the message with a given UID, or delete it on the server.
#pragma once

#include <string>

#include "search/mailbox.h"
#include "search/outcome.h"

namespace maildig {

// The Date line's value: the locale's date format (strftime %x) and, unless the time of day is exactly
// midnight, a blank and the locale's time format (%X). A zero date (no Date header) gives "".
std::string formatViewDate(double date);

// What view and delete are given: the UID to act on, and the TOP size and verbosity of the run.
struct TUidRequest {
    std::string Uid;
    int MaxSize = 10;
    bool Verbose = false;
};

// Prints the header fields and the first text part of the message whose UID equals request.Uid. Fails with 1
// when no listed UID equals it.
TOutcome viewByUid(TMailbox& box, const TUidRequest& request);

// Marks the message whose UID equals request.Uid for deletion (DELE). Fails with 1 when no listed UID equals
// it, with 17 when the server refuses DELE. The deletion becomes final with the driver's QUIT.
TOutcome deleteByUid(TMailbox& box, const TUidRequest& request);

} // namespace maildig
