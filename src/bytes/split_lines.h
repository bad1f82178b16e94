// Splitting a text into lines at CR LF, a lone CR or a lone LF, for readers of files and decoded message
// text alike.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Replaces lines with the lines of text, without their terminators. A terminator after the last line adds
// no empty line; an empty text gives no lines. Linear in the size of text.
void SplitLines(std::string_view text, std::vector<std::string>& lines);
