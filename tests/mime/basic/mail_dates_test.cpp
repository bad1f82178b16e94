#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "mime/basic/mail_dates.h"
using namespace maildig;

namespace {

// Runs a test under a fixed time zone given as a POSIX TZ rule (no zone database needed).
class FixedZone {
  public:
    explicit FixedZone(const char* tz) {
        const char* old = std::getenv("TZ");
        hadOld_ = old != nullptr;
        if (hadOld_) old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~FixedZone() {
        if (hadOld_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

  private:
    bool hadOld_ = false;
    std::string old_;
};

constexpr const char* Berlin = "CET-1CEST,M3.5.0,M10.5.0/3";

std::string Show(TDateTime value) {
    std::tm tm{};
    if (!DateTimeToTm(value, tm)) return "unrepresentable";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04lld-%02d-%02d %02d:%02d:%02d",
                  static_cast<long long>(tm.tm_year) + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                  tm.tm_sec);
    return buf;
}

struct DateCase {
    const char* text;
    const char* expected;
};

TEST(ParseMailDate, ReadsDatesInUtc) {
    FixedZone zone("UTC0");
    const DateCase cases[] = {
        {"Mon, 7 Dec 2026 10:15:00 +0100", "2026-12-07 09:15:00"},
        {"7 Dec 26 10:15:00 GMT", "2026-12-07 10:15:00"},
        {"Tue, 31 Feb 1999 00:00:00 +0000", "1999-02-28 00:00:00"},
        {"29 Feb 2024 12:00:00 +0000", "2024-02-29 12:00:00"},
        {"31 Apr 2024", "2024-04-30 00:00:00"},
        // Hours and minutes without seconds.
        {"7 Dec 2026 10:15 GMT", "2026-12-07 10:15:00"},
        {"07-Dec-2026", "2026-12-07 00:00:00"},
        {"7 Dec", "1980-12-07 00:00:00"},
        {"nothing useful here", "1980-01-01 00:00:00"},
        {"7 Dec 2026 10:00:00 EST DST", "2026-12-07 14:00:00"},
        {"7 Dec 2026 10:00:00 EST", "2026-12-07 15:00:00"},
        {"7 Dec 2026 10:00:00 +05", "2026-12-07 10:00:00"},
        {"7 Dec 2026 10:00:00 -0530", "2026-12-07 15:30:00"},
        {"7 Dec 2026 23:30:00 -0100", "2026-12-08 00:30:00"},
        {"1 Jan 2026 00:30:00 +0100", "2025-12-31 23:30:00"},
        {"7 Dec 2026 10:15:00.123 GMT", "2026-12-07 10:15:00"},
        {"7 Dec 2026 25:00:00 GMT", "2026-12-07 00:00:00"},
        {"7 Dec 2026 10:00:00 11:30:00", "2026-12-07 11:30:00"},
        {"Mon,   7   Dec   2026", "2026-12-07 00:00:00"},
        {"1 Jan 99", "1999-01-01 00:00:00"},
        {"1 Jan 31", "2031-01-01 00:00:00"},
        {"1 Jan 100", "2000-01-01 00:00:00"},
        {"2026 Dec 7", "2026-12-07 00:00:00"},
        {"December 7 2026", "2026-01-07 00:00:00"}, // only abbreviations name a month
        {"7 dez 2026", "2026-12-07 00:00:00"},
        {"7 Dec 2026 10:00:00 -0000", "2026-12-07 10:00:00"},
        {"1 Jan 2000 00:00:00 gmt (comment)", "2000-01-01 00:00:00"},
        {"0 Jan 2000", "2000-01-01 00:00:00"},
        {"Jan 2000 7 8", "2000-01-07 00:00:00"},
        {"1 Jan 12345 10:00:00 GMT", "12345-01-01 10:00:00"},
        {"1 Jan 99999999999999999999 GMT", "1980-01-01 00:00:00"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Show(ParseMailDate(c.text)), c.expected) << c.text;
    EXPECT_EQ(ParseMailDate(""), 0.0);
}

TEST(ParseMailDate, UsesTheLocalOffsetInForceAtTheMessagesDate) {
    FixedZone zone(Berlin);
    const DateCase cases[] = {
        {"Wed, 1 Jul 2026 12:00:00 +0000", "2026-07-01 14:00:00"},
        {"Thu, 1 Jan 2026 12:00:00 +0000", "2026-01-01 13:00:00"},
        {"1 Jul 2026 12:00:00 +0200", "2026-07-01 12:00:00"},
        {"1 Jan 2026 12:00:00 -0500", "2026-01-01 18:00:00"},
        // Just before and after the spring change (01:00 UTC on the last Sunday of March).
        {"29 Mar 2026 00:59:00 GMT", "2026-03-29 01:59:00"},
        {"29 Mar 2026 01:00:00 GMT", "2026-03-29 03:00:00"},
        // "-0000": the time is local time already, in summer and in winter alike.
        {"1 Jul 2026 10:15:00 -0000", "2026-07-01 10:15:00"},
        {"1 Jan 2026 10:15:00 -0000", "2026-01-01 10:15:00"},
        {"1 Jan 2026 10:15:00 -0000 DST", "2026-01-01 09:15:00"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Show(ParseMailDate(c.text)), c.expected) << c.text;
}

TEST(ParseMailDate, HugeYearsAndLongTextsDoNotFail) {
    FixedZone zone("UTC0");
    const TDateTime far = ParseMailDate("1 Jan 2147483647 23:59:59 +1400");
    EXPECT_TRUE(std::isfinite(far));
    EXPECT_GT(far, EncodeDateTime(9999, 12, 31));
    std::string junk;
    for (int i = 0; i < 50000; ++i)
        junk += "DST xx 1:2:3 -0000 ";
    EXPECT_TRUE(std::isfinite(ParseMailDate(junk)));
    EXPECT_TRUE(std::isfinite(ParseMailDate(std::string(1 << 20, '-'))));
    EXPECT_TRUE(std::isfinite(ParseMailDate(std::string(1 << 20, ':'))));
}

TEST(ZoneToMinutes, NumericZonesAndZoneNames) {
    FixedZone zone("<+0530>-5:30");
    const struct {
        const char* token;
        bool accepted;
        int minutes;
    } cases[] = {
        {"+0530", true, 330}, {"-0800", true, -480}, {"+05", true, 7},     {"-1", true, 7},
        {"XYZ", false, 7},    {"GMT", true, 0},      {"gmt", true, 0},     {"NZDT", true, 780},
        {"IDLW", true, -720}, {"EST", true, -300},   {"-0000", true, 330}, {"+ab12", true, 12},
        {"", false, 7},       {"CETX", false, 7},    {"cEsT", true, 120},  {"CES", false, 7},
    };
    for (const auto& c : cases) {
        int minutes = 7;
        EXPECT_EQ(ZoneToMinutes(c.token, minutes), c.accepted) << c.token;
        EXPECT_EQ(minutes, c.minutes) << c.token;
    }
}

TEST(MonthFromName, MatchesEveryRowIgnoringCase) {
    const struct {
        std::string token;
        int month;
    } cases[] = {
        {"dez", 12},
        {"SEPT", 0},
        {"sep", 9},
        {"Jan", 1},
        {"may", 5},
        {"MAI", 5},
        {"okt", 10},
        {"f\xE9v", 2},
        {"F\xC9V", 2},
        {"fev", 2},
        {"ao\xFB", 8},
        {"m\xE4r", 3},
        {"M\xC4R", 3},
        {"b\xF8"
         "e",
         3},
        {"\xDAno", 2},
        {"\xFAno", 2},
        {"\xE8"
         "ec",
         7},
        {"z\xE1\xF8", 9},
        {"\xD8\xCDJ", 10},
        {"", 0},
        {"Ja", 0},
        {"January", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MonthFromName(c.token), c.month) << c.token;
}

TEST(MonthFromName, LocaleNamesAreFilledAtStartUp) {
    setenv("LC_ALL", "C", 1);
    InitMonthNames();
    EXPECT_EQ(MonthNames[0][11], "Dec");
    EXPECT_EQ(LocaleMonthNames[0], "Jan");
    EXPECT_EQ(MonthFromName("oct"), 10);
}

TEST(TimeFromText, HoursMinutesAndOptionalSeconds) {
    const struct {
        const char* token;
        int seconds; // -1: not a time
    } cases[] = {
        {"10:15:00", 36900},
        {"10:15", 36900},
        {"10:15:00.5", 36900},
        {"1:2:3", 3723},
        {"23:59:59", 86399},
        {"00:00", 0},
        {"24:00:00", -1},
        {"10:60", -1},
        {"10:15:60", -1},
        {"10", -1},
        {"a:b", -1},
        {"10:15:00:00", -1},
        {":15", -1},
        {"10:", -1},
        {"100:15", -1},
        {"10:15:0", 36900},
        {"10:15:001", 36900},
        {"10:15:00+01", 36900},
        {"", -1},
    };
    for (const auto& c : cases) {
        const double expected = c.seconds < 0 ? -1.0 : c.seconds / 86400.0;
        EXPECT_DOUBLE_EQ(TimeFromText(c.token), expected) << c.token;
    }
}

TEST(LocalZoneMinutes, FollowsTheZoneRules) {
    {
        FixedZone zone("UTC0");
        EXPECT_EQ(LocalZoneMinutes(), 0);
    }
    {
        FixedZone zone("<-0330>3:30");
        EXPECT_EQ(LocalZoneMinutes(), -210);
    }
    FixedZone zone(Berlin);
    EXPECT_EQ(LocalZoneMinutesAt(1782907200), 120); // 1 July 2026 12:00 UTC
    EXPECT_EQ(LocalZoneMinutesAt(1767268800), 60);  // 1 January 2026 12:00 UTC
}

TEST(DateTime, EncodesAndDecodesAcrossTheEpoch) {
    EXPECT_DOUBLE_EQ(EncodeDateTime(1899, 12, 30), 0.0);
    EXPECT_DOUBLE_EQ(EncodeDateTime(1899, 12, 29, 18), -0.25);
    EXPECT_DOUBLE_EQ(EncodeDateTime(1900, 1, 1, 12), 2.5);
    EXPECT_EQ(Show(-0.25), "1899-12-29 18:00:00");
    EXPECT_EQ(Show(EncodeDateTime(2026, 12, 7, 10, 15, 59)), "2026-12-07 10:15:59");
    std::tm tm{};
    ASSERT_TRUE(DateTimeToTm(EncodeDateTime(2026, 12, 7), tm));
    EXPECT_EQ(tm.tm_wday, 1); // a Monday
    EXPECT_EQ(tm.tm_yday, 340);
    EXPECT_FALSE(DateTimeToTm(NAN, tm));
    EXPECT_FALSE(DateTimeToTm(1e300, tm));
}

} // namespace
