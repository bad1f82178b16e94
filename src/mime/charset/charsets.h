// Character sets: the charset identifiers, their names and code pages, and the conversion of byte strings
// between charsets (iconv first, the built-in converters where iconv cannot serve), through UCS-2 big-endian.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace maildig {

// The charsets this program knows, numbered from 0 in this fixed order.
enum TMimeChar : int {
    ISO_8859_1,
    ISO_8859_2,
    ISO_8859_3,
    ISO_8859_4,
    ISO_8859_5,
    ISO_8859_6,
    ISO_8859_7,
    ISO_8859_8,
    ISO_8859_9,
    ISO_8859_10,
    ISO_8859_13,
    ISO_8859_14,
    ISO_8859_15,
    CP1250,
    CP1251,
    CP1252,
    CP1253,
    CP1254,
    CP1255,
    CP1256,
    CP1257,
    CP1258,
    KOI8_R,
    CP895,
    CP852,
    UCS_2,
    UCS_4,
    UTF_8,
    UTF_7,
    UTF_7mod,
    UCS_2LE,
    UCS_4LE,
    UTF_16,
    UTF_16LE,
    UTF_32,
    UTF_32LE,
    C99,
    JAVA,
    ISO_8859_16,
    KOI8_U,
    KOI8_RU,
    CP862,
    CP866,
    MAC,
    MACCE,
    MACICE,
    MACCRO,
    MACRO,
    MACCYR,
    MACUK,
    MACGR,
    MACTU,
    MACHEB,
    MACAR,
    MACTH,
    ROMAN8,
    NEXTSTEP,
    ARMASCII,
    GEORGIAN_AC,
    GEORGIAN_PS,
    KOI8_T,
    MULELAO,
    CP1133,
    TIS620,
    CP874,
    VISCII,
    TCVN,
    ISO_IR_14,
    JIS_X0201,
    JIS_X0208,
    JIS_X0212,
    GB1988_80,
    GB2312_80,
    ISO_IR_165,
    ISO_IR_149,
    EUC_JP,
    SHIFT_JIS,
    CP932,
    ISO_2022_JP,
    ISO_2022_JP1,
    ISO_2022_JP2,
    GB2312,
    CP936,
    GB18030,
    ISO_2022_CN,
    ISO_2022_CNE,
    HZ,
    EUC_TW,
    BIG5,
    CP950,
    BIG5_HKSCS,
    EUC_KR,
    CP949,
    CP1361,
    ISO_2022_KR,
    CP737,
    CP775,
    CP853,
    CP855,
    CP857,
    CP858,
    CP860,
    CP861,
    CP863,
    CP864,
    CP865,
    CP869,
    CP1125
};
inline constexpr int kMimeCharCount = CP1125 + 1;

// The classification used by the built-in converters. Two-byte units: UCS-2 in either byte order and both
// UTF-7 forms (decoded to and encoded from UCS-2); four-byte units: UCS-4 in either byte order and UTF-8
// (decoded to and encoded from UCS-4); little-endian units: UCS_2LE and UCS_4LE. Every other charset is
// converted one byte per character.
bool IsTwoByteCharset(TMimeChar charset);
bool IsFourByteCharset(TMimeChar charset);
bool IsLittleEndianCharset(TMimeChar charset);

// One row of the alias table: a charset and its upper-case names separated by single spaces, the first
// being the canonical one. A charset may have several rows; its first row gives its canonical name.
struct TIconvChar {
    TMimeChar Charset;
    std::string_view Names;
};
inline constexpr int kIconvArrRows = 113;
using TIconvArr = std::array<TIconvChar, kIconvArrRows>;
extern const TIconvArr IconvArr;

// Charset of a name as written in a header. The name is upper-cased but not trimmed: anything containing
// "KAMENICKY" or "895" is CP895, anything containing "MUTF-7" is UTF_7mod, otherwise the first alias row
// holding the name as a whole word decides; an unknown name gives ISO_8859_1.
TMimeChar CharsetFromName(std::string_view name);

// Canonical name of a charset ("CP-895" for CP895, "mUTF-7" for UTF_7mod, "ISO-8859-1" for a charset
// without an alias row).
std::string CharsetName(TMimeChar charset);

// Charset of a Windows code page number; unknown and negative numbers (1252 included) give CP1252.
TMimeChar CodePageToCharset(int codePage);

// Code page number of a locale codeset name as nl_langinfo(CODESET) reports it, -1 when there is none.
// UTF-8 and the plain ASCII codeset of the C/POSIX locale both give 65001 (UTF-8).
int CodesetToCodePage(std::string_view codeset);

// Charset of the user's locale (the codeset of the environment's LC_ALL / LC_CTYPE / LANG locale),
// through CodesetToCodePage and CodePageToCharset. The process locale is left untouched.
TMimeChar SystemCharset();

// Converts text from one charset to another with transliteration on. The entry point of the MIME code.
std::string ConvertBetweenCharsets(std::string_view text, TMimeChar from, TMimeChar to);
// The same into out (replacing its text, its storage reused); text must not lie inside out.
void ConvertBetweenCharsetsInto(std::string_view text, TMimeChar from, TMimeChar to, std::string& out);
// True when converting text from one charset to the other gives it back unchanged without looking it up:
// the charsets are equal, or the text is plain ASCII and both read ASCII bytes as ASCII.
bool ConversionKeepsText(std::string_view text, TMimeChar from, TMimeChar to);

// The two-stage conversion: text -> UCS-2BE (iconv, else ToUcs2) -> target (iconv, else FromUcs2).
// Between single-byte charsets without state (and from them to UTF-8) it runs once per byte value, and
// texts are converted through the resulting table with the same result. Equal charsets return the text
// unchanged. Characters that cannot be converted are dropped by iconv (transliterate off) or replaced by a
// look-alike or "?" (on); in the built-in converter they become "_" (on) or are dropped (off).
std::string ConvertCharsetCore(std::string_view text, TMimeChar from, TMimeChar to, bool transliterate);
void ConvertCharsetCoreInto(std::string_view text, TMimeChar from, TMimeChar to, bool transliterate,
                            std::string& out);
// The same conversion without the byte tables.
std::string ConvertThroughUcs2(std::string_view text, TMimeChar from, TMimeChar to, bool transliterate);

// Built-in converters. UCS-2 and UCS-4 here are big-endian unless the charset says otherwise.
// ToUcs2: text in any charset to UCS-2 (single-byte charsets through their table, ISO-8859-1 without one;
// values beyond 16 bits keep their low 16 bits). Byte-order marks (U+FEFF) are dropped; a reversed mark
// (U+FFFE) is dropped too and, in UCS-2/UCS-4 input, flips the byte order of the units after it. A unit
// cut off at the end reads as U+0000.
std::string ToUcs2(std::string_view text, TMimeChar from);
// FromUcs2: UCS-2 to any charset; for single-byte charsets the first table byte holding a character wins,
// and a character without one becomes "_" (transliterate) or is dropped. A trailing odd byte is ignored.
std::string FromUcs2(std::string_view ucs2, TMimeChar to, bool transliterate);
// UTF-8 to UCS-4 without validation: a lead byte gives its payload bits, every following continuation byte
// adds six (the low 32 bits are kept); overlong forms and surrogates pass. UCS-4 to standard UTF-8.
std::string Utf8ToUcs4(std::string_view text);
std::string Ucs4ToUtf8(std::string_view ucs4);
// UTF-7 ("+" shift, base64 with "/") or, with modified set, the mailbox-name form ("&" shift, "," for "/").
std::string Utf7ToUcs2(std::string_view text, bool modified);
std::string Ucs2ToUtf7(std::string_view ucs2, bool modified);

} // namespace maildig
