#include "mime/basic/transfer_encodings.h"

#include <cstdint>
#include <cstring>
#include <optional>

#include "bytes/ascii.h"
#include "mime/basic/text_routines.h"

namespace maildig {

namespace {

constexpr TReverseTable MakeBase64Reverse() {
    TReverseTable t{};
    for (auto& v : t)
        v = 64;
    for (unsigned i = 0; i < 64; ++i)
        t[static_cast<unsigned char>(Base64Alphabet[i]) - 33] = static_cast<unsigned char>(i);
    return t;
}

// Alphabet position - 1 for every byte; bytes outside the alphabet count as 0. The first occurrence wins.
std::array<unsigned char, 256> AlphabetValues(std::string_view alphabet) {
    std::array<unsigned char, 256> values{};
    std::array<bool, 256> seen{};
    for (std::size_t i = 0; i < alphabet.size() && i < 256; ++i) {
        const auto c = static_cast<unsigned char>(alphabet[i]);
        if (!seen[c]) {
            seen[c] = true;
            values[c] = static_cast<unsigned char>(i);
        }
    }
    return values;
}

std::string DecodeLine(std::string_view line, std::string_view alphabet, bool uu) {
    const std::string s = UpperAscii(TrimGeneralView(line));
    if (s.empty() || s.starts_with("BEGIN") || s.starts_with("END") || (uu && s.starts_with("TABLE")))
        return {};
    const std::size_t pos = alphabet.find(line[0]);
    if (pos == std::string_view::npos) return {};
    const std::size_t n = pos;
    std::size_t k = 4 * (n / 3);
    if (n % 3 == 1) k += 2;
    if (n % 3 == 2) k += 3;
    std::string d(line.substr(1, k));
    if (d.empty()) return {};
    d.resize(k, ' ');
    return DecodeQuads(d, alphabet);
}

} // namespace

const TReverseTable Base64ReverseTable = MakeBase64Reverse();

namespace {

// The digit values of a table for every byte, shifted to their place in a group of four (the first digit
// gives the top six of 24 bits); a byte that is no digit has bits above the 24 set, so that one test tells
// whether four bytes are four digits.
struct TShiftedDigits {
    std::array<std::array<std::uint32_t, 256>, 4> values{};
    constexpr explicit TShiftedDigits(const TReverseTable& table) {
        for (std::size_t place = 0; place < 4; ++place) {
            for (std::size_t code = 0; code < 256; ++code) {
                const unsigned v = code >= 33 && code <= 127 ? table[code - 33] : 64u;
                values[place][code] = v < 64 ? v << (6 * (3 - place)) : 0xFF000000u;
            }
        }
    }
};

constexpr TShiftedDigits Base64Shifted(MakeBase64Reverse());

} // namespace

void DecodeHexEscapesInto(std::string_view text, char escape, std::string& out) {
    out.clear();
    out.reserve(text.size());
    const std::size_t len = text.size();
    std::size_t i = 0;
    while (i < len) {
        // The run up to the next escape is copied in one piece.
        const void* hit = std::memchr(text.data() + i, escape, len - i);
        const std::size_t at =
            hit != nullptr ? static_cast<std::size_t>(static_cast<const char*>(hit) - text.data()) : len;
        out.append(text.data() + i, at - i);
        if (at == len) break;
        i = at;
        const char c = text[i++];
        if (len - i < 2) break;
        const char n = text[i];
        if (n == '\n') {
            ++i;
            if (i < len && text[i] == '\r') ++i;
            continue;
        }
        if (n == '\r') {
            ++i;
            if (i < len && text[i] == '\n') ++i;
            continue;
        }
        const int hi = HexDigitValue(n), lo = HexDigitValue(text[i + 1]);
        if (hi >= 0 && lo >= 0) {
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += c;
        }
    }
}

std::string DecodeHexEscapes(std::string_view text, char escape) {
    std::string out;
    DecodeHexEscapesInto(text, escape, out);
    return out;
}

std::string DecodeQuotedPrintable(std::string_view text) {
    return DecodeHexEscapes(text, '=');
}

void DecodeQuotedPrintableInto(std::string_view text, std::string& out) {
    DecodeHexEscapesInto(text, '=', out);
}

std::string DecodeQuads(std::string_view text, std::string_view alphabet) {
    const auto values = AlphabetValues(alphabet);
    std::string out;
    out.reserve(text.size() / 4 * 3 + 3);
    for (std::size_t x = 0; x < text.size(); x += 4) {
        unsigned q[4];
        for (std::size_t n = 0; n < 4; ++n)
            q[n] = x + n < text.size() ? values[static_cast<unsigned char>(text[x + n])] : 64u;
        out += static_cast<char>(((q[0] % 64) * 4 + (q[1] % 64) / 16) & 0xFF);
        if (q[2] == 64) continue;
        out += static_cast<char>(((q[1] % 16) * 16 + (q[2] % 64) / 4) & 0xFF);
        if (q[3] == 64) continue;
        out += static_cast<char>(((q[2] % 4) * 64 + q[3] % 64) & 0xFF);
    }
    return out;
}

void DecodeQuadsByTableInto(std::string_view text, const TReverseTable& table, std::string& out) {
    // Written through a pointer into a buffer of the largest possible size, cut to what was written at the
    // end.
    out.resize(text.size() / 4 * 3 + 3);
    char* put = out.data();
    std::uint32_t acc = 0;
    int pending = 0;
    // Two or three digits pending give one or two bytes; a single digit carries too few bits for a byte.
    auto flush = [&] {
        if (pending == 3) {
            acc >>= 2;
            *put++ = static_cast<char>((acc >> 8) & 0xFF);
            *put++ = static_cast<char>(acc & 0xFF);
        } else if (pending == 2) {
            *put++ = static_cast<char>((acc >> 4) & 0xFF);
        }
        acc = 0;
        pending = 0;
    };
    const std::size_t n = text.size();
    std::optional<TShiftedDigits> other;
    const TShiftedDigits& shifted = &table == &Base64ReverseTable ? Base64Shifted : other.emplace(table);
    const auto at = [&](std::size_t k, std::size_t place) {
        return shifted.values[place][static_cast<unsigned char>(text[k])];
    };
    for (std::size_t i = 0; i < n; ++i) {
        // Between groups, four digits in a row (most of any base64 line) go out as three bytes at once.
        while (pending == 0 && i + 4 <= n) {
            const std::uint32_t group = at(i, 0) | at(i + 1, 1) | at(i + 2, 2) | at(i + 3, 3);
            if (group > 0xFFFFFF) break;
            put[0] = static_cast<char>((group >> 16) & 0xFF);
            put[1] = static_cast<char>((group >> 8) & 0xFF);
            put[2] = static_cast<char>(group & 0xFF);
            put += 3;
            i += 4;
        }
        if (i >= n) break;
        const char ch = text[i];
        const auto code = static_cast<unsigned char>(ch);
        if (code < 33 || code > 127) continue;
        const unsigned v = table[code - 33];
        if (v >= 64) {
            // A pad ends a short group, so that padded pieces run together ("QQ==QQ==") decode piece by
            // piece.
            if (ch == '=' && pending >= 2) flush();
            continue;
        }
        acc = (acc << 6) | v;
        if (++pending == 4) {
            put[0] = static_cast<char>((acc >> 16) & 0xFF);
            put[1] = static_cast<char>((acc >> 8) & 0xFF);
            put[2] = static_cast<char>(acc & 0xFF);
            put += 3;
            acc = 0;
            pending = 0;
        }
    }
    flush();
    out.resize(static_cast<std::size_t>(put - out.data()));
}

std::string DecodeQuadsByTable(std::string_view text, const TReverseTable& table) {
    std::string out;
    DecodeQuadsByTableInto(text, table, out);
    return out;
}

std::string EncodeTriads(std::string_view bytes, std::string_view alphabet) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    auto put = [&](unsigned v) {
        if (v < alphabet.size()) out += alphabet[v];
    };
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const unsigned a = static_cast<unsigned char>(bytes[i]);
        const bool hasB = i + 1 < bytes.size(), hasC = i + 2 < bytes.size();
        const unsigned b = hasB ? static_cast<unsigned char>(bytes[i + 1]) : 0;
        const unsigned c = hasC ? static_cast<unsigned char>(bytes[i + 2]) : 0;
        put(a / 4);
        put((a % 4) * 16 + b / 16);
        put(hasB ? (b % 16) * 4 + c / 64 : 64);
        put(hasB && hasC ? c % 64 : 64);
    }
    return out;
}

std::string Base64Decode(std::string_view text) {
    return DecodeQuadsByTable(text, Base64ReverseTable);
}
void Base64DecodeInto(std::string_view text, std::string& out) {
    DecodeQuadsByTableInto(text, Base64ReverseTable, out);
}
std::string Base64Encode(std::string_view bytes) {
    return EncodeTriads(bytes, Base64Alphabet);
}
std::string Base64CommaDecode(std::string_view text) {
    return DecodeQuads(text, Base64CommaAlphabet);
}
std::string Base64CommaEncode(std::string_view bytes) {
    return EncodeTriads(bytes, Base64CommaAlphabet);
}
std::string UUDecode(std::string_view line) {
    return DecodeLine(line, UUAlphabet, true);
}
std::string XXDecode(std::string_view line) {
    return DecodeLine(line, XXAlphabet, false);
}

} // namespace maildig
