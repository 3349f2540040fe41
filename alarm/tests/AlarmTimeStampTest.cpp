// The alarm time stamp in each zone the writer meets: the offset is that of
// the event's own instant, and counts of 2^31 and above are 2038 to 2106.
#include "AlarmRecord.h"
#include "TrevalonIAlarm.h"

#include "AlarmTestZones.h"
#include "testsupport/TestSupport.h"

namespace {

const std::uint32_t kExampleTime = 1299157509;  // 2011-03-03 13:05:09 UTC
const std::uint32_t kWinter = 1295092800;       // 2011-01-15 12:00:00 UTC
const std::uint32_t kSummer = 1309521600;       // 2011-07-01 12:00:00 UTC
const std::uint32_t kNewYearUtc = 1293850800;   // 2011-01-01 03:00:00 UTC
const std::uint32_t kEveUtc = 1293825600;       // 2010-12-31 20:00:00 UTC
const std::uint32_t kBeforeEuSwitch = 1301187599; // 2011-03-27 00:59:59 UTC
const std::uint32_t kAtEuSwitch = 1301187600;     // 2011-03-27 01:00:00 UTC
const std::uint32_t k2038 = 0x80000000u;          // 2038-01-19 03:14:08 UTC
const std::uint32_t kLast = 0xFFFFFFFFu;          // 2106-02-07 06:28:15 UTC
const std::uint32_t kSummer2039 = 2193134400u;    // 2039-07-01 12:00:00 UTC

} // namespace

TEST(AlarmTimeStamp, Utc)
{
    VARDEL_REQUIRE_ZONE(UTC_ZONE_NAME);
    EXPECT_EQ("1970-01-01T00:00:00+00:00", FormatAlarmTimeStamp(0));
    EXPECT_EQ("2011-03-03T13:05:09+00:00", FormatAlarmTimeStamp(kExampleTime));
    EXPECT_EQ("2011-07-01T12:00:00+00:00", FormatAlarmTimeStamp(kSummer));
    EXPECT_EQ("2038-01-19T03:14:07+00:00", FormatAlarmTimeStamp(0x7FFFFFFFu));
    EXPECT_EQ("2038-01-19T03:14:08+00:00", FormatAlarmTimeStamp(k2038));
    EXPECT_EQ("2106-02-07T06:28:15+00:00", FormatAlarmTimeStamp(kLast));
}

TEST(AlarmTimeStamp, LondonFollowsSummerTimeOfTheEventsDate)
{
    VARDEL_REQUIRE_ZONE("GMT Standard Time");
    EXPECT_EQ("2011-01-15T12:00:00+00:00", FormatAlarmTimeStamp(kWinter));
    EXPECT_EQ("2011-07-01T13:00:00+01:00", FormatAlarmTimeStamp(kSummer));
    EXPECT_EQ("2011-03-27T00:59:59+00:00", FormatAlarmTimeStamp(kBeforeEuSwitch));
    EXPECT_EQ("2011-03-27T02:00:00+01:00", FormatAlarmTimeStamp(kAtEuSwitch));
    EXPECT_EQ("2038-01-19T03:14:08+00:00", FormatAlarmTimeStamp(k2038));
    EXPECT_EQ("2039-07-01T13:00:00+01:00", FormatAlarmTimeStamp(kSummer2039));
}

TEST(AlarmTimeStamp, KolkataIsFiveAndAHalfHoursEast)
{
    VARDEL_REQUIRE_ZONE("India Standard Time");
    EXPECT_EQ("2011-03-03T18:35:09+05:30", FormatAlarmTimeStamp(kExampleTime));
    EXPECT_EQ("2011-07-01T17:30:00+05:30", FormatAlarmTimeStamp(kSummer));
    // Local time already in the next year.
    EXPECT_EQ("2011-01-01T01:30:00+05:30", FormatAlarmTimeStamp(kEveUtc));
    EXPECT_EQ("2106-02-07T11:58:15+05:30", FormatAlarmTimeStamp(kLast));
}

TEST(AlarmTimeStamp, NewYorkIsWestAndFollowsDaylightTime)
{
    VARDEL_REQUIRE_ZONE("Eastern Standard Time");
    EXPECT_EQ("2011-01-15T07:00:00-05:00", FormatAlarmTimeStamp(kWinter));
    EXPECT_EQ("2011-07-01T08:00:00-04:00", FormatAlarmTimeStamp(kSummer));
    // Local time still in the previous year.
    EXPECT_EQ("2010-12-31T22:00:00-05:00", FormatAlarmTimeStamp(kNewYearUtc));
    EXPECT_EQ("2038-01-18T22:14:08-05:00", FormatAlarmTimeStamp(k2038));
    EXPECT_EQ("2039-07-01T08:00:00-04:00", FormatAlarmTimeStamp(kSummer2039));
}

TEST(AlarmTimeStamp, CentralEuropeGivesTheExampleStamp)
{
    VARDEL_REQUIRE_ZONE(PARIS_ZONE_NAME);
    EXPECT_EQ("2011-03-03T14:05:09+01:00", FormatAlarmTimeStamp(kExampleTime));
    EXPECT_EQ("2011-03-27T01:59:59+01:00", FormatAlarmTimeStamp(kBeforeEuSwitch));
    EXPECT_EQ("2011-03-27T03:00:00+02:00", FormatAlarmTimeStamp(kAtEuSwitch));
    EXPECT_EQ("2039-07-01T14:00:00+02:00", FormatAlarmTimeStamp(kSummer2039));
}

// The record layout itself, independent of zone and machine: the example
// line, byte for byte, before the file's text mode adds the CR.
TEST(AlarmRecord, JoinsTheFieldsOfTheExample)
{
    CLogEvent event(3, 3, "Pump", "Pressure high", kExampleTime);
    EXPECT_EQ("2011-03-03T14:05:09+01:00(LAB-PC7) (Q1#) [ERROR] [Pump] Pressure high\n",
              Vardel::BuildAlarmRecord(event, "2011-03-03T14:05:09+01:00", "LAB-PC7", "Q1"));
}

TEST(AlarmRecord, EmptyFieldsLeaveTheirSeparators)
{
    CLogEvent event(4, 1, "", "", 0);
    EXPECT_EQ("() (#) [FATAL_ERROR] [] \n", Vardel::BuildAlarmRecord(event, "", "", ""));
}
