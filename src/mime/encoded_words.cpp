// Decoding of RFC 2047 encoded words in header values.
#include "mime/encoded_words.h"

#include "mime/basic/transfer_encodings.h"

namespace maildig {

namespace {

bool IsBlankOnly(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) > 32) return false;
    return true;
}

// Decodes the inside of one encoded word ("charset?letter?data", without "=?" and "?="); false
// when it does not have that shape or the letter is neither B nor Q.
bool DecodeWordInner(std::string_view inner, TMimeChar target, std::string& out) {
    const std::size_t z = inner.find('?');
    if (z == std::string_view::npos || inner.size() < z + 3 || inner[z + 2] != '?') return false;
    std::string_view name = inner.substr(0, z);
    name = name.substr(0, name.find('*')); // a language tag after "*" is ignored
    const char letter = inner[z + 1];
    const std::string data(inner.substr(z + 3));
    std::string bytes;
    if (letter == 'B' || letter == 'b') {
        bytes = Base64Decode(data);
    } else if (letter == 'Q' || letter == 'q') {
        std::string q = data;
        for (char& c : q)
            if (c == '_') c = ' ';
        bytes = DecodeQuotedPrintable(q);
    } else {
        return false;
    }
    out += ConvertBetweenCharsets(bytes, CharsetFromName(name), target);
    return true;
}

} // namespace

std::size_t FindEncodedWordEnd(std::string_view value, std::size_t start) {
    if (start == std::string_view::npos || value.size() < 2) return std::string_view::npos;
    int marks = 0;
    for (std::size_t p = start + 2; p + 1 < value.size(); ++p) {
        if (value[p] != '?') continue;
        if (++marks > 2 && value[p + 1] == '=') return p;
    }
    return std::string_view::npos;
}

std::string DecodeHeaderWords(std::string_view value, TMimeChar target) {
    std::string result;
    std::size_t rest = 0; // start of the part of value not yet consumed
    std::size_t x = value.find("=?");
    std::size_t y = FindEncodedWordEnd(value, x);
    while (x != std::string_view::npos && y != std::string_view::npos) {
        const std::string_view before = value.substr(rest, x - rest);
        if (!IsBlankOnly(before)) result += before;
        const std::string_view word = value.substr(x, y + 2 - x);
        rest = y + 2;
        if (!DecodeWordInner(word.substr(2, word.size() - 4), target, result)) result += word;
        x = value.find("=?", rest);
        y = FindEncodedWordEnd(value, x);
    }
    result += value.substr(rest);
    return result;
}

} // namespace maildig
