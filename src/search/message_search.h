// The find action: walks the UIDL listing, fetches the head of each message with TOP and prints the UID of
// every message that passes the From/To/Subject criteria and holds the search string in its subject or first
// text part.
#pragma once

#include <cstdio>
#include <string_view>

#include "mime/basic/lines.h"
#include "mime/mime_message.h"
#include "mime/mime_part.h"

// The TOP line count of the run: maxSize x 1000 div 80 (125 for the default of 10 KB). Values whose product
// does not fit 32 bits are clamped instead of overflowing.
int fetchLines();

// Depth-first search of the tree under part for the first leaf whose primary type is text; on success its
// decoded body replaces lines and the result is true. Non-text leaves are skipped; lines is left alone when
// there is no text leaf.
bool findTextPart(TMimePart& part, Lines& lines);

// Splits decoded text into lines at CR LF, a lone CR or a lone LF; text after the last line end is a line
// too.
void splitTextLines(const std::string& text, Lines& lines);

// Writes text and a line break to out, byte for byte (header values may hold any byte).
void writeLine(std::FILE* out, std::string_view text);

// The verbose "from/to/subject" lines of one message on standard error (the first To recipient, or nothing).
void writeHeaderSummary(const TMessHeader& header);

// True when needle occurs in haystack, ignoring the case of ASCII letters only; an empty needle always does.
bool containsFolded(const std::string& haystack, const std::string& needle);

// The find action. Returns when at least one message matched; quit(1) otherwise.
void findMessages();
