// Charset names, the alias table, code pages and the charset of the user's locale.
#include "mime/charset/charsets.h"
#include "mime/charset/control_escape.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
using namespace maildig;

TEST(CharsetFromName, MapsHeaderNamesByWholeWord) {
    struct Case {
        const char* name;
        TMimeChar expected;
    };
    const Case cases[] = {
        {"utf-8", UTF_8},
        {"UTF-8", UTF_8},
        {"latin2", ISO_8859_2},
        {"unicode-1-1-utf-7", UTF_7},
        {"utf-7", UTF_7},
        {"x-unknown", ISO_8859_1},
        {"", ISO_8859_1},
        {"IBM895", CP895},
        {"x-kamenicky", CP895},
        {"cp-895", CP895},
        {"mUTF-7", UTF_7mod},
        {"x-mutf-7", UTF_7mod},
        {"ISO-8859", ISO_8859_1}, // only part of a word
        {" UTF-8", ISO_8859_1},   // names are not trimmed
        {"UTF-8 ", ISO_8859_1},
        {"iso-8859-15", ISO_8859_15},
        {"windows-1252", CP1252},
        {"ms-ansi", CP1252},
        {"us-ascii", ISO_8859_1},
        {"koi8-r", KOI8_R},
        {"ucs-2be", UCS_2},
        {"unicodelittle", UCS_2LE},
        {"gbk", CP936},
        {"iso-8859-8-i", ISO_8859_8}, // last word of its row
        {"cp-is", CP861},
        {"850", ISO_8859_1},
        {"852", CP852},
        {"big5-hkscs", BIG5_HKSCS},
        {"cn", GB1988_80},
        {"ks_c_5601-1987", ISO_IR_149},
        // A name of several words matches a row holding them as a run of whole words, nothing else.
        {"ucs-2 csunicode", UCS_2},                            // the last words of a row
        {"iso-10646-ucs-2 ucs-2", UCS_2},                      // the first words of a row
        {"unicode-1-1 unicodebig", UCS_2},                     // words inside a row
        {"UCS-2BE UNICODE-1-1 UNICODEBIG CSUNICODE11", UCS_2}, // the whole row
        {"ISO-8859-2 LATIN2", ISO_8859_1},                     // words of a row, not adjacent
        {"UTF-8 ISO-8859-1", ISO_8859_1},                      // words of different rows
        {"CSUNICODE UCS-2", ISO_8859_1},                       // adjacent words in the wrong order
        {"SUNICODE", ISO_8859_1},                              // the end of a word only
        {"latin2", ISO_8859_2},                                // again, after many other names
    };
    for (const Case& c : cases)
        EXPECT_EQ(CharsetFromName(c.name), c.expected) << "name: \"" << c.name << "\"";
}

TEST(CharsetName, GivesTheCanonicalName) {
    EXPECT_EQ(CharsetName(CP1252), "WINDOWS-1252");
    EXPECT_EQ(CharsetName(UCS_2), "ISO-10646-UCS-2");
    EXPECT_EQ(CharsetName(UTF_7mod), "mUTF-7");
    EXPECT_EQ(CharsetName(CP895), "CP-895");
    EXPECT_EQ(CharsetName(ISO_8859_1), "ISO-8859-1");
    EXPECT_EQ(CharsetName(UTF_7), "UNICODE-1-1-UTF-7");
    EXPECT_EQ(CharsetName(CP852), "852");
    EXPECT_EQ(CharsetName(CP1125), "CP1125");
}

TEST(CharsetName, EveryCharsetSurvivesTheRoundTripThroughItsName) {
    for (int i = 0; i < kMimeCharCount; ++i) {
        const TMimeChar charset = static_cast<TMimeChar>(i);
        EXPECT_EQ(CharsetFromName(CharsetName(charset)), charset)
            << "charset " << i << " " << CharsetName(charset);
    }
}

TEST(CodePageToCharset, MapsKnownNumbersAndDefaultsToCp1252) {
    const std::pair<int, TMimeChar> cases[] = {
        {1252, CP1252},  {99999, CP1252},   {-1, CP1252},    {65001, UTF_8}, {65000, UTF_7},
        {0, UCS_2LE},    {1200, UCS_2LE},   {1201, UCS_2},   {895, CP895},   {28597, ISO_8859_7},
        {20866, KOI8_R}, {850, ISO_8859_1}, {51936, GB2312}, {12001, UCS_4}, {10029, MACCE},
        {28603, CP1252}, {1, CP1252},       {65002, CP1252},
    };
    for (const auto& [codePage, expected] : cases)
        EXPECT_EQ(CodePageToCharset(codePage), expected) << "code page " << codePage;
}

TEST(CodesetToCodePage, MapsLocaleCodesets) {
    const std::pair<const char*, int> cases[] = {
        {"UTF-8", 65001},
        {"utf-8", 65001},
        {"ANSI_X3.4-1968", 65001},
        {"ISO-8859-2", 28592},
        {"ISO-8859-15", 28605},
        {"KOI8-R", 20866},
        {"CP1251", 1251},
        {"EUC-JP", 51932},
        {"GB18030", 54936},
        {"NO-SUCH-SET", -1},
        {"", -1},
    };
    for (const auto& [codeset, expected] : cases)
        EXPECT_EQ(CodesetToCodePage(codeset), expected) << "codeset " << codeset;
}

// Sets LC_ALL for the lifetime of the object and restores the previous value.
class ScopedLcAll {
  public:
    explicit ScopedLcAll(const char* value) {
        if (const char* old = std::getenv("LC_ALL")) saved_ = old;
        setenv("LC_ALL", value, 1);
    }
    ~ScopedLcAll() {
        if (saved_)
            setenv("LC_ALL", saved_->c_str(), 1);
        else
            unsetenv("LC_ALL");
    }

  private:
    std::optional<std::string> saved_;
};

TEST(SystemCharset, UnconfiguredAndUtf8LocalesGiveUtf8) {
    for (const char* locale : {"C", "POSIX", "C.UTF-8", "xx_NO.SUCH-LOCALE"}) {
        ScopedLcAll scoped(locale);
        EXPECT_EQ(SystemCharset(), UTF_8) << "LC_ALL=" << locale;
    }
}

TEST(EscapeControlChars, EscapesC0DelAndTheC1OfTheCharsetOnly) {
    struct Case {
        std::string text;
        TMimeChar charset;
        std::string expected;
    } cases[] = {
        {"a\x1b[1mb\tc\r\x7f\\", UTF_8, "a\\x1b[1mb\tc\\x0d\\x7f\\"},
        {"\xc2\x9b\xc2\xa0\xe2\x82\xac\xc2", UTF_8, "\\xc2\\x9b\xc2\xa0\xe2\x82\xac\xc2"},
        {"\x9b\xa0", ISO_8859_1, "\\x9b\xa0"},
        {"\x9b\xa0", ISO_8859_2, "\\x9b\xa0"},
        {"\x80\x9b", CP1252, "\x80\x9b"}, // the euro sign and a closing angle quote
        {std::string("\0", 1), UTF_8, "\\x00"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(EscapeControlChars(c.text, c.charset), c.expected) << CharsetName(c.charset);
}
