#include "pop3/reply_parser.h"

#include <algorithm>
#include <utility>

#include "mime/basic/text_routines.h"

namespace maildig {

int32_t ReplyVerdict(std::string_view status) {
    return status.starts_with("+OK") ? 1 : 0;
}

std::string SingleLineResult(std::string_view status) {
    return TextAfter(status, " ");
}

std::size_t HeldBytes(const std::string& line) {
    // A string no longer than this has no buffer of its own.
    static const std::size_t inPlace = std::string().capacity();
    return sizeof(std::string) + (line.capacity() > inPlace ? line.capacity() + 1 : 0);
}

TBodyStep AddBodyLine(Lines& body, std::string&& line, std::size_t& held, std::size_t maxBytes) {
    if (line == ".") return BS_End;
    if (!line.empty() && line[0] == '.') line.erase(0, 1);
    const std::size_t cost = HeldBytes(line);
    if (cost > maxBytes - std::min(held, maxBytes)) return BS_TooBig;
    held += cost;
    body.push_back(std::move(line));
    return BS_More;
}

} // namespace maildig
