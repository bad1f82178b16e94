// Fuzz target: every transfer decoder on the same bytes, and the encoders' round trips.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "mime/basic/transfer_encodings.h"
using namespace maildig;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    (void)DecodeQuotedPrintable(text);
    if (size > 0) (void)DecodeHexEscapes(text.substr(1), text[0]);
    (void)DecodeQuads(text, UUAlphabet);
    (void)DecodeQuadsByTable(text, Base64ReverseTable);
    (void)Base64CommaDecode(text);
    (void)UUDecode(text);
    (void)XXDecode(text);
    // Decoding what was encoded gives the bytes back.
    if (Base64Decode(Base64Encode(text)) != text) std::abort();
    if (Base64CommaDecode(Base64CommaEncode(text)) != text) std::abort();
    (void)Base64Decode(text);
    return 0;
}
