// Small text helpers shared by the MIME part tree and the message header: ASCII upper-casing for keyword
// comparison.
#pragma once

#include <string_view>

namespace mime_text {

inline char UpChar(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// True when s begins with prefix, prefix given in upper case, letters of s compared in any case.
inline bool StartsNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (UpChar(s[i]) != prefix[i]) return false;
    return true;
}

} // namespace mime_text
