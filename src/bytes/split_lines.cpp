#include "bytes/split_lines.h"

#include <cstring>

void SplitLines(std::string_view text, std::vector<std::string>& lines) {
    lines.clear();
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
        lines.emplace_back(text.substr(start, end - start));
        start = end + ((base[end] == '\r' && end + 1 < n && base[end + 1] == '\n') ? 2 : 1);
    }
    if (start < n) lines.emplace_back(text.substr(start));
}
