#include "bytes/text_scan.h"

namespace maildig {

std::string_view TrimSpacesView(std::string_view s) {
    const std::size_t b = s.find_first_not_of(' ');
    if (b == std::string_view::npos) return {};
    return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

std::size_t FindOutsideQuotes(std::string_view s, std::string_view separator, std::string_view quote,
                              bool quoteFirst) {
    constexpr std::size_t npos = std::string_view::npos;
    const bool quoted = !quote.empty();
    const char q = quoted ? quote[0] : '\0';
    const bool separated = !separator.empty();
    const char first = separated ? separator[0] : '\0';
    auto separatorAt = [&](std::size_t i) {
        return separated && s[i] == first && s.substr(i).starts_with(separator);
    };
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (quoted && s[i] == q) {
            if (!quoteFirst && separatorAt(i)) return i;
            // The stretch runs to the next quote; without one, to the end.
            i = s.find(q, i + 1);
            if (i == npos) return npos;
        } else if (separatorAt(i)) {
            return i;
        }
    }
    return npos;
}

} // namespace maildig
