// The socket-free half of reading a POP3 reply: the verdict of a status line, the text a single-line reply
// leaves, and the body lines of a multi-line reply (its end, dot-unstuffing, the bound of what is held).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "mime/basic/lines.h"

// 1 when the status line starts with "+OK" (case-sensitive), else 0.
int32_t ReplyVerdict(std::string_view status);

// What a successful single-line reply leaves in FullResult: the status line's text after its first blank,
// or the whole line when it has none.
std::string SingleLineResult(std::string_view status);

// What one received body line did to a multi-line reply.
enum TBodyStep {
    BS_More,   // stored; the body goes on
    BS_End,    // the terminating "." line: the body is complete (nothing stored)
    BS_TooBig, // stored, but the body now holds more than its bound: an empty entry ends it like a cut one
};

// What one list entry costs besides its bytes, so that a flood of empty lines is bounded as well.
inline constexpr std::size_t kReplyEntryOverhead = sizeof(std::string);

// Takes one received body line into body: "." ends the body, any other line is stored without the first of
// its leading dots. held counts what body holds (bytes plus kReplyEntryOverhead per entry) against maxBytes.
TBodyStep AddBodyLine(Lines& body, std::string&& line, std::size_t& held, std::size_t maxBytes);
