// The lines of a MIME part: a list the part owns, or a stretch of another part's lines read in place, so
// that splitting a message into parts copies no line.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

#include "mime/basic/lines.h"
#include "mime/basic/text_routines.h"

namespace maildig {

// The lines of a part: a list the part owns (as the root of a tree is given its lines), or a stretch of
// the lines of another list, shared instead of copied, as the sub-parts and the body of a split part are.
// A shared stretch may read every line right-trimmed (characters of code 32 or below removed at the
// end). Shared lines are read through their list, so they follow it: valid while that list lives, and
// never beyond its current end.
class TPartLines {
  public:
    class const_iterator {
      public:
        using value_type = std::string_view;
        using difference_type = std::ptrdiff_t;
        const_iterator() = default;
        const_iterator(const TPartLines* lines, std::size_t index) : FLines(lines), FIndex(index) {}
        std::string_view operator*() const { return (*FLines)[FIndex]; }
        const_iterator& operator++() {
            ++FIndex;
            return *this;
        }
        const_iterator operator++(int) {
            const_iterator old = *this;
            ++FIndex;
            return old;
        }
        bool operator==(const const_iterator& other) const { return FIndex == other.FIndex; }

      private:
        const TPartLines* FLines = nullptr;
        std::size_t FIndex = 0;
    };
    using iterator = const_iterator;
    using value_type = std::string_view;
    using size_type = std::size_t;

    TPartLines() = default;
    TPartLines(const TPartLines&) = delete;
    TPartLines& operator=(const TPartLines&) = delete;

    // Owns lines from now on.
    TPartLines& operator=(maildig::Lines lines);
    // Reads all of lines, whatever it holds when read.
    void ShareAll(const maildig::Lines& lines);
    // Reads the count lines of source from first on (the lines source reads there), right-trimmed when
    // trimmed is set or source itself trims.
    void Share(const TPartLines& source, std::size_t first, std::size_t count, bool trimmed);
    // Empty, owning nothing.
    void clear();

    std::size_t size() const {
        const std::size_t total = Source().size();
        if (FFirst >= total) return 0;
        return std::min(FCount, total - FFirst);
    }
    bool empty() const { return size() == 0; }
    // Line i, for i below size().
    std::string_view operator[](std::size_t i) const {
        const std::string_view line = Source()[FFirst + i];
        return FTrimmed ? TrimGeneralRightView(line) : line;
    }
    std::string_view front() const { return (*this)[0]; }
    std::string_view back() const { return (*this)[size() - 1]; }
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, size()}; }

    friend bool operator==(const TPartLines& a, const maildig::Lines& b);

  private:
    static constexpr std::size_t kAll = static_cast<std::size_t>(-1);
    maildig::Lines FOwned;
    const maildig::Lines* FSource = nullptr; // nullptr: the owned lines
    std::size_t FFirst = 0;
    std::size_t FCount = kAll;
    bool FTrimmed = false;

    const maildig::Lines& Source() const { return FSource != nullptr ? *FSource : FOwned; }
};

} // namespace maildig
