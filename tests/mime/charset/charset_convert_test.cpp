// The built-in converters and the two-stage conversion, run once through iconv and once with the built-in
// converters alone on the same inputs.
#include "mime/charset/charsets.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "mime/charset/charset_tables.h"
#include "mime/charset/iconv_binding.h"
using namespace maildig;

namespace {

std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values)
        s.push_back(static_cast<char>(v));
    return s;
}

// UCS-2 big-endian of a list of code units.
std::string Ucs2(std::initializer_list<int> units) {
    std::string s;
    for (int u : units) {
        s.push_back(static_cast<char>(u >> 8));
        s.push_back(static_cast<char>(u & 0xFF));
    }
    return s;
}

std::string Ucs4(std::initializer_list<unsigned> values) {
    std::string s;
    for (unsigned v : values)
        for (int shift = 24; shift >= 0; shift -= 8)
            s.push_back(static_cast<char>((v >> shift) & 0xFF));
    return s;
}

std::string Hex(const std::string& s) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        out += digits[c >> 4];
        out += digits[c & 15];
        out += ' ';
    }
    return out;
}

} // namespace

TEST(Utf8ToUcs4, DecodesSequencesWithoutValidating) {
    struct Case {
        std::string utf8;
        std::string ucs4;
    };
    const Case cases[] = {
        {"", ""},
        {"A", Ucs4({0x41})},
        {"\xC3\xA9", Ucs4({0xE9})},
        {"\xE2\x82\xAC", Ucs4({0x20AC})},
        {"\xF0\x9F\x98\x80", Ucs4({0x1F600})},
        {"\xC0\x80", Ucs4({0})}, // overlong forms are not rejected
        {"\x80", Ucs4({0})},     // a lone continuation byte carries no bits
        {"\xFF"
         "A",
         Ucs4({0, 0x41})},   // 0xFE/0xFF carry no bits either
        {"\xC3", Ucs4({3})}, // cut-off sequence: the lead bits alone
        {"\xC3"
         "A",
         Ucs4({3, 0x41})},                          // a non-continuation byte ends the sequence, kept
        {"\xC3\xA9\xA9", Ucs4({0xE9 << 6 | 0x29})}, // extra continuation bytes are all taken
        {"\xED\xA0\x80", Ucs4({0xD800})},           // surrogates pass
        {"\xFD\xBF\xBF\xBF\xBF\xBF", Ucs4({0x7FFFFFFF})},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Hex(Utf8ToUcs4(c.utf8)), Hex(c.ucs4)) << "input " << Hex(c.utf8);
}

TEST(Utf8ToUcs4, KeepsTheLow32BitsOfAnEndlessSequence) {
    std::string input = "\xC1";
    input.append(100, '\xBF');
    EXPECT_EQ(Utf8ToUcs4(input), Ucs4({0xFFFFFFFF}));
}

TEST(Ucs4ToUtf8, EncodesStandardUtf8) {
    struct Case {
        unsigned value;
        std::string utf8;
    };
    const Case cases[] = {
        {0x00, std::string(1, '\0')},
        {0x7F, "\x7F"},
        {0x80, "\xC2\x80"},
        {0xE9, "\xC3\xA9"},
        {0x7FF, "\xDF\xBF"},
        {0x800, "\xE0\xA0\x80"},
        {0x20AC, "\xE2\x82\xAC"},
        {0xFFFF, "\xEF\xBF\xBF"},
        {0x10000, "\xF0\x90\x80\x80"},
        {0x10FFFF, "\xF4\x8F\xBF\xBF"},
        {0x7FFFFFFF, "\xFD\xBF\xBF\xBF\xBF\xBF"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Hex(Ucs4ToUtf8(Ucs4({c.value}))), Hex(c.utf8)) << "value " << std::hex << c.value;
    EXPECT_EQ(Ucs4ToUtf8(Ucs4({0x41}) + "\0\0\0"), "A"); // a cut-off unit is ignored
}

TEST(Utf7ToUcs2, DecodesBothForms) {
    struct Case {
        std::string text;
        bool modified;
        std::string ucs2;
    };
    const Case cases[] = {
        {"Hi +AGEAYgBj-!", false, Ucs2({'H', 'i', ' ', 'a', 'b', 'c', '!'})},
        {"+-", false, Ucs2({'+'})},
        {"+", false, Ucs2({'+'})},
        {"+ x", false, Ucs2({'+', ' ', 'x'})},
        {"+AOk", false, Ucs2({0xE9})},            // the end of the text closes the run
        {"+AOk.", false, Ucs2({0xE9, '.'})},      // so does any other character, which is kept
        {"+AOk--", false, Ucs2({0xE9, '-'})},     // only the first "-" is taken
        {"+AGE=-", false, Ucs2({'a', '=', '-'})}, // "=" is no digit: it ends the run
        {"+AA-", false, Ucs2({'+', 'A', 'A'})},   // an odd byte count is output literally
        {"+2D3eAA-", false, Ucs2({0xD83D, 0xDE00})},
        {"a&b", false, Ucs2({'a', '&', 'b'})},
        {"&AOkA6QDp-", true, Ucs2({0xE9, 0xE9, 0xE9})},
        {"&-", true, Ucs2({'&'})},
        {"a+b", true, Ucs2({'a', '+', 'b'})},
        {"&U,BTFw-", true, Ucs2({0x53F0, 0x5317})}, // the comma is the digit for 63
        {"&U/BTFw-", true, Ucs2({'&', 'U', '/', 'B', 'T', 'F', 'w', '-'})},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Hex(Utf7ToUcs2(c.text, c.modified)), Hex(c.ucs2))
            << "input \"" << c.text << "\" modified " << c.modified;
}

TEST(Ucs2ToUtf7, EncodesBothForms) {
    struct Case {
        std::string ucs2;
        bool modified;
        std::string text;
    };
    const Case cases[] = {
        {Ucs2({'H', 'i', '!'}), false, "Hi!"},
        {Ucs2({'a', '+', 'b'}), false, "a+-b"},
        {Ucs2({0xE9}), false, "+AOk-"},
        {Ucs2({'x', 0xE9, 0xE9, 'y'}), false, "x+AOkA6Q-y"},
        {Ucs2({0x53F0, 0x5317}), false, "+U/BTFw-"},
        {Ucs2({0x53F0, 0x5317}), true, "&U,BTFw-"},
        {Ucs2({0xE9, 0xE9, 0xE9}), true, "&AOkA6QDp-"},
        {Ucs2({'&'}), true, "&-"},
        {Ucs2({'+'}), true, "+"},
        {Ucs2({'\t', '\n'}), false, "\t\n"},
        {Ucs2({'a'}) + "\x01", false, "a"}, // a trailing odd byte is ignored
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Ucs2ToUtf7(c.ucs2, c.modified), c.text) << "modified " << c.modified;
        EXPECT_EQ(Hex(Utf7ToUcs2(c.text, c.modified)),
                  Hex(c.ucs2.substr(0, c.ucs2.size() & ~std::size_t{1})));
    }
}

TEST(ToUcs2, HandlesByteOrderMarksAndUnitWidths) {
    struct Case {
        const char* what;
        std::string text;
        TMimeChar from;
        std::string ucs2;
    };
    const Case cases[] = {
        {"UCS-2LE with its mark", Bytes({0xFF, 0xFE, 0x41, 0x00}), UCS_2LE, Ucs2({'A'})},
        {"UCS-2 with a reversed mark turns little-endian", Bytes({0xFF, 0xFE, 0x41, 0x00, 0xE9, 0x00}), UCS_2,
         Ucs2({'A', 0xE9})},
        {"UCS-2 with its mark", Bytes({0xFE, 0xFF, 0x00, 0x41}), UCS_2, Ucs2({'A'})},
        {"UCS-2LE with a reversed mark turns big-endian", Bytes({0xFE, 0xFF, 0x00, 0x41}), UCS_2LE,
         Ucs2({'A'})},
        {"mark in the middle", Bytes({0x00, 0x41, 0xFE, 0xFF, 0x00, 0x42}), UCS_2, Ucs2({'A', 'B'})},
        {"UTF-8 mark",
         "\xEF\xBB\xBF"
         "A",
         UTF_8, Ucs2({'A'})},
        {"UCS-4 mark", Bytes({0, 0, 0xFE, 0xFF, 0, 0, 0, 0x41}), UCS_4, Ucs2({'A'})},
        {"UCS-4LE mark", Bytes({0xFF, 0xFE, 0, 0, 0x41, 0, 0, 0}), UCS_4LE, Ucs2({'A'})},
        {"UCS-4 keeps the low 16 bits", Ucs4({0x1F600}), UCS_4, Ucs2({0xF600})},
        {"cut-off unit reads as 0", Bytes({0x00, 0x41, 0x42}), UCS_2, Ucs2({'A', 0})},
        {"single byte through the table", "\xC1\x41", KOI8_R, Ucs2({0x0430, 'A'})},
        {"charset without a table reads as Latin-1", "\x80\xFF", CP866, Ucs2({0x80, 0xFF})},
        {"undefined position", "\x81", CP1252, Ucs2({0xFFFD})},
        {"UTF-7", "+AOk-", UTF_7, Ucs2({0xE9})},
        // Byte order means nothing in UTF-8 and UTF-7: a reversed mark is dropped and the rest stays intact.
        {"UTF-8 reversed mark",
         "A\xEF\xBF\xBE"
         "BC",
         UTF_8, Ucs2({'A', 'B', 'C'})},
        {"UTF-7 reversed mark", "+//4-ab", UTF_7, Ucs2({'a', 'b'})},
        {"UTF-8 beyond 16 bits keeps the low bits", "\xF0\x9F\x98\x80", UTF_8, Ucs2({0xF600})},
        {"modified UTF-7", "&AOk-", UTF_7mod, Ucs2({0xE9})},
        {"empty", "", UCS_2, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Hex(ToUcs2(c.text, c.from)), Hex(c.ucs2)) << c.what;
}

TEST(FromUcs2, WritesEveryUnitForm) {
    struct Case {
        const char* what;
        std::string ucs2;
        TMimeChar to;
        bool transliterate;
        std::string text;
    };
    const Case cases[] = {
        {"ASCII", Ucs2({'a', 0x7F}), CP1252, true, "a\x7F"},
        {"table hit", Ucs2({0x20AC}), CP1252, true, "\x80"},
        {"no mapping, transliterated", Ucs2({0x20AC}), ISO_8859_1, true, "_"},
        {"no mapping, dropped", Ucs2({'a', 0x20AC, 'b'}), ISO_8859_1, false, "ab"},
        {"first position holding U+FFFD", Ucs2({0xFFFD}), CP1252, true, "\x81"},
        {"charset without a table writes Latin-1", Ucs2({0xE9, 0x0410}), CP866, true, "\xE9_"},
        {"UCS-2", Ucs2({0x20AC}), UCS_2, true, Bytes({0x20, 0xAC})},
        {"UCS-2LE", Ucs2({0x20AC}), UCS_2LE, true, Bytes({0xAC, 0x20})},
        {"UCS-4", Ucs2({0x20AC}), UCS_4, true, Bytes({0, 0, 0x20, 0xAC})},
        {"UCS-4LE", Ucs2({0x20AC}), UCS_4LE, true, Bytes({0xAC, 0x20, 0, 0})},
        {"UTF-8", Ucs2({'a', 0xE9, 0x20AC}), UTF_8, true, "a\xC3\xA9\xE2\x82\xAC"},
        {"UTF-7", Ucs2({'a', 0xE9}), UTF_7, true, "a+AOk-"},
        {"modified UTF-7", Ucs2({'&', 0xE9}), UTF_7mod, true, "&-&AOk-"},
        {"odd trailing byte", Ucs2({'a'}) + "\x01", CP1252, true, "a"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Hex(FromUcs2(c.ucs2, c.to, c.transliterate)), Hex(c.text)) << c.what;
}

// Runs each case once through iconv and once through the built-in converters alone.
class ConvertBothPaths : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override { SetIconvDisabled(!GetParam()); }
    void TearDown() override { SetIconvDisabled(false); }
    bool WithIconv() const { return GetParam(); }
};

INSTANTIATE_TEST_SUITE_P(Paths, ConvertBothPaths, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("Iconv") : std::string("BuiltIn");
                         });

TEST_P(ConvertBothPaths, GivesTheSameResultForTableCharsets) {
    struct Case {
        TMimeChar from;
        TMimeChar to;
        std::string text;
        std::string expected;
    };
    const Case cases[] = {
        {ISO_8859_1, UTF_8, "caf\xE9", "caf\xC3\xA9"},
        {UTF_8, CP1252, "caf\xC3\xA9 \xE2\x82\xAC", "caf\xE9 \x80"},
        {UTF_8, ISO_8859_2,
         "\xC5\x81\xC3\xB3"
         "d\xC5\xBA",
         "\xA3\xF3"
         "d\xBC"},
        {KOI8_R, UTF_8, "\xF0\xD2\xC9\xD7\xC5\xD4", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"},
        {KOI8_R, UTF_8, "Greeting \xF0\xD2\xC9 for all", "Greeting \xD0\x9F\xD1\x80\xD0\xB8 for all"},
        {CP1251, KOI8_R, "\xCF\xF0\xE8\xE2\xE5\xF2", "\xF0\xD2\xC9\xD7\xC5\xD4"},
        {ISO_8859_7, UTF_8, "\xC1\xE2", "\xCE\x91\xCE\xB2"},
        {CP852, UTF_8, "\x80\xA5", "\xC3\x87\xC4\x85"},
        {ISO_8859_15, CP1252, "\xA4", "\x80"},
        {UTF_8, UCS_2LE, "A\xC3\xA9", Bytes({0x41, 0, 0xE9, 0})},
        {UTF_8, UTF_7, "Hi \xC3\xA9!", "Hi +AOk-!"},
        {UTF_7, UTF_8, "Hi +AGEAYgBj-!", "Hi abc!"},
        {UTF_7mod, UTF_8, "&AOkA6QDp-", "\xC3\xA9\xC3\xA9\xC3\xA9"},
        {CP895, UTF_8, "\x80\xE0", "\xC4\x8C\xCE\xB1"},
        {UTF_8, CP895, "\xC4\x8C\xCE\xB1", "\x80\xE0"},
        {UCS_2, UTF_8, Bytes({0xFF, 0xFE, 0xE9, 0x00}), "\xC3\xA9"},
        {ISO_8859_1, ISO_8859_1, "\xFF\xFE invalid \x80", "\xFF\xFE invalid \x80"},
        {UTF_8, UTF_8, "\xC3 cut", "\xC3 cut"},
        {ISO_8859_1, UTF_8, "", ""},
        {MACGR, UTF_8, "\xBA\xE1\xEC", "\xCE\x9A\xCE\xB1\xCE\xBB"},
        {JAVA, UTF_8, "\\u039a\\u03B1 \\u39a \\", "\xCE\x9A\xCE\xB1 \\u39a \\"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Hex(ConvertBetweenCharsets(c.text, c.from, c.to)), Hex(c.expected))
            << CharsetName(c.from) << " -> " << CharsetName(c.to) << " \"" << c.text << "\"";
}

TEST_P(ConvertBothPaths, EveryDefinedTableByteDecodesAlike) {
    for (const TCharsetTable& table : CharsetTables) {
        for (int byte = 0x80; byte <= 0xFF; ++byte) {
            const std::uint16_t unit = table.Upper[byte - 0x80];
            // Undefined (U+FFFD built in, skipped by iconv), or an ASCII look-alike that ASCII encodes.
            if (unit == 0xFFFD || unit < 0x80) continue;
            const std::string text(1, static_cast<char>(byte));
            EXPECT_EQ(Hex(ConvertCharsetCore(text, table.Charset, UCS_2, false)), Hex(Ucs2({unit})))
                << CharsetName(table.Charset) << " byte " << byte;
            EXPECT_EQ(Hex(ConvertCharsetCore(Ucs2({unit}), UCS_2, table.Charset, false)), Hex(text))
                << CharsetName(table.Charset) << " byte " << byte;
        }
    }
}

TEST_P(ConvertBothPaths, UnmappableCharacters) {
    const std::string euro = "a\xE2\x82\xAC"
                             "b";
    EXPECT_EQ(ConvertBetweenCharsets(euro, UTF_8, ISO_8859_1), WithIconv() ? "aEURb" : "a_b");
    EXPECT_EQ(ConvertCharsetCore(euro, UTF_8, ISO_8859_1, false), "ab");
    // Bytes a charset leaves undefined: dropped by iconv, U+FFFD and back to the first such byte built in.
    EXPECT_EQ(ConvertBetweenCharsets("a\x81"
                                     "b",
                                     CP1252, UTF_8),
              WithIconv() ? "ab"
                          : "a\xEF\xBF\xBD"
                            "b");
    EXPECT_EQ(ConvertBetweenCharsets("\xEF\xBF\xBD", UTF_8, CP1252), WithIconv() ? "?" : "\x81");
}

TEST_P(ConvertBothPaths, CharsetsWithoutTablesNeedIconv) {
    // Without iconv these convert as Latin-1.
    EXPECT_EQ(ConvertBetweenCharsets("\x80", CP866, UTF_8), WithIconv() ? "\xD0\x90" : "\xC2\x80");
    EXPECT_EQ(ConvertBetweenCharsets("\xA4\xA2", EUC_JP, UTF_8),
              WithIconv() ? "\xE3\x81\x82" : "\xC2\xA4\xC2\xA2");
    // Korean and Chinese mail labelled with their raw 94x94 sets is CP949 and GBK; HZ is GB2312 in "~{ ~}".
    EXPECT_EQ(ConvertBetweenCharsets("\xBE\xC8 \x8C\x63", ISO_IR_149, UTF_8),
              WithIconv() ? "\xEC\x95\x88 \xEB\x98\xA0" : "\xC2\xBE\xC3\x88 \xC2\x8C\x63");
    EXPECT_EQ(ConvertBetweenCharsets("\xC4\xE3", GB2312_80, UTF_8),
              WithIconv() ? "\xE4\xBD\xA0" : "\xC3\x84\xC3\xA3");
    EXPECT_EQ(ConvertBetweenCharsets("~~ ~{Dc:C~} ~\r\nok", HZ, UTF_8),
              WithIconv() ? "~ \xE4\xBD\xA0\xE5\xA5\xBD ok" : "~~ ~{Dc:C~} ~\r\nok");
    // ISO-8859-7: iconv knows the 2003 edition, the table is the 1987 one.
    EXPECT_EQ(ConvertBetweenCharsets("\xA4", ISO_8859_7, UTF_8),
              WithIconv() ? "\xE2\x82\xAC" : "\xEF\xBF\xBD");
}

TEST_P(ConvertBothPaths, LongInputIsConvertedWhole) {
    std::string text;
    std::string expected;
    for (int i = 0; i < 50000; ++i) {
        text += "\xE9\x80";
        expected += "\xC3\xA9\xE2\x82\xAC";
    }
    EXPECT_EQ(ConvertBetweenCharsets(text, CP1252, UTF_8), expected);
    // UCS-2 -> UCS-4 doubles the size; many characters become three ASCII letters through transliteration.
    EXPECT_EQ(ConvertBetweenCharsets(std::string(200000, 'x'), ISO_8859_1, UCS_4).size(), 800000u);
    const std::string euros = ConvertBetweenCharsets(std::string(300000, '\x80'), CP1252, ISO_8859_1);
    EXPECT_EQ(euros.size(), WithIconv() ? 900000u : 300000u);
}

TEST_P(ConvertBothPaths, ByteTablesGiveWhatTheTwoStagesGive) {
    // Every byte value, then random bytes: a charset whose conversion is not byte by byte (state, combining
    // marks) must not be converted through a byte table.
    std::string text;
    for (int byte = 0; byte < 256; ++byte)
        text.push_back(static_cast<char>(byte));
    std::mt19937 random(777);
    for (int i = 0; i < 256; ++i)
        text.push_back(static_cast<char>(random() & 0xFF));
    const TMimeChar common[] = {UTF_8, ISO_8859_1, ISO_8859_2, CP1252, CP1255, KOI8_R, UTF_16};
    for (int i = 0; i < kMimeCharCount; ++i) {
        const TMimeChar other = static_cast<TMimeChar>(i);
        for (const TMimeChar one : common) {
            for (const bool transliterate : {false, true}) {
                EXPECT_EQ(Hex(ConvertCharsetCore(text, other, one, transliterate)),
                          Hex(ConvertThroughUcs2(text, other, one, transliterate)))
                    << CharsetName(other) << " -> " << CharsetName(one);
                EXPECT_EQ(Hex(ConvertCharsetCore(text, one, other, transliterate)),
                          Hex(ConvertThroughUcs2(text, one, other, transliterate)))
                    << CharsetName(one) << " -> " << CharsetName(other);
            }
        }
    }
}

TEST(ConvertCharsetCore, IconvResultIsNotCutAfterTheFirstBufferGuess) {
    SetIconvDisabled(false);
    // UTF-32 from UCS-2 is twice the intermediate plus a mark: more than a first guess of twice the input.
    const std::string text(100000, 'a');
    const std::string result = ConvertBetweenCharsets(text, ISO_8859_1, UTF_32);
    ASSERT_EQ(result.size(), 400004u);
    EXPECT_EQ(ConvertBetweenCharsets(result, UTF_32, ISO_8859_1), text);
}

TEST_P(ConvertBothPaths, ArbitraryBytesConvertBetweenAllCharsets) {
    // Every charset in and out, on random bytes: whatever comes back, nothing may go wrong on the way.
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> length(0, 40);
    // Escape and shift sequences cut off among invalid bytes: the C library's ISO-2022-CN-EXT decoder in its
    // ignore mode reported taking thousands of bytes from the first one and read past its end.
    const std::string hostile[] = {"\x1b\xb6~}\xff\xff\xff\xff\xff\xff\xff\x0e",
                                   "\x1b$)A\x0e\xff\x0f\x1b",
                                   "\x1b$*H\x1bN\xff",
                                   "\x1b$+I\x1bO\x21",
                                   "~{\xff~",
                                   "\x1b$B\x80"};
    for (int i = 0; i < kMimeCharCount; ++i) {
        const TMimeChar charset = static_cast<TMimeChar>(i);
        for (int round = 0; round < 14; ++round) {
            std::string text(static_cast<std::size_t>(length(random)), '\0');
            for (char& c : text)
                c = static_cast<char>(byte(random));
            if (round >= 8) text = hostile[round - 8];
            const std::string utf8 = ConvertBetweenCharsets(text, charset, UTF_8);
            const std::string back = ConvertBetweenCharsets(utf8, UTF_8, charset);
            EXPECT_LE(utf8.size(), text.size() * 4 + 8) << CharsetName(charset);
            EXPECT_LE(back.size(), utf8.size() * 8 + 8) << CharsetName(charset);
        }
    }
}

// Descriptors are reused between conversions: a stateful encoding must start every text in its initial state,
// and plain ASCII passes between ASCII-based charsets unchanged.
TEST(ConvertCharsetCore, ReusedConversionsStartFresh) {
    const std::string japanese = "\xE6\x97\xA5\xE6\x9C\xAC"; // two kanji in UTF-8
    const std::string first = ConvertBetweenCharsets(japanese, UTF_8, ISO_2022_JP);
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(ConvertBetweenCharsets(japanese, UTF_8, ISO_2022_JP), first);
    EXPECT_EQ(ConvertBetweenCharsets(first, ISO_2022_JP, UTF_8), japanese);
    EXPECT_EQ(ConvertBetweenCharsets("plain ascii", ISO_2022_JP, UTF_8), "plain ascii");
    EXPECT_EQ(ConvertBetweenCharsets(std::string("a\0b~", 4), KOI8_R, CP1252), std::string("a\0b~", 4));
    EXPECT_EQ(ConvertBetweenCharsets("a+b", UTF_8, UTF_7), "a+-b");
}
