// The message container and the decoding of its main header fields.
#include "mime/mime_message.h"

#include <array>
#include <utility>

#include "bytes/ascii.h"
#include "mime/basic/header_values.h"
#include "mime/basic/mail_dates.h"
#include "mime/basic/text_routines.h"
#include "mime/encoded_words.h"

namespace maildig {

namespace {

// The trimmed text after the first ":" of a header line (all of it when there is none).
std::string_view HeaderValue(std::string_view line) {
    return TrimGeneralView(TextAfterView(line, ":"));
}

// Splits an address list at the commas outside double-quoted stretches (the quotes stay in the
// items); each item trimmed and decoded, empty results dropped.
void AppendAddresses(std::string_view value, TMimeChar target, maildig::Lines& list) {
    std::string_view rest = value;
    do {
        std::string item = DecodeHeaderWords(TrimGeneralView(FetchOutsideQuotes(rest, ",", '"')), target);
        if (!item.empty()) list.push_back(std::move(item));
    } while (!rest.empty());
}

enum class Field {
    XMailer,
    From,
    Subject,
    Organization,
    To,
    Cc,
    Date,
    ReplyTo,
    MessageID,
    Priority,
    XPriority,
    MsMailPriority,
    ContentHeader
};

struct Keyword {
    std::string_view name;
    Field field;
};

// Tried in this order; the first keyword the upper-cased line begins with decides.
constexpr std::array<Keyword, 18> kKeywords{{
    {"X-MAILER:", Field::XMailer},
    {"FROM:", Field::From},
    {"SUBJECT:", Field::Subject},
    {"ORGANIZATION:", Field::Organization},
    {"TO:", Field::To},
    {"CC:", Field::Cc},
    {"DATE:", Field::Date},
    {"REPLY-TO:", Field::ReplyTo},
    {"MESSAGE-ID:", Field::MessageID},
    {"PRIORITY:", Field::Priority},
    {"X-PRIORITY:", Field::XPriority},
    {"X-MSMAIL-PRIORITY:", Field::MsMailPriority},
    {"MIME-VERSION:", Field::ContentHeader},
    {"CONTENT-TYPE:", Field::ContentHeader},
    {"CONTENT-DESCRIPTION:", Field::ContentHeader},
    {"CONTENT-DISPOSITION:", Field::ContentHeader},
    {"CONTENT-ID:", Field::ContentHeader},
    {"CONTENT-TRANSFER-ENCODING:", Field::ContentHeader},
}};

// The unfolding buffer is kept between messages up to this size.
constexpr std::size_t kKeptLine = std::size_t{64} << 10;

} // namespace

TMessPriority ParsePriority(std::string_view line) {
    using enum TMessPriority;
    std::string_view w = HeaderValue(line);
    w = w.substr(0, w.find(' '));
    if (!w.empty() && w.find_first_not_of("0123456789") == std::string_view::npos) {
        const std::size_t digits = w.find_first_not_of('0');
        if (digits == std::string_view::npos || w.size() - digits > 1) return MP_unknown; // 0 or >= 10
        switch (w.back()) {
        case '1':
        case '2':
            return MP_high;
        case '3':
            return MP_normal;
        case '4':
        case '5':
            return MP_low;
        default:
            return MP_unknown;
        }
    }
    const std::string lower = LowerAscii(w);
    if (lower == "urgent" || lower == "high" || lower == "highest") return MP_high;
    if (lower == "normal" || lower == "medium") return MP_normal;
    if (lower == "low" || lower == "lowest" || lower == "no-priority" || lower == "non-urgent") return MP_low;
    return MP_unknown;
}

TMessHeader::TMessHeader() : CharsetCode(SystemCharset()) {}

TMessHeader::~TMessHeader() = default;

void TMessHeader::Reset() {
    From.clear();
    Subject.clear();
    Organization.clear();
    XMailer.clear();
    ReplyTo.clear();
    MessageID.clear();
    ToList.clear();
    CCList.clear();
    CustomHeaders.clear();
    Date = 0;
    Priority = TMessPriority::MP_unknown;
}

void TMessHeader::WriteHeaderLines(maildig::Lines& /*lines*/) const {}

bool TMessHeader::ParseHeaderLine(const std::string& line) {
    if (line.empty()) return false;
    const Keyword* match = nullptr;
    const char first = AsciiUpper(line[0]);
    for (const Keyword& k : kKeywords) {
        if (k.name[0] == first && StartsWithNoCase(line, k.name)) {
            match = &k;
            break;
        }
    }
    if (match == nullptr) return false;

    const std::string_view value = HeaderValue(line);
    switch (match->field) {
    case Field::XMailer:
        XMailer = value;
        break;
    case Field::From:
        From = DecodeHeaderWords(value, CharsetCode);
        break;
    case Field::Subject:
        Subject = DecodeHeaderWords(value, CharsetCode);
        break;
    case Field::Organization:
        Organization = DecodeHeaderWords(value, CharsetCode);
        break;
    case Field::To:
        AppendAddresses(value, CharsetCode, ToList);
        break;
    case Field::Cc:
        AppendAddresses(value, CharsetCode, CCList);
        break;
    case Field::Date:
        Date = ParseMailDate(value);
        break;
    case Field::ReplyTo:
        ReplyTo = DecodeHeaderWords(value, CharsetCode);
        break;
    case Field::MessageID:
        MessageID = ExtractAddress(value);
        break;
    case Field::Priority:
        FPriority = ParsePriority(line);
        break;
    case Field::XPriority:
        FXPriority = ParsePriority(line);
        break;
    case Field::MsMailPriority:
        FMsMailPriority = ParsePriority(line);
        break;
    case Field::ContentHeader:
        break;
    }
    return true;
}

void TMessHeader::ParseHeaderLines(const maildig::Lines& lines) {
    Reset();
    FPriority = FXPriority = FMsMailPriority = TMessPriority::MP_unknown;
    std::size_t i = 0;
    while (i < lines.size()) {
        UnfoldHeaderLineInto(lines, i, FLine);
        if (FLine.empty()) break;
        if (!ParseHeaderLine(FLine)) CustomHeaders.push_back(FLine);
    }
    if (FLine.capacity() > kKeptLine) std::string().swap(FLine);
    if (FPriority != TMessPriority::MP_unknown)
        Priority = FPriority;
    else if (FXPriority != TMessPriority::MP_unknown)
        Priority = FXPriority;
    else
        Priority = FMsMailPriority;
}

TMimeMess::TMimeMess() : TMimeMess(std::make_unique<TMessHeader>()) {}

TMimeMess::TMimeMess(std::unique_ptr<TMessHeader> header)
    : FMessagePart(std::make_unique<TMimePart>()), FHeader(std::move(header)) {
    if (!FHeader) FHeader = std::make_unique<TMessHeader>();
}

TMimeMess::~TMimeMess() = default;

void TMimeMess::Reset() {
    FMessagePart->Reset();
    FLines.clear();
    FHeader->Reset();
}

void TMimeMess::ParseMessage() {
    FHeader->Reset();
    FHeader->ParseHeaderLines(FLines);
    FMessagePart->Lines.ShareAll(FLines);
    FMessagePart->SplitParts();
}

} // namespace maildig
