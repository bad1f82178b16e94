// Charset conversion: the two-stage conversion through UCS-2 big-endian, iconv first and the built-in
// converters (single-byte tables, UCS-2, UCS-4, UTF-8, UTF-7) where iconv cannot serve.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "bytes/ascii.h"
#include "bytes/text_scan.h"
#include "mime/basic/transfer_encodings.h"
#include "mime/charset/charset_tables.h"
#include "mime/charset/charsets.h"
#include "mime/charset/iconv_binding.h"

namespace maildig {

namespace {

unsigned char Byte(std::string_view text, std::size_t index) {
    return static_cast<unsigned char>(text[index]);
}

void PutUcs2(std::string& out, std::uint32_t value) {
    out.push_back(static_cast<char>((value >> 8) & 0xFF));
    out.push_back(static_cast<char>(value & 0xFF));
}

// Writes value as a unit of width bytes in the given byte order.
void PutUnit(std::string& out, std::uint32_t value, std::size_t width, bool littleEndian) {
    for (std::size_t i = 0; i < width; ++i) {
        const std::size_t shift = 8 * (littleEndian ? i : width - 1 - i);
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
    }
}

std::size_t UnitWidth(TMimeChar charset) {
    if (IsTwoByteCharset(charset)) return 2;
    if (IsFourByteCharset(charset)) return 4;
    return 1;
}

// Bytes the iconv decoding of charset skips at a time past input it refuses: one code unit.
std::size_t IconvInputUnit(TMimeChar charset) {
    switch (charset) {
    case UCS_2:
    case UCS_2LE:
    case UTF_16:
    case UTF_16LE:
        return 2;
    case UCS_4:
    case UCS_4LE:
    case UTF_32:
    case UTF_32LE:
        return 4;
    default:
        return 1;
    }
}

bool IsUtf7Digit(unsigned char c, bool modified) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == (modified ? ',' : '/');
}

// Decodes the UTF-8 sequence at text[i] and moves i past it. No validation: a lead byte gives its payload
// bits (none for a stray continuation byte, 0xFE or 0xFF), then every following continuation byte appends
// its six bits, however many there are; unsigned arithmetic keeps the low 32 bits.
std::uint32_t NextUtf8(std::string_view text, std::size_t& i) {
    const unsigned char lead = Byte(text, i++);
    if (lead < 0x80) return lead;
    std::uint32_t value = 0;
    if ((lead & 0xE0) == 0xC0)
        value = lead & 0x1F;
    else if ((lead & 0xF0) == 0xE0)
        value = lead & 0x0F;
    else if ((lead & 0xF8) == 0xF0)
        value = lead & 0x07;
    else if ((lead & 0xFC) == 0xF8)
        value = lead & 0x03;
    else if ((lead & 0xFE) == 0xFC)
        value = lead & 0x01;
    while (i < text.size() && (Byte(text, i) & 0xC0) == 0x80)
        value = (value << 6) | (Byte(text, i++) & 0x3F);
    return value;
}

// Appends the standard UTF-8 form of value (up to six bytes for 31-bit values).
void PutUtf8(std::string& out, std::uint32_t value) {
    if (value < 0x80) {
        out.push_back(static_cast<char>(value));
        return;
    }
    int continuations = 1;
    if (value >= 0x800) ++continuations;
    if (value >= 0x10000) ++continuations;
    if (value >= 0x200000) ++continuations;
    if (value >= 0x4000000) ++continuations;
    static constexpr std::array<unsigned, 6> kLeadMarks = {0, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC};
    const unsigned lead = kLeadMarks[continuations] | (value >> (6 * continuations));
    out.push_back(static_cast<char>(lead & 0xFF));
    for (int k = continuations - 1; k >= 0; --k)
        out.push_back(static_cast<char>(0x80 | ((value >> (6 * k)) & 0x3F)));
}

// C99 and Java source text: a backslash, "u" and four hex digits (in C99 also "U" and eight) stand for that
// character, every other byte for itself. A character beyond the 16 bits of the intermediate becomes U+FFFD.
std::string EscapesToUcs2(std::string_view text, bool c99) {
    std::string out;
    out.reserve(text.size() * 2);
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint64_t value = Byte(text, i);
        const char letter = i + 1 < text.size() ? text[i + 1] : '\0';
        const std::size_t digits = letter == 'u' ? 4 : c99 && letter == 'U' ? 8 : 0;
        if (value == '\\' && digits != 0 && text.size() - i - 2 >= digits &&
            ParseDigits(text.substr(i + 2, digits), 16, 0xFFFFFFFF, value)) {
            i += 1 + digits;
            if (value > 0xFFFF) value = 0xFFFD;
        }
        PutUcs2(out, static_cast<std::uint32_t>(value));
    }
    return out;
}

// HZ (RFC 1843) to GB2312 in its 8-bit form: "~{" starts a run of two-byte GB2312 characters written in
// 7 bits, "~}" or a line end ends it, "~~" is "~" and "~" before a line end joins the lines.
std::string HzToGb2312(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    bool gb = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const char next = i + 1 < text.size() ? text[i + 1] : '\0';
        if (c == '~' && (next == '{' || next == '}' || (!gb && next == '~'))) {
            if (next == '~') out.push_back('~');
            gb = next == '{';
            ++i;
        } else if (c == '~' && !gb &&
                   (next == '\n' || (next == '\r' && i + 2 < text.size() && text[i + 2] == '\n'))) {
            i += next == '\r' ? 2 : 1;
        } else if (gb && c > 0x20 && c < 0x7F && next > 0x20 && next < 0x7F) {
            out.push_back(static_cast<char>(c | 0x80));
            out.push_back(static_cast<char>(next | 0x80));
            ++i;
        } else {
            if (c == '\r' || c == '\n') gb = false;
            out.push_back(c);
        }
    }
    return out;
}

} // namespace

std::string Utf8ToUcs4(std::string_view text) {
    std::string out;
    out.reserve(text.size() * 4);
    for (std::size_t i = 0; i < text.size();)
        PutUnit(out, NextUtf8(text, i), 4, false);
    return out;
}

std::string Ucs4ToUtf8(std::string_view ucs4) {
    std::string out;
    out.reserve(ucs4.size());
    for (std::size_t i = 0; i + 4 <= ucs4.size(); i += 4) {
        const std::uint32_t value = (std::uint32_t{Byte(ucs4, i)} << 24) |
                                    (std::uint32_t{Byte(ucs4, i + 1)} << 16) |
                                    (std::uint32_t{Byte(ucs4, i + 2)} << 8) | Byte(ucs4, i + 3);
        PutUtf8(out, value);
    }
    return out;
}

std::string Utf7ToUcs2(std::string_view text, bool modified) {
    const char shift = modified ? '&' : '+';
    std::string out;
    out.reserve(text.size() * 2);
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i++];
        if (c != shift) {
            PutUcs2(out, static_cast<unsigned char>(c));
            continue;
        }
        const std::size_t start = i;
        while (i < text.size() && IsUtf7Digit(Byte(text, i), modified))
            ++i;
        const std::string_view run = text.substr(start, i - start);
        if (i < text.size() && text[i] == '-') ++i;
        if (run.empty()) {
            PutUcs2(out, static_cast<unsigned char>(shift));
            continue;
        }
        const std::string bytes = modified ? Base64CommaDecode(run) : Base64Decode(run);
        if (bytes.size() % 2 == 0) {
            out += bytes;
        } else {
            PutUcs2(out, static_cast<unsigned char>(shift));
            for (char r : run)
                PutUcs2(out, static_cast<unsigned char>(r));
        }
    }
    return out;
}

std::string Ucs2ToUtf7(std::string_view ucs2, bool modified) {
    const char shift = modified ? '&' : '+';
    std::string out;
    out.reserve(ucs2.size());
    std::size_t i = 0;
    const std::size_t end = ucs2.size() - ucs2.size() % 2;
    while (i < end) {
        const std::uint32_t value = (std::uint32_t{Byte(ucs2, i)} << 8) | Byte(ucs2, i + 1);
        if (value > 0x7F) {
            const std::size_t start = i;
            while (i < end && ((std::uint32_t{Byte(ucs2, i)} << 8) | Byte(ucs2, i + 1)) > 0x7F)
                i += 2;
            const std::string_view run = ucs2.substr(start, i - start);
            std::string encoded = modified ? Base64CommaEncode(run) : Base64Encode(run);
            encoded.erase(std::min(encoded.find('='), encoded.size()));
            out.push_back(shift);
            out += encoded;
            out.push_back('-');
            continue;
        }
        i += 2;
        out.push_back(static_cast<char>(value));
        if (value == static_cast<unsigned char>(shift)) out.push_back('-');
    }
    return out;
}

std::string ToUcs2(std::string_view text, TMimeChar from) {
    std::string out;
    if (from == UTF_8) {
        // Decoded straight to UCS-2: the low 16 bits of each value, marks dropped.
        out.reserve(text.size() * 2);
        for (std::size_t i = 0; i < text.size();) {
            const std::uint32_t value = NextUtf8(text, i);
            if (value != 0xFEFF && value != 0xFFFE) PutUcs2(out, value);
        }
        return out;
    }
    if (from == C99 || from == JAVA) return EscapesToUcs2(text, from == C99);
    if (IsTwoByteCharset(from) || IsFourByteCharset(from)) {
        std::string decoded;
        // Byte order means nothing in UTF-7: a reversed mark there is dropped without flipping anything.
        const bool utf7 = from == UTF_7 || from == UTF_7mod;
        if (utf7) {
            decoded = Utf7ToUcs2(text, from == UTF_7mod);
            text = decoded;
        }
        const std::size_t width = UnitWidth(from);
        bool littleEndian = IsLittleEndianCharset(from);
        out.reserve(text.size() / width * 2 + 2);
        for (std::size_t i = 0; i < text.size(); i += width) {
            std::uint32_t value = 0;
            if (i + width <= text.size()) { // a unit cut off at the end reads as 0
                for (std::size_t k = 0; k < width; ++k)
                    value = (value << 8) | Byte(text, littleEndian ? i + width - 1 - k : i + k);
            }
            if (value == 0xFFFE) {
                if (!utf7) littleEndian = !littleEndian;
                continue;
            }
            if (value != 0xFEFF) PutUcs2(out, value);
        }
        return out;
    }
    const TUpperHalf& table = UpperHalfTable(from);
    out.resize(text.size() * 2);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = Byte(text, i);
        const std::uint16_t value = c < 0x80 ? c : table[c - 0x80];
        out[2 * i] = static_cast<char>(value >> 8);
        out[2 * i + 1] = static_cast<char>(value & 0xFF);
    }
    return out;
}

std::string FromUcs2(std::string_view ucs2, TMimeChar to, bool transliterate) {
    const std::size_t width = UnitWidth(to);
    const bool littleEndian = IsLittleEndianCharset(to);
    const std::size_t end = ucs2.size() - ucs2.size() % 2;

    // For single-byte targets: (character, byte) pairs sorted by character; among equal characters the
    // lowest byte comes first, so the first table position holding a character wins.
    std::array<std::pair<std::uint16_t, unsigned char>, 128> reverse{};
    if (width == 1) {
        const TUpperHalf& table = UpperHalfTable(to);
        for (std::size_t k = 0; k < 128; ++k)
            reverse[k] = {table[k], static_cast<unsigned char>(0x80 + k)};
        std::sort(reverse.begin(), reverse.end());
    }

    std::string out;
    if (to == UTF_8) {
        out.reserve(end / 2 * 3);
        for (std::size_t i = 0; i < end; i += 2)
            PutUtf8(out, (std::uint32_t{Byte(ucs2, i)} << 8) | Byte(ucs2, i + 1));
        return out;
    }
    if (to == UTF_7 || to == UTF_7mod) return Ucs2ToUtf7(ucs2.substr(0, end), to == UTF_7mod);

    out.reserve(width == 1 ? end / 2 : end / 2 * width);
    for (std::size_t i = 0; i < end; i += 2) {
        const std::uint16_t value = static_cast<std::uint16_t>((Byte(ucs2, i) << 8) | Byte(ucs2, i + 1));
        if (width != 1) {
            PutUnit(out, value, width, littleEndian);
        } else if (value <= 0x7F) {
            out.push_back(static_cast<char>(value));
        } else {
            auto match =
                std::lower_bound(reverse.begin(), reverse.end(), std::make_pair(value, (unsigned char)0));
            if (match != reverse.end() && match->first == value)
                out.push_back(static_cast<char>(match->second));
            else if (transliterate)
                out.push_back('_');
        }
    }
    return out;
}

namespace {

// Charsets whose bytes 0 to 127 are ASCII, so that pure ASCII text reads the same in all of them.
bool IsAsciiCompatible(TMimeChar c) {
    return (c >= ISO_8859_1 && c <= CP852) || c == UTF_8 || c == ISO_8859_16 || c == KOI8_U || c == CP866;
}

bool IsPureAscii(std::string_view text) {
    return AsciiPrefixLength(text) == text.size();
}

// iconv descriptors kept open for the life of the thread, one per pair of names: opening one loads the C
// library's conversion modules, which costs far more than converting a header or a short body. A descriptor
// is put back into its initial state before each use.
class TIconvCache {
  public:
    TIconvCache() = default;
    TIconvCache(const TIconvCache&) = delete;
    TIconvCache& operator=(const TIconvCache&) = delete;
    ~TIconvCache() { Clear(); }

    TIconvDescriptor Get(const std::string& tocode, const std::string& fromcode) {
        if (!LoadIconv()) return kNoIconv;
        const std::string key = tocode + '\n' + fromcode;
        auto it = entries_.find(key);
        if (it == entries_.end()) {
            if (entries_.size() >= kMaxEntries) Clear();
            it = entries_.emplace(key, IconvOpen(tocode, fromcode)).first;
        }
        if (it->second != kNoIconv) iconv(it->second, nullptr, nullptr, nullptr, nullptr);
        return it->second;
    }

  private:
    static constexpr std::size_t kMaxEntries = 64;
    std::map<std::string, TIconvDescriptor> entries_;

    void Clear() {
        for (auto& entry : entries_)
            IconvClose(entry.second);
        entries_.clear();
    }
};

thread_local TIconvCache iconvCache;

// The charset whose decoder reads mail labelled with this one. Mail labelled with the name of a raw 94x94
// set (ks_c_5601-1987, which Korean mail programs write to this day, or GB_2312-80) carries the 8-bit bytes
// of the encoding built on that set, and every mail reader reads it as that encoding.
TMimeChar ReadAsCharset(TMimeChar charset) {
    switch (charset) {
    case ISO_IR_149:
        return CP949;
    case GB2312_80:
        return CP936;
    default:
        return charset;
    }
}

// The C library's own name for a charset whose names in the alias table it does not know, or "".
std::string_view LibraryCharsetName(TMimeChar charset) {
    switch (charset) {
    case MACCE:
        return "MAC-CENTRALEUROPE";
    case MACICE:
        return "MAC-IS";
    case MACUK:
        return "MAC-UK";
    case ISO_2022_JP1:
        return "ISO-2022-JP-2"; // a superset
    default:
        return "";
    }
}

// The first descriptor that open(name) gives for a charset: its canonical name, then the other names of its
// rows, then the C library's own name. The charsets the built-in converters serve whole (UCS-2, UCS-4,
// UTF-7) are tried by the canonical name alone, so that they keep the built-in conversion.
template <typename Open> TIconvDescriptor OpenByAnyName(TMimeChar charset, Open open) {
    const std::string canonical = CharsetName(charset);
    TIconvDescriptor descriptor = open(canonical);
    if (descriptor != kNoIconv || !LoadIconv() || IsTwoByteCharset(charset) || IsFourByteCharset(charset))
        return descriptor;
    for (const TIconvChar& row : IconvArr) {
        if (row.Charset != charset) continue;
        for (std::size_t start = 0; start < row.Names.size() && descriptor == kNoIconv;) {
            const std::size_t end = std::min(row.Names.find(' ', start), row.Names.size());
            const std::string name(row.Names.substr(start, end - start));
            if (name != canonical) descriptor = open(name);
            start = end + 1;
        }
        if (descriptor != kNoIconv) return descriptor;
    }
    if (!LibraryCharsetName(charset).empty()) descriptor = open(std::string(LibraryCharsetName(charset)));
    return descriptor;
}

// Text in a charset to UCS-2BE through iconv; false when iconv cannot decode the charset.
bool IconvToUcs2(std::string_view text, TMimeChar from, std::string& intermediate) {
    auto decoder = [](const std::string& name) { return iconvCache.Get("UCS-2BE", name); };
    TIconvDescriptor descriptor = OpenByAnyName(from, decoder);
    if (descriptor == kNoIconv && from == HZ) {
        // The C library has no HZ decoder: its runs are GB2312 written in 7 bits.
        descriptor = OpenByAnyName(GB2312, decoder);
        return descriptor != kNoIconv && IconvConvert(descriptor, HzToGb2312(text), intermediate);
    }
    return IconvConvert(descriptor, text, intermediate, IconvInputUnit(from));
}

} // namespace

std::string ConvertThroughUcs2(std::string_view text, TMimeChar from, TMimeChar to, bool transliterate) {
    if (ConversionKeepsText(text, from, to)) return std::string(text);
    from = ReadAsCharset(from);
    to = ReadAsCharset(to);

    // No "//IGNORE" on either descriptor: the library's ignore mode overruns the input of some stateful
    // decoders, so IconvConvert skips what a converter refuses itself.
    std::string intermediate;
    if (!IconvToUcs2(text, from, intermediate)) intermediate = ToUcs2(text, from);

    std::string result;
    TIconvDescriptor descriptor = OpenByAnyName(to, [transliterate](const std::string& name) {
        return iconvCache.Get(transliterate ? name + "//TRANSLIT" : name, "UCS-2BE");
    });
    // A UTF-7 encoder may leave a base64 run open at the end: a trailing "-" closes it, and is cut again.
    const bool closeUtf7 = descriptor != kNoIconv && to == UTF_7;
    if (closeUtf7) intermediate.append("\0-", 2);
    if (descriptor != kNoIconv && IconvConvert(descriptor, intermediate, result, 2)) {
        if (to == UTF_7 && !result.empty()) result.pop_back();
    } else {
        if (closeUtf7) intermediate.resize(intermediate.size() - 2);
        result = FromUcs2(intermediate, to, transliterate);
    }
    return result;
}

namespace {

// Charsets the C library and the built-in tables both convert one byte to one character, without state
// and without combining marks into the character before (as CP1255, CP1258 and TCVN do), and that the
// built-in converters write one character per byte.
bool IsPlainSingleByte(TMimeChar charset) {
    switch (charset) {
    case ISO_8859_1:
    case ISO_8859_2:
    case ISO_8859_3:
    case ISO_8859_4:
    case ISO_8859_5:
    case ISO_8859_6:
    case ISO_8859_7:
    case ISO_8859_8:
    case ISO_8859_9:
    case ISO_8859_10:
    case ISO_8859_13:
    case ISO_8859_14:
    case ISO_8859_15:
    case ISO_8859_16:
    case CP1250:
    case CP1251:
    case CP1252:
    case CP1253:
    case CP1254:
    case CP1256:
    case CP1257:
    case KOI8_R:
    case KOI8_U:
    case CP852:
    case CP866:
        return true;
    default:
        return false;
    }
}

// What each byte of a plain single-byte charset becomes in the target: the two-stage conversion of that
// byte alone. Both stages then work character by character, so a text converts to the concatenation of
// its bytes' entries, and a table costs 256 one-byte conversions once instead of two passes per text.
struct TByteTable {
    std::array<std::string, 256> entries;
    // The same entries for copying four bytes at a time, filled when none is longer than that (UTF-8 takes
    // at most three; only transliteration writes more).
    static constexpr std::size_t kPacked = 4;
    std::array<std::array<char, kPacked>, 256> packed{};
    std::array<std::uint8_t, 256> lengths{};
    std::size_t longest = 0;
};

class TByteTableCache {
  public:
    const TByteTable& Get(TMimeChar from, TMimeChar to, bool transliterate) {
        // The iconv switch is part of the key: tests run both converter paths in one process.
        const int key =
            ((from * kMimeCharCount + to) * 2 + (transliterate ? 1 : 0)) * 2 + (IconvDisabled() ? 1 : 0);
        auto it = tables_.find(key);
        if (it == tables_.end()) {
            if (tables_.size() >= kMaxTables) tables_.clear();
            TByteTable table;
            for (int byte = 0; byte < 256; ++byte) {
                const char c = static_cast<char>(byte);
                std::string& entry = table.entries[byte];
                entry = ConvertThroughUcs2(std::string_view(&c, 1), from, to, transliterate);
                table.longest = std::max(table.longest, entry.size());
                if (entry.size() <= TByteTable::kPacked) {
                    std::memcpy(table.packed[byte].data(), entry.data(), entry.size());
                    table.lengths[byte] = static_cast<std::uint8_t>(entry.size());
                }
            }
            it = tables_.emplace(key, std::move(table)).first;
        }
        return it->second;
    }

  private:
    static constexpr std::size_t kMaxTables = 16;
    std::map<int, TByteTable> tables_;
};

thread_local TByteTableCache byteTables;

// text through a byte table into out (replacing it). Runs of ASCII, which every charset here keeps as it
// is, are copied whole.
void ConvertByTable(std::string_view text, const TByteTable& table, std::string& out) {
    const std::size_t n = text.size();
    if (table.longest > TByteTable::kPacked) {
        out.clear();
        out.reserve(n + n / 2);
        for (std::size_t i = 0; i < n;) {
            const std::size_t run = AsciiPrefixLength(text.substr(i));
            out.append(text.substr(i, run));
            i += run;
            for (; i < n && Byte(text, i) >= 0x80; ++i)
                out += table.entries[Byte(text, i)];
        }
        return;
    }
    // Every byte gives at most `widest` bytes; each entry is copied as four, hence the slack at the end.
    const std::size_t widest = std::max<std::size_t>(table.longest, 1);
    out.resize(n * widest + TByteTable::kPacked);
    char* put = out.data();
    for (std::size_t i = 0; i < n;) {
        const std::size_t run = AsciiPrefixLength(text.substr(i));
        std::memcpy(put, text.data() + i, run);
        put += run;
        i += run;
        for (; i < n && Byte(text, i) >= 0x80; ++i) {
            const unsigned char c = Byte(text, i);
            std::memcpy(put, table.packed[c].data(), TByteTable::kPacked);
            put += table.lengths[c];
        }
    }
    out.resize(static_cast<std::size_t>(put - out.data()));
}

} // namespace

void ConvertCharsetCoreInto(std::string_view text, TMimeChar from, TMimeChar to, bool transliterate,
                            std::string& out) {
    if (ConversionKeepsText(text, from, to)) {
        out.assign(text);
        return;
    }
    if (!IsPlainSingleByte(from) || (to != UTF_8 && !IsPlainSingleByte(to))) {
        out = ConvertThroughUcs2(text, from, to, transliterate);
        return;
    }
    // Plain ASCII needs no look-up: the table gives it back as it is.
    ConvertByTable(text, byteTables.Get(from, to, transliterate), out);
}

std::string ConvertCharsetCore(std::string_view text, TMimeChar from, TMimeChar to, bool transliterate) {
    std::string out;
    ConvertCharsetCoreInto(text, from, to, transliterate, out);
    return out;
}

bool ConversionKeepsText(std::string_view text, TMimeChar from, TMimeChar to) {
    // Most header values and many bodies are plain ASCII: nothing to convert between ASCII-based charsets.
    return from == to || (IsAsciiCompatible(from) && IsAsciiCompatible(to) && IsPureAscii(text));
}

std::string ConvertBetweenCharsets(std::string_view text, TMimeChar from, TMimeChar to) {
    return ConvertCharsetCore(text, from, to, true);
}

void ConvertBetweenCharsetsInto(std::string_view text, TMimeChar from, TMimeChar to, std::string& out) {
    ConvertCharsetCoreInto(text, from, to, true, out);
}

} // namespace maildig
