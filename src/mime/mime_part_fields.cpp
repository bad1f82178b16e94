// The content fields of a MIME part: the coded media type, transfer encoding and charset, and their
// reading from the part's Content-* header lines.
#include "mime/mime_part.h"

#include "bytes/ascii.h"
#include "mime/basic/header_values.h"
#include "mime/basic/text_routines.h"
#include "mime/encoded_words.h"

namespace maildig {

namespace {

template <class TCode> struct TPrefixCode {
    std::string_view prefix;
    TCode code;
};

constexpr TPrefixCode<TMimePrimary> kPrimaries[] = {
    {"TEXT", MP_TEXT}, {"MULTIPART", MP_MULTIPART}, {"MESSAGE", MP_MESSAGE}};
constexpr TPrefixCode<TMimeEncoding> kEncodings[] = {{"8BIT", ME_8BIT},
                                                     {"QUOTED-PRINTABLE", ME_QUOTED_PRINTABLE},
                                                     {"BASE64", ME_BASE64},
                                                     {"X-UU", ME_UU},
                                                     {"X-XX", ME_XX}};

// The code of the first row whose prefix value begins with (ASCII case ignored), else otherwise.
template <class TCode, std::size_t N>
TCode CodeByPrefix(std::string_view value, const TPrefixCode<TCode> (&table)[N], TCode otherwise) {
    for (const auto& row : table)
        if (StartsWithNoCase(value, row.prefix)) return row.code;
    return otherwise;
}

} // namespace

void TMimePart::SetPrimary(std::string_view value) {
    FPrimary = value;
    FPrimaryCode = CodeByPrefix(value, kPrimaries, MP_BINARY);
}

void TMimePart::SetEncoding(std::string_view value) {
    FEncoding = value;
    FEncodingCode = CodeByPrefix(value, kEncodings, ME_7BIT);
}

void TMimePart::SetCharset(std::string_view value) {
    if (value.empty()) return;
    FCharset = value;
    FCharsetCode = CharsetFromName(value);
}

void TMimePart::ReadPartHeaders() {
    SetPrimary("text");
    Secondary = "plain";
    SetCharset(DefaultCharset);
    SetEncoding("8BIT");
    Description.clear();
    FileName.clear();
    Disposition.clear();
    ContentID.clear();
    std::string dispositionName;

    for (const std::string& line : Headers) {
        // Every field read here is a Content-* field.
        if (line.empty() || AsciiUpper(line[0]) != 'C') continue;
        if (StartsWithNoCase(line, "CONTENT-TYPE:")) {
            // The media type, for example TEXT/PLAIN.
            const std::string t = UpperAscii(TrimGeneralView(TextBeforeView(TextAfterView(line, ":"), ";")));
            SetPrimary(TrimGeneralView(TextBeforeView(t, "/")));
            Secondary = TrimGeneralView(TextAfterView(t, "/"));
            if (Secondary == FPrimary && t.find('/') == std::string::npos) Secondary.clear();
            switch (FPrimaryCode) {
            case MP_TEXT:
                SetCharset(UpperAscii(HeaderParameter(line, "charset")));
                FileName = HeaderParameter(line, "name");
                break;
            case MP_MULTIPART:
                Boundary = HeaderParameter(line, "Boundary");
                break;
            case MP_MESSAGE:
                break;
            case MP_BINARY:
                FileName = HeaderParameter(line, "name");
                break;
            }
        }
        if (StartsWithNoCase(line, "CONTENT-TRANSFER-ENCODING:"))
            SetEncoding(UpperAscii(TrimGeneralView(TextAfterView(line, ":"))));
        if (StartsWithNoCase(line, "CONTENT-DESCRIPTION:"))
            Description = TrimGeneralView(TextAfterView(line, ":"));
        if (StartsWithNoCase(line, "CONTENT-DISPOSITION:")) {
            Disposition = UpperAscii(TrimGeneralView(TextBeforeView(TextAfterView(line, ":"), ";")));
            dispositionName = HeaderParameter(line, "FileName");
        }
        if (StartsWithNoCase(line, "CONTENT-ID:")) ContentID = TrimGeneralView(TextAfterView(line, ":"));
    }

    if (!dispositionName.empty()) FileName = dispositionName;
    FileName = DecodeHeaderWords(FileName, TargetCharset);
    const std::size_t lastSep = FileName.find_last_of("\\/:");
    if (lastSep != std::string::npos) FileName.erase(0, lastSep + 1);
}

} // namespace maildig
