// Decoding of RFC 2047 encoded words ("=?charset?B|Q?text?=") in header values into a target
// character set.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "mime/charset/charsets.h"

namespace maildig {

// Given the index of an opening "=?" in value, the index of the "?" of the closing "?=" (the third
// or a later "?" after the opening, directly followed by "="), or npos when there is none.
std::size_t FindEncodedWordEnd(std::string_view value, std::size_t start);

// The value with every encoded word decoded and converted into target. Text between encoded words
// that is only blanks is dropped; other text is kept unchanged and never converted.
std::string DecodeHeaderWords(std::string_view value, TMimeChar target);

} // namespace maildig
