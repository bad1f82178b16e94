#include "mime/basic/mail_dates.h"

#include <langinfo.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <vector>

#include "bytes/text_scan.h"
#include "mime/basic/text_routines.h"

namespace maildig {

std::array<TMonthRow, 7> MonthNames = {{
    {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"},
    {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"},
    {"jan", "f\xE9v", "mar", "avr", "mai", "jun", "jul", "ao\xFB", "sep", "oct", "nov",
     "d\xE9"
     "c"},
    {"jan", "fev", "mar", "avr", "mai", "jun", "jul", "aou", "sep", "oct", "nov", "dec"},
    {"Jan", "Feb", "Mar", "Apr", "Mai", "Jun", "Jul", "Aug", "Sep", "Okt", "Nov", "Dez"},
    {"Jan", "Feb", "M\xE4r", "Apr", "Mai", "Jun", "Jul", "Aug", "Sep", "Okt", "Nov", "Dez"},
    {"Led", "\xDAno",
     "B\xF8"
     "e",
     "Dub", "Kv\xEC",
     "\xC8"
     "en",
     "\xC8"
     "ec",
     "Srp", "Z\xE1\xF8",
     "\xD8\xED"
     "j",
     "Lis", "Pro"},
}};
TMonthRow LocaleMonthNames = MonthNames[0];

namespace {

constexpr std::size_t npos = std::string_view::npos;

// Upper case for the 8-bit code pages of the month table: ASCII plus the accented letters 0xE0-0xFE (except
// the division sign), which map 0x20 down in both ISO-8859-1 and Windows-1250.
std::string MonthUpper(std::string_view s) {
    std::string r(s);
    for (char& c : r) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 'a' && u <= 'z')
            c = static_cast<char>(u - 32);
        else if (u >= 0xE0 && u <= 0xFE && u != 0xF7)
            c = static_cast<char>(u - 32);
    }
    return r;
}

// Upper-cased copies of every month name; rebuilt when the locale rows change.
std::array<std::vector<std::string>, 12> UpperMonthNames;

// No longer token can name a month.
std::size_t LongestMonthName = 3;

void BuildUpperMonthNames() {
    LongestMonthName = 0;
    for (int m = 0; m < 12; ++m) {
        auto& names = UpperMonthNames[m];
        names.clear();
        for (const auto& row : MonthNames)
            if (!row[m].empty()) names.push_back(MonthUpper(row[m]));
        if (!LocaleMonthNames[m].empty()) names.push_back(MonthUpper(LocaleMonthNames[m]));
        for (const auto& name : names)
            LongestMonthName = std::max(LongestMonthName, name.size());
    }
}

// Decimal integer with an optional sign, the whole text; false when it is not one or does not fit an int.
bool ParseInt(std::string_view s, long long& value) {
    const bool negative = !s.empty() && s[0] == '-';
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.remove_prefix(1);
    std::uint64_t v = 0;
    if (!ParseDigits(s, 10, 2147483647, v)) return false;
    value = negative ? -static_cast<long long>(v) : static_cast<long long>(v);
    return true;
}

struct TZoneNameRow {
    std::string_view name;
    int hours;
};
constexpr TZoneNameRow ZoneNames[] = {
    {"NZDT", 13}, {"IDLE", 12},  {"NZST", 12}, {"NZT", 12},   {"EADT", 11}, {"GST", 10},  {"JST", 9},
    {"CCT", 8},   {"WADT", 8},   {"WAST", 7},  {"ZP6", 6},    {"ZP5", 5},   {"ZP4", 4},   {"BT", 3},
    {"EET", 2},   {"MEST", 2},   {"MESZ", 2},  {"SST", 2},    {"FST", 2},   {"CEST", 2},  {"CET", 1},
    {"FWT", 1},   {"MET", 1},    {"MEWT", 1},  {"SWT", 1},    {"UT", 0},    {"UTC", 0},   {"GMT", 0},
    {"WET", 0},   {"WAT", -1},   {"BST", -1},  {"AT", -2},    {"ADT", -3},  {"AST", -4},  {"EDT", -4},
    {"EST", -5},  {"CDT", -5},   {"CST", -6},  {"MDT", -6},   {"MST", -7},  {"PDT", -7},  {"PST", -8},
    {"YDT", -8},  {"YST", -9},   {"HDT", -9},  {"AHST", -10}, {"CAT", -10}, {"HST", -10}, {"EAST", -10},
    {"NT", -11},  {"IDLW", -12},
};

enum class TZoneKind { none, offset, unchanged, local };

// Reads a zone token: a numeric offset, a short numeric token that changes nothing, "-0000" for local time,
// or a zone name.
TZoneKind ReadZone(std::string_view token, int& minutes) {
    if (!token.empty() && (token[0] == '+' || token[0] == '-')) {
        if (token == "-0000") return TZoneKind::local;
        if (token.size() <= 4) return TZoneKind::unchanged;
        long long h = 0, m = 0;
        if (!ParseInt(token.substr(1, 2), h)) h = 0;
        if (!ParseInt(token.substr(3, 2), m)) m = 0;
        const long long total = h * 60 + m;
        minutes = static_cast<int>(token[0] == '-' ? -total : total);
        return TZoneKind::offset;
    }
    // Every zone name begins with a letter.
    const char first = token.empty() ? '\0' : AsciiUpper(token[0]);
    if (token.size() > 4 || first < 'A' || first > 'Z') return TZoneKind::none;
    for (const auto& z : ZoneNames)
        if (EqualsAsciiNoCase(token, z.name)) {
            minutes = z.hours * 60;
            return TZoneKind::offset;
        }
    return TZoneKind::none;
}

// Seconds since midnight of "H:M" or "H:M:S", or -1.
long long SecondsFromText(std::string_view token) {
    const std::size_t last = token.rfind(':');
    if (last == npos) return -1;
    if (token.size() - last - 1 > 2) token = token.substr(0, last + 3);
    long long fields[3] = {0, 0, 0};
    int count = 0;
    std::size_t start = 0;
    while (true) {
        const std::size_t colon = token.find(':', start);
        const std::string_view part = token.substr(start, colon == npos ? npos : colon - start);
        std::uint64_t v = 0;
        if (count == 3 || part.size() > 2 || !ParseDigits(part, 10, 99, v)) return -1;
        fields[count++] = static_cast<long long>(v);
        if (colon == npos) break;
        start = colon + 1;
    }
    if (count < 2 || fields[0] > 23 || fields[1] > 59 || fields[2] > 59) return -1;
    return fields[0] * 3600 + fields[1] * 60 + fields[2];
}

// Days from 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long yoe = y - era * 400;
    const long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(long long z, long long& y, unsigned& m, unsigned& d) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = yoe + era * 400;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    d = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    y += m <= 2;
}

bool IsLeap(long long y) {
    return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
}

int DaysInMonth(long long y, int m) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : days[m - 1];
}

// 30 December 1899 counted from 1 January 1970.
constexpr long long DateTimeEpochDays = -25569;

} // namespace

int LocalZoneMinutesAt(std::time_t when) {
    std::tm tm{};
    if (localtime_r(&when, &tm) == nullptr) return LocalZoneMinutes();
    return static_cast<int>(tm.tm_gmtoff / 60);
}

int LocalZoneMinutes() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    if (localtime_r(&now, &tm) == nullptr) return 0;
    return static_cast<int>(tm.tm_gmtoff / 60);
}

bool ZoneToMinutes(std::string_view token, int& minutes) {
    switch (ReadZone(token, minutes)) {
    case TZoneKind::none:
        return false;
    case TZoneKind::local:
        minutes = LocalZoneMinutes();
        return true;
    default:
        return true;
    }
}

int MonthFromName(std::string_view token) {
    static const bool built = (BuildUpperMonthNames(), true);
    (void)built;
    if (token.empty() || token.size() > LongestMonthName) return 0;
    const std::string upper = MonthUpper(token);
    for (int m = 0; m < 12; ++m)
        for (const auto& name : UpperMonthNames[m])
            if (name == upper) return m + 1;
    return 0;
}

double TimeFromText(std::string_view token) {
    const long long seconds = SecondsFromText(token);
    return seconds < 0 ? -1.0 : static_cast<double>(seconds) / 86400.0;
}

TDateTime EncodeDateTime(long long year, int month, int day, int hour, int minute, int second) {
    const long long days =
        DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - DateTimeEpochDays;
    return static_cast<double>(days) + static_cast<double>(hour * 3600 + minute * 60 + second) / 86400.0;
}

bool DateTimeToTm(TDateTime value, std::tm& tm) {
    // Whole seconds must fit a long long and the year an int.
    if (!std::isfinite(value) || std::fabs(value) > 7.0e11) return false;
    const long long total = std::llround(value * 86400.0);
    long long days = total / 86400, secs = total % 86400;
    if (secs < 0) {
        secs += 86400;
        --days;
    }
    long long y = 0;
    unsigned m = 0, d = 0;
    const long long unixDays = days + DateTimeEpochDays;
    CivilFromDays(unixDays, y, m, d);
    if (y - 1900 > 2147483647LL || y - 1900 < -2147483647LL) return false;
    tm = std::tm{};
    tm.tm_year = static_cast<int>(y - 1900);
    tm.tm_mon = static_cast<int>(m) - 1;
    tm.tm_mday = static_cast<int>(d);
    tm.tm_hour = static_cast<int>(secs / 3600);
    tm.tm_min = static_cast<int>(secs / 60 % 60);
    tm.tm_sec = static_cast<int>(secs % 60);
    tm.tm_wday = static_cast<int>(((unixDays % 7) + 11) % 7); // 1 January 1970 was a Thursday
    tm.tm_yday = static_cast<int>(unixDays - DaysFromCivil(y, 1, 1));
    tm.tm_isdst = -1;
    return true;
}

TDateTime ParseMailDate(std::string_view text) {
    if (text.empty()) return 0;
    std::string normal = ReplaceAll(ReplaceAll(ReplaceAll(text, " -", " #"), "-", " "), " #", " -");
    for (char& c : normal)
        c = AsciiUpper(c);
    long long day = 0, month = 0, year = 0, seconds = 0;
    long long zone = 0;
    bool localZone = false;
    std::string_view rest = normal;
    while (!rest.empty()) {
        const std::string_view token = FetchTokenView(rest, " ");
        int minutes = 0;
        const TZoneKind kind = ReadZone(token, minutes);
        if (kind != TZoneKind::none) {
            if (kind == TZoneKind::offset) {
                zone = minutes;
                localZone = false;
            } else if (kind == TZoneKind::local) {
                zone = 0; // extra minutes on top of the local offset at the date (see "DST")
                localZone = true;
            }
            continue;
        }
        long long n = 0;
        if (!ParseInt(token, n)) n = 0;
        if (n > 0) {
            if (n < 32 && day == 0) {
                day = n;
                continue;
            }
            if (year == 0 && (month != 0 || n > 12)) {
                year = n;
                if (year < 32) year += 2000;
                if (year < 1000) year += 1900;
                continue;
            }
        }
        if (token.find(':') != npos) {
            const long long t = SecondsFromText(token);
            if (t >= 0) seconds = t;
            continue;
        }
        if (token == "DST") {
            zone += 60;
            continue;
        }
        if (month == 0) {
            const int m = MonthFromName(token);
            if (m != 0) month = m;
        }
    }
    if (year == 0) year = 1980;
    month = std::clamp<long long>(month, 1, 12);
    if (day == 0) day = 1;
    day = std::min<long long>(day, DaysInMonth(year, static_cast<int>(month)));

    const long long days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    long long local = 0;
    if (!localZone) {
        // The local offset in force at the message's own moment, daylight saving included.
        const long long utc = days * 86400 + seconds - zone * 60;
        local = LocalZoneMinutesAt(static_cast<std::time_t>(utc));
    }
    const long long shift = zone - local;
    const long long total = (days - DateTimeEpochDays) * 86400 + seconds - shift * 60;
    return static_cast<double>(total) / 86400.0;
}

void InitMonthNames() {
    std::setlocale(LC_ALL, "");
    static constexpr nl_item items[12] = {ABMON_1, ABMON_2, ABMON_3, ABMON_4,  ABMON_5,  ABMON_6,
                                          ABMON_7, ABMON_8, ABMON_9, ABMON_10, ABMON_11, ABMON_12};
    for (int m = 0; m < 12; ++m) {
        const char* name = nl_langinfo(items[m]);
        if (name != nullptr && *name != '\0') {
            MonthNames[0][m] = name;
            LocaleMonthNames[m] = name;
        }
    }
    BuildUpperMonthNames();
}

} // namespace maildig
