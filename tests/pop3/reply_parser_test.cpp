// What the lines of a POP3 reply mean, without a socket: the verdict, the body of a multi-line reply (its
// end, dot-unstuffing, its bound) and the text of a single-line reply.
#include "pop3/reply_parser.h"

#include <gtest/gtest.h>
using namespace maildig;

namespace {

struct Parsed {
    int32_t verdict = 0;
    Lines body;
    TBodyStep last = BS_More; // what the last line taken did
    size_t taken = 0;         // body lines taken (the "." included)
};

// The lines of one multi-line reply as received (status line first) through the parser, as ReadReply does.
Parsed parse(const Lines& received, size_t maxBytes = 1 << 20) {
    Parsed p;
    p.verdict = ReplyVerdict(received.at(0));
    size_t held = 0;
    for (size_t i = 1; p.verdict == 1 && p.last == BS_More && i < received.size(); ++i, ++p.taken)
        p.last = AddBodyLine(p.body, std::string(received[i]), held, maxBytes);
    return p;
}

TEST(ReplyParser, MultiLineReplies) {
    const std::string big(100, 'x');
    struct Case {
        const char* name;
        Lines received;
        size_t maxBytes;
        int32_t verdict;
        Lines body;
        TBodyStep last;
        size_t taken;
    } cases[] = {
        {"dot-unstuffing",
         {"+OK 4 lines", "..", ". x", "", "plain", "."},
         1 << 20,
         1,
         {".", " x", "", "plain"},
         BS_End,
         5},
        {"empty body", {"+OK", "."}, 1 << 20, 1, {}, BS_End, 1},
        {"only the first dot goes", {"+OK", "...", ".", "after the end"}, 1 << 20, 1, {".."}, BS_End, 2},
        {"error reply: no body", {"-ERR no such message", "line", "."}, 1 << 20, 0, {}, BS_More, 0},
        {"lower-case ok", {"+ok fine", "line", "."}, 1 << 20, 0, {}, BS_More, 0},
        {"three-field line kept as sent", {"+OK", "1 abc def", "."}, 1 << 20, 1, {"1 abc def"}, BS_End, 2},
        {"over the bound: the lines that fit are kept",
         {"+OK", big, big, big, "."},
         2 * HeldBytes(big),
         1,
         {big, big},
         BS_TooBig,
         3},
        {"empty lines count too, short ones no more",
         {"+OK", "", "--", "", "."},
         2 * sizeof(std::string),
         1,
         {"", "--"},
         BS_TooBig,
         3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Parsed p = parse(c.received, c.maxBytes);
        EXPECT_EQ(p.verdict, c.verdict);
        EXPECT_EQ(p.body, c.body);
        EXPECT_EQ(p.last, c.last);
        EXPECT_EQ(p.taken, c.taken);
    }
}

TEST(ReplyParser, SingleLineReplies) {
    const struct {
        const char* status;
        int32_t verdict;
        const char* result;
    } cases[] = {
        {"+OK 3 abc", 1, "3 abc"},
        {"+OK", 1, "+OK"}, // no blank: the whole line
        {"+OK  two blanks", 1, " two blanks"},
        {"+OKAY", 1, "+OKAY"},
        {"-ERR no such message", 0, "no such message"},
        {"", 0, ""},
        {" +OK", 0, "+OK"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ReplyVerdict(c.status), c.verdict) << '"' << c.status << '"';
        EXPECT_EQ(SingleLineResult(c.status), c.result) << '"' << c.status << '"';
    }
}

} // namespace
