// Fuzz target: a whole message as the TOP reply delivers it, through the path of the find and view actions:
// header fields, part tree, first text leaf, decoded lines, the view's date and header formatting.
#include <cstddef>
#include <cstdint>
#include <string>

#include "bytes/split_lines.h"
#include "mime/mime_message.h"
#include "search/message_search.h"
#include "search/view_delete.h"
using namespace maildig;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static TMimeMess mess; // reused for every message, as the actions do
    const std::string text(reinterpret_cast<const char*>(data), size);
    mess.Reset();
    SplitLines(text, mess.Lines());
    mess.ParseMessage();
    Lines textLines;
    if (findTextPart(mess.MessagePart(), textLines)) {
        std::size_t total = 0;
        for (const std::string& line : textLines)
            total += line.size();
        (void)total;
    }
    const TMessHeader& h = mess.Header();
    (void)formatViewDate(h.Date);
    (void)containsFolded(h.Subject, "invoice");
    for (const std::string& to : h.ToList)
        (void)containsFolded(to, "bob");
    return 0;
}
