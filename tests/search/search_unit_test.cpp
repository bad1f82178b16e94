// The search layer's own helpers: line splitting of decoded text, ASCII-only case folding, the TOP line
// count, the date text of the view and the text-part walk.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <string>

#include "bytes/split_lines.h"
#include "mime/mime_message.h"
#include "search/message_search.h"
#include "search/view_delete.h"
using namespace maildig;

// The splitting findTextPart applies to the decoded text.
TEST(SplitLines, EveryLineEndKindAndTheLastLine) {
    struct Case {
        std::string text;
        Lines expected;
    } cases[] = {
        {"", {}},
        {"a", {"a"}},
        {"a\r\n", {"a"}},
        {"a\r\nb\nc\rd", {"a", "b", "c", "d"}},
        {"a\n\r\nb", {"a", "", "b"}},
        {"\r\r\n\n", {"", "", ""}},
        {"a\n\rb", {"a", "", "b"}},
    };
    for (const Case& c : cases) {
        Lines lines{"stale"};
        SplitLines(c.text, lines);
        EXPECT_EQ(lines, c.expected) << c.text;
    }
}

TEST(ContainsFolded, FoldsAsciiLettersOnly) {
    EXPECT_TRUE(containsFolded("Bob Smith <BOB@example.com>", "bob@EXAMPLE"));
    EXPECT_TRUE(containsFolded("x", ""));
    EXPECT_FALSE(containsFolded("\xC3\x84RGER", "\xC3\xA4rger")); // Ä and ä are different bytes
    EXPECT_TRUE(containsFolded("\xC3\x84RGER", "\xC3\x84rger"));
    EXPECT_FALSE(containsFolded("Lunch", "lunch plans"));
}

TEST(FetchLines, KilobytesToLinesWithoutOverflow) {
    struct Case {
        int maxSize;
        int lines;
    } cases[] = {{10, 125},
                 {0, 0},
                 {100, 1250},
                 {1, 12},
                 {-1, -12},
                 {2147483, 26843537},
                 {2147483647, 2147483647},
                 {-2147483647 - 1, -2147483647 - 1}};
    for (const Case& c : cases)
        EXPECT_EQ(fetchLines(c.maxSize), c.lines) << c.maxSize;
}

TEST(FormatViewDate, LocaleFormatsAndMidnight) {
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(formatViewDate(0), "");
    // 15 February 2026 16:20:30 is day 46068 after 30 December 1899.
    EXPECT_EQ(formatViewDate(46068 + (16 * 3600 + 20 * 60 + 30) / 86400.0), "02/15/26 16:20:30");
    EXPECT_EQ(formatViewDate(46068), "02/15/26");
    EXPECT_EQ(formatViewDate(1), "12/31/99");
    EXPECT_EQ(formatViewDate(2 + 0.5), "01/01/00 12:00:00");
    // Far dates must not fail or overflow.
    EXPECT_FALSE(formatViewDate(3000000.25).empty());
    EXPECT_FALSE(formatViewDate(-700000.75).empty());
}

namespace {
Lines messageLines(const std::string& text) {
    Lines lines;
    SplitLines(text, lines);
    return lines;
}
} // namespace

TEST(FindTextPart, FirstTextLeafDepthFirst) {
    TMimeMess mess;
    mess.Lines() = messageLines("Content-Type: multipart/mixed; boundary=\"b1\"\n"
                                "\n"
                                "--b1\n"
                                "Content-Type: image/png\n"
                                "\n"
                                "xxxx\n"
                                "--b1\n"
                                "Content-Type: multipart/alternative; boundary=\"b2\"\n"
                                "\n"
                                "--b2\n"
                                "Content-Type: text/plain\n"
                                "\n"
                                "plain one\n"
                                "plain two\n"
                                "--b2\n"
                                "Content-Type: text/html\n"
                                "\n"
                                "<p>html</p>\n"
                                "--b2--\n"
                                "--b1--\n");
    mess.ParseMessage();
    Lines lines{"stale"};
    ASSERT_TRUE(findTextPart(mess.MessagePart(), lines));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "plain one");
    EXPECT_EQ(lines[1], "plain two");
}

TEST(FindTextPart, NoTextLeafLeavesLinesAlone) {
    TMimeMess mess;
    mess.Lines() = messageLines("Content-Type: application/pdf\n\nJVBERi0=\n");
    mess.ParseMessage();
    Lines lines{"previous message"};
    EXPECT_FALSE(findTextPart(mess.MessagePart(), lines));
    EXPECT_EQ(lines, Lines{"previous message"});
}

TEST(FindTextPart, HostileNestingDoesNotExhaustTheStack) {
    std::string text;
    const int depth = 5000;
    for (int level = 0; level < depth; ++level)
        text += "Content-Type: multipart/mixed; boundary=\"b" + std::to_string(level) + "\"\n\n--b" +
                std::to_string(level) + "\n";
    text += "Content-Type: text/plain\n\ndeep text\n";
    TMimeMess mess;
    mess.Lines() = messageLines(text);
    mess.ParseMessage();
    Lines lines;
    findTextPart(mess.MessagePart(), lines); // the result depends on the nesting cap; it must not crash
    SUCCEED();
}
