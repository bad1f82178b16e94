#include "pop3/reply_parser.h"

#include <utility>

#include "mime/basic/text_routines.h"

int32_t ReplyVerdict(std::string_view status) {
    return status.starts_with("+OK") ? 1 : 0;
}

std::string SingleLineResult(std::string_view status) {
    return TextAfter(status, " ");
}

TBodyStep AddBodyLine(Lines& body, std::string&& line, std::size_t& held, std::size_t maxBytes) {
    if (line == ".") return BS_End;
    if (!line.empty() && line[0] == '.') line.erase(0, 1);
    held += line.size() + kReplyEntryOverhead;
    body.push_back(std::move(line));
    if (held <= maxBytes) return BS_More;
    body.emplace_back();
    return BS_TooBig;
}
