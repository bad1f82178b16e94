// Header values: quoted items and unquoting, named parameters, bare addresses and folded header lines.
// Built on the generic text routines, which this header brings along.
#pragma once

#include <string>
#include <string_view>

#include "mime/basic/lines.h"
#include "mime/basic/text_routines.h"

// The text before the first delimiter that is not inside quotes (the quotes stay, nothing is trimmed); the
// delimiter is removed and s keeps the rest. Without such a delimiter the whole of s is returned and s is
// emptied.
std::string FetchOutsideQuotes(std::string& s, std::string_view delimiter, char quote);
std::string FetchOutsideQuotes(std::string_view& s, std::string_view delimiter, char quote);
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
