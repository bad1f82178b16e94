#include "mime/basic/text_routines.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
using namespace maildig;

namespace {

struct Case3 {
    std::string a, b, expected;
};

TEST(TextBeforeAfter, SplitAtTheFirstSeparatorOrKeepTheWholeText) {
    const Case3 before[] = {{"a=b=c", "=", "a"}, {"abc", "=", "abc"},         {"abc", "", "abc"},
                            {"", "=", ""},       {"key: value", ": ", "key"}, {"=x", "=", ""}};
    for (const auto& c : before)
        EXPECT_EQ(TextBefore(c.a, c.b), c.expected) << c.a << " / " << c.b;
    const Case3 after[] = {{"a=b=c", "=", "b=c"},
                           {"abc", "=", "abc"},
                           {"abc", "", "abc"},
                           {"x=", "=", ""},
                           {"+OK 2 messages", " ", "2 messages"}};
    for (const auto& c : after)
        EXPECT_EQ(TextAfter(c.a, c.b), c.expected) << c.a << " / " << c.b;
}

TEST(LastPos, IsOneBasedAndZeroWhenAbsent) {
    EXPECT_EQ(LastPos("ab", "xabyab"), 5u);
    EXPECT_EQ(LastPos("ab", "ab"), 1u);
    EXPECT_EQ(LastPos("ab", "a"), 0u);
    // The backward walk starts at length + 1, where the empty text already matches.
    EXPECT_EQ(LastPos("", "abc"), 4u);
    EXPECT_EQ(LastPos("", ""), 1u);
    EXPECT_EQ(LastPos("zz", "abc"), 0u);
    const std::string longSub(40, 'a');
    EXPECT_EQ(LastPos(longSub, std::string(100, 'a')), 61u);
    EXPECT_EQ(LastPos(longSub + "b", std::string(100, 'a') + "b" + std::string(5, 'c')), 61u);
}

TEST(ReplaceAll, DoesNotRescanReplacedText) {
    const struct {
        std::string s, search, replacement, expected;
    } cases[] = {
        {"aaa", "aa", "a", "aa"},        {"x", "", "y", "x"},    {"", "a", "b", ""},
        {"a-b-c", "-", "--", "a--b--c"}, {"abab", "ab", "", ""}, {"7 -0500", " -", " #", "7 #0500"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReplaceAll(c.s, c.search, c.replacement), c.expected) << c.s;
}

TEST(Trimming, SpacesOnlyOrEverythingUpToCode32) {
    EXPECT_EQ(TrimSpaces("  a b \t "), "a b \t");
    EXPECT_EQ(TrimSpaces("    "), "");
    EXPECT_EQ(TrimGeneral("\t\r\n a b \x01\x7F"), "a b \x01\x7F");
    EXPECT_EQ(TrimGeneral(std::string("\0x\0", 3)), "x");
    EXPECT_EQ(TrimGeneralRightView(" a \r\n"), " a");
}

TEST(FetchToken, TakesTheTokenAndKeepsTheTrimmedRest) {
    const struct {
        std::string s, sep, token, rest;
    } cases[] = {
        {"a b  c", " ", "a", "b  c"}, {" a ", " ", "", "a"}, {"abc", " ", "abc", ""},
        {"k=v; x", ";", "k=v", "x"},  {"", " ", "", ""},     {"a::b", "::", "a", "b"},
    };
    for (const auto& c : cases) {
        std::string s = c.s;
        EXPECT_EQ(FetchToken(s, c.sep), c.token) << c.s;
        EXPECT_EQ(s, c.rest) << c.s;
        std::string_view view = c.s;
        EXPECT_EQ(FetchToken(view, c.sep), c.token) << c.s;
        EXPECT_EQ(view, c.rest) << c.s;
    }
}

TEST(HexOfBytes, WritesLowerCaseDigits) {
    EXPECT_EQ(HexOfBytes(std::string("\x00\xAB\xFF", 3)), "00abff");
    EXPECT_EQ(HexOfBytes(""), "");
}

TEST(WriteTextToStream, AppendsTheBytesAsTheyAre) {
    std::ostringstream out;
    out << "x";
    WriteTextToStream(out, std::string("a\0\r\n", 4));
    EXPECT_EQ(out.str(), std::string("xa\0\r\n", 5));
}

} // namespace
