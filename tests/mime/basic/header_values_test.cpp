#include "mime/basic/header_values.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
using namespace maildig;

namespace {

struct Case3 {
    std::string a, b, expected;
};

TEST(FetchOutsideQuotes, IgnoresDelimitersInsideQuotes) {
    const struct {
        std::string s, item, rest;
    } cases[] = {
        {"\"Doe, J\" <j@x>, b@y", "\"Doe, J\" <j@x>", " b@y"},
        {"a,b", "a", "b"},
        {"a", "a", ""},
        {",a", "", "a"},
        {"\"unclosed, x", "\"unclosed, x", ""},
        {"\"a\"\"b,\",c", "\"a\"\"b,\"", "c"},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        std::string s = c.s;
        EXPECT_EQ(FetchOutsideQuotes(s, ",", '"'), c.item) << c.s;
        EXPECT_EQ(s, c.rest) << c.s;
        std::string_view view = c.s;
        EXPECT_EQ(FetchOutsideQuotes(view, ",", '"'), c.item) << c.s;
        EXPECT_EQ(view, c.rest) << c.s;
    }
}

TEST(Unquote, RemovesQuotesAndUndoublesQuotesInside) {
    const Case3 cases[] = {
        {"\"a\"\"b\"c", "\"", "a\"bc"},
        {"\"", "\"", ""},
        {"", "\"", ""},
        {"plain", "\"", "plain"},
        {"\"us-ascii\"", "\"", "us-ascii"},
        {"a\"b", "\"", "ab"},
        {"'it''s'", "'", "it's"},
        {"\"\"\"\"", "\"", "\""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Unquote(c.a, c.b[0]), c.expected) << c.a;
}

TEST(HeaderParameter, FindsTheNamedParameterIgnoringCase) {
    const Case3 cases[] = {
        {"text/plain; charset=\"us-ascii\"", "CHARSET", "us-ascii"},
        {"multipart/mixed; boundary=\"a;b\"", "boundary", "a;b"},
        {"text/plain; charsetx=1; charset=2", "charset", "2"},
        {"text/plain; charset=utf-8", "name", ""},
        {"text/plain;charset = utf-8 ;format=flowed", "charset", "utf-8"},
        {"text/plain; charset", "charset", ""},
        {"attachment; filename=\"a \"\"b\"\".txt\"", "filename", "a \"b\".txt"},
        {"", "charset", ""},
        {"text/plain; charset=\"unclosed", "charset", "unclosed"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HeaderParameter(c.a, c.b), c.expected) << c.a;
}

TEST(ExtractAddress, ReturnsTheTextBetweenAngleBrackets) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"\"Doe, John\" < john@example.org >", "john@example.org"},
        {"  bob@example.org \t", "bob@example.org"},
        {"Bob <bob@example.org", "bob@example.org"},
        {"<id@host>", "id@host"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ExtractAddress(c.in), c.out) << c.in;
}

TEST(UnfoldHeaderLine, JoinsContinuationLinesButNeverTheLastEntry) {
    Lines lines = {"Subject: a", "\tb", ""};
    std::size_t i = 0;
    EXPECT_EQ(UnfoldHeaderLine(lines, i), "Subject: a b");
    EXPECT_EQ(i, 2u);

    lines = {"Subject: a", " b"};
    i = 0;
    EXPECT_EQ(UnfoldHeaderLine(lines, i), "Subject: a");
    EXPECT_EQ(i, 1u);

    lines = {"To: a,", "   b,\t c  ", "=x", ":y", "\"z\"", "From: q", ""};
    i = 0;
    EXPECT_EQ(UnfoldHeaderLine(lines, i), "To: a, b,  c =x :y \"z\"");
    EXPECT_EQ(i, 5u);
    EXPECT_EQ(UnfoldHeaderLine(lines, i), "From: q");
    EXPECT_EQ(i, 6u);

    // An empty line is returned as such and ends nothing but itself; an index past the end gives "".
    lines = {"", " x", ""};
    i = 0;
    EXPECT_EQ(UnfoldHeaderLine(lines, i), "");
    EXPECT_EQ(i, 1u);
    i = 7;
    EXPECT_EQ(UnfoldHeaderLine(lines, i), "");
    EXPECT_EQ(i, 8u);

    lines = {"X-A: v  \r", " \t "};
    i = 0;
    EXPECT_EQ(UnfoldHeaderLine(lines, i), "X-A: v");
}

// A megabyte-long header value goes through every routine in linear time: each call here finishes in well
// under a second even in a sanitizer build, where a quadratic walk would take minutes.
TEST(HeaderValues, MegabyteValuesTakeLinearTime) {
    const auto start = std::chrono::steady_clock::now();
    std::string list;
    for (int i = 0; i < 100000; ++i)
        list += "\"n, " + std::to_string(i) + "\" <a@b>,";
    std::string_view rest = list;
    std::size_t items = 0;
    while (!rest.empty()) {
        FetchOutsideQuotes(rest, ",", '"');
        ++items;
    }
    EXPECT_EQ(items, 100000u);

    std::string params = "text/plain";
    for (int i = 0; i < 100000; ++i)
        params += "; p" + std::to_string(i) + "=\"v;v\"";
    EXPECT_EQ(HeaderParameter(params + "; charset=x", "charset"), "x");

    Lines folded = {"Subject: start"};
    for (int i = 0; i < 100000; ++i)
        folded.push_back(" word" + std::to_string(i));
    folded.push_back("");
    std::size_t i = 0;
    EXPECT_GT(UnfoldHeaderLine(folded, i).size(), 900000u);
    EXPECT_EQ(i, folded.size() - 1);

    const std::string big(1 << 20, 'a');
    EXPECT_EQ(ReplaceAll(big, "a", "bb").size(), 2u << 20);
    EXPECT_EQ(LastPos(std::string(1000, 'a') + "b", big), 0u);
    EXPECT_EQ(TextBefore(big, std::string(1000, 'a') + "b"), big);
    EXPECT_EQ(Unquote(std::string(1 << 20, '"'), '"').size(), (1u << 19) - 1);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 30.0);
}

} // namespace
