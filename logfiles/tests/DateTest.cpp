// CDate in whatever zone the run chose; the London cases need that zone.
#include "Date.h"

#include "testsupport/TestSupport.h"

#include <climits>
#include <cstdio>
#include <stdexcept>

namespace {

// The instant of a local wall-clock time, daylight saving decided by the
// run-time.
std::time_t LocalInstant(int day, int month, int year, int hour, int minute)
{
    std::tm fields = {};
    fields.tm_mday = day;
    fields.tm_mon = month - 1;
    fields.tm_year = year - 1900;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_isdst = -1;
    return std::mktime(&fields);
}

CDate FromTime(std::time_t time)
{
    CDate date(1, 1, 2000);
    date.SetTime(time);
    return date;
}

CDate Minus(CDate date, std::int32_t days)
{
    return date.SubtractDays(days);
}

} // namespace

TEST(Date, SameDayIsEqualWhateverTheTimeOfDay)
{
    // Summer and winter days, and the days daylight saving starts and ends
    // in Europe and North America, in 2004 and past January 2038.
    const int days[][3] = {{5, 1, 2004},  {5, 7, 2004},  {28, 3, 2004}, {31, 10, 2004}, {14, 3, 2004},
                           {7, 11, 2004}, {19, 1, 2038}, {20, 1, 2038}, {1, 3, 2039},   {27, 3, 2039},
                           {13, 3, 2039}, {1, 7, 2100},  {6, 2, 2106}};
    for (const auto& d : days) {
        const CDate built(d[0], d[1], d[2]);
        EXPECT_EQ(built, FromTime(LocalInstant(d[0], d[1], d[2], 0, 30))) << d[0] << "." << d[1];
        EXPECT_EQ(built, FromTime(LocalInstant(d[0], d[1], d[2], 12, 0))) << d[0] << "." << d[1];
        EXPECT_EQ(built, FromTime(LocalInstant(d[0], d[1], d[2], 23, 30))) << d[0] << "." << d[1];
        EXPECT_LT(CDate(d[0] - 1, d[1], d[2]), built);
        EXPECT_GT(CDate(d[0] + 1, d[1], d[2]), built);
    }
}

TEST(Date, SameDayInLondonAroundTheClockChanges)
{
    VARDEL_REQUIRE_ZONE("GMT Standard Time");
    EXPECT_EQ(CDate(28, 3, 2004), FromTime(1080433800)); // 00:30 GMT, before the change
    EXPECT_EQ(CDate(28, 3, 2004), FromTime(1080513000)); // 23:30 BST
    EXPECT_EQ(CDate(31, 10, 2004), FromTime(1099179000)); // 00:30 BST
    EXPECT_EQ(CDate(31, 10, 2004), FromTime(1099265400)); // 23:30 GMT
    EXPECT_EQ(CDate(5, 7, 2004), FromTime(1088983800)); // 00:30 BST, before the day's value reads 01:00
    EXPECT_EQ(CDate(4, 7, 2004), FromTime(1088983799 - 1800)); // 23:59:59 BST the day before
}

TEST(Date, SubtractDaysAcrossMonthAndYear)
{
    EXPECT_EQ(CDate(28, 2, 2004), Minus(CDate(1, 3, 2004), 2));
    EXPECT_EQ(CDate(30, 12, 2003), Minus(CDate(1, 1, 2004), 2));
    EXPECT_EQ(CDate(1, 3, 2004), Minus(CDate(28, 2, 2004), -2));
    EXPECT_EQ(CDate(10, 1, 2004), Minus(CDate(10, 1, 2004), 0));
    CDate date(10, 1, 2004);
    EXPECT_EQ(&date, &date.SubtractDays(1));
    EXPECT_EQ(CDate(9, 1, 2004), date);
}

TEST(Date, SubtractDaysAcrossLondonClockChanges)
{
    VARDEL_REQUIRE_ZONE("GMT Standard Time");
    EXPECT_EQ(CDate(27, 3, 2004), Minus(CDate(29, 3, 2004), 2));
    EXPECT_EQ(CDate(29, 3, 2004), Minus(CDate(27, 3, 2004), -2));
    EXPECT_EQ(CDate(30, 10, 2004), Minus(CDate(1, 11, 2004), 2));
    EXPECT_EQ(CDate(1, 11, 2004), Minus(CDate(30, 10, 2004), -2));
    EXPECT_EQ(CDate(5, 1, 2004), Minus(CDate(5, 7, 2004), 182));
}

// Every day of a year, so each zone's own clock changes are crossed.
TEST(Date, SubtractDaysMatchesTheDirectlyBuiltDayAllYear)
{
    for (int day = 1; day <= 366; ++day) {
        const CDate target(day, 1, 2004);
        ASSERT_EQ(target, Minus(CDate(day + 2, 1, 2004), 2)) << "day " << day;
        ASSERT_EQ(target, Minus(CDate(day - 40, 1, 2004), -40)) << "day " << day;
    }
}

TEST(Date, OutOfRangeFieldsAreNormalised)
{
    EXPECT_EQ(CDate(31, 12, 2003), CDate(0, 1, 2004));
    EXPECT_EQ(CDate(1, 1, 2005), CDate(1, 13, 2004));
    EXPECT_EQ(CDate(1, 2, 2004), CDate(32, 1, 2004));
    EXPECT_EQ(CDate(30, 11, 2003), CDate(0, 0, 2004));
    EXPECT_EQ(CDate(29, 2, 2004), CDate(0, 3, 2004));
}

TEST(Date, FormatExpandsTheThreePlaceholders)
{
    EXPECT_EQ("Log_2004_01_05.log", CDate(5, 1, 2004).Format("Log_%Y_%M_%D.log"));
    EXPECT_EQ("Log_2004_11_15.log", CDate(15, 11, 2004).Format("Log_%Y_%M_%D.log"));
    EXPECT_EQ("31.12.2003", CDate(0, 1, 2004).Format("%D.%M.%Y"));
    EXPECT_EQ("", CDate(5, 1, 2004).Format(""));
}

TEST(Date, FormatRejectsOtherPlaceholders)
{
    const char* patterns[] = {"%d", "Log_%y.log", "%%", "Log_%", "%Y%"};
    for (const char* pattern : patterns) {
        try {
            CDate(5, 1, 2004).Format(pattern);
            ADD_FAILURE() << pattern << " was accepted";
        } catch (const std::logic_error& e) {
            EXPECT_STREQ("", e.what()) << pattern;
        }
    }
}

// Every day a clock or a log file name can name has its own value in the
// order of days, before 1970 and past 19 January 2038 alike.
TEST(Date, DaysOutsideThe32BitCalendarAreDaysLikeAnyOther)
{
    const int days[][3] = {{1, 1, 1969},  {31, 12, 1969}, {1, 1, 1970},  {18, 1, 2038}, {19, 1, 2038},
                           {20, 1, 2038}, {1, 3, 2039},   {28, 2, 2100}, {1, 3, 2100},  {29, 2, 2104},
                           {7, 2, 2106},  {8, 2, 2106},   {31, 12, 9999}};
    for (std::size_t i = 0; i < sizeof days / sizeof days[0]; ++i) {
        const int* d = days[i];
        const CDate day(d[0], d[1], d[2]);
        char name[16];
        std::snprintf(name, sizeof name, "%d_%02d_%02d", d[2], d[1], d[0]);
        EXPECT_EQ(name, day.Format("%Y_%M_%D"));
        EXPECT_EQ(day, Minus(CDate(d[0] + 1, d[1], d[2]), 1)) << name;
        EXPECT_EQ(day, Minus(CDate(d[0] - 400, d[1], d[2]), -400)) << name;
        if (i > 0) {
            EXPECT_LT(CDate(days[i - 1][0], days[i - 1][1], days[i - 1][2]), day) << name;
        }
    }
    // 2100 is no leap year; the extremes of the fields still order.
    EXPECT_EQ(CDate(1, 3, 2100), CDate(29, 2, 2100));
    EXPECT_GT(CDate(INT_MAX, INT_MAX, INT_MAX), CDate(31, 12, 9999));
    EXPECT_LT(CDate(INT_MIN, INT_MIN, INT_MIN), CDate(1, 1, 0));
    EXPECT_LT(Minus(CDate(10, 1, 2004), INT32_MAX), CDate(1, 1, 0));
    EXPECT_GT(Minus(CDate(10, 1, 2004), INT32_MIN), CDate(31, 12, 9999));
}

TEST(Date, DefaultIsToday)
{
    const CDate before = FromTime(std::time(nullptr));
    const CDate today;
    const CDate after = FromTime(std::time(nullptr));
    EXPECT_TRUE(today == before || today == after);
}
