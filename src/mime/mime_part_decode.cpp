// Decoding the body of a MIME part: the transfer encoding, then for text parts the charset, whole into
// DecodedLines or split into lines.
#include "mime/mime_part.h"

#include <cstring>

#include "bytes/ascii.h"
#include "bytes/split_lines.h"
#include "mime/basic/transfer_encodings.h"
#include "mime/html_meta.h"

namespace maildig {

bool TMimePart::ConvertsCharset(const std::string& text) const {
    if (!ConvertCharset || FPrimaryCode != MP_TEXT) return false;
    // A conversion that leaves the text as it is needs no look for a declared charset either.
    if (ConversionKeepsText(text, FCharsetCode, TargetCharset)) return false;
    const bool html = EqualsAsciiNoCase(Secondary, "HTML");
    return ForcedHTMLConvert || !html || !DeclaresContentType(text);
}

void TMimePart::DecodeText(std::string& text) {
    text.clear();
    if (FEncodingCode == ME_UU || FEncodingCode == ME_XX) {
        for (const std::string_view line : PartBody)
            text += FEncodingCode == ME_UU ? UUDecode(line) : XXDecode(line);
    } else {
        // The body joined with CR LF after every line; decoded from FScratch unless it is plain.
        std::string& joined = IsPlainTransfer() ? text : FScratch;
        std::size_t size = 0;
        for (const std::string_view line : PartBody)
            size += line.size() + 2;
        joined.resize(size);
        char* put = joined.data();
        for (const std::string_view line : PartBody) {
            std::memcpy(put, line.data(), line.size());
            put += line.size();
            *put++ = '\r';
            *put++ = '\n';
        }
        if (FEncodingCode == ME_QUOTED_PRINTABLE)
            DecodeQuotedPrintableInto(joined, text);
        else if (FEncodingCode == ME_BASE64)
            Base64DecodeInto(joined, text);
    }
    if (ConvertsCharset(text)) {
        // Converted into FScratch, which then holds the text; the buffers trade places.
        ConvertBetweenCharsetsInto(text, FCharsetCode, TargetCharset, FScratch);
        text.swap(FScratch);
    }
    ReleaseIfLarge(FScratch);
}

void TMimePart::DecodeBody() {
    DecodeText(DecodedLines);
}

void TMimePart::DecodeBodyLines(maildig::Lines& lines) {
    DecodedLines.clear();
    // The strings a longer text needed last time are kept by the root and lent to lines again, so a
    // message whose text has more lines than the one before allocates no string for them either.
    LendSpareLines(lines);
    std::size_t count = 0;
    // A plain body whose bytes stay as they are: its lines are the decoded lines, but for line ends inside
    // a line. Conversion leaves the text alone when the charsets agree or the text is ASCII for both.
    bool direct = IsPlainTransfer();
    if (direct && ConvertCharset && FPrimaryCode == MP_TEXT)
        for (const std::string_view line : PartBody)
            if (!ConversionKeepsText(line, FCharsetCode, TargetCharset)) {
                direct = false;
                break;
            }
    if (direct) {
        for (const std::string_view line : PartBody)
            SplitLinesInto(line, lines, count, true);
    } else {
        DecodeText(DecodedLines);
        SplitLinesInto(DecodedLines, lines, count, false);
        DecodedLines.clear();
        ReleaseIfLarge(DecodedLines);
    }
    KeepSpareLines(lines, count);
    lines.resize(count);
}

} // namespace maildig
