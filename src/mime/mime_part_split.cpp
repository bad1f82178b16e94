// Splitting the lines of a MIME part into its header block, body and sub-parts, within limits that keep
// the work and memory of any message proportional to its size.
#include "mime/mime_part.h"

#include <algorithm>
#include <optional>

#include "bytes/ascii.h"
#include "mime/basic/header_values.h"
#include "mime/basic/text_routines.h"

namespace maildig {

bool LooksLikeUU(std::string_view line) {
    return StartsWithNoCase(line, "BEGIN ") && !TrimGeneralView(line.substr(6)).empty();
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

void TMimePart::SetAttachFrom(std::string_view line) {
    if (!FAttachInside) FAttachInside = LooksLikeUU(line);
}

void TMimePart::SplitParts() {
    TSplitBudget budget{kSplitReadAllowance, MimeMaxParts - 1};
    for (const std::string_view line : Lines)
        budget.bytes += kSplitReadFactor * (line.size() + TSplitBudget::kLineOverhead);
    SplitWithin(budget);
}

void TMimePart::SplitWithin(TSplitBudget& budget) {
    Reset();
    const std::size_t i = ReadHeaderBlock();
    ReadPartHeaders();
    const bool split = CanSplitFurther() && budget.Left();
    if (FPrimaryCode == MP_MULTIPART)
        TakeRest(PostPart, SplitMultipart(i, budget, split), true);
    else if (FPrimaryCode == MP_MESSAGE && split)
        SplitEmbedded(i, budget);
    else
        TakeRest(PartBody, i, false);
}

std::size_t TMimePart::ReadHeaderBlock() {
    std::size_t i = 0;
    std::size_t headerCount = 0;
    while (i < Lines.size()) {
        if (headerCount == Headers.size()) Headers.emplace_back();
        std::string& l = Headers[headerCount];
        UnfoldHeaderLineInto(Lines, i, l);
        if (l.empty()) break;
        ++headerCount;
    }
    Headers.resize(headerCount);
    return i;
}

std::size_t TMimePart::SplitMultipart(std::size_t i, TSplitBudget& budget, bool split) {
    const std::size_t n = Lines.size();
    const std::string dashBoundary = "--" + Boundary;
    const std::string closeBoundary = dashBoundary + "--";

    const std::size_t preStart = i;
    std::size_t preEnd = i;
    while (i < n) {
        const std::string_view line = Lines[i++];
        if (TrimGeneralRightView(line) == dashBoundary) break;
        preEnd = i;
        SetAttachFrom(line);
    }
    PrePart.Share(Lines, preStart, preEnd - preStart, false);

    // The line from which the body goes unsplit to PartBody: from the first line when this part is not
    // split, else from where the tree has no part left to spend; empty while sub-parts are split.
    std::optional<std::size_t> unsplitFrom;
    if (!split) unsplitFrom = i;
    // Every round but the first consumes at least one line, so the loop ends with the lines.
    for (;;) {
        bool took = false;
        bool closed = false;
        if (!unsplitFrom && budget.parts == 0) unsplitFrom = i;
        if (!unsplitFrom) {
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
    if (unsplitFrom) PartBody.Share(Lines, *unsplitFrom, i - *unsplitFrom, false);
    return i;
}

void TMimePart::SplitEmbedded(std::size_t i, TSplitBudget& budget) {
    const std::size_t n = Lines.size();
    --budget.parts;
    TMimePart* sub = NewSubPart();
    while (i < n && TrimGeneralRightView(Lines[i]).empty())
        ++i;
    sub->Lines.Share(Lines, i, n - i, true);
    for (; i < n; ++i)
        budget.Spend(TrimGeneralRightView(Lines[i]));
    sub->SplitWithin(budget);
}

void TMimePart::TakeRest(TPartLines& list, std::size_t i, bool trimmed) {
    const std::size_t n = Lines.size();
    list.Share(Lines, i, n - i, trimmed);
    for (; i < n && !FAttachInside; ++i)
        SetAttachFrom(Lines[i]);
}

} // namespace maildig
