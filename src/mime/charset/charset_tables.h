// Upper-half tables of the single-byte charsets that the built-in converter handles exactly: the Unicode
// value of each byte 0x80..0xFF (bytes below 0x80 are ASCII). The data is generated into charset_tables.cpp.
#pragma once

#include <array>
#include <cstdint>

#include "mime/charset/charsets.h"

namespace maildig {

using TUpperHalf = std::array<std::uint16_t, 128>;

struct TCharsetTable {
    TMimeChar Charset;
    TUpperHalf Upper;
};

inline constexpr int kCharsetTableCount = 32;
extern const std::array<TCharsetTable, kCharsetTableCount> CharsetTables;

// The table of a charset; the ISO-8859-1 table (the identity) for a charset without one.
const TUpperHalf& UpperHalfTable(TMimeChar charset);

// True when the charset has a table of its own.
bool HasUpperHalfTable(TMimeChar charset);

} // namespace maildig
