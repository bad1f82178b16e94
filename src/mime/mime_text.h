// Small text helpers shared by the MIME part tree and the message header: trimming of control characters
// and blanks, and ASCII upper-casing for keyword comparison.
#pragma once

#include <string>
#include <string_view>

namespace mime_text {

inline bool IsCtl(char c) { return static_cast<unsigned char>(c) <= 32; }

// s without leading and trailing characters of code 32 or below.
inline std::string_view Trim(std::string_view s)
{
    while (!s.empty() && IsCtl(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsCtl(s.back())) s.remove_suffix(1);
    return s;
}

inline std::string_view TrimRight(std::string_view s)
{
    while (!s.empty() && IsCtl(s.back())) s.remove_suffix(1);
    return s;
}

inline char UpChar(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

inline std::string Upper(std::string_view s)
{
    std::string u(s);
    for (char& c : u) c = UpChar(c);
    return u;
}

// True when s begins with prefix, prefix given in upper case, letters of s compared in any case.
inline bool StartsNoCase(std::string_view s, std::string_view prefix)
{
    if (s.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (UpChar(s[i]) != prefix[i]) return false;
    return true;
}

} // namespace mime_text
