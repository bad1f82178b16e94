// Fuzz target: dates and the other header-value routines on one header value. The first line of the input
// is also used as a parameter name, separator and search text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "mime/basic/header_values.h"
#include "mime/basic/mail_dates.h"
#include "mime/basic/text_routines.h"
#include "mime/mime_message.h"
using namespace maildig;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string_view key = text.substr(0, std::min<std::size_t>(text.find('\n'), 16));

    std::tm tm{};
    (void)DateTimeToTm(ParseMailDate(text), tm);
    int minutes = 0;
    (void)ZoneToMinutes(text, minutes);
    (void)MonthFromName(text);
    (void)TimeFromText(text);
    (void)HeaderParameter(text, key);
    (void)ExtractAddress(text);
    (void)Unquote(text, '"');
    (void)TextBefore(text, key);
    (void)TextAfter(text, key);
    (void)LastPos(key, text);
    (void)ReplaceAll(text, key, "xy");
    (void)ParsePriority(text);

    std::string_view rest = text;
    for (int guard = 0; !rest.empty() && guard < 100000; ++guard)
        (void)FetchOutsideQuotes(rest, ";", '"');
    rest = text;
    for (int guard = 0; !rest.empty() && guard < 100000; ++guard)
        (void)FetchToken(rest, ",");

    Lines lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '\n') {
            lines.emplace_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    for (std::size_t index = 0; index < lines.size();)
        (void)UnfoldHeaderLine(lines, index);
    TMessHeader header;
    header.ParseHeaderLines(lines);
    return 0;
}
