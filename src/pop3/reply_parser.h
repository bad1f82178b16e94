// The socket-free half of reading a POP3 reply: the verdict of a status line, the text a single-line reply
// leaves, and the body lines of a multi-line reply (its end, dot-unstuffing, the bound of what is held).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "mime/basic/lines.h"

namespace maildig {

// 1 when the status line starts with "+OK" (case-sensitive), else 0.
int32_t ReplyVerdict(std::string_view status);

// What a successful single-line reply leaves in FullResult: the status line's text after its first blank,
// or the whole line when it has none.
std::string SingleLineResult(std::string_view status);

// What one received body line did to a multi-line reply.
enum TBodyStep {
    BS_More,   // stored; the body goes on
    BS_End,    // the terminating "." line: the body is complete (nothing stored)
    BS_TooBig, // not stored: the body would hold more than its bound; it keeps the lines before this one
};

// What a stored line really costs: the string object, plus its own buffer when the text does not fit inside
// it (so a flood of empty lines is bounded as well, and short lines cost no more than they take).
std::size_t HeldBytes(const std::string& line);

// Takes one received body line into body: "." ends the body, any other line is stored without the first of
// its leading dots. held counts what body holds (HeldBytes of each entry) and never exceeds maxBytes.
TBodyStep AddBodyLine(Lines& body, std::string&& line, std::size_t& held, std::size_t maxBytes);

} // namespace maildig
