// The find action: walks the UIDL listing, fetches the head of each message with TOP and prints the UID of
// every message that passes the From/To/Subject criteria and holds the search string in its subject or first
// text part.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "mime/basic/lines.h"
#include "mime/mime_message.h"
#include "mime/mime_part.h"
#include "search/mailbox.h"
#include "search/outcome.h"

namespace maildig {

// The TOP line count for maxSize: maxSize x 1000 div 80 (125 for the default of 10 KB). Values whose
// product does not fit 32 bits are clamped instead of overflowing.
int fetchLines(int maxSize);

// What a message must hold to match, taken once from the parameters of the run; an empty string asks
// nothing.
struct TSearchCriteria {
    std::string from;     // in the From field
    std::string to;       // in one of the To recipients
    std::string subject;  // in the Subject field
    std::string text;     // the search string: in the subject or in a line of the first text part
    bool verbose = false; // write the verbose lines of each message to standard error
};

// Parses the message whose lines mess holds and judges it against criteria (every comparison ignoring the
// case of ASCII letters); writes the verbose lines of the message. When the body has to be searched, the
// first text part is decoded into its DecodedLines.
bool messageMatches(TMimeMess& mess, const TSearchCriteria& criteria);

// The first leaf whose primary type is text in a depth-first walk of the tree under part, children in
// order; null when there is none.
TMimePart* firstTextLeaf(TMimePart& part);

// The decoded body of firstTextLeaf(part), split into lines, replaces lines; false (lines left alone) when
// there is no text leaf.
bool findTextPart(TMimePart& part, Lines& lines);

// Writes text and a line break to out. Control characters are escaped (EscapeControlChars in the system
// charset) on standard error, and on standard output when it is a terminal; otherwise byte for byte.
void writeLine(std::FILE* out, std::string_view text);

// The verbose "from/to/subject" lines of one message on standard error (the first To recipient, or nothing).
void writeHeaderSummary(const TMessHeader& header);

// True when needle occurs in haystack, ignoring the case of ASCII letters only; an empty needle always does.
// Allocates nothing.
bool containsFolded(std::string_view haystack, std::string_view needle);

// The find action over the listing of box, with TOP for fetchLines(maxSize) body lines; all goes on after a
// match. Succeeds when at least one message matched and every message was searched (without all: up to the
// match); fails with 23 when the connection was lost before that, with 1 when nothing matched.
TOutcome findMessages(TMailbox& box, const TSearchCriteria& criteria, int maxSize, bool all);

} // namespace maildig
