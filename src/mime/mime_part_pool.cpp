// The parts and line strings the root of a MIME part tree keeps from one message for the next, so that
// walking a mailbox hardly allocates.
#include "mime/mime_part.h"

#include <limits>
#include <utility>

namespace maildig {

void TMimePart::ClearSubParts() {
    // Frees the subtree without recursion: every part's children are moved out before it dies, so
    // even a tree built deeper than the split limit cannot exhaust the stack. Up to TPools::kMaxParts of
    // them are kept by the root for the next split, with the storage of their lists and strings.
    TPools& pools = Root().FPools;
    std::vector<std::unique_ptr<TMimePart>> pending = std::move(FSubParts);
    FSubParts.clear();
    while (!pending.empty()) {
        std::unique_ptr<TMimePart> part = std::move(pending.back());
        pending.pop_back();
        for (auto& child : part->FSubParts)
            pending.push_back(std::move(child));
        part->FSubParts.clear();
        if (pools.Parts.size() < TPools::kMaxParts) pools.Parts.push_back(std::move(part));
    }
}

std::unique_ptr<TMimePart> TMimePart::TakeSparePart() {
    std::vector<std::unique_ptr<TMimePart>>& spare = Root().FPools.Parts;
    if (spare.empty()) return std::make_unique<TMimePart>();
    std::unique_ptr<TMimePart> part = std::move(spare.back());
    spare.pop_back();
    part->Reset();
    part->Lines.clear();
    return part;
}

TMimePart* TMimePart::NewSubPart() {
    std::unique_ptr<TMimePart> sub = TakeSparePart();
    sub->FRoot = &Root();
    sub->DefaultCharset = DefaultCharset;
    sub->SubLevel = SubLevel < std::numeric_limits<int32_t>::max() ? SubLevel + 1 : SubLevel;
    sub->MaxSubLevel = MaxSubLevel;
    FSubParts.push_back(std::move(sub));
    return FSubParts.back().get();
}

void TMimePart::LendSpareLines(maildig::Lines& lines) {
    std::vector<std::string>& spare = Root().FPools.Lines;
    while (!spare.empty()) {
        lines.push_back(std::move(spare.back()));
        spare.pop_back();
    }
}

void TMimePart::KeepSpareLines(maildig::Lines& lines, std::size_t used) {
    std::vector<std::string>& spare = Root().FPools.Lines;
    for (std::size_t k = used; k < lines.size() && spare.size() < TPools::kMaxLines; ++k)
        if (lines[k].capacity() <= kKeptBuffer) spare.push_back(std::move(lines[k]));
}

} // namespace maildig
