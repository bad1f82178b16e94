// Escaping of control characters for display.
#include "mime/charset/control_escape.h"

#include <cstdint>

#include "bytes/ascii.h"
#include "mime/charset/charset_tables.h"

namespace maildig {

namespace {

void PutEscaped(std::string& out, unsigned char c) {
    out += "\\x";
    AppendHexByte(out, c);
}

bool IsC1(std::uint16_t value) {
    return value >= 0x80 && value <= 0x9F;
}

} // namespace

std::string EscapeControlChars(std::string_view text, TMimeChar charset) {
    const bool utf8 = charset == UTF_8;
    const TUpperHalf* table =
        HasUpperHalfTable(charset) || charset == ISO_8859_1 ? &UpperHalfTable(charset) : nullptr;
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if ((c < 0x20 && c != '\t') || c == 0x7F) {
            PutEscaped(out, c);
        } else if (utf8 && c == 0xC2 && i + 1 < text.size() &&
                   IsC1(static_cast<unsigned char>(text[i + 1]))) {
            PutEscaped(out, c);
            PutEscaped(out, static_cast<unsigned char>(text[++i]));
        } else if (!utf8 && table != nullptr && c >= 0x80 && IsC1((*table)[c - 0x80])) {
            PutEscaped(out, c);
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

} // namespace maildig
