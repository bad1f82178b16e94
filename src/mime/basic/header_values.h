// Header values: quoted items and unquoting, named parameters, bare addresses and folded header lines.
// Built on the generic text routines, which this header brings along.
#pragma once

#include <string>
#include <string_view>

#include "mime/basic/lines.h"
#include "mime/basic/text_routines.h"

namespace maildig {

// The text before the first delimiter that is not inside quotes (the quotes stay, nothing is trimmed); the
// delimiter is removed and s keeps the rest. Without such a delimiter the whole of s is returned and s is
// emptied. The string_view form hands back a piece of s and advances the view.
std::string FetchOutsideQuotes(std::string& s, std::string_view delimiter, char quote);
std::string_view FetchOutsideQuotes(std::string_view& s, std::string_view delimiter, char quote);
// s with its quoting removed: a doubled quote inside quotes stands for one quote ("a""b"c gives a"bc).
std::string Unquote(std::string_view s, char quote);
// Value of the parameter called name (ASCII case ignored) in a header value such as
// text/plain; charset="utf-8"; empty when absent.
std::string HeaderParameter(std::string_view value, std::string_view name);
// The bare address: the text between "<" and ">", trimmed; a value without brackets gives itself, trimmed.
std::string ExtractAddress(std::string_view value);
// The header line at index joined with its continuation lines; index moves past all of them. The last entry
// of the list is never taken as a continuation. An index past the end gives "" and moves index by one.
std::string UnfoldHeaderLine(const Lines& list, std::size_t& index);
// The same into line (replacing its text, its storage reused), for any list whose entries read as
// std::string_view.
template <class List> void UnfoldHeaderLineInto(const List& list, std::size_t& index, std::string& line) {
    line.clear();
    if (index >= list.size()) {
        ++index;
        return;
    }
    line.append(std::string_view(list[index++]));
    if (!line.empty()) {
        while (index + 1 < list.size()) {
            const std::string_view next = list[index];
            if (next.empty()) break;
            const char first = next[0];
            if (first != ' ' && first != '\t' && first != '"' && first != ':' && first != '=') break;
            // Tabs count as spaces; the general trim removes them at the ends.
            const std::size_t start = line.size() + 1;
            line += ' ';
            line.append(TrimGeneralView(next));
            for (std::size_t k = start; k < line.size(); ++k)
                if (line[k] == '\t') line[k] = ' ';
            ++index;
        }
    }
    line.resize(TrimGeneralRightView(line).size());
}

} // namespace maildig
