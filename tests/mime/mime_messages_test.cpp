// Whole messages from files: header fields, the part tree and the first text part.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include "mime/mime_message.h"
using namespace maildig;

namespace {

Lines LoadLines(const std::string& name) {
    std::ifstream in(std::string(MAILDIG_TEST_DATA) + "/mime/" + name, std::ios::binary);
    EXPECT_TRUE(in) << name;
    Lines lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// Depth-first, children in order: the first part without sub-parts that is text.
TMimePart* FirstTextLeaf(TMimePart& part) {
    if (part.CountSubParts() == 0) return part.PrimaryCode() == MP_TEXT ? &part : nullptr;
    for (int32_t k = 0; k < part.CountSubParts(); ++k)
        if (TMimePart* found = FirstTextLeaf(*part.SubPartAt(k))) return found;
    return nullptr;
}

class MessageFile : public testing::Test {
  protected:
    TMimeMess mess;

    // Parses the file and returns the decoded first text part (UTF-8), or "<none>".
    std::string Parse(const std::string& name) {
        mess.Reset();
        mess.Header().CharsetCode = UTF_8;
        mess.Lines() = LoadLines(name);
        mess.ParseMessage();
        TMimePart* text = FirstTextLeaf(mess.MessagePart());
        if (text == nullptr) return "<none>";
        text->TargetCharset = UTF_8;
        text->DecodeBody();
        return text->DecodedLines;
    }
};

TEST_F(MessageFile, MultipartAlternativeGivesThePlainText) {
    EXPECT_EQ(
        Parse("alternative.eml"),
        "Today: caf\xC3\xA9 and cr\xC3\xA8me br\xC3\xBBl\xC3\xA9\x65, served from noon until the kitchen "
        "closes.\r\n");
    const TMimePart& root = mess.MessagePart();
    EXPECT_EQ(root.Secondary, "ALTERNATIVE");
    EXPECT_EQ(root.Boundary, "alt-1");
    EXPECT_EQ(root.PrePart, Lines({"This is a multi-part message in MIME format.", ""}));
    ASSERT_EQ(root.CountSubParts(), 2);
    EXPECT_EQ(root.SubPartAt(1)->Secondary, "HTML");
    EXPECT_EQ(root.PostPart, Lines({""}));
    EXPECT_EQ(mess.Header().Subject, "Lunch menu");
    EXPECT_EQ(mess.Header().ToList, Lines({"bob@example.org"}));
}

TEST_F(MessageFile, AttachmentBeforeTheText) {
    EXPECT_EQ(Parse("attachment_first.eml"), "Please find attached your invoice.\nThank you, G\xC3\xBCnter.");
    const TMimePart& pdf = *mess.MessagePart().SubPartAt(0);
    EXPECT_EQ(pdf.PrimaryCode(), MP_BINARY);
    EXPECT_EQ(pdf.FileName, "invoice-117.pdf");
    EXPECT_EQ(pdf.Disposition, "ATTACHMENT");
    EXPECT_EQ(pdf.EncodingCode(), ME_BASE64);
}

TEST_F(MessageFile, NestedMultipartsAreWalkedDepthFirst) {
    EXPECT_EQ(Parse("nested.eml"), "Here are the photos.\r\n");
    const TMimePart& root = mess.MessagePart();
    ASSERT_EQ(root.CountSubParts(), 2);
    EXPECT_EQ(root.SubPartAt(0)->CountSubParts(), 2);
    EXPECT_EQ(root.SubPartAt(0)->SubPartAt(1)->SubLevel, 2);
    EXPECT_EQ(root.SubPartAt(1)->FileName, "beach.jpg");
}

TEST_F(MessageFile, EmbeddedMessageHasItsOwnHeaderAndTree) {
    EXPECT_EQ(Parse("rfc822.eml"), "Agenda: budget review.\r\n");
    const TMimePart& wrapper = *mess.MessagePart().SubPartAt(0);
    EXPECT_EQ(wrapper.PrimaryCode(), MP_MESSAGE);
    ASSERT_EQ(wrapper.CountSubParts(), 1);
    const TMimePart& inner = *wrapper.SubPartAt(0);
    EXPECT_EQ(inner.Lines.front(), "From: grace@example.org");
    EXPECT_EQ(inner.Boundary, "notes");
    EXPECT_EQ(inner.SubPartAt(0)->CharsetCode(), ISO_8859_1);
}

TEST_F(MessageFile, UuEncodedBlocks) {
    EXPECT_EQ(Parse("uuencoded.eml"),
              "The file is below.\r\n\r\nbegin 644 hello.txt\r\n%:&5L;&\\`\r\n`\r\nend\r\n");
    const TMimePart& text = *mess.MessagePart().SubPartAt(0);
    EXPECT_TRUE(text.AttachInside());
    TMimePart& file = *mess.MessagePart().SubPartAt(1);
    EXPECT_EQ(file.EncodingCode(), ME_UU);
    file.DecodeBody();
    EXPECT_EQ(file.DecodedLines, "hi\n");
    EXPECT_FALSE(mess.MessagePart().AttachInside());
}

TEST_F(MessageFile, MissingClosingBoundaryEndsWithTheLastLine) {
    EXPECT_EQ(Parse("missing_close.eml"), "first part\r\n");
    ASSERT_EQ(mess.MessagePart().CountSubParts(), 2);
    EXPECT_EQ(mess.MessagePart().SubPartAt(1)->PartBody,
              Lines({"second part, the message ends before its closing line"}));
}

TEST_F(MessageFile, ClosingBoundaryWithTrailingBlankOpensAnotherPart) {
    Parse("close_trailing_blank.eml");
    ASSERT_EQ(mess.MessagePart().CountSubParts(), 2);
    EXPECT_EQ(mess.MessagePart().SubPartAt(1)->PartBody,
              Lines({"text after a closing line that carries a trailing blank"}));
    EXPECT_TRUE(mess.MessagePart().PostPart.empty());
}

TEST_F(MessageFile, HtmlWithAndWithoutMetaCharset) {
    EXPECT_EQ(Parse("html_meta.eml"),
              "<html><head>\r\n<meta http-equiv=\"Content-Type\" content=\"text/html; "
              "charset=utf-8\">\r\n</head><body>Caf\xC3\xA9</body></html>\r\n");
    EXPECT_EQ(Parse("html_plain.eml"),
              "<html><head><title>News</title></head><body>Caf\xC3\xA9</body></html>\r\n");
}

TEST_F(MessageFile, EncodedWordsAndFoldedHeaders) {
    Parse("encoded_headers.eml");
    const TMessHeader& h = mess.Header();
    EXPECT_EQ(h.From, "Andr\xC3\xA9 Dupont <andre@example.fr>");
    EXPECT_EQ(h.ToList, Lines({"\"Smith, John\" <john@example.org>", "J\xC3\xBCrgen <juergen@example.de>",
                               "plain@example.org"}));
    EXPECT_EQ(h.CCList, Lines({"\xC5\xA0imon <simon@example.cz>"}));
    EXPECT_EQ(h.Subject, "R\xC3\xA9union de l'\xC3\xA9quipe du lundi");
    EXPECT_EQ(h.Organization, "Example Corporation");
    EXPECT_EQ(h.MessageID, "abc.123@example.fr");
    EXPECT_EQ(h.XMailer, "Mailer 1.0");
    EXPECT_EQ(h.Priority, TMessPriority::MP_high);
    EXPECT_EQ(h.CustomHeaders, Lines({"X-Spam: no"}));
    EXPECT_EQ(mess.MessagePart().CharsetCode(), UTF_8);
}

TEST_F(MessageFile, MessageWithoutBlankLineIsAllHeader) {
    EXPECT_EQ(Parse("no_blank_line.eml"), "");
    EXPECT_EQ(mess.Header().Subject, "Headers only");
    EXPECT_EQ(mess.Header().CustomHeaders, Lines({"X-Note: there is no body"}));
    EXPECT_TRUE(mess.MessagePart().PartBody.empty());
}

TEST_F(MessageFile, ReusedMessageObjectForgetsThePreviousMessage) {
    Parse("nested.eml");
    Parse("no_blank_line.eml");
    EXPECT_EQ(mess.MessagePart().CountSubParts(), 0);
    EXPECT_TRUE(mess.Header().ToList.empty());
}

TEST(HostileMessage, ThousandsOfNestedLevelsParseWithoutCrashing) {
    Lines lines = {"From: x@y", "Subject: deep"};
    for (int k = 0; k < 5000; ++k) {
        lines.push_back("Content-Type: multipart/mixed; boundary=\"L" + std::to_string(k) + ".\"");
        lines.push_back("");
        lines.push_back("--L" + std::to_string(k) + ".");
    }
    lines.push_back("Content-Type: text/plain");
    lines.push_back("");
    lines.push_back("needle");
    TMimeMess mess;
    mess.Lines() = lines;
    mess.ParseMessage();
    EXPECT_EQ(mess.Header().Subject, "deep");
    int depth = 0;
    for (const TMimePart* p = &mess.MessagePart(); p->CountSubParts() > 0; p = p->SubPartAt(0))
        ++depth;
    EXPECT_LE(depth, MimeMaxNesting);
    mess.Reset(); // frees the tree
    EXPECT_EQ(mess.MessagePart().CountSubParts(), 0);
}

} // namespace
