// Fuzz target: RFC 2047 encoded words in a header value. Input: target-charset byte, then the value.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mime/encoded_words.h"
using namespace maildig;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const auto target = static_cast<TMimeChar>(data[0] % kMimeCharCount);
    const std::string_view value(reinterpret_cast<const char*>(data + 1), size - 1);
    (void)DecodeHeaderWords(value, target);
    for (std::size_t at = value.find("=?"); at != std::string_view::npos; at = value.find("=?", at + 1))
        (void)FindEncodedWordEnd(value, at);
    return 0;
}
