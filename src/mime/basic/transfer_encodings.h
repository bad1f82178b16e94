// Transfer encodings: quoted-printable and hex escapes, base64 in the standard and the comma alphabet, and
// the line-oriented UU and XX codings. Pure routines: each returns a new byte string (the Into forms replace
// the text of out instead, reusing its storage; text must not lie inside out) and never fails.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace maildig {

// 64 digit characters, then the pad character "=" as the 65th.
inline constexpr std::string_view Base64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
// As Base64Alphabet with "," in place of "/" (the alphabet of modified UTF-7 / IMAP names).
inline constexpr std::string_view Base64CommaAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,=";
// The backtick for 0, then the characters of codes 33 to 95.
inline constexpr std::string_view UUAlphabet =
    "`!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_";
inline constexpr std::string_view XXAlphabet =
    "+-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// Digit values for the character codes 33 to 127 (index = code - 33); 64 marks a character that is no digit.
using TReverseTable = std::array<unsigned char, 95>;
extern const TReverseTable Base64ReverseTable;

// Bytes of text with every escape + two hex digits replaced by its byte; escape + line break (LF, LF CR, CR,
// CR LF) is dropped; an escape without two hex digits after it passes through; a cut-off escape at the end is
// dropped.
std::string DecodeHexEscapes(std::string_view text, char escape);
// DecodeHexEscapes with "=".
std::string DecodeQuotedPrintable(std::string_view text);
void DecodeQuotedPrintableInto(std::string_view text, std::string& out);
// Groups of four alphabet characters to three bytes; a character outside the alphabet counts as 0, the
// alphabet's 65th character (or the end of the text) as padding that ends its group.
std::string DecodeQuads(std::string_view text, std::string_view alphabet);
// Digits looked up in table, everything else skipped anywhere in the text.
std::string DecodeQuadsByTable(std::string_view text, const TReverseTable& table);
void DecodeQuadsByTableInto(std::string_view text, const TReverseTable& table, std::string& out);
// Three bytes to four alphabet characters; padding is written only when the alphabet has a 65th character.
std::string EncodeTriads(std::string_view bytes, std::string_view alphabet);
std::string Base64Decode(std::string_view text);
void Base64DecodeInto(std::string_view text, std::string& out);
std::string Base64Encode(std::string_view bytes);
std::string Base64CommaDecode(std::string_view text);
std::string Base64CommaEncode(std::string_view bytes);
// One line of a UU or XX encoded body to its bytes; begin/end lines (UU: also table) give nothing.
std::string UUDecode(std::string_view line);
std::string XXDecode(std::string_view line);

} // namespace maildig
