// Generic text routines on byte strings: cutting at a separator, trimming, ASCII upper-casing, tokens,
// hexadecimal text. They know nothing of mail; positions are 1-based where a result is a position.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

#include "bytes/ascii.h" // the ASCII case folding (UpperAscii) used beside these routines

namespace maildig {

// Text of s before the first occurrence of separator; all of s when it does not occur (or is empty).
std::string TextBefore(std::string_view s, std::string_view separator);
// Text of s after the first occurrence of separator; all of s when it does not occur (or is empty).
std::string TextAfter(std::string_view s, std::string_view separator);
// The same texts as views into s (no copy).
std::string_view TextBeforeView(std::string_view s, std::string_view separator);
std::string_view TextAfterView(std::string_view s, std::string_view separator);
// 1-based position of the last occurrence of sub in s; 0 when there is none. An empty sub matches at
// length(s) + 1, the first start position of the backward walk.
std::size_t LastPos(std::string_view sub, std::string_view s);
// s with every occurrence of search replaced, left to right; replaced text is not scanned again.
std::string ReplaceAll(std::string_view s, std::string_view search, std::string_view replacement);
// s without leading and trailing spaces (character 32 only).
std::string TrimSpaces(std::string_view s);
// s without leading and trailing characters of code 32 or below, as a copy or as a view into s; the
// right-only form trims the end alone.
std::string TrimGeneral(std::string_view s);
std::string_view TrimGeneralView(std::string_view s);
std::string_view TrimGeneralRightView(std::string_view s);

// The token before the first separator, space-trimmed; s keeps the space-trimmed rest (empty when the
// separator does not occur). The string_view form advances the view instead of copying the rest, for loops
// over long values.
std::string FetchToken(std::string& s, std::string_view separator);
std::string FetchToken(std::string_view& s, std::string_view separator);
// The same token as a piece of s.
std::string_view FetchTokenView(std::string_view& s, std::string_view separator);
// Two lower-case hexadecimal digits per byte.
std::string HexOfBytes(std::string_view s);
// Writes the bytes of s at the stream's current position.
void WriteTextToStream(std::ostream& stream, std::string_view s);

} // namespace maildig
