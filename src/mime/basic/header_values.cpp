#include "mime/basic/header_values.h"

#include "bytes/ascii.h"
#include "bytes/text_scan.h"
#include "mime/basic/text_routines.h"

namespace maildig {

std::string_view FetchOutsideQuotes(std::string_view& s, std::string_view delimiter, char quote) {
    const std::size_t at = FindOutsideQuotes(s, delimiter, std::string_view(&quote, 1), false);
    const std::string_view result = s.substr(0, at);
    s = at == std::string_view::npos ? std::string_view() : s.substr(at + delimiter.size());
    return result;
}

std::string FetchOutsideQuotes(std::string& s, std::string_view delimiter, char quote) {
    std::string_view view(s);
    std::string result(FetchOutsideQuotes(view, delimiter, quote));
    s.erase(0, s.size() - view.size());
    return result;
}

std::string Unquote(std::string_view s, char quote) {
    std::string out;
    out.reserve(s.size());
    bool inside = false, skip = false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (c != quote) {
            out += c;
        } else if (skip) {
            skip = false;
        } else if (inside) {
            if (i + 1 < s.size() && s[i + 1] == quote) {
                out += quote;
                skip = true;
            } else {
                inside = false;
            }
        } else {
            inside = true;
        }
    }
    return out;
}

std::string HeaderParameter(std::string_view value, std::string_view name) {
    std::string_view rest = value;
    while (!rest.empty()) {
        const std::string_view seg = TrimGeneralView(FetchOutsideQuotes(rest, ";", '"'));
        if (!StartsWithNoCase(seg, name)) continue;
        const std::string_view after = TrimGeneralView(seg.substr(name.size()));
        if (after.empty()) return {};
        if (after[0] == '=') return Unquote(TrimGeneralView(after.substr(1)), '"');
    }
    return {};
}

std::string ExtractAddress(std::string_view value) {
    return TrimGeneral(TextBeforeView(TextAfterView(value, "<"), ">"));
}

std::string UnfoldHeaderLine(const Lines& list, std::size_t& index) {
    std::string line;
    UnfoldHeaderLineInto(list, index, line);
    return line;
}

} // namespace maildig
