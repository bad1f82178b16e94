// The MIME part tree: content fields, splitting into sub-parts, nesting limits and body decoding.
#include "mime/mime_part.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>
using namespace maildig;

namespace {

void Split(TMimePart& part, Lines lines) {
    part.Lines = std::move(lines);
    part.SplitParts();
}

TEST(TMimePart, ConstructionDefaults) {
    TMimePart part;
    EXPECT_EQ(part.PrimaryCode(), MP_TEXT);
    EXPECT_EQ(part.EncodingCode(), ME_7BIT);
    EXPECT_EQ(part.CharsetCode(), ISO_8859_1);
    EXPECT_EQ(part.TargetCharset, SystemCharset());
    EXPECT_EQ(part.DefaultCharset, CharsetName(SystemCharset()));
    EXPECT_EQ(part.SubLevel, 0);
    EXPECT_EQ(part.MaxSubLevel, -1);
    EXPECT_TRUE(part.ConvertCharset);
    EXPECT_FALSE(part.ForcedHTMLConvert);
    EXPECT_FALSE(part.AttachInside());
    EXPECT_EQ(part.CountSubParts(), 0);
}

TEST(TMimePart, SettersCodeTheirValues) {
    struct {
        const char* primary;
        TMimePrimary code;
    } primaries[] = {{"text", MP_TEXT},       {"TEXTUAL", MP_TEXT}, {"Multipart", MP_MULTIPART},
                     {"message", MP_MESSAGE}, {"image", MP_BINARY}, {"application", MP_BINARY},
                     {"", MP_BINARY}};
    for (const auto& c : primaries) {
        TMimePart part;
        part.SetPrimary(c.primary);
        EXPECT_EQ(part.Primary(), c.primary);
        EXPECT_EQ(part.PrimaryCode(), c.code) << c.primary;
    }
    struct {
        const char* encoding;
        TMimeEncoding code;
    } encodings[] = {{"7bit", ME_7BIT},     {"8bit", ME_8BIT},     {"quoted-printable", ME_QUOTED_PRINTABLE},
                     {"Base64", ME_BASE64}, {"x-uuencode", ME_UU}, {"uuencode", ME_7BIT},
                     {"X-XXencode", ME_XX}, {"binary", ME_7BIT}};
    for (const auto& c : encodings) {
        TMimePart part;
        part.SetEncoding(c.encoding);
        EXPECT_EQ(part.Encoding(), c.encoding);
        EXPECT_EQ(part.EncodingCode(), c.code) << c.encoding;
    }
    TMimePart part;
    part.SetCharset("UTF-8");
    EXPECT_EQ(part.CharsetCode(), UTF_8);
    part.SetCharset(""); // ignored
    EXPECT_EQ(part.Charset(), "UTF-8");
    EXPECT_EQ(part.CharsetCode(), UTF_8);
}

struct HeaderCase {
    const char* name;
    Lines headers;
    const char* primary;
    const char* secondary;
    TMimeEncoding encoding;
    const char* charset; // nullptr: the default charset
    const char* fileName;
    const char* disposition;
    const char* boundary;
};

TEST(ReadPartHeaders, DerivesContentFields) {
    const HeaderCase cases[] = {
        {"no content type", {"Subject: x"}, "text", "plain", ME_8BIT, nullptr, "", "", ""},
        {"no slash", {"Content-Type: text"}, "TEXT", "", ME_8BIT, nullptr, "", "", ""},
        {"quoted lower-case charset",
         {"Content-Type: text/plain; charset=\"iso-8859-2\""},
         "TEXT",
         "PLAIN",
         ME_8BIT,
         "ISO-8859-2",
         "",
         "",
         ""},
        {"encodings", {"Content-Transfer-Encoding:  7bit "}, "text", "plain", ME_7BIT, nullptr, "", "", ""},
        {"x-uuencode",
         {"content-transfer-encoding: x-uuencode"},
         "text",
         "plain",
         ME_UU,
         nullptr,
         "",
         "",
         ""},
        {"disposition name wins, directories dropped",
         {"Content-Type: application/octet-stream; name=\"a.bin\"",
          "Content-Disposition: attachment; FileName=\"C:\\tmp\\dir/b.bin\""},
         "APPLICATION",
         "OCTET-STREAM",
         ME_8BIT,
         nullptr,
         "b.bin",
         "ATTACHMENT",
         ""},
        {"drive colon",
         {"Content-Type: image/png; name=\"c:x.png\""},
         "IMAGE",
         "PNG",
         ME_8BIT,
         nullptr,
         "x.png",
         "",
         ""},
        {"encoded file name",
         {"Content-Type: application/pdf; name=\"=?UTF-8?Q?caf=C3=A9.pdf?=\""},
         "APPLICATION",
         "PDF",
         ME_8BIT,
         nullptr,
         "caf\xC3\xA9.pdf",
         "",
         ""},
        {"boundary keeps its case",
         {"Content-Type: Multipart/Mixed; Boundary=\"AbC;d\""},
         "MULTIPART",
         "MIXED",
         ME_8BIT,
         nullptr,
         "",
         "",
         "AbC;d"},
        {"last header wins",
         {"Content-Type: image/gif", "Content-Type: text/html"},
         "TEXT",
         "HTML",
         ME_8BIT,
         nullptr,
         "",
         "",
         ""},
    };
    for (const HeaderCase& c : cases) {
        TMimePart part;
        part.TargetCharset = UTF_8;
        part.Headers = c.headers;
        part.ReadPartHeaders();
        SCOPED_TRACE(c.name);
        EXPECT_EQ(part.Primary(), c.primary);
        EXPECT_EQ(part.Secondary, c.secondary);
        EXPECT_EQ(part.EncodingCode(), c.encoding);
        EXPECT_EQ(part.Charset(), c.charset ? std::string(c.charset) : part.DefaultCharset);
        EXPECT_EQ(part.FileName, c.fileName);
        EXPECT_EQ(part.Disposition, c.disposition);
        EXPECT_EQ(part.Boundary, c.boundary);
    }
}

TEST(ReadPartHeaders, DescriptionAndContentIdAsWritten) {
    TMimePart part;
    part.Headers = {"Content-Description:  A Picture ", "Content-ID: <Img1@Example>"};
    part.ReadPartHeaders();
    EXPECT_EQ(part.Description, "A Picture");
    EXPECT_EQ(part.ContentID, "<Img1@Example>");
    EXPECT_EQ(part.CharsetCode(), CharsetFromName(part.DefaultCharset));
}

TEST(LooksLikeUU, NeedsBeginBlankAndMoreText) {
    EXPECT_TRUE(LooksLikeUU("begin 644 file.txt"));
    EXPECT_TRUE(LooksLikeUU("BEGIN x"));
    EXPECT_FALSE(LooksLikeUU("begin"));
    EXPECT_FALSE(LooksLikeUU("begin   \t"));
    EXPECT_FALSE(LooksLikeUU("beginning 644 x"));
    EXPECT_FALSE(LooksLikeUU(" begin 644 x"));
}

TEST(SplitParts, PreambleTwoPartsAndEpilogue) {
    TMimePart part;
    Split(part,
          {"Content-Type: multipart/mixed; boundary=b", "", "preamble", "--b", "Content-Type: text/plain", "",
           "one", "--b", "", "two", "--b--", "epilogue  ", "begin 644 x"});
    EXPECT_EQ(part.PrePart, Lines({"preamble"}));
    EXPECT_EQ(part.PostPart, Lines({"epilogue", "begin 644 x"}));
    EXPECT_TRUE(part.PartBody.empty());
    EXPECT_TRUE(part.AttachInside());
    ASSERT_EQ(part.CountSubParts(), 2);
    EXPECT_EQ(part.SubPartAt(0)->Lines, Lines({"Content-Type: text/plain", "", "one"}));
    EXPECT_EQ(part.SubPartAt(0)->PartBody, Lines({"one"}));
    EXPECT_EQ(part.SubPartAt(1)->PartBody, Lines({"two"}));
    EXPECT_EQ(part.SubPartAt(1)->SubLevel, 1);
    EXPECT_EQ(part.SubPartAt(2), nullptr);
    EXPECT_EQ(part.SubPartAt(-1), nullptr);
}

TEST(SplitParts, BoundaryLineRules) {
    struct Case {
        const char* name;
        Lines lines;
        Lines prePart;
        std::vector<Lines> subBodies;
        Lines postPart;
    };
    const Case cases[] = {
        {"boundary never occurs",
         {"Content-Type: multipart/mixed; boundary=b", "", "x", "y"},
         {"x", "y"},
         {{}},
         {}},
        {"closing line with a trailing blank does not end the loop",
         {"Content-Type: multipart/mixed; boundary=b", "", "--b", "", "one", "--b-- ", "", "two"},
         {},
         {{"one"}, {"two"}},
         {}},
        {"a longer line ends a sub-part, not the preamble",
         {"Content-Type: multipart/mixed; boundary=b", "", "--bx", "--b  ", "", "one", "--bx", "", "two",
          "--b--", "end"},
         {"--bx"},
         {{"one"}, {"two"}},
         {"end"}},
        {"missing closing line",
         {"Content-Type: multipart/mixed; boundary=b", "", "--b", "", "one", "--b", "", "two"},
         {},
         {{"one"}, {"two"}},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TMimePart part;
        Split(part, c.lines);
        EXPECT_EQ(part.PrePart, c.prePart);
        EXPECT_EQ(part.PostPart, c.postPart);
        ASSERT_EQ(part.CountSubParts(), static_cast<int32_t>(c.subBodies.size()));
        for (std::size_t k = 0; k < c.subBodies.size(); ++k) {
            EXPECT_EQ(part.SubPartAt(static_cast<int32_t>(k))->PartBody, c.subBodies[k]);
            EXPECT_EQ(part.SubPartAt(static_cast<int32_t>(k))->PrimaryCode(), MP_TEXT);
        }
    }
}

TEST(SplitParts, AttachInsideComesFromPreambleBodyAndEpilogueOnly) {
    const std::string multipart = "Content-Type: multipart/mixed; boundary=b";
    const struct {
        const char* name;
        Lines lines;
        int32_t maxSubLevel;
        bool expected;
    } cases[] = {
        {"preamble line", {multipart, "", "begin 644 f", "--b", "", "x", "--b--"}, -1, true},
        {"plain body line", {"Content-Type: text/plain", "", "x", "BEGIN 600 f.txt"}, -1, true},
        {"epilogue line", {multipart, "", "--b", "", "x", "--b--", "Begin x"}, -1, true},
        {"begin followed by blanks only", {"", "begin   "}, -1, false},
        {"begin without a blank", {"", "begin644 f"}, -1, false},
        {"only inside a sub-part", {multipart, "", "--b", "", "begin 644 f", "--b--"}, -1, false},
        {"unsplit multipart body", {multipart, "", "--b", "", "begin 644 f", "--b--"}, 0, false},
        {"split embedded message", {"Content-Type: message/rfc822", "", "", "begin 644 f"}, -1, false},
        {"unsplit embedded message", {"Content-Type: message/rfc822", "", "", "begin 644 f"}, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TMimePart part;
        part.MaxSubLevel = c.maxSubLevel;
        Split(part, c.lines);
        EXPECT_EQ(part.AttachInside(), c.expected);
    }
}

TEST(SplitParts, EmbeddedMessageGetsItsOwnTree) {
    TMimePart part;
    Split(part, {"Content-Type: message/rfc822", "", "  ", "", "Subject: inner  ", "Content-Type: text/plain",
                 "", "hello \t"});
    ASSERT_EQ(part.CountSubParts(), 1);
    const TMimePart& sub = *part.SubPartAt(0);
    EXPECT_EQ(sub.Lines, Lines({"Subject: inner", "Content-Type: text/plain", "", "hello"}));
    EXPECT_EQ(sub.Headers, Lines({"Subject: inner", "Content-Type: text/plain"}));
    EXPECT_EQ(sub.PartBody, Lines({"hello"}));
    EXPECT_TRUE(part.PartBody.empty());
}

TEST(SplitParts, MaxSubLevelKeepsTheBodyUnsplit) {
    TMimePart part;
    part.MaxSubLevel = 0;
    EXPECT_FALSE(part.CanSplitFurther());
    Split(part, {"Content-Type: multipart/mixed; boundary=b", "", "pre", "--b", "", "one", "--b--", "post"});
    EXPECT_EQ(part.CountSubParts(), 0);
    EXPECT_EQ(part.PrePart, Lines({"pre"}));
    EXPECT_EQ(part.PartBody, Lines({"", "one", "--b--"}));
    EXPECT_EQ(part.PostPart, Lines({"post"}));

    TMimePart message;
    message.MaxSubLevel = 0;
    Split(message, {"Content-Type: message/rfc822", "", "Subject: x", "", "y"});
    EXPECT_EQ(message.CountSubParts(), 0);
    EXPECT_EQ(message.PartBody, Lines({"Subject: x", "", "y"}));

    TMimePart limited;
    limited.MaxSubLevel = 1;
    Split(limited, {"Content-Type: multipart/mixed; boundary=a", "", "--a",
                    "Content-Type: multipart/mixed; boundary=b", "", "--b", "", "deep", "--b--", "--a--"});
    ASSERT_EQ(limited.CountSubParts(), 1);
    EXPECT_EQ(limited.SubPartAt(0)->MaxSubLevel, 1);
    EXPECT_EQ(limited.SubPartAt(0)->CountSubParts(), 0);
    EXPECT_EQ(limited.SubPartAt(0)->PartBody, Lines({"", "deep", "--b--"}));
}

TEST(SplitParts, ResetKeepsLinesAndLevels) {
    TMimePart part;
    part.SubLevel = 3;
    part.MaxSubLevel = 7;
    part.DefaultCharset = "UTF-8";
    Split(part, {"Content-Type: multipart/mixed; boundary=b", "", "--b", "", "x", "--b--"});
    part.TargetCharset = ISO_8859_2;
    part.ConvertCharset = false;
    part.Reset();
    EXPECT_EQ(part.Lines.size(), 6u);
    EXPECT_EQ(part.SubLevel, 3);
    EXPECT_EQ(part.MaxSubLevel, 7);
    EXPECT_EQ(part.DefaultCharset, "UTF-8");
    EXPECT_EQ(part.CountSubParts(), 0);
    EXPECT_TRUE(part.Headers.empty());
    EXPECT_EQ(part.Boundary, "");
    EXPECT_EQ(part.TargetCharset, SystemCharset());
    EXPECT_TRUE(part.ConvertCharset);
    // Splitting again rebuilds the same tree.
    part.SplitParts();
    ASSERT_EQ(part.CountSubParts(), 1);
    EXPECT_EQ(part.SubPartAt(0)->PartBody, Lines({"x"}));
    EXPECT_EQ(part.SubPartAt(0)->SubLevel, 4);
    EXPECT_EQ(part.SubPartAt(0)->DefaultCharset, "UTF-8");
}

// Lines of a multipart nested `depth` levels deep, one text part at the bottom ("bottom" and then
// `extra` lines of 100 x).
Lines NestedMultiparts(int depth, std::size_t extra = 0) {
    Lines lines;
    for (int k = 0; k < depth; ++k) {
        lines.push_back("Content-Type: multipart/mixed; boundary=b" + std::to_string(k) + "x");
        lines.push_back("");
        lines.push_back("--b" + std::to_string(k) + "x");
    }
    lines.push_back("Content-Type: text/plain");
    lines.push_back("");
    lines.push_back("bottom");
    lines.insert(lines.end(), extra, std::string(100, 'x'));
    for (int k = depth - 1; k >= 0; --k)
        lines.push_back("--b" + std::to_string(k) + "x--");
    return lines;
}

// Follows the first sub-parts down to the deepest part; returns it and its depth.
std::pair<const TMimePart*, int> Deepest(const TMimePart& root) {
    const TMimePart* p = &root;
    int depth = 0;
    for (; p->CountSubParts() > 0; p = p->SubPartAt(0))
        ++depth;
    return {p, depth};
}

TEST(SplitParts, HostileNestingIsCappedNotFatal) {
    // A few levels past the cap stop at the cap; thousands of levels stop at the copy limit first.
    for (const int levels : {150, 3000}) {
        for (const bool message : {false, true}) {
            SCOPED_TRACE(std::to_string(levels) + (message ? " message/rfc822" : " multipart"));
            Lines lines;
            if (message) {
                for (int k = 0; k < levels; ++k) {
                    lines.push_back("Content-Type: message/rfc822");
                    lines.push_back("");
                }
                lines.push_back("");
                lines.push_back("bottom");
            } else {
                lines = NestedMultiparts(levels);
            }
            TMimePart root;
            Split(root, std::move(lines));
            const auto [p, depth] = Deepest(root);
            if (levels == 150) {
                EXPECT_EQ(depth, MimeMaxNesting);
                EXPECT_FALSE(p->CanSplitFurther());
            } else {
                EXPECT_GT(depth, 10);
                EXPECT_LT(depth, MimeMaxNesting);
            }
            // The rest is kept unsplit, not lost.
            ASSERT_FALSE(p->PartBody.empty());
            EXPECT_EQ(p->PartBody.back(), message ? "bottom" : "--b" + std::to_string(depth) + "x--");
        }
    }
}

TEST(SplitParts, CopiesStayProportionalToTheMessage) {
    // Forty nested levels above an 8 MB body would copy it forty times; the split stops earlier and
    // the deepest part keeps the body.
    TMimePart root;
    Split(root, NestedMultiparts(40, 80000));
    const auto [p, depth] = Deepest(root);
    EXPECT_LT(depth, 20);
    std::size_t bodyLines = 0;
    for (const std::string_view line : p->PartBody)
        bodyLines += line == std::string(100, 'x');
    EXPECT_EQ(bodyLines, 80000u);
}

TEST(SplitParts, ThousandsOfEmptyPartsStopAtThePartLimit) {
    // Every "--b" line of 3 bytes opens a part: a 6 MB reply of them once held two million parts. Beyond the
    // limit the body stays unsplit, nothing is lost, and the text part in front is still the first leaf.
    for (const int depth : {0, 3}) {
        SCOPED_TRACE(depth);
        Lines lines;
        for (int k = 0; k < depth; ++k)
            lines.insert(lines.end(), {"Content-Type: multipart/mixed; boundary=n" + std::to_string(k), "",
                                       "--n" + std::to_string(k)});
        lines.insert(lines.end(), {"Content-Type: multipart/mixed; boundary=b", "", "--b", "", "first"});
        const std::size_t empties = 3 * MimeMaxParts;
        lines.insert(lines.end(), empties, "--b");
        TMimePart root;
        Split(root, std::move(lines));
        std::size_t parts = 0, unsplit = 0;
        std::vector<const TMimePart*> pending{&root};
        while (!pending.empty()) {
            const TMimePart* p = pending.back();
            pending.pop_back();
            ++parts;
            unsplit += p->PartBody.size();
            for (int32_t k = 0; k < p->CountSubParts(); ++k)
                pending.push_back(p->SubPartAt(k));
        }
        EXPECT_EQ(parts, MimeMaxParts);
        // The body of "first", and every "--b" line that no part took.
        EXPECT_EQ(unsplit, 1 + empties - (MimeMaxParts - 1 - static_cast<std::size_t>(depth)));
        const TMimePart* leaf = Deepest(root).first;
        EXPECT_EQ(leaf->PartBody, Lines({"first"}));
    }
}

TEST(SplitParts, NestingBelowTheCapSplitsAsUsual) {
    TMimePart root;
    Split(root, NestedMultiparts(100));
    const TMimePart* p = &root;
    for (int k = 0; k < 100; ++k) {
        ASSERT_EQ(p->CountSubParts(), 1) << k;
        p = p->SubPartAt(0);
    }
    EXPECT_EQ(p->PrimaryCode(), MP_TEXT);
    EXPECT_EQ(p->PartBody, Lines({"bottom"}));
}

TEST(TMimePart, FreesAHandBuiltDeepTreeWithoutRecursion) {
    auto root = std::make_unique<TMimePart>();
    TMimePart* p = root.get();
    for (int k = 0; k < 100000; ++k)
        p = p->NewSubPart();
    EXPECT_EQ(p->SubLevel, 100000);
    EXPECT_FALSE(p->CanSplitFurther());
    root.reset();
}

struct BodyCase {
    const char* name;
    Lines headers;
    Lines body;
    std::string decoded; // target UTF-8
};

TEST(DecodeBody, TransferEncodingsAndCharsets) {
    const BodyCase cases[] = {
        {"8bit latin-1 converted",
         {"Content-Type: text/plain; charset=iso-8859-1"},
         {"caf\xE9", "x"},
         "caf\xC3\xA9\r\nx\r\n"},
        {"quoted-printable soft breaks join lines",
         {"Content-Type: text/plain; charset=iso-8859-1", "Content-Transfer-Encoding: quoted-printable"},
         {"long line cr=", "=E8me", "next"},
         "long line cr\xC3\xA8me\r\nnext\r\n"},
        {"base64 over several lines",
         {"Content-Type: text/plain; charset=utf-8", "Content-Transfer-Encoding: base64"},
         {"SGVsbG8s", "IHfDtnJs", "ZA=="},
         "Hello, w\xC3\xB6rld"},
        {"uu lines concatenated",
         {"Content-Type: application/octet-stream", "Content-Transfer-Encoding: x-uuencode"},
         {"begin 644 hello.txt", "%:&5L;&\\`", "`", "end"},
         "hello"},
        {"xx lines",
         {"Content-Type: application/octet-stream", "Content-Transfer-Encoding: x-xx"},
         {"1O4Y8"},
         "hi\n"},
        {"binary parts are not converted",
         {"Content-Type: application/octet-stream; charset=iso-8859-1"},
         {"\xE9"},
         "\xE9\r\n"},
        {"html with a meta charset is left alone",
         {"Content-Type: text/html; charset=iso-8859-1"},
         {"<html><HEAD><Meta HTTP-EQUIV=\"content-type\" content=\"text/html; charset=utf-8\"></head>",
          "\xE9"},
         "<html><HEAD><Meta HTTP-EQUIV=\"content-type\" content=\"text/html; "
         "charset=utf-8\"></head>\r\n\xE9\r\n"},
        {"meta outside the head, within 2048 characters",
         {"Content-Type: text/html; charset=iso-8859-1"},
         {"<head></head><meta http-equiv=Content-Type>", "\xE9"},
         "<head></head><meta http-equiv=Content-Type>\r\n\xE9\r\n"},
        {"html without a meta charset is converted",
         {"Content-Type: text/html; charset=iso-8859-1"},
         {"<html><head><title>x</title></head>", "\xE9"},
         "<html><head><title>x</title></head>\r\n\xC3\xA9\r\n"},
        {"meta far beyond 2048 characters without a head is converted",
         {"Content-Type: text/html; charset=iso-8859-1"},
         {std::string(3000, 'a'), "<meta http-equiv=content-type>\xE9"},
         std::string(3000, 'a') + "\r\n<meta http-equiv=content-type>\xC3\xA9\r\n"},
    };
    for (const BodyCase& c : cases) {
        SCOPED_TRACE(c.name);
        TMimePart part;
        Lines lines = c.headers;
        lines.push_back("");
        lines.insert(lines.end(), c.body.begin(), c.body.end());
        Split(part, lines);
        part.TargetCharset = UTF_8;
        part.DecodeBody();
        EXPECT_EQ(part.DecodedLines, c.decoded);
    }
}

TEST(DecodeBody, ForcedHtmlConvertAndConvertCharsetSwitches) {
    TMimePart part;
    Split(part, {"Content-Type: text/html; charset=iso-8859-1", "",
                 "<head><meta http-equiv=\"Content-Type\" content=\"x\"></head>\xE9"});
    part.TargetCharset = UTF_8;
    part.ForcedHTMLConvert = true;
    part.DecodeBody();
    EXPECT_EQ(part.DecodedLines, "<head><meta http-equiv=\"Content-Type\" content=\"x\"></head>\xC3\xA9\r\n");
    part.ForcedHTMLConvert = false;
    part.SetPrimary("text");
    part.Secondary = "plain";
    part.ConvertCharset = false;
    part.DecodeBody(); // refills from scratch
    EXPECT_EQ(part.DecodedLines, "<head><meta http-equiv=\"Content-Type\" content=\"x\"></head>\xE9\r\n");
}

} // namespace
