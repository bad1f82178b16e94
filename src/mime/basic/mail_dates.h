// Mail dates and time zones: RFC 822 style dates turned into local date-times, zone names and offsets,
// the calendar arithmetic of the date-time scale and the locale's month-name table.
#pragma once

#include <array>
#include <ctime>
#include <string>
#include <string_view>

namespace maildig {

// Days since 30 December 1899; the time of day is the fraction (0.5 is noon). Earlier moments are negative
// and the scale is continuous: -0.25 is 29 December 1899, 18:00.
using TDateTime = double;

// Local date-time of an RFC 822 style date text, 0 for an empty text. Unreadable parts fall back to
// 1 January 1980, 00:00 UTC. The zone shift uses the local offset in force at that date.
TDateTime ParseMailDate(std::string_view text);
// True when token is a time zone ("+hhmm", "-hhmm" or a zone name); minutes then hold its offset east of UTC.
// A numeric token of four characters or fewer is accepted and leaves minutes unchanged; "-0000" means local
// time.
bool ZoneToMinutes(std::string_view token, int& minutes);
// Month 1-12 whose name in any row of the month table is token (case ignored), or 0.
int MonthFromName(std::string_view token);
// Time of day "H:M" or "H:M:S" as a fraction of a day; -1 when token is not such a time.
double TimeFromText(std::string_view token);
// Offset of local time from UTC now, in minutes, east positive, daylight saving included.
int LocalZoneMinutes();
// Offset of local time from UTC at the given Unix time, in minutes, east positive.
int LocalZoneMinutesAt(std::time_t when);

// Date-time of a calendar date and time (proleptic Gregorian calendar).
TDateTime EncodeDateTime(long long year, int month, int day, int hour = 0, int minute = 0, int second = 0);
// Calendar fields of a date-time, rounded to the second; false (and tm untouched) for a value too large to
// represent. tm_wday and tm_yday are filled, tm_isdst is -1.
bool DateTimeToTm(TDateTime value, std::tm& tm);

// The month-name table: row 0 the locale's names (English until InitMonthNames runs), rows 1-6 fixed English,
// French, German and Czech spellings in their 8-bit encodings; plus the extra list of the locale's names.
using TMonthRow = std::array<std::string, 12>;
extern std::array<TMonthRow, 7> MonthNames;
extern TMonthRow LocaleMonthNames;
// Start-up: select the user's locale (setlocale(LC_ALL, "")) and copy its abbreviated month names into row 0
// of the table and into the extra list.
void InitMonthNames();

} // namespace maildig
