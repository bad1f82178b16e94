#include "mime/mime_part_lines.h"

#include <utility>

namespace maildig {

TPartLines& TPartLines::operator=(maildig::Lines lines) {
    FOwned = std::move(lines);
    FSource = nullptr;
    FFirst = 0;
    FCount = kAll;
    FTrimmed = false;
    return *this;
}

void TPartLines::ShareAll(const maildig::Lines& lines) {
    FOwned.clear();
    FSource = &lines;
    FFirst = 0;
    FCount = kAll;
    FTrimmed = false;
}

void TPartLines::Share(const TPartLines& source, std::size_t first, std::size_t count, bool trimmed) {
    const std::size_t from = source.FFirst + first;
    const bool trim = source.FTrimmed || trimmed;
    const maildig::Lines* list = &source.Source();
    FOwned.clear();
    FSource = list;
    FFirst = from;
    FCount = count;
    FTrimmed = trim;
}

void TPartLines::clear() {
    *this = maildig::Lines();
}

bool operator==(const TPartLines& a, const maildig::Lines& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < b.size(); ++i)
        if (a[i] != b[i]) return false;
    return true;
}

} // namespace maildig
