#include "mime/basic/text_routines.h"

#include <vector>

#include "bytes/text_scan.h"

namespace maildig {

namespace {

constexpr std::size_t npos = std::string_view::npos;

// Knuth-Morris-Pratt search, so that a long separator in a long text stays linear.
std::size_t FindLinear(std::string_view s, std::string_view sub, std::size_t from = 0) {
    if (sub.size() == 1) return s.find(sub[0], from);
    if (sub.size() <= 16 || from >= s.size()) return s.find(sub, from);
    std::vector<std::size_t> fail(sub.size(), 0);
    for (std::size_t i = 1, k = 0; i < sub.size(); ++i) {
        while (k > 0 && sub[i] != sub[k])
            k = fail[k - 1];
        if (sub[i] == sub[k]) ++k;
        fail[i] = k;
    }
    for (std::size_t i = from, k = 0; i < s.size(); ++i) {
        while (k > 0 && s[i] != sub[k])
            k = fail[k - 1];
        if (s[i] == sub[k]) ++k;
        if (k == sub.size()) return i + 1 - sub.size();
    }
    return npos;
}

bool IsControlOrSpace(char c) {
    return static_cast<unsigned char>(c) <= 32;
}

} // namespace

std::string_view TextBeforeView(std::string_view s, std::string_view separator) {
    if (separator.empty()) return s;
    const std::size_t p = FindLinear(s, separator);
    return p == npos ? s : s.substr(0, p);
}

std::string_view TextAfterView(std::string_view s, std::string_view separator) {
    if (separator.empty()) return s;
    const std::size_t p = FindLinear(s, separator);
    return p == npos ? s : s.substr(p + separator.size());
}

std::string TextBefore(std::string_view s, std::string_view separator) {
    return std::string(TextBeforeView(s, separator));
}

std::string TextAfter(std::string_view s, std::string_view separator) {
    return std::string(TextAfterView(s, separator));
}

std::size_t LastPos(std::string_view sub, std::string_view s) {
    // The backward walk starts at length(s) + 1, where the empty text already matches.
    if (sub.empty()) return s.size() + 1;
    if (sub.size() > s.size()) return 0;
    if (sub.size() <= 16) {
        const std::size_t p = s.rfind(sub);
        return p == npos ? 0 : p + 1;
    }
    const std::string rs(s.rbegin(), s.rend()), rsub(sub.rbegin(), sub.rend());
    const std::size_t p = FindLinear(rs, rsub);
    return p == npos ? 0 : s.size() - p - sub.size() + 1;
}

std::string ReplaceAll(std::string_view s, std::string_view search, std::string_view replacement) {
    if (s.empty() || search.empty()) return std::string(s);
    std::string out;
    out.reserve(s.size());
    std::size_t from = 0;
    while (true) {
        const std::size_t p = FindLinear(s, search, from);
        if (p == npos) break;
        out.append(s.substr(from, p - from));
        out.append(replacement);
        from = p + search.size();
    }
    out.append(s.substr(from));
    return out;
}

std::string TrimSpaces(std::string_view s) {
    return std::string(TrimSpacesView(s));
}
std::string TrimGeneral(std::string_view s) {
    return std::string(TrimGeneralView(s));
}

std::string_view TrimGeneralView(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && IsControlOrSpace(s[b]))
        ++b;
    while (e > b && IsControlOrSpace(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

std::string_view TrimGeneralRightView(std::string_view s) {
    std::size_t e = s.size();
    while (e > 0 && IsControlOrSpace(s[e - 1]))
        --e;
    return s.substr(0, e);
}

std::string_view FetchTokenView(std::string_view& s, std::string_view separator) {
    const std::size_t p = separator.empty() ? npos : FindLinear(s, separator);
    const std::string_view token = TrimSpacesView(p == npos ? s : s.substr(0, p));
    s = p == npos ? std::string_view() : TrimSpacesView(s.substr(p + separator.size()));
    return token;
}

std::string FetchToken(std::string_view& s, std::string_view separator) {
    return std::string(FetchTokenView(s, separator));
}

std::string FetchToken(std::string& s, std::string_view separator) {
    std::string_view view(s);
    std::string token = FetchToken(view, separator);
    s = std::string(view);
    return token;
}

std::string HexOfBytes(std::string_view s) {
    std::string out;
    out.reserve(s.size() * 2);
    for (const char c : s)
        AppendHexByte(out, static_cast<unsigned char>(c));
    return out;
}

void WriteTextToStream(std::ostream& stream, std::string_view s) {
    stream.write(s.data(), static_cast<std::streamsize>(s.size()));
}

} // namespace maildig
