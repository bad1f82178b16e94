// Fuzz target: conversion of attacker-controlled bytes between any two charsets, through iconv and through
// the built-in converters alone. Input: from-charset byte, to-charset byte, flags byte, then the text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mime/charset/charsets.h"
#include "mime/charset/iconv_binding.h"
using namespace maildig;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const auto from = static_cast<TMimeChar>(data[0] % kMimeCharCount);
    const auto to = static_cast<TMimeChar>(data[1] % kMimeCharCount);
    const bool transliterate = (data[2] & 1) != 0;
    const std::string_view text(reinterpret_cast<const char*>(data + 3), size - 3);
    (void)ConvertCharsetCore(text, from, to, transliterate);
    SetIconvDisabled(true);
    (void)ConvertCharsetCore(text, from, to, transliterate);
    SetIconvDisabled(false);
    return 0;
}
