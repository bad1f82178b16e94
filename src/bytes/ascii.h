// ASCII character routines shared by every layer: case folding of the letters A-Z/a-z (every other byte
// kept, whatever the character set) and hexadecimal digits both ways.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace maildig {

constexpr char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr char AsciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Copies of s with the ASCII letters folded.
inline std::string LowerAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = AsciiLower(c);
    return out;
}

inline std::string UpperAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = AsciiUpper(c);
    return out;
}

// True when a and b are equal but for the case of ASCII letters.
constexpr bool EqualsAsciiNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

// True when s begins with prefix but for the case of ASCII letters.
constexpr bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && EqualsAsciiNoCase(s.substr(0, prefix.size()), prefix);
}

// Length of the run of ASCII bytes (below 0x80) that s begins with; s.size() when s is all ASCII. Eight bytes
// are tested at a time.
inline std::size_t AsciiPrefixLength(std::string_view s) {
    const char* const p = s.data();
    const std::size_t n = s.size();
    std::size_t i = 0;
    for (; n - i >= 8; i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, p + i, 8);
        if ((word & 0x8080808080808080ULL) != 0) break;
    }
    while (i < n && static_cast<unsigned char>(p[i]) < 0x80)
        ++i;
    return i;
}

// Value 0-15 of a hexadecimal digit (either case); -1 for any other byte.
constexpr int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Appends the two lower-case hexadecimal digits of b.
inline void AppendHexByte(std::string& out, unsigned char b) {
    static constexpr char digits[] = "0123456789abcdef";
    out += digits[b >> 4];
    out += digits[b & 15];
}

} // namespace maildig
