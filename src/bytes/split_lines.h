// Splitting a text into lines at CR LF, a lone CR or a lone LF, for readers of files and decoded message
// text alike.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace maildig {

// Replaces lines with the lines of text, without their terminators. A terminator after the last line adds
// no empty line; an empty text gives no lines. Linear in the size of text. The strings already in lines are
// reused, so splitting one text after another into the same list hardly allocates.
void SplitLines(std::string_view text, std::vector<std::string>& lines);
// The lines of text into lines[count] onward (reusing the strings there), count moved past them; the entries
// from count on are left for the caller to cut. With lastLine set, the text after the last terminator is a
// line even when empty, as when text is one line of a list that is joined with a terminator after each.
void SplitLinesInto(std::string_view text, std::vector<std::string>& lines, std::size_t& count,
                    bool lastLine);

} // namespace maildig
