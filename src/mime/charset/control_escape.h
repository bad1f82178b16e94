// The visible form of control characters in server and message text, so that bytes a server or a sender
// chose cannot steer the user's terminal when they are printed.
#pragma once

#include <string>
#include <string_view>

#include "mime/charset/charsets.h"

namespace maildig {

// text with every control character written as backslash, "x" and two lower-case hex digits per byte
// (ESC becomes \x1b): C0 except TAB, DEL, and the C1 controls of charset (U+0080..U+009F: the two-byte
// sequences C2 80..C2 9F in UTF-8, the bytes that map to them in a single-byte charset with a table).
// Every other byte, a backslash included, is kept.
std::string EscapeControlChars(std::string_view text, TMimeChar charset);

} // namespace maildig
