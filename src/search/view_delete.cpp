// View and delete by UID.
#include "search/view_delete.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include "cli/params.h"
#include "cli/quit.h"
#include "mime/mime_message.h"
#include "search/mailbox.h"
#include "search/message_search.h"
#include "strutil/strutil.h"

namespace {

// Index of the first listed UID equal to the positional argument; quit(1) when there is none.
std::size_t lookupUid() {
    if (params.verbose) std::fputs("Searching messages for matching uid.\n", stderr);
    for (std::size_t i = 0; i < msgUids.size(); ++i)
        if (msgUids[i] == params.SearchStr) return i;
    quit(1);
}

// Fetches and parses the head of message i, then writes the verbose block.
void fetchMessage(std::size_t i, TMimeMess& mess) {
    pop->FetchTop(str_to_int(msgNumbers[i]), fetchLines());
    mess.Reset();
    mess.Lines() = pop->FullResult();
    mess.ParseMessage();
    if (params.verbose) {
        writeLine(stderr, "  uid:        " + params.SearchStr);
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

// Days since 30 December 1899 -> civil date (proleptic Gregorian), valid for any year.
void civilFromDays(long long days, long long& year, unsigned& month, unsigned& day) {
    long long z = days - 25569 + 719468; // shift to days since 1970-01-01, then to 0000-03-01
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<long long>(yoe) + era * 400 + (month <= 2 ? 1 : 0);
}

} // namespace

std::string formatViewDate(double date) {
    if (date == 0 || !std::isfinite(date) || std::fabs(date) > 1e9) return {};
    // Round to the nearest second, as the date parser produces whole seconds.
    const long long totalSeconds = std::llround(date * 86400.0);
    long long days = totalSeconds / 86400;
    long long secs = totalSeconds % 86400;
    if (secs < 0) {
        secs += 86400;
        days -= 1;
    }
    long long year;
    unsigned month, day;
    civilFromDays(days, year, month, day);
    std::tm tm{};
    tm.tm_year = static_cast<int>(year - 1900);
    tm.tm_mon = static_cast<int>(month) - 1;
    tm.tm_mday = static_cast<int>(day);
    tm.tm_hour = static_cast<int>(secs / 3600);
    tm.tm_min = static_cast<int>(secs / 60 % 60);
    tm.tm_sec = static_cast<int>(secs % 60);
    tm.tm_isdst = -1;
    // Weekday, for locales whose date format names it (1899-12-30 was a Saturday).
    tm.tm_wday = static_cast<int>(((days % 7) + 7 + 6) % 7);
    char buf[256];
    std::string text;
    if (std::strftime(buf, sizeof buf, "%x", &tm) > 0) text = buf;
    if (secs != 0 && std::strftime(buf, sizeof buf, "%X", &tm) > 0) {
        text += ' ';
        text += buf;
    }
    return text;
}

void viewByUid() {
    const std::size_t i = lookupUid();
    TMimeMess mess;
    Lines textLines;
    fetchMessage(i, mess);
    if (!findTextPart(mess.MessagePart(), textLines)) {
        if (params.verbose) std::fputs("  This msg has no Mime message part.\n", stderr);
        return;
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
}

void deleteByUid() {
    const std::size_t i = lookupUid();
    TMimeMess mess;
    fetchMessage(i, mess);
    if (!pop->DeleteMessage(str_to_int(msgNumbers[i]))) quit(17);
}
