// The string routines: 1-based positions, trimming of blanks only, integer text, delimited lists, quoted
// tokens, ROT47 and the fatal reports of misuse.
#include "strutil/strutil.h"
#include "support/run_program.h"

#include <gtest/gtest.h>

#include <climits>
#include <utility>
using namespace maildig;

namespace {

using List = std::vector<std::string>;

TEST(StrTrim, RemovesOnlySpacesAtBothEnds) {
    struct Case {
        std::string in, both, left, right;
    };
    const Case cases[] = {
        {"", "", "", ""},
        {"   ", "", " ", ""},
        {" a b ", "a b", "a b ", " a b"},
        {"\tx ", "\tx", "\tx ", "\tx"},
        {"x\t", "x\t", "x\t", "x\t"},
        {"  \n", "\n", "\n", "  \n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(str_trim(c.in), c.both) << '"' << c.in << '"';
        EXPECT_EQ(str_trim_left(c.in), c.left) << '"' << c.in << '"';
        EXPECT_EQ(str_trim_right(c.in), c.right) << '"' << c.in << '"';
    }
}

TEST(StrLower, FoldsAsciiCapitalsOnly) {
    EXPECT_EQ(str_lower("AbZ@[`{09"), "abz@[`{09");
    EXPECT_EQ(str_lower("\xC4"
                        "B"),
              "\xC4"
              "b");
    EXPECT_EQ(str_lower(std::string("A\0B", 3)), std::string("a\0b", 3));
}

TEST(StrPos, IsOneBasedAndCaseSensitive) {
    EXPECT_EQ(str_pos("abcabc", "ca"), 3u);
    EXPECT_EQ(str_pos("abc", "a"), 1u);
    EXPECT_EQ(str_pos("abc", "A"), 0u);
    EXPECT_EQ(str_pos("abc", "abcd"), 0u);
    EXPECT_EQ(str_pos("abc", ""), 0u);
    EXPECT_EQ(str_length("abc"), 3u);
}

TEST(StrCopyAndSlice, ClampPositionsAndCounts) {
    struct Case {
        int pos, count;
        std::string copy;
    };
    const Case copies[] = {
        {1, 2, "ab"}, {0, 2, "ab"}, {-5, 1, "a"}, {2, 99, "bc"},          {2, INT_MAX, "bc"},
        {3, 0, ""},   {2, -1, ""},  {4, 1, ""},   {INT_MAX, INT_MAX, ""}, {INT_MIN, INT_MAX, "abc"},
    };
    for (const Case& c : copies)
        EXPECT_EQ(str_copy("abc", c.pos, c.count), c.copy) << c.pos << ',' << c.count;

    struct Slice {
        std::string s;
        int first, last;
        std::string out;
    };
    const Slice slices[] = {
        {"abcdef", 2, 4, "bcd"},    {"abc", 2, 99, "bc"},
        {"abc", 3, 2, ""},          {"abc", 4, 5, ""},
        {"abc", 0, 2, ""},          {"abc", 1, 0, ""},
        {"abc", 3, 3, "c"},         {"", 1, 1, ""},
        {"abc", 1, INT_MAX, "abc"}, {"abc", INT_MIN, INT_MIN, ""},
    };
    for (const Slice& c : slices)
        EXPECT_EQ(str_slice(c.s, c.first, c.last), c.out) << c.first << ',' << c.last;
}

TEST(StrDelete, RemovesAndCutsAtEnd) {
    EXPECT_EQ(str_delete("abcdef", 2, 3), "aef");
    EXPECT_EQ(str_delete("abc", 2, 10), "a");
    EXPECT_EQ(str_delete("abc", 1, 3), "");
    EXPECT_EQ(str_delete("abc", 3, INT_MAX), "ab");
    EXPECT_EQ(str_delete("abc", 9, 0), "abc");
    EXPECT_EQ(str_delete("", -4, 0), "");
}

TEST(StrDelete, BoundsErrorsReportParametersOnStdoutAndExitOne) {
    struct Case {
        std::string s;
        int pos, count;
        std::string shownCount;
    };
    const Case cases[] = {
        {"abc", 0, 1, "1"},  {"abc", 4, 1, "0"},   {"", 1, 1, "0"},
        {"abc", 5, 2, "-1"}, {"abc", 1, -1, "-1"}, {"abc", INT_MAX, INT_MAX, "-2147483643"},
    };
    for (const Case& c : cases) {
        RunResult r = runInChild([&] { str_delete(c.s, c.pos, c.count); });
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, "str_delete: bounds problem.\nparm 1   : " + c.s +
                             "\nparm 2   : " + std::to_string(c.pos) + "\nparm 3   : " + c.shownCount + "\n");
        EXPECT_EQ(r.err, "");
    }
}

TEST(StrFromInt, WritesPlainDecimal) {
    EXPECT_EQ(str_from_int(0), "0");
    EXPECT_EQ(str_from_int(995), "995");
    EXPECT_EQ(str_from_int(INT_MIN), "-2147483648");
}

TEST(StrToInt, AcceptsPrefixesAndGivesZeroForBadOrOutOfRangeText) {
    struct Case {
        std::string in;
        int out;
    };
    const Case cases[] = {
        {"12", 12},
        {" -7", -7},
        {"\t+8", 8},
        {"$1F", 31},
        {"0x1f", 31},
        {"-0X10", -16},
        {"%101", 5},
        {"&17", 15},
        {"007", 7},
        {"0", 0},
        {"2147483647", INT_MAX},
        {"-2147483648", INT_MIN},
        {"$7FFFFFFF", INT_MAX},
        {"2147483648", 0},
        {"-2147483649", 0},
        {"99999999999", 0},
        {"999999999999999999999999999", 0},
        {"12 ", 0},
        {"x", 0},
        {"", 0},
        {"-", 0},
        {"$", 0},
        {"0x", 0},
        {"%2", 0},
        {"&8", 0},
        {"1a", 0},
        {"$G", 0},
        {"--1", 0},
        {" ", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(str_to_int(c.in), c.out) << '"' << c.in << '"';
}

TEST(StrIsInteger, OptionalMinusThenDigitsAfterTrimming) {
    struct Case {
        std::string in;
        bool out;
    };
    const Case cases[] = {
        {"", false},    {"12", true},   {" -12 ", true},       {"-", true},    {" - ", true},
        {"1a", false},  {"+1", false},  {"1.0", false},        {"--1", false}, {"1 2", false},
        {"\t1", false}, {"   ", false}, {"99999999999", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(str_is_integer(c.in), c.out) << '"' << c.in << '"';
}

TEST(StrSkipSet, StopsAtFirstPositionOutsideOrInsideTheSet) {
    TCharSet digits;
    for (char c = '0'; c <= '9'; ++c)
        digits.set(static_cast<unsigned char>(c));
    EXPECT_EQ(str_skip_set("12ab", 1, true, digits), 3u);
    EXPECT_EQ(str_skip_set("12ab", 3, false, digits), 5u);
    EXPECT_EQ(str_skip_set("12ab", 9, true, digits), 9u);
    EXPECT_EQ(str_skip_set("", 1, false, digits), 1u);
    TCharSet high;
    high.set(0xC4);
    EXPECT_EQ(str_skip_set("\xC4\xC4x", 1, true, high), 3u);
}

TEST(StrDelimitTSL, SplitsTrimsAndUnquotesFields) {
    struct Case {
        std::string s, sep, delim;
        List out;
    };
    const Case cases[] = {
        {"a, b ,c", ",", "", {"a", "b", "c"}},
        {"x,'y,z',w", ",", "'", {"x", "y,z", "w"}},
        {"a,,b", ",", "'", {"a", "", "b"}},
        {"a,", ",", "", {"a", ""}},
        {",", ",", "", {"", ""}},
        {"", ",", "", {}},
        {"a b", "", "", {"a b"}},
        {"1 abc", " ", "", {"1", "abc"}},
        {"1  abc", " ", "", {"1", "", "abc"}},
        {"a,'b", ",", "'", {"a", "b"}},
        {"' x ',y", ",", "'", {" x ", "y"}},
        {"''a''", ",", "'", {"'a'"}},
        {"'", ",", "'", {""}},
        {"a'b,c'd,e", ",", "'", {"a'b,c'd", "e"}},
        {"a,b", ",", ",", {"a,b"}},
    };
    for (const Case& c : cases) {
        List list = {"stale"};
        str_delimit_TSL(c.s, c.sep, c.delim, list);
        EXPECT_EQ(list, c.out) << '"' << c.s << "\" sep \"" << c.sep << "\" delim \"" << c.delim << '"';
    }
}

TEST(StrDelimitTSL, LongSeparatorOrDelimiterStopsTheProgram) {
    for (auto [sep, delim] : {std::pair<std::string, std::string>{",,", ""}, {",", "''"}}) {
        RunResult r = runInChild([&] {
            List list;
            str_delimit_TSL("a,b", sep, delim, list);
        });
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, "str_delimite_TSL: separator and delimiter cannot be more than 1 character.\n");
    }
}

TEST(StrNextQuoted, TakesQuotedTokensWithNestingAndDoubledQuotes) {
    struct Case {
        std::string s;
        std::size_t pos;
        std::string token;
        int status;
        std::size_t result;
    };
    const Case cases[] = {
        {"  'abc' x", 1, "abc", 0, 8},
        {"'it''s \"ok\"' rest", 1, "it's \"ok\"", 0, 13},
        {"\"a'b'c\"", 1, "a'b'c", 0, 8},
        {"''", 1, "", 0, 3},
        {"x 'a'", 1, "", 1, 1},
        {"x 'a'", 2, "a", 0, 6},
        {"   ", 1, "", 1, 4},
        {"", 1, "", 1, 1},
        {"'abc", 1, "", 2, 5},
        {"'", 1, "", 2, 2},
        {"\"it's\"", 1, "", 2, 7},
        {"'a'''", 1, "a'", 0, 6},
    };
    for (const Case& c : cases) {
        std::string token = "stale";
        int status = -1;
        EXPECT_EQ(str_next_quoted(c.s, c.pos, token, status), c.result) << c.s;
        EXPECT_EQ(token, c.token) << c.s;
        EXPECT_EQ(status, c.status) << c.s;
    }
}

TEST(StrNextQuoted, NestingDeeperThan32IsRejectedWithinBound) {
    std::string deep;
    for (int i = 0; i < 32; ++i)
        deep += i % 2 == 0 ? '\'' : '"';
    std::string closing(deep.rbegin(), deep.rend());
    std::string token;
    int status = -1;
    str_next_quoted(deep + closing, 1, token, status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(token, deep.substr(1) + closing.substr(0, 31));

    std::string tooDeep = deep + '\'' + '"' + '\'';
    EXPECT_EQ(str_next_quoted(tooDeep, 1, token, status), 34u);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(token, "");
}

TEST(StrNextQuoted, SameVariableAsInputAndTokenEndsUnterminated) {
    std::string s = "'abc'";
    int status = -1;
    str_next_quoted(s, 1, s, status);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(s, "");
}

TEST(StrRot47, RotatesPrintablesAndIsItsOwnInverse) {
    EXPECT_EQ(str_rot47("abc"), "234");
    EXPECT_EQ(str_rot47("!~ P"), "PO !");
    EXPECT_EQ(str_rot47("a b\t\x7f\x80"), "2 3\t\x7f\x80");
    std::string all;
    for (int c = 0; c < 256; ++c)
        all += static_cast<char>(c);
    EXPECT_EQ(str_rot47(str_rot47(all)), all);
    for (int c = 33; c <= 126; ++c) {
        std::string one(1, static_cast<char>(c));
        EXPECT_NE(str_rot47(one), one);
    }
}

} // namespace
