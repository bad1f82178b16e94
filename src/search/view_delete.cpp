// View and delete by UID.
#include "search/view_delete.h"

#include <cstdio>
#include <ctime>

#include "mime/basic/mail_dates.h"
#include "mime/mime_message.h"
#include "search/message_search.h"

namespace maildig {

namespace {

// Index of the first listed UID equal to the requested one; the size of the listing when there is none.
std::size_t lookupUid(const TMailbox& box, const TUidRequest& request) {
    if (request.Verbose) std::fputs("Searching messages for matching uid.\n", stderr);
    std::size_t i = 0;
    while (i < box.Listing.Size() && box.Listing.Uid(i) != request.Uid)
        ++i;
    return i;
}

// Fetches (or takes from the cache) and parses the head of message i, then writes the verbose block.
void fetchMessage(TMailbox& box, const TUidRequest& request, std::size_t i, TMimeMess& mess) {
    TPOP3Reply top;
    THeadCache* const heads = box.Heads.get();
    if (heads == nullptr || !heads->Has(i) || !heads->Take(i, top)) {
        top = box.Pop.FetchTop(box.Listing.Numbers()[i], fetchLines(request.MaxSize));
        if (heads != nullptr) heads->Keep(i, top);
    }
    mess.Reset();
    mess.Lines().swap(top.FullResult);
    mess.ParseMessage();
    if (request.Verbose) {
        writeLine(stderr, "  uid:        " + request.Uid);
        writeHeaderSummary(mess.Header());
        std::fputc('\n', stderr);
    }
}

// "To: a," / "b," / "c": the first entry on the label's line, every entry but the last followed by ",".
void writeRecipients(const char* label, const Lines& list) {
    std::string line = label;
    for (std::size_t k = 0; k < list.size(); ++k) {
        if (k > 0) line.clear();
        line += list[k];
        if (k + 1 < list.size()) line += ',';
        writeLine(stdout, line);
    }
    if (list.empty()) writeLine(stdout, line);
}

void writeOptional(const char* label, const std::string& value) {
    if (!value.empty()) writeLine(stdout, label + value);
}

} // namespace

std::string formatViewDate(double date) {
    std::tm tm{};
    if (date == 0 || !DateTimeToTm(date, tm)) return {};
    char buf[256];
    std::string text;
    if (std::strftime(buf, sizeof buf, "%x", &tm) > 0) text = buf;
    if ((tm.tm_hour != 0 || tm.tm_min != 0 || tm.tm_sec != 0) &&
        std::strftime(buf, sizeof buf, "%X", &tm) > 0) {
        text += ' ';
        text += buf;
    }
    return text;
}

TOutcome viewByUid(TMailbox& box, const TUidRequest& request) {
    const std::size_t i = lookupUid(box, request);
    if (i == box.Listing.Size()) return {1};
    TMimeMess mess;
    Lines textLines;
    fetchMessage(box, request, i, mess);
    if (!findTextPart(mess.MessagePart(), textLines)) {
        if (request.Verbose) std::fputs("  This msg has no Mime message part.\n", stderr);
        return {};
    }
    const TMessHeader& h = mess.Header();
    writeLine(stdout, "From: " + h.From);
    writeRecipients("To: ", h.ToList);
    if (!h.CCList.empty()) writeRecipients("CC: ", h.CCList);
    writeOptional("Subject: ", h.Subject);
    writeLine(stdout, "Date: " + formatViewDate(h.Date));
    writeOptional("ReplyTo: ", h.ReplyTo);
    writeOptional("Xmailer: ", h.XMailer);
    writeOptional("MessageID: ", h.MessageID);
    writeOptional("Organization: ", h.Organization);
    std::fputc('\n', stdout);
    for (const std::string& line : textLines)
        writeLine(stdout, line);
    std::fflush(stdout);
    return {};
}

TOutcome deleteByUid(TMailbox& box, const TUidRequest& request) {
    const std::size_t i = lookupUid(box, request);
    if (i == box.Listing.Size()) return {1};
    TMimeMess mess;
    fetchMessage(box, request, i, mess);
    if (!box.Pop.DeleteMessage(box.Listing.Numbers()[i]).Ok()) return {17};
    return {};
}

} // namespace maildig
