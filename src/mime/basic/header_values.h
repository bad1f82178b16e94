// Header values and dates: splitting and unquoting header values, named parameters, bare addresses, folded
// lines, and RFC 822 style dates turned into local date-times. Positions are 1-based where a result is a
// position.
#pragma once

#include <array>
#include <ctime>
#include <ostream>
#include <string>
#include <string_view>

#include "mime/basic/lines.h"

// Days since 30 December 1899; the time of day is the fraction (0.5 is noon). Earlier moments are negative
// and the scale is continuous: -0.25 is 29 December 1899, 18:00.
using TDateTime = double;

// Text of s before the first occurrence of separator; all of s when it does not occur (or is empty).
std::string TextBefore(std::string_view s, std::string_view separator);
// Text of s after the first occurrence of separator; all of s when it does not occur (or is empty).
std::string TextAfter(std::string_view s, std::string_view separator);
// 1-based position of the last occurrence of sub in s; 0 when there is none. An empty sub matches at
// length(s) + 1, the first start position of the backward walk.
std::size_t LastPos(std::string_view sub, std::string_view s);
// s with every occurrence of search replaced, left to right; replaced text is not scanned again.
std::string ReplaceAll(std::string_view s, std::string_view search, std::string_view replacement);
// s without leading and trailing spaces (character 32 only).
std::string TrimSpaces(std::string_view s);
// s without leading and trailing characters of code 32 or below; the right-only form trims the end alone.
std::string TrimGeneral(std::string_view s);
std::string TrimGeneralRight(std::string_view s);
// Copy of s with the ASCII letters a-z in upper case; every other byte kept.
std::string UpperAscii(std::string_view s);

// The same trims, as views into s (no copy).
std::string_view TrimGeneralView(std::string_view s);
std::string_view TrimGeneralRightView(std::string_view s);

// The token before the first separator, space-trimmed; s keeps the space-trimmed rest (empty when the
// separator does not occur). The string_view form advances the view instead of copying the rest, for loops
// over long values.
std::string FetchToken(std::string& s, std::string_view separator);
std::string FetchToken(std::string_view& s, std::string_view separator);
// The text before the first delimiter that is not inside quotes (the quotes stay, nothing is trimmed); the
// delimiter is removed and s keeps the rest. Without such a delimiter the whole of s is returned and s is
// emptied.
std::string FetchOutsideQuotes(std::string& s, std::string_view delimiter, char quote);
std::string FetchOutsideQuotes(std::string_view& s, std::string_view delimiter, char quote);
// s with its quoting removed: a doubled quote inside quotes stands for one quote ("a""b"c gives a"bc).
std::string Unquote(std::string_view s, char quote);
// Value of the parameter called name (ASCII case ignored) in a header value such as
// text/plain; charset="utf-8"; empty when absent.
std::string HeaderParameter(std::string_view value, std::string_view name);
// The bare address: the text between "<" and ">", trimmed; a value without brackets gives itself, trimmed.
std::string ExtractAddress(std::string_view value);
// The header line at index joined with its continuation lines; index moves past all of them. The last entry
// of the list is never taken as a continuation. An index past the end gives "" and moves index by one.
std::string UnfoldHeaderLine(const Lines& list, std::size_t& index);
// Two lower-case hexadecimal digits per byte.
std::string HexOfBytes(std::string_view s);
// Writes the bytes of s at the stream's current position.
void WriteTextToStream(std::ostream& stream, std::string_view s);

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
