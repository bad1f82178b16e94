// The front end's string routines. Every routine works on bytes; positions are 1-based and computed in 64-bit
// arithmetic so that no argument can overflow them.
#include "strutil/strutil.h"

#include "bytes/ascii.h"
#include "bytes/text_scan.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string_view>

namespace maildig {

namespace {

// Fatal misuse of the unit: the lines go to standard output and the process ends with exit code 1.
[[noreturn]] void fatalReport(const std::string& lines) {
    std::fwrite(lines.data(), 1, lines.size(), stdout);
    std::fflush(stdout);
    std::exit(1);
}

constexpr std::size_t maxQuoteDepth = 32;

bool isQuote(char c) {
    return c == '\'' || c == '"';
}

std::string finishField(const std::string& text, const std::string& delimiter) {
    std::string field = str_trim(text);
    if (!delimiter.empty() && !field.empty()) {
        if (field.front() == delimiter[0]) field.erase(0, 1);
        if (!field.empty() && field.back() == delimiter[0]) field.pop_back();
    }
    return field;
}

} // namespace

std::size_t str_length(const std::string& s) {
    return s.size();
}

std::string str_trim(const std::string& s) {
    // The same as str_trim_right of str_trim_left.
    return std::string(TrimSpacesView(s));
}

std::string str_trim_left(const std::string& s) {
    std::size_t i = 0;
    while (i + 1 < s.size() && s[i] == ' ')
        ++i;
    return s.substr(i < s.size() ? i : s.size());
}

std::string str_trim_right(const std::string& s) {
    std::size_t end = s.size();
    while (end > 0 && s[end - 1] == ' ')
        --end;
    return s.substr(0, end);
}

std::string str_lower(const std::string& s) {
    return LowerAscii(s);
}

std::size_t str_pos(const std::string& s, const std::string& sub) {
    if (sub.empty()) return 0;
    std::size_t at = s.find(sub);
    return at == std::string::npos ? 0 : at + 1;
}

std::string str_copy(const std::string& s, int pos, int count) {
    long long first = pos < 1 ? 1 : pos;
    long long len = static_cast<long long>(s.size());
    if (count <= 0 || first > len) return {};
    long long n = count;
    if (first - 1 + n > len) n = len - first + 1;
    return s.substr(static_cast<std::size_t>(first - 1), static_cast<std::size_t>(n));
}

std::string str_slice(const std::string& s, int first, int last) {
    long long len = static_cast<long long>(s.size());
    if (first < 1 || last < 1 || first > len || first > last) return {};
    long long end = last > len ? len : last;
    return s.substr(static_cast<std::size_t>(first - 1), static_cast<std::size_t>(end - first + 1));
}

std::string str_delete(const std::string& s, int pos, int count) {
    if (count == 0) return s;
    long long len = static_cast<long long>(s.size());
    long long p = pos;
    long long n = count;
    if (p + n - 1 > len) n = len - p + 1;
    if (n < 0 || p < 1 || len < p) {
        fatalReport("str_delete: bounds problem.\nparm 1   : " + s + "\nparm 2   : " + std::to_string(p) +
                    "\nparm 3   : " + std::to_string(n) + "\n");
    }
    std::string out = s.substr(0, static_cast<std::size_t>(p - 1));
    out += s.substr(static_cast<std::size_t>(p - 1 + n));
    return out;
}

std::string str_from_int(int n) {
    return std::to_string(n);
}

int str_to_int(const std::string& s) {
    std::size_t i = 0;
    const std::size_t n = s.size();
    while (i < n && (s[i] == ' ' || s[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    unsigned base = 10;
    if (i < n && s[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < n && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        base = 16;
        i += 2;
    } else if (i < n && s[i] == '%') {
        base = 2;
        ++i;
    } else if (i < n && s[i] == '&') {
        base = 8;
        ++i;
    }
    // The magnitude may reach 2^31 only for a negative value.
    const std::uint64_t limit = negative ? std::uint64_t{1} << 31 : std::numeric_limits<int>::max();
    std::uint64_t value = 0;
    if (!ParseDigits(std::string_view(s).substr(i), base, limit, value)) return 0;
    long long signedValue = negative ? -static_cast<long long>(value) : static_cast<long long>(value);
    return static_cast<int>(signedValue);
}

bool str_is_integer(const std::string& s) {
    if (s.empty()) return false;
    std::string t = str_trim(s);
    // A string of blanks alone is not an integer (str_to_int gives 0 for it as for any bad text).
    if (t.empty()) return false;
    if (t[0] == '-') t.erase(0, 1);
    for (char c : t)
        if (c < '0' || c > '9') return false;
    return true;
}

std::size_t str_skip_set(const std::string& s, std::size_t pos, bool in_set, const TCharSet& set) {
    if (pos < 1) pos = 1;
    while (pos <= s.size() && set.test(static_cast<unsigned char>(s[pos - 1])) == in_set)
        ++pos;
    return pos;
}

std::size_t str_next_quoted(const std::string& s, std::size_t pos, std::string& token, int& status) {
    static const TCharSet blanks = [] {
        TCharSet set;
        set.set(' ');
        return set;
    }();
    status = 0;
    pos = str_skip_set(s, pos, true, blanks);
    if (pos > s.size() || !isQuote(s[pos - 1])) {
        status = 1;
        token.clear();
        return pos;
    }
    // s may be the caller's token variable itself: it is then emptied here and the scan ends at once.
    token.clear();
    std::string open;
    bool complete = false;
    while (!complete) {
        if (pos > s.size()) {
            status = 2;
            break;
        }
        char c = s[pos - 1];
        ++pos;
        token += c;
        if (!isQuote(c)) continue;
        if (open.empty()) {
            open.push_back(c);
        } else if (c == open.back()) {
            if (open.size() == 1 && pos <= s.size() && s[pos - 1] == c) {
                ++pos; // a doubled quote at the outermost level stands for one
            } else {
                open.pop_back();
                complete = open.empty();
            }
        } else {
            if (open.size() >= maxQuoteDepth) {
                status = 2;
                break;
            }
            open.push_back(c);
        }
    }
    if (status > 0)
        token.clear();
    else
        token = token.substr(1, token.size() - 2);
    return pos;
}

void str_delimit_TSL(const std::string& s, const std::string& separator, const std::string& delimiter,
                     std::vector<std::string>& list) {
    list.clear();
    if (separator.size() > 1 || delimiter.size() > 1)
        fatalReport("str_delimite_TSL: separator and delimiter cannot be more than 1 character.\n");
    if (s.empty()) return;
    // An empty separator is never found, so the whole of s is one field.
    std::size_t start = 0;
    for (;;) {
        const std::size_t at =
            FindOutsideQuotes(std::string_view(s).substr(start), separator, delimiter, true);
        if (at == std::string_view::npos) break;
        list.push_back(finishField(s.substr(start, at), delimiter));
        start += at + 1;
    }
    list.push_back(finishField(s.substr(start), delimiter));
}

std::string str_rot47(const std::string& s) {
    std::string out = s;
    for (char& c : out) {
        unsigned char b = static_cast<unsigned char>(c);
        if (b >= 33 && b <= 126) c = static_cast<char>(33 + (b + 14) % 94);
    }
    return out;
}

} // namespace maildig
