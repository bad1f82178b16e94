// Small text helpers shared by the MIME part tree and the message header: keyword comparison ignoring the
// case of ASCII letters.
#pragma once

#include <string_view>

#include "bytes/ascii.h"

namespace mime_text {

// True when s begins with prefix, prefix given in upper case, letters of s compared in any case.
inline bool StartsNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (AsciiUpper(s[i]) != prefix[i]) return false;
    return true;
}

} // namespace mime_text
