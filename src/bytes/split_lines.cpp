#include "bytes/split_lines.h"

#include <cstring>

namespace maildig {

namespace {

// A string grown for a line longer than this is not kept for a line under a quarter of its size.
constexpr std::size_t kKeptLine = std::size_t{256} << 10;

void PutLine(std::vector<std::string>& lines, std::size_t& count, std::string_view piece) {
    if (count < lines.size()) {
        std::string& line = lines[count];
        if (line.capacity() > kKeptLine && piece.size() < line.capacity() / 4) std::string().swap(line);
        line.assign(piece);
    } else {
        lines.emplace_back(piece);
    }
    ++count;
}

} // namespace

void SplitLinesInto(std::string_view text, std::vector<std::string>& lines, std::size_t& count,
                    bool lastLine) {
    const char* const base = text.data();
    const std::size_t n = text.size();
    std::size_t start = 0;
    std::size_t lfPos = 0; // the next LF at or after start (n when none); looked up again only once passed
    bool lfKnown = false;
    while (start < n) {
        // The nearer of the next CR and the next LF ends the line.
        if (!lfKnown || lfPos < start) {
            const void* lf = std::memchr(base + start, '\n', n - start);
            lfPos = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - base) : n;
            lfKnown = true;
        }
        const void* cr = std::memchr(base + start, '\r', lfPos - start);
        const std::size_t end = cr ? static_cast<std::size_t>(static_cast<const char*>(cr) - base) : lfPos;
        if (end == n) break;
        PutLine(lines, count, text.substr(start, end - start));
        start = end + ((base[end] == '\r' && end + 1 < n && base[end + 1] == '\n') ? 2 : 1);
    }
    if (lastLine || start < n) PutLine(lines, count, text.substr(start));
}

void SplitLines(std::string_view text, std::vector<std::string>& lines) {
    std::size_t count = 0;
    SplitLinesInto(text, lines, count, false);
    lines.resize(count);
}

} // namespace maildig
