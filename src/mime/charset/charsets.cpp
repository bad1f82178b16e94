// Charset identification: the classification sets, the alias table, names, code pages and the charset of
// the user's locale.
#include "mime/charset/charsets.h"

#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "bytes/ascii.h"
#include "mime/charset/charset_tables.h"

namespace maildig {

bool IsTwoByteCharset(TMimeChar charset) {
    return charset == UCS_2 || charset == UCS_2LE || charset == UTF_7 || charset == UTF_7mod;
}

bool IsFourByteCharset(TMimeChar charset) {
    return charset == UCS_4 || charset == UCS_4LE || charset == UTF_8;
}

bool IsLittleEndianCharset(TMimeChar charset) {
    return charset == UCS_2LE || charset == UCS_4LE;
}

const TIconvArr IconvArr = {{
    {ISO_8859_1,
     "ISO-8859-1 CP819 IBM819 ISO-IR-100 ISO8859-1 ISO_8859-1 ISO_8859-1:1987 L1 LATIN1 CSISOLATIN1"},
    {UTF_8, "UTF-8"},
    {UCS_2, "ISO-10646-UCS-2 UCS-2 CSUNICODE"},
    {UCS_2, "UCS-2BE UNICODE-1-1 UNICODEBIG CSUNICODE11"},
    {UCS_2LE, "UCS-2LE UNICODELITTLE"},
    {UCS_4, "ISO-10646-UCS-4 UCS-4 CSUCS4"},
    {UCS_4, "UCS-4BE"},
    {UCS_4LE, "UCS-4LE"},
    {UTF_16, "UTF-16"},
    {UTF_16, "UTF-16BE"},
    {UTF_16LE, "UTF-16LE"},
    {UTF_32, "UTF-32"},
    {UTF_32, "UTF-32BE"},
    {UTF_32LE, "UTF-32LE"},
    {UTF_7, "UNICODE-1-1-UTF-7 UTF-7 CSUNICODE11UTF7"},
    {C99, "C99"},
    {JAVA, "JAVA"},
    {ISO_8859_1,
     "US-ASCII ANSI_X3.4-1968 ANSI_X3.4-1986 ASCII CP367 IBM367 ISO-IR-6 ISO646-US ISO_646.IRV:1991 US "
     "CSASCII"},
    {ISO_8859_2, "ISO-8859-2 ISO-IR-101 ISO8859-2 ISO_8859-2 ISO_8859-2:1987 L2 LATIN2 CSISOLATIN2"},
    {ISO_8859_3, "ISO-8859-3 ISO-IR-109 ISO8859-3 ISO_8859-3 ISO_8859-3:1988 L3 LATIN3 CSISOLATIN3"},
    {ISO_8859_4, "ISO-8859-4 ISO-IR-110 ISO8859-4 ISO_8859-4 ISO_8859-4:1988 L4 LATIN4 CSISOLATIN4"},
    {ISO_8859_5, "ISO-8859-5 CYRILLIC ISO-IR-144 ISO8859-5 ISO_8859-5 ISO_8859-5:1988 CSISOLATINCYRILLIC"},
    {ISO_8859_6, "ISO-8859-6 ARABIC ASMO-708 ECMA-114 ISO-IR-127 ISO8859-6 ISO_8859-6 ISO_8859-6:1987 "
                 "CSISOLATINARABIC"},
    {ISO_8859_7, "ISO-8859-7 ECMA-118 ELOT_928 GREEK GREEK8 ISO-IR-126 ISO8859-7 ISO_8859-7 ISO_8859-7:1987 "
                 "CSISOLATINGREEK"},
    {ISO_8859_8,
     "ISO-8859-8 HEBREW ISO_8859-8 ISO-IR-138 ISO8859-8 ISO_8859-8:1988 CSISOLATINHEBREW ISO-8859-8-I"},
    {ISO_8859_9, "ISO-8859-9 ISO-IR-148 ISO8859-9 ISO_8859-9 ISO_8859-9:1989 L5 LATIN5 CSISOLATIN5"},
    {ISO_8859_10, "ISO-8859-10 ISO-IR-157 ISO8859-10 ISO_8859-10 ISO_8859-10:1992 L6 LATIN6 CSISOLATIN6"},
    {ISO_8859_13, "ISO-8859-13 ISO-IR-179 ISO8859-13 ISO_8859-13 L7 LATIN7"},
    {ISO_8859_14, "ISO-8859-14 ISO-CELTIC ISO-IR-199 ISO8859-14 ISO_8859-14 ISO_8859-14:1998 L8 LATIN8"},
    {ISO_8859_15, "ISO-8859-15 ISO-IR-203 ISO8859-15 ISO_8859-15 ISO_8859-15:1998"},
    {ISO_8859_16, "ISO-8859-16 ISO-IR-226 ISO8859-16 ISO_8859-16 ISO_8859-16:2000"},
    {KOI8_R, "KOI8-R CSKOI8R"},
    {KOI8_U, "KOI8-U"},
    {KOI8_RU, "KOI8-RU"},
    {CP1250, "WINDOWS-1250 CP1250 MS-EE"},
    {CP1251, "WINDOWS-1251 CP1251 MS-CYRL"},
    {CP1252, "WINDOWS-1252 CP1252 MS-ANSI"},
    {CP1253, "WINDOWS-1253 CP1253 MS-GREEK"},
    {CP1254, "WINDOWS-1254 CP1254 MS-TURK"},
    {CP1255, "WINDOWS-1255 CP1255 MS-HEBR"},
    {CP1256, "WINDOWS-1256 CP1256 MS-ARAB"},
    {CP1257, "WINDOWS-1257 CP1257 WINBALTRIM"},
    {CP1258, "WINDOWS-1258 CP1258"},
    {ISO_8859_1, "850 CP850 IBM850 CSPC850MULTILINGUAL"},
    {CP862, "862 CP862 IBM862 CSPC862LATINHEBREW"},
    {CP866, "866 CP866 IBM866 CSIBM866"},
    {MAC, "MAC MACINTOSH MACROMAN CSMACINTOSH"},
    {MACCE, "MACCENTRALEUROPE"},
    {MACICE, "MACICELAND"},
    {MACCRO, "MACCROATIAN"},
    {MACRO, "MACROMANIA"},
    {MACCYR, "MACCYRILLIC"},
    {MACUK, "MACUKRAINE"},
    {MACGR, "MACGREEK"},
    {MACTU, "MACTURKISH"},
    {MACHEB, "MACHEBREW"},
    {MACAR, "MACARABIC"},
    {MACTH, "MACTHAI"},
    {ROMAN8, "HP-ROMAN8 R8 ROMAN8 CSHPROMAN8"},
    {NEXTSTEP, "NEXTSTEP"},
    {ARMASCII, "ARMSCII-8"},
    {GEORGIAN_AC, "GEORGIAN-ACADEMY"},
    {GEORGIAN_PS, "GEORGIAN-PS"},
    {KOI8_T, "KOI8-T"},
    {MULELAO, "MULELAO-1"},
    {CP1133, "CP1133 IBM-CP1133"},
    {TIS620, "TIS-620 ISO-IR-166 TIS620 TIS620-0 TIS620.2529-1 TIS620.2533-0 TIS620.2533-1"},
    {CP874, "CP874 WINDOWS-874"},
    {VISCII, "VISCII VISCII1.1-1 CSVISCII"},
    {TCVN, "TCVN TCVN-5712 TCVN5712-1 TCVN5712-1:1993"},
    {ISO_IR_14, "ISO-IR-14 ISO646-JP JIS_C6220-1969-RO JP CSISO14JISC6220RO"},
    {JIS_X0201, "JISX0201-1976 JIS_X0201 X0201 CSHALFWIDTHKATAKANA"},
    {JIS_X0208,
     "ISO-IR-87 JIS0208 JIS_C6226-1983 JIS_X0208 JIS_X0208-1983 JIS_X0208-1990 X0208 CSISO87JISX0208"},
    {JIS_X0212, "ISO-IR-159 JIS_X0212 JIS_X0212-1990 JIS_X0212.1990-0 X0212 CSISO159JISX02121990"},
    {GB1988_80, "CN GB_1988-80 ISO-IR-57 ISO646-CN CSISO57GB1988"},
    {GB2312_80, "CHINESE GB_2312-80 ISO-IR-58 CSISO58GB231280"},
    {ISO_IR_165, "CN-GB-ISOIR165 ISO-IR-165"},
    {ISO_IR_149, "ISO-IR-149 KOREAN KSC_5601 KS_C_5601-1987 KS_C_5601-1989 CSKSC56011987"},
    {EUC_JP, "EUC-JP EUCJP EXTENDED_UNIX_CODE_PACKED_FORMAT_FOR_JAPANESE CSEUCPKDFMTJAPANESE"},
    {SHIFT_JIS, "SHIFT-JIS MS_KANJI SHIFT_JIS SJIS CSSHIFTJIS"},
    {CP932, "CP932"},
    {ISO_2022_JP, "ISO-2022-JP CSISO2022JP"},
    {ISO_2022_JP1, "ISO-2022-JP-1"},
    {ISO_2022_JP2, "ISO-2022-JP-2 CSISO2022JP2"},
    {GB2312, "CN-GB EUC-CN EUCCN GB2312 CSGB2312"},
    {CP936, "CP936 GBK"},
    {GB18030, "GB18030"},
    {ISO_2022_CN, "ISO-2022-CN CSISO2022CN"},
    {ISO_2022_CNE, "ISO-2022-CN-EXT"},
    {HZ, "HZ HZ-GB-2312"},
    {EUC_TW, "EUC-TW EUCTW CSEUCTW"},
    {BIG5, "BIG5 BIG-5 BIG-FIVE BIGFIVE CN-BIG5 CSBIG5"},
    {CP950, "CP950"},
    {BIG5_HKSCS, "BIG5-HKSCS BIG5HKSCS"},
    {EUC_KR, "EUC-KR EUCKR CSEUCKR"},
    {CP949, "CP949 UHC"},
    {CP1361, "CP1361 JOHAB"},
    {ISO_2022_KR, "ISO-2022-KR CSISO2022KR"},
    {ISO_8859_1, "437 CP437 IBM437 CSPC8CODEPAGE437"},
    {CP737, "CP737"},
    {CP775, "CP775 IBM775 CSPC775BALTIC"},
    {CP852, "852 CP852 IBM852 CSPCP852"},
    {CP853, "CP853"},
    {CP855, "855 CP855 IBM855 CSIBM855"},
    {CP857, "857 CP857 IBM857 CSIBM857"},
    {CP858, "CP858"},
    {CP860, "860 CP860 IBM860 CSIBM860"},
    {CP861, "861 CP-IS CP861 IBM861 CSIBM861"},
    {CP863, "863 CP863 IBM863 CSIBM863"},
    {CP864, "CP864 IBM864 CSIBM864"},
    {CP865, "865 CP865 IBM865 CSIBM865"},
    {CP869, "869 CP-GR CP869 IBM869 CSIBM869"},
    {CP1125, "CP1125"},
}};

namespace {

// True when name is one of the space-separated words of names.
bool ContainsWord(std::string_view names, std::string_view name) {
    if (name.empty() || name.size() > names.size()) return false;
    for (std::size_t pos = names.find(name); pos != std::string_view::npos; pos = names.find(name, pos + 1)) {
        const bool startsWord = pos == 0 || names[pos - 1] == ' ';
        const std::size_t end = pos + name.size();
        const bool endsWord = end == names.size() || names[end] == ' ';
        if (startsWord && endsWord) return true;
    }
    return false;
}

// The charset of a name looked up through the alias table.
TMimeChar LookUpCharsetName(std::string_view name) {
    const std::string upper = UpperAscii(name);
    if (upper.find("KAMENICKY") != std::string::npos || upper.find("895") != std::string::npos) return CP895;
    if (upper.find("MUTF-7") != std::string::npos) return UTF_7mod;
    for (const TIconvChar& row : IconvArr)
        if (ContainsWord(row.Names, upper)) return row.Charset;
    return ISO_8859_1;
}

// The last few names looked up and their charsets: the same few names come back in part after part and
// message after message. Names longer than a short string are looked up every time.
class TCharsetNameCache {
  public:
    TMimeChar Get(std::string_view name) {
        if (name.size() > kLongestName) return LookUpCharsetName(name);
        for (const TEntry& entry : entries_)
            if (entry.filled && entry.name == name) return entry.charset;
        TEntry& entry = entries_[next_];
        next_ = (next_ + 1) % entries_.size();
        entry.name = name;
        entry.charset = LookUpCharsetName(name);
        entry.filled = true;
        return entry.charset;
    }

  private:
    static constexpr std::size_t kLongestName = 15;
    struct TEntry {
        std::string name;
        TMimeChar charset = ISO_8859_1;
        bool filled = false;
    };
    std::array<TEntry, 8> entries_;
    std::size_t next_ = 0;
};

thread_local TCharsetNameCache charsetNames;

} // namespace

TMimeChar CharsetFromName(std::string_view name) {
    return charsetNames.Get(name);
}

std::string CharsetName(TMimeChar charset) {
    if (charset == CP895) return "CP-895";
    if (charset == UTF_7mod) return "mUTF-7";
    for (const TIconvChar& row : IconvArr)
        if (row.Charset == charset) return std::string(row.Names.substr(0, row.Names.find(' ')));
    return "ISO-8859-1";
}

TMimeChar CodePageToCharset(int codePage) {
    static constexpr std::pair<int, TMimeChar> kCodePages[] = {
        {0, UCS_2LE},         {437, ISO_8859_1},    {708, ISO_8859_6},     {737, CP737},
        {775, CP775},         {850, ISO_8859_1},    {852, CP852},          {855, CP855},
        {857, CP857},         {858, CP858},         {860, CP860},          {861, CP861},
        {862, CP862},         {863, CP863},         {864, CP864},          {865, CP865},
        {866, CP866},         {869, CP869},         {874, CP874},          {895, CP895},
        {932, CP932},         {936, CP936},         {949, CP949},          {950, CP950},
        {1200, UCS_2LE},      {1201, UCS_2},        {1250, CP1250},        {1251, CP1251},
        {1253, CP1253},       {1254, CP1254},       {1255, CP1255},        {1256, CP1256},
        {1257, CP1257},       {1258, CP1258},       {1361, CP1361},        {10000, MAC},
        {10004, MACAR},       {10005, MACHEB},      {10006, MACGR},        {10007, MACCYR},
        {10010, MACRO},       {10017, MACUK},       {10021, MACTH},        {10029, MACCE},
        {10079, MACICE},      {10081, MACTU},       {10082, MACCRO},       {12000, UCS_4LE},
        {12001, UCS_4},       {20127, ISO_8859_1},  {20866, KOI8_R},       {20932, JIS_X0208},
        {20936, GB2312},      {21866, KOI8_U},      {28591, ISO_8859_1},   {28592, ISO_8859_2},
        {28593, ISO_8859_3},  {28594, ISO_8859_4},  {28595, ISO_8859_5},   {28596, ISO_8859_6},
        {28597, ISO_8859_7},  {28598, ISO_8859_8},  {28599, ISO_8859_9},   {28605, ISO_8859_15},
        {38598, ISO_8859_8},  {50220, ISO_2022_JP}, {50221, ISO_2022_JP1}, {50222, ISO_2022_JP2},
        {50225, ISO_2022_KR}, {50227, ISO_2022_CN}, {50229, ISO_2022_CNE}, {51932, EUC_JP},
        {51936, GB2312},      {51949, EUC_KR},      {52936, HZ},           {54936, GB18030},
        {65000, UTF_7},       {65001, UTF_8},
    };
    for (const auto& [number, charset] : kCodePages)
        if (number == codePage) return charset;
    return CP1252;
}

int CodesetToCodePage(std::string_view codeset) {
    static constexpr std::pair<std::string_view, int> kCodesets[] = {
        {"UTF-8", 65001},       {"ANSI_X3.4-1968", 65001}, {"ISO-8859-1", 28591}, {"ISO-8859-2", 28592},
        {"ISO-8859-3", 28593},  {"ISO-8859-4", 28594},     {"ISO-8859-5", 28595}, {"ISO-8859-6", 28596},
        {"ISO-8859-7", 28597},  {"ISO-8859-8", 28598},     {"ISO-8859-9", 28599}, {"ISO-8859-13", 28603},
        {"ISO-8859-15", 28605}, {"KOI8-R", 20866},         {"KOI8-U", 21866},     {"CP1250", 1250},
        {"CP1251", 1251},       {"CP1252", 1252},          {"CP1253", 1253},      {"CP1254", 1254},
        {"CP1255", 1255},       {"CP1256", 1256},          {"CP1257", 1257},      {"CP1258", 1258},
        {"EUC-JP", 51932},      {"SHIFT_JIS", 932},        {"EUC-KR", 51949},     {"GB2312", 51936},
        {"GBK", 936},           {"GB18030", 54936},        {"BIG5", 950},         {"BIG5-HKSCS", 950},
        {"TIS-620", 874},
    };
    const std::string upper = UpperAscii(codeset);
    for (const auto& [name, number] : kCodesets)
        if (name == upper) return number;
    return -1;
}

TMimeChar SystemCharset() {
    // A private locale object reads the same environment as setlocale(LC_ALL, "") without changing the
    // process locale (which would change number formatting elsewhere). An unusable setting means "C".
    std::string codeset = "ANSI_X3.4-1968";
    if (locale_t locale = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr))) {
        if (const char* name = nl_langinfo_l(CODESET, locale)) codeset = name;
        freelocale(locale);
    }
    return CodePageToCharset(CodesetToCodePage(codeset));
}

const TUpperHalf& UpperHalfTable(TMimeChar charset) {
    for (const TCharsetTable& table : CharsetTables)
        if (table.Charset == charset) return table.Upper;
    return CharsetTables[0].Upper;
}

bool HasUpperHalfTable(TMimeChar charset) {
    return std::any_of(CharsetTables.begin(), CharsetTables.end(),
                       [charset](const TCharsetTable& table) { return table.Charset == charset; });
}

} // namespace maildig
