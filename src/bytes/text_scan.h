// Scanning byte strings, shared by the front end's string routines and the MIME routines: trimming spaces,
// reading a run of digits, and finding a separator outside quoted stretches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "bytes/ascii.h"

namespace maildig {

// s without leading and trailing spaces (character 32 only; tabs stay).
std::string_view TrimSpacesView(std::string_view s);

// Reads digits, all of it, as an unsigned number in base (2 to 16, digits of either case): false when digits
// is empty, holds a byte that is not a digit of the base, or its value exceeds limit (at most 2^32).
constexpr bool ParseDigits(std::string_view digits, unsigned base, std::uint64_t limit,
                           std::uint64_t& value) {
    if (digits.empty()) return false;
    std::uint64_t v = 0;
    for (const char c : digits) {
        const int d = HexDigitValue(c);
        if (d < 0 || static_cast<unsigned>(d) >= base) return false;
        v = v * base + static_cast<unsigned>(d);
        if (v > limit) return false;
    }
    value = v;
    return true;
}

// Offset of the first occurrence of separator in s that lies outside quoted stretches, npos when there is
// none (always for an empty separator). quote holds the quote character, or nothing for text without
// quoting; a quote opens a stretch and the next one closes it. Where the byte that would open a stretch also
// begins the separator, quoteFirst makes it open the stretch; otherwise the separator is found there.
std::size_t FindOutsideQuotes(std::string_view s, std::string_view separator, std::string_view quote,
                              bool quoteFirst);

} // namespace maildig
