// The message header fields, priorities and the message container's life cycle.
#include "mime/mime_message.h"

#include <gtest/gtest.h>

#include <utility>

#include "mime/basic/mail_dates.h"
using namespace maildig;

namespace {
using enum TMessPriority;

TEST(ParsePriority, NumbersAndWords) {
    const struct {
        const char* line;
        TMessPriority expected;
    } cases[] = {
        {"X-Priority: 1", MP_high},
        {"X-Priority: 2", MP_high},
        {"X-Priority: 3 (Normal)", MP_normal},
        {"X-Priority: 4", MP_low},
        {"X-Priority:  5  ", MP_low},
        {"X-Priority: 0", MP_unknown},
        {"X-Priority: 6", MP_unknown},
        {"X-Priority: 003", MP_normal},
        {"X-Priority: 99999999999999999999", MP_unknown},
        {"X-Priority: -1", MP_unknown},
        {"Priority: urgent", MP_high},
        {"Priority: High", MP_high},
        {"Priority: HIGHEST", MP_high},
        {"Priority: normal", MP_normal},
        {"Priority: Medium", MP_normal},
        {"Priority: low", MP_low},
        {"Priority: lowest", MP_low},
        {"Priority: no-priority", MP_low},
        {"Priority: non-urgent", MP_low},
        {"Priority: whatever", MP_unknown},
        {"Priority:", MP_unknown},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParsePriority(c.line), c.expected) << c.line;
}

TEST(ParseHeaderLines, CombinedPriorityPrefersPriorityThenXPriority) {
    const struct {
        Lines lines;
        TMessPriority expected;
    } cases[] = {
        {{"X-Priority: 1", "Priority: normal"}, MP_normal},
        {{"X-MSMail-Priority: High"}, MP_high},
        {{"X-MSMail-Priority: Low", "X-Priority: 1"}, MP_high},
        {{"X-Priority: 0"}, MP_unknown},
        {{"Priority: whatever"}, MP_unknown},
        {{"Priority: whatever", "X-MSMail-Priority: low"}, MP_low},
    };
    TMessHeader header;
    for (const auto& c : cases) {
        header.ParseHeaderLines(c.lines);
        EXPECT_EQ(header.Priority, c.expected) << c.lines.front();
    }
}

TEST(ParseHeaderLine, FieldsFromTheirKeywords) {
    TMessHeader h;
    h.CharsetCode = UTF_8;
    h.ParseHeaderLines({
        "From: =?ISO-8859-1?Q?Caf=E9?= <box1>",
        "Subject: first",
        "SUBJECT:   second  ",
        "Organization: =?UTF-8?Q?ACME_Inc?=",
        "Reply-To: =?ISO-8859-1?Q?R=E9ponse?= <r@x>",
        "Message-ID: <abc.123>",
        "X-Mailer:  Tool 2.0 ",
        "Date: Mon, 7 Dec 2026 10:15:00 +0100",
        "Subject : x",
        "X-Spam: yes",
        "Content-Type: text/plain",
        "MIME-Version: 1.0",
        "Content-Transfer-Encoding: 8bit",
        "",
        "To: not-a-header@after-the-blank",
    });
    EXPECT_EQ(h.From, "Caf\xC3\xA9 <box1>");
    EXPECT_EQ(h.Subject, "second");
    EXPECT_EQ(h.Organization, "ACME Inc");
    EXPECT_EQ(h.ReplyTo, "R\xC3\xA9ponse <r@x>");
    EXPECT_EQ(h.MessageID, "abc.123");
    EXPECT_EQ(h.XMailer, "Tool 2.0");
    EXPECT_DOUBLE_EQ(h.Date, ParseMailDate("Mon, 7 Dec 2026 10:15:00 +0100"));
    EXPECT_NE(h.Date, 0);
    EXPECT_EQ(h.CustomHeaders, Lines({"Subject : x", "X-Spam: yes"}));
    EXPECT_TRUE(h.ToList.empty());
}

TEST(ParseHeaderLine, LaterHeaderOfTheSameNameReplacesTheValue) {
    using TField = std::string TMessHeader::*;
    const struct {
        const char* first;
        const char* second;
        TField field;
        const char* expected;
    } cases[] = {
        {"From: a@x", "from: =?UTF-8?Q?B=C3=A9?= <b@x>", &TMessHeader::From, "B\xC3\xA9 <b@x>"},
        {"Subject: one", "Subject: two", &TMessHeader::Subject, "two"},
        {"Organization: one", "ORGANIZATION: two", &TMessHeader::Organization, "two"},
        {"Reply-To: a@x", "Reply-To: b@x", &TMessHeader::ReplyTo, "b@x"},
        {"Message-ID: <a@x>", "Message-Id: <b@x>", &TMessHeader::MessageID, "b@x"},
        {"X-Mailer: one", "x-mailer: two", &TMessHeader::XMailer, "two"},
        // An empty later value still replaces the earlier one.
        {"Subject: one", "Subject:", &TMessHeader::Subject, ""},
    };
    for (const auto& c : cases) {
        TMessHeader h;
        h.CharsetCode = UTF_8;
        h.ParseHeaderLines({c.first, c.second});
        EXPECT_EQ(h.*c.field, c.expected) << c.second;
    }

    TMessHeader h;
    h.ParseHeaderLines(
        {"Date: 1 Jan 2020 00:00:00 GMT", "Date: 2 Feb 2021 00:00:00 GMT", "X-Priority: 1", "X-Priority: 5"});
    EXPECT_DOUBLE_EQ(h.Date, ParseMailDate("2 Feb 2021 00:00:00 GMT"));
    EXPECT_EQ(h.Priority, MP_low);
}

TEST(ParseHeaderLine, AddressListsKeepQuotedCommasAndAccumulate) {
    TMessHeader h;
    h.CharsetCode = UTF_8;
    h.ParseHeaderLines({"To: \"Smith, John\" <john@x.org>, bare@x.org",
                        "to: ,  =?UTF-8?Q?J=C3=BCrgen?= <j@x.de> ,", "Cc: a@x, \"b\" <b@x>"});
    EXPECT_EQ(h.ToList, Lines({"\"Smith, John\" <john@x.org>", "bare@x.org", "J\xC3\xBCrgen <j@x.de>"}));
    EXPECT_EQ(h.CCList, Lines({"a@x", "\"b\" <b@x>"}));
}

TEST(ParseHeaderLine, ReturnsWhetherTheNameIsKnown) {
    TMessHeader h;
    EXPECT_TRUE(h.ParseHeaderLine("content-id: <x>"));
    EXPECT_TRUE(h.ParseHeaderLine("X-Priority: 1"));
    EXPECT_FALSE(h.ParseHeaderLine("X-Spam: yes"));
    EXPECT_FALSE(h.ParseHeaderLine("Fromage: brie"));
    EXPECT_FALSE(h.ParseHeaderLine(""));
}

TEST(ParseHeaderLines, FoldedLinesAndMissingBlankLine) {
    TMessHeader h;
    h.ParseHeaderLines({"Subject: a", "\tb", " c", "X-Long: one", "  two"});
    EXPECT_EQ(h.Subject, "a b c");
    // The last line of the list is never a continuation line.
    EXPECT_EQ(h.CustomHeaders, Lines({"X-Long: one", "  two"}));
}

TEST(ParseHeaderLines, FirstLineEmptyMeansNoHeader) {
    TMessHeader h;
    h.ParseHeaderLines({"", "From: x@y", "Subject: s"});
    EXPECT_EQ(h.From, "");
    EXPECT_EQ(h.Subject, "");
    EXPECT_TRUE(h.CustomHeaders.empty());
}

TEST(TMessHeader, ResetKeepsTheCharset) {
    TMessHeader h;
    EXPECT_EQ(h.CharsetCode, SystemCharset());
    h.CharsetCode = CP1250;
    h.ParseHeaderLines({"From: a", "To: b", "Cc: c", "X-Other: d", "X-Priority: 1", "Date: 1 Jan 2020"});
    h.Reset();
    EXPECT_EQ(h.CharsetCode, CP1250);
    EXPECT_EQ(h.From, "");
    EXPECT_TRUE(h.ToList.empty());
    EXPECT_TRUE(h.CCList.empty());
    EXPECT_TRUE(h.CustomHeaders.empty());
    EXPECT_EQ(h.Date, 0);
    EXPECT_EQ(h.Priority, MP_unknown);
}

class CountingHeader : public TMessHeader {
  public:
    int known = 0;
    bool ParseHeaderLine(const std::string& line) override {
        const bool result = TMessHeader::ParseHeaderLine(line);
        known += result ? 1 : 0;
        return result;
    }
};

TEST(TMimeMess, UsesAHeaderOfADerivedClass) {
    auto owned = std::make_unique<CountingHeader>();
    CountingHeader* header = owned.get();
    TMimeMess mess(std::move(owned));
    mess.Lines() = {"From: a", "X-Other: b", "Subject: c", "", "body"};
    mess.ParseMessage();
    EXPECT_EQ(&mess.Header(), header);
    EXPECT_EQ(header->known, 2);
}

TEST(TMimeMess, ParseTwiceGivesTheSameResultAndResetClears) {
    TMimeMess mess;
    mess.Header().CharsetCode = ISO_8859_2;
    mess.Lines() = {"To: a@x", "Content-Type: multipart/mixed; boundary=q", "", "--q", "", "text", "--q--"};
    mess.ParseMessage();
    mess.ParseMessage();
    EXPECT_EQ(mess.Header().ToList, Lines({"a@x"}));
    EXPECT_EQ(mess.MessagePart().Lines, mess.Lines());
    ASSERT_EQ(mess.MessagePart().CountSubParts(), 1);
    EXPECT_EQ(mess.MessagePart().SubPartAt(0)->PartBody, Lines({"text"}));

    mess.Reset();
    EXPECT_TRUE(mess.Lines().empty());
    EXPECT_TRUE(mess.Header().ToList.empty());
    EXPECT_EQ(mess.MessagePart().CountSubParts(), 0);
    EXPECT_EQ(mess.Header().CharsetCode, ISO_8859_2);
}

TEST(ParseMessage, LargeFoldedHeaderIsLinear) {
    TMimeMess mess;
    mess.Lines().push_back("Subject: start");
    for (int k = 0; k < 100000; ++k)
        mess.Lines().push_back("\tword" + std::to_string(k));
    mess.Lines().push_back("To: " + std::string(100000, 'a') + std::string(50000, ','));
    mess.Lines().push_back("");
    mess.Lines().push_back("body");
    mess.ParseMessage();
    EXPECT_EQ(mess.Header().Subject.substr(0, 17), "start word0 word1");
    EXPECT_EQ(mess.Header().ToList.size(), 1u);
    EXPECT_EQ(mess.MessagePart().PartBody, Lines({"body"}));
}

} // namespace
