// The front end's small string library: trimming, ASCII case folding, 1-based substrings, delimited lists,
// quoted tokens, integer <-> text conversion and ROT47. Positions are 1-based; blank means the space alone.
#pragma once

#include <bitset>
#include <string>
#include <vector>

namespace maildig {

// A set of byte values, as used by str_skip_set.
using TCharSet = std::bitset<256>;

// Length in bytes.
std::size_t str_length(const std::string& s);

// Remove spaces (only character 32) at both ends, at the start, or at the end.
std::string str_trim(const std::string& s);
std::string str_trim_left(const std::string& s);
std::string str_trim_right(const std::string& s);

// Copy of s with A-Z turned into a-z; every other byte is kept.
std::string str_lower(const std::string& s);

// 1-based position of the first occurrence of sub in s, 0 when absent (case-sensitive). An empty sub gives 0.
std::size_t str_pos(const std::string& s, const std::string& sub);

// Up to count characters of s from pos; pos < 1 counts as 1; count <= 0 or pos past the end gives "".
std::string str_copy(const std::string& s, int pos, int count);

// Characters of s from position first to position last (last is cut at the end of s).
std::string str_slice(const std::string& s, int first, int last);

// s with count characters removed at pos. A bounds error is reported on standard output and ends the
// process with exit code 1.
std::string str_delete(const std::string& s, int pos, int count);

// Decimal text of n.
std::string str_from_int(int n);

// Signed 32-bit value of s: leading spaces and tabs, one sign, then decimal digits, or "$"/"0x"/"0X"
// (hexadecimal), "%" (binary) or "&" (octal) and digits. Invalid or out-of-range text gives 0.
int str_to_int(const std::string& s);

// True when trimmed s is an optional "-" followed by decimal digits only ("-" alone counts).
bool str_is_integer(const std::string& s);

// First position at or after pos that stops skipping characters in set (in_set) or not in set (!in_set);
// length + 1 when the scan runs off the end.
std::size_t str_skip_set(const std::string& s, std::size_t pos, bool in_set, const TCharSet& set);

// Takes the next token in single or double quotes at or after pos (after blanks). status: 0 ok, 1 no quoted
// token there, 2 unterminated or nested deeper than 32; the token is emptied on failure. Returns the position
// after the token (see the unit's notes). s is read through the caller's variable.
std::size_t str_next_quoted(const std::string& s, std::size_t pos, std::string& token, int& status);

// Clears list and fills it with the fields of s split at separator (at most one character), honouring the
// quote character delimiter (at most one character); fields are trimmed and lose one delimiter at each end.
// A separator or delimiter longer than one character is reported and ends the process with exit code 1.
void str_delimit_TSL(const std::string& s, const std::string& separator, const std::string& delimiter,
                     std::vector<std::string>& list);

// ROT47 of the bytes 33..126; all other bytes are kept. Its own inverse.
std::string str_rot47(const std::string& s);

} // namespace maildig
