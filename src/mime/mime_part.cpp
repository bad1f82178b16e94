// The MIME part tree: header block, content fields, sub-parts and body decoding.
#include "mime/mime_part.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "bytes/ascii.h"
#include "bytes/split_lines.h"
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

// Decoded text kept between decodings only up to this size; a larger buffer is given back at once.
constexpr std::size_t kKeptBuffer = std::size_t{256} << 10;

void ReleaseIfLarge(std::string& buffer) {
    if (buffer.capacity() > kKeptBuffer) std::string().swap(buffer);
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
    // What a large message grew is not kept for the next one.
    for (std::string* buffer : {&DecodedLines, &FScratch, &FileName, &Description, &ContentID, &Boundary})
        ReleaseIfLarge(*buffer);
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
    // even a tree built deeper than the split limit cannot exhaust the stack. Up to kMaxSpareParts of
    // them are kept by the root for the next split, with the storage of their lists and strings.
    TMimePart* const root = FRoot != nullptr ? FRoot : this;
    std::vector<std::unique_ptr<TMimePart>> pending = std::move(FSubParts);
    FSubParts.clear();
    while (!pending.empty()) {
        std::unique_ptr<TMimePart> part = std::move(pending.back());
        pending.pop_back();
        for (auto& child : part->FSubParts)
            pending.push_back(std::move(child));
        part->FSubParts.clear();
        if (root->FSpareParts.size() < kMaxSpareParts) root->FSpareParts.push_back(std::move(part));
    }
}

TMimePart* TMimePart::NewSubPart() {
    TMimePart* const root = FRoot != nullptr ? FRoot : this;
    std::unique_ptr<TMimePart> sub;
    if (root->FSpareParts.empty()) {
        sub = std::make_unique<TMimePart>();
    } else {
        // A kept part is made as good as new.
        sub = std::move(root->FSpareParts.back());
        root->FSpareParts.pop_back();
        sub->Reset();
        sub->Lines.clear();
        sub->MaxLineLength = 78;
        sub->OnWalkPart = nullptr;
    }
    sub->FRoot = root;
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

TPartLines& TPartLines::operator=(::Lines lines) {
    FOwned = std::move(lines);
    FSource = nullptr;
    FFirst = 0;
    FCount = kAll;
    FTrimmed = false;
    return *this;
}

void TPartLines::ShareAll(const ::Lines& lines) {
    FOwned.clear();
    FSource = &lines;
    FFirst = 0;
    FCount = kAll;
    FTrimmed = false;
}

void TPartLines::Share(const TPartLines& source, std::size_t first, std::size_t count, bool trimmed) {
    const std::size_t from = source.FFirst + first;
    const bool trim = source.FTrimmed || trimmed;
    const ::Lines* list = &source.Source();
    FOwned.clear();
    FSource = list;
    FFirst = from;
    FCount = count;
    FTrimmed = trim;
}

void TPartLines::clear() {
    *this = ::Lines();
}

bool operator==(const TPartLines& a, const ::Lines& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < b.size(); ++i)
        if (a[i] != b[i]) return false;
    return true;
}

// What splitting one tree may still do. Every level of nesting reads the lines of its sub-parts again, so
// the bytes read are limited to several times the message plus a fixed allowance (far beyond what real
// messages need), and so is the number of parts; parts met after either is spent are kept unsplit, as at
// the nesting limit, so work and memory stay proportional to the message.
struct TMimePart::TSplitBudget {
    std::size_t bytes;
    std::size_t parts;

    static constexpr std::size_t kLineOverhead = sizeof(std::string);
    void Spend(std::string_view line) { bytes -= std::min(bytes, line.size() + kLineOverhead); }
    bool Left() const { return bytes > 0 && parts > 0; }
};

namespace {

constexpr std::size_t kSplitReadFactor = 8;
constexpr std::size_t kSplitReadAllowance = std::size_t{16} << 20;

} // namespace

void TMimePart::SplitParts() {
    TSplitBudget budget{kSplitReadAllowance, MimeMaxParts - 1};
    for (const std::string_view line : Lines)
        budget.bytes += kSplitReadFactor * (line.size() + TSplitBudget::kLineOverhead);
    SplitWithin(budget);
}

void TMimePart::SplitWithin(TSplitBudget& budget) {
    Reset();
    const std::size_t n = Lines.size();
    std::size_t i = 0;

    std::size_t headerCount = 0;
    while (i < n) {
        if (headerCount == Headers.size()) Headers.emplace_back();
        std::string& l = Headers[headerCount];
        UnfoldHeaderLineInto(Lines, i, l);
        if (l.empty()) break;
        ++headerCount;
    }
    Headers.resize(headerCount);
    ReadPartHeaders();

    const std::string dashBoundary = "--" + Boundary;
    const std::string closeBoundary = dashBoundary + "--";
    const bool split = CanSplitFurther() && budget.Left();

    if (FPrimaryCode == MP_MULTIPART) {
        const std::size_t preStart = i;
        std::size_t preEnd = i;
        while (i < n) {
            const std::string_view line = Lines[i++];
            if (TrimGeneralRightView(line) == dashBoundary) break;
            preEnd = i;
            SetAttachFrom(line);
        }
        PrePart.Share(Lines, preStart, preEnd - preStart, false);
        // Every round but the first consumes at least one line, so the loop ends with the lines. Once no
        // part is left to spend, the rest of the body up to the closing line stays unsplit in PartBody.
        std::size_t unsplitFrom = split ? n + 1 : i;
        for (;;) {
            bool took = false;
            bool closed = false;
            if (unsplitFrom > n && budget.parts == 0) unsplitFrom = i;
            if (unsplitFrom > n) {
                --budget.parts;
                TMimePart* sub = NewSubPart();
                const std::size_t subStart = i;
                std::size_t subEnd = i;
                while (i < n) {
                    const std::string_view line = Lines[i++];
                    took = true;
                    if (line.starts_with(dashBoundary)) {
                        closed = line == closeBoundary;
                        break;
                    }
                    subEnd = i;
                    budget.Spend(line);
                }
                sub->Lines.Share(Lines, subStart, subEnd - subStart, false);
                sub->SplitWithin(budget);
            } else if (i < n) {
                took = true;
                closed = Lines[i++] == closeBoundary;
            }
            if (i >= n || !took || closed) break;
        }
        if (unsplitFrom <= n) PartBody.Share(Lines, unsplitFrom, i - unsplitFrom, false);
    }

    bool embeddedSplit = false;
    if (FPrimaryCode == MP_MESSAGE && split) {
        embeddedSplit = true;
        --budget.parts;
        TMimePart* sub = NewSubPart();
        while (i < n && TrimGeneralRightView(Lines[i]).empty())
            ++i;
        sub->Lines.Share(Lines, i, n - i, true);
        for (; i < n; ++i)
            budget.Spend(TrimGeneralRightView(Lines[i]));
        sub->SplitWithin(budget);
    }

    if (FPrimaryCode != MP_MULTIPART && !embeddedSplit) {
        PartBody.Share(Lines, i, n - i, false);
        for (; i < n && !FAttachInside; ++i)
            SetAttachFrom(Lines[i]);
        i = n;
    }

    if (FPrimaryCode == MP_MULTIPART) {
        PostPart.Share(Lines, i, n - i, true);
        for (; i < n && !FAttachInside; ++i)
            SetAttachFrom(Lines[i]);
    }
}

namespace {} // namespace

bool TMimePart::ConvertsCharset(const std::string& text) const {
    if (!ConvertCharset || FPrimaryCode != MP_TEXT) return false;
    // A conversion that leaves the text as it is needs no look for a declared charset either.
    if (ConversionKeepsText(text, FCharsetCode, TargetCharset)) return false;
    const bool html = Secondary.size() == 4 && StartsNoCase(Secondary, "HTML");
    return ForcedHTMLConvert || !html || !DeclaresContentType(text);
}

void TMimePart::DecodeText(std::string& text) {
    text.clear();
    switch (FEncodingCode) {
    case ME_UU:
    case ME_XX:
        for (const std::string_view line : PartBody)
            text += FEncodingCode == ME_UU ? UUDecode(line) : XXDecode(line);
        break;
    default: {
        const bool plain = FEncodingCode != ME_QUOTED_PRINTABLE && FEncodingCode != ME_BASE64;
        std::string& joined = plain ? text : FScratch;
        joined.clear();
        std::size_t size = 0;
        for (const std::string_view line : PartBody)
            size += line.size() + 2;
        joined.reserve(size);
        for (const std::string_view line : PartBody) {
            joined += line;
            joined += "\r\n";
        }
        if (FEncodingCode == ME_QUOTED_PRINTABLE)
            text = DecodeQuotedPrintable(joined);
        else if (FEncodingCode == ME_BASE64)
            text = Base64Decode(joined);
        break;
    }
    }
    if (ConvertsCharset(text)) text = ConvertBetweenCharsets(text, FCharsetCode, TargetCharset);
    ReleaseIfLarge(FScratch);
}

void TMimePart::DecodeBody() {
    DecodeText(DecodedLines);
}

void TMimePart::DecodeBodyLines(::Lines& lines) {
    DecodedLines.clear();
    // The strings a longer text needed last time are kept by the root and lent to lines again, so a
    // message whose text has more lines than the one before allocates no string for them either.
    std::vector<std::string>& spare = (FRoot != nullptr ? FRoot : this)->FSpareLines;
    while (!spare.empty()) {
        lines.push_back(std::move(spare.back()));
        spare.pop_back();
    }
    std::size_t count = 0;
    // A plain body whose bytes stay as they are: its lines are the decoded lines, but for line ends inside
    // a line. Conversion leaves the text alone when the charsets agree or the text is ASCII for both.
    bool direct = FEncodingCode != ME_QUOTED_PRINTABLE && FEncodingCode != ME_BASE64 &&
                  FEncodingCode != ME_UU && FEncodingCode != ME_XX;
    if (direct && ConvertCharset && FPrimaryCode == MP_TEXT)
        for (const std::string_view line : PartBody)
            if (!ConversionKeepsText(line, FCharsetCode, TargetCharset)) {
                direct = false;
                break;
            }
    if (direct) {
        for (const std::string_view line : PartBody)
            SplitLinesInto(line, lines, count, true);
    } else {
        DecodeText(DecodedLines);
        SplitLinesInto(DecodedLines, lines, count, false);
        DecodedLines.clear();
        ReleaseIfLarge(DecodedLines);
    }
    for (std::size_t k = count; k < lines.size() && spare.size() < kMaxSpareLines; ++k)
        if (lines[k].capacity() <= kKeptBuffer) spare.push_back(std::move(lines[k]));
    lines.resize(count);
}
