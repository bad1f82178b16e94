#include "mime/html_meta.h"

#include <string>

#include "bytes/ascii.h"

namespace maildig {

namespace {

// True when h, upper-cased and without its quotes and blanks, holds the meta element's attribute.
bool SqueezedHas(std::string_view h) {
    static constexpr std::string_view needle = "HTTP-EQUIV=CONTENT-TYPE";
    std::string squeezed;
    squeezed.reserve(h.size());
    for (char c : h)
        if (c != '"' && c != ' ') squeezed += AsciiUpper(c);
    return squeezed.find(needle) != std::string::npos;
}

} // namespace

bool DeclaresContentType(std::string_view text) {
    const std::string upper = UpperAscii(text);
    std::string_view h = upper;
    const std::size_t headEnd = h.find("</HEAD>");
    if (headEnd != std::string_view::npos) {
        h = h.substr(0, headEnd);
        const std::size_t headStart = h.find("<HEAD>");
        if (headStart != std::string_view::npos) h = h.substr(headStart + 6);
        if (SqueezedHas(h)) return true;
    }
    return SqueezedHas(std::string_view(upper).substr(0, 2048));
}

} // namespace maildig
