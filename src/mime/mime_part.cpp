// The MIME part tree: header block, content fields, sub-parts and body decoding.
#include "mime/mime_part.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "bytes/ascii.h"
#include "mime/basic/header_values.h"
#include "mime/basic/text_routines.h"
#include "mime/basic/transfer_encodings.h"
#include "mime/encoded_words.h"
#include "mime/mime_text.h"

namespace {

using namespace mime_text;

// Text after the first occurrence of sep, or all of s when it does not occur.
std::string_view After(std::string_view s, char sep) {
    const std::size_t p = s.find(sep);
    return p == std::string_view::npos ? s : s.substr(p + 1);
}

// Text before the first occurrence of sep, or all of s when it does not occur.
std::string_view Before(std::string_view s, char sep) {
    return s.substr(0, s.find(sep));
}

// True when the text holds a meta element declaring its content type: in the head when there is a
// closing head tag, else within the first 2048 characters. Quotes and blanks are ignored.
bool DeclaresContentType(const std::string& text) {
    static constexpr std::string_view needle = "HTTP-EQUIV=CONTENT-TYPE";
    auto squeezedHas = [](std::string_view h) {
        std::string squeezed;
        squeezed.reserve(h.size());
        for (char c : h)
            if (c != '"' && c != ' ') squeezed += AsciiUpper(c);
        return squeezed.find(needle) != std::string::npos;
    };
    const std::string upper = UpperAscii(text);
    std::string_view h = upper;
    const std::size_t headEnd = h.find("</HEAD>");
    if (headEnd != std::string_view::npos) {
        h = h.substr(0, headEnd);
        const std::size_t headStart = h.find("<HEAD>");
        if (headStart != std::string_view::npos) h = h.substr(headStart + 6);
        if (squeezedHas(h)) return true;
    }
    return squeezedHas(std::string_view(upper).substr(0, 2048));
}

// The system charset and its name, read once: asking the locale costs far more than building a
// part, and a message can hold thousands of parts.
TMimeChar SystemTarget() {
    static const TMimeChar charset = SystemCharset();
    return charset;
}

const std::string& SystemCharsetName() {
    static const std::string name = CharsetName(SystemTarget());
    return name;
}

} // namespace

bool LooksLikeUU(std::string_view line) {
    return StartsNoCase(line, "BEGIN ") && !TrimGeneralView(line.substr(6)).empty();
}

TMimePart::TMimePart()
    : DefaultCharset(SystemCharsetName()), TargetCharset(SystemTarget()), FCharsetCode(ISO_8859_1) {}

TMimePart::~TMimePart() {
    ClearSubParts();
}

void TMimePart::SetPrimary(std::string_view value) {
    FPrimary = value;
    FPrimaryCode = MP_BINARY;
    if (StartsNoCase(value, "TEXT"))
        FPrimaryCode = MP_TEXT;
    else if (StartsNoCase(value, "MULTIPART"))
        FPrimaryCode = MP_MULTIPART;
    else if (StartsNoCase(value, "MESSAGE"))
        FPrimaryCode = MP_MESSAGE;
}

void TMimePart::SetEncoding(std::string_view value) {
    FEncoding = value;
    FEncodingCode = ME_7BIT;
    if (StartsNoCase(value, "8BIT"))
        FEncodingCode = ME_8BIT;
    else if (StartsNoCase(value, "QUOTED-PRINTABLE"))
        FEncodingCode = ME_QUOTED_PRINTABLE;
    else if (StartsNoCase(value, "BASE64"))
        FEncodingCode = ME_BASE64;
    else if (StartsNoCase(value, "X-UU"))
        FEncodingCode = ME_UU;
    else if (StartsNoCase(value, "X-XX"))
        FEncodingCode = ME_XX;
}

void TMimePart::SetCharset(std::string_view value) {
    if (value.empty()) return;
    FCharset = value;
    FCharsetCode = CharsetFromName(value);
}

void TMimePart::Reset() {
    FPrimary.clear();
    FEncoding.clear();
    FCharset.clear();
    Secondary.clear();
    Disposition.clear();
    ContentID.clear();
    Description.clear();
    Boundary.clear();
    FileName.clear();
    FPrimaryCode = MP_TEXT;
    FEncodingCode = ME_7BIT;
    FCharsetCode = ISO_8859_1;
    TargetCharset = SystemTarget();
    FAttachInside = false;
    ConvertCharset = true;
    ForcedHTMLConvert = false;
    PartBody.clear();
    Headers.clear();
    PrePart.clear();
    PostPart.clear();
    DecodedLines.clear();
    ClearSubParts();
}

int32_t TMimePart::CountSubParts() const {
    return static_cast<int32_t>(FSubParts.size());
}

TMimePart* TMimePart::SubPartAt(int32_t index) const {
    if (index < 0 || index >= CountSubParts()) return nullptr;
    return FSubParts[static_cast<std::size_t>(index)].get();
}

void TMimePart::ClearSubParts() {
    // Frees the subtree without recursion: every part's children are moved out before it dies, so
    // even a tree built deeper than the split limit cannot exhaust the stack.
    std::vector<std::unique_ptr<TMimePart>> pending = std::move(FSubParts);
    FSubParts.clear();
    while (!pending.empty()) {
        std::unique_ptr<TMimePart> part = std::move(pending.back());
        pending.pop_back();
        for (auto& child : part->FSubParts)
            pending.push_back(std::move(child));
        part->FSubParts.clear();
    }
}

TMimePart* TMimePart::NewSubPart() {
    auto sub = std::make_unique<TMimePart>();
    sub->DefaultCharset = DefaultCharset;
    sub->SubLevel = SubLevel < std::numeric_limits<int32_t>::max() ? SubLevel + 1 : SubLevel;
    sub->MaxSubLevel = MaxSubLevel;
    FSubParts.push_back(std::move(sub));
    return FSubParts.back().get();
}

bool TMimePart::CanSplitFurther() const {
    if (SubLevel >= MimeMaxNesting) return false;
    return MaxSubLevel == -1 || MaxSubLevel > SubLevel;
}

void TMimePart::SetAttachFrom(std::string_view line) {
    if (!FAttachInside) FAttachInside = LooksLikeUU(line);
}

void TMimePart::ReadPartHeaders() {
    SetPrimary("text");
    Secondary = "plain";
    SetCharset(DefaultCharset);
    SetEncoding("8BIT");
    Description.clear();
    FileName.clear();
    Disposition.clear();
    ContentID.clear();
    std::string dispositionName;

    for (const std::string& line : Headers) {
        if (line.empty()) continue;
        if (StartsNoCase(line, "CONTENT-TYPE:")) {
            const std::string u = UpperAscii(line);
            std::string_view t = TrimGeneralView(After(u, ':'));
            t = TrimGeneralView(Before(t, ';'));
            SetPrimary(TrimGeneralView(Before(t, '/')));
            Secondary = TrimGeneralView(After(t, '/'));
            if (Secondary == FPrimary && t.find('/') == std::string_view::npos) Secondary.clear();
            switch (FPrimaryCode) {
            case MP_TEXT:
                SetCharset(UpperAscii(HeaderParameter(line, "charset")));
                FileName = HeaderParameter(line, "name");
                break;
            case MP_MULTIPART:
                Boundary = HeaderParameter(line, "Boundary");
                break;
            case MP_MESSAGE:
                break;
            case MP_BINARY:
                FileName = HeaderParameter(line, "name");
                break;
            }
        }
        if (StartsNoCase(line, "CONTENT-TRANSFER-ENCODING:"))
            SetEncoding(TrimGeneralView(After(UpperAscii(line), ':')));
        if (StartsNoCase(line, "CONTENT-DESCRIPTION:")) Description = TrimGeneralView(After(line, ':'));
        if (StartsNoCase(line, "CONTENT-DISPOSITION:")) {
            const std::string u = UpperAscii(line);
            Disposition = TrimGeneralView(Before(After(u, ':'), ';'));
            dispositionName = HeaderParameter(line, "FileName");
        }
        if (StartsNoCase(line, "CONTENT-ID:")) ContentID = TrimGeneralView(After(line, ':'));
    }

    if (!dispositionName.empty()) FileName = dispositionName;
    FileName = DecodeHeaderWords(FileName, TargetCharset);
    const std::size_t lastSep = FileName.find_last_of("\\/:");
    if (lastSep != std::string::npos) FileName.erase(0, lastSep + 1);
}

namespace {

// Splitting copies the lines of every sub-part out of its parent, so a chain of nested parts copies
// the message once per level. The copies made while splitting one tree are limited to this many
// times the message plus a fixed allowance (far beyond what real messages need); parts met after
// that are kept unsplit, as at the nesting limit, so memory stays proportional to the message.
constexpr std::size_t kSplitCopyFactor = 8;
constexpr std::size_t kSplitCopyAllowance = std::size_t{16} << 20;
constexpr std::size_t kLineOverhead = sizeof(std::string);

std::size_t LineCost(const std::string& line) {
    return line.size() + kLineOverhead;
}

void Spend(std::size_t& budget, std::size_t cost) {
    budget -= std::min(budget, cost);
}

} // namespace

void TMimePart::SplitParts() {
    std::size_t budget = kSplitCopyAllowance;
    for (const std::string& line : Lines)
        budget += kSplitCopyFactor * LineCost(line);
    SplitWithin(budget);
}

void TMimePart::SplitWithin(std::size_t& budget) {
    Reset();
    const std::size_t n = Lines.size();
    std::size_t i = 0;

    while (i < n) {
        std::string l = UnfoldHeaderLine(Lines, i);
        if (l.empty()) break;
        Headers.push_back(std::move(l));
    }
    ReadPartHeaders();

    const std::string dashBoundary = "--" + Boundary;
    const std::string closeBoundary = dashBoundary + "--";
    const bool split = CanSplitFurther() && budget > 0;

    if (FPrimaryCode == MP_MULTIPART) {
        while (i < n) {
            const std::string& line = Lines[i++];
            if (TrimGeneralRightView(line) == dashBoundary) break;
            PrePart.push_back(line);
            SetAttachFrom(line);
        }
        // Every round but the first consumes at least one line, so the loop ends with the lines.
        for (;;) {
            const std::string* last = nullptr;
            if (split) {
                TMimePart* sub = NewSubPart();
                while (i < n) {
                    last = &Lines[i++];
                    if (last->starts_with(dashBoundary)) break;
                    sub->Lines.push_back(*last);
                    Spend(budget, LineCost(*last));
                }
                sub->SplitWithin(budget);
            } else if (i < n) {
                last = &Lines[i++];
                PartBody.push_back(*last);
            }
            if (i >= n || last == nullptr || *last == closeBoundary) break;
        }
    }

    bool embeddedSplit = false;
    if (FPrimaryCode == MP_MESSAGE && split) {
        embeddedSplit = true;
        TMimePart* sub = NewSubPart();
        while (i < n && TrimGeneralRightView(Lines[i]).empty())
            ++i;
        sub->Lines.reserve(n - i);
        for (; i < n; ++i) {
            sub->Lines.emplace_back(TrimGeneralRightView(Lines[i]));
            Spend(budget, LineCost(sub->Lines.back()));
        }
        sub->SplitWithin(budget);
    }

    if (FPrimaryCode != MP_MULTIPART && !embeddedSplit) {
        PartBody.reserve(n - i);
        for (; i < n; ++i) {
            PartBody.push_back(Lines[i]);
            SetAttachFrom(Lines[i]);
        }
    }

    if (FPrimaryCode == MP_MULTIPART) {
        for (; i < n; ++i) {
            PostPart.emplace_back(TrimGeneralRightView(Lines[i]));
            SetAttachFrom(Lines[i]);
        }
    }
}

void TMimePart::DecodeBody() {
    DecodedLines.clear();
    std::string text;
    switch (FEncodingCode) {
    case ME_UU:
    case ME_XX:
        for (const std::string& line : PartBody)
            text += FEncodingCode == ME_UU ? UUDecode(line) : XXDecode(line);
        break;
    default: {
        std::size_t size = 0;
        for (const std::string& line : PartBody)
            size += line.size() + 2;
        text.reserve(size);
        for (const std::string& line : PartBody) {
            text += line;
            text += "\r\n";
        }
        if (FEncodingCode == ME_QUOTED_PRINTABLE)
            text = DecodeQuotedPrintable(text);
        else if (FEncodingCode == ME_BASE64)
            text = Base64Decode(text);
        break;
    }
    }

    if (ConvertCharset && FPrimaryCode == MP_TEXT) {
        const bool html = UpperAscii(Secondary) == "HTML";
        if (ForcedHTMLConvert || !html || !DeclaresContentType(text))
            text = ConvertBetweenCharsets(text, FCharsetCode, TargetCharset);
    }
    DecodedLines = std::move(text);
}
