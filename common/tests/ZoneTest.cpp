// The harness itself: every test process runs in the zone CTest chose for
// it, sees no TZ of its own, and gets the C run-time's local time from Wine.
#include "testsupport/TestSupport.h"

#include <cstdlib>
#include <ctime>

TEST(Harness, WindowsEnvironmentHasNoTz)
{
    EXPECT_EQ(0u, GetEnvironmentVariableA("TZ", nullptr, 0));
}

TEST(Harness, RuntimeLocalTimeFollowsTheSystemZone)
{
    TIME_ZONE_INFORMATION tz = {};
    GetTimeZoneInformation(&tz);
    time_t winter = 1073311435; // Mon 5 Jan 2004 14:03:55 UTC
    std::tm local = *std::localtime(&winter);
    int minutesEast = (local.tm_hour - 14) * 60 + (local.tm_min - 3);
    if (local.tm_mday != 5)
        minutesEast += (local.tm_mday > 5 ? 24 : -24) * 60;
    EXPECT_EQ(-tz.Bias, minutesEast);
}

TEST(Harness, LondonHasSummerTime)
{
    VARDEL_REQUIRE_ZONE("GMT Standard Time");
    time_t summer = 1089036000; // 5 Jul 2004 14:00:00 UTC
    std::tm local = *std::localtime(&summer);
    EXPECT_EQ(15, local.tm_hour);
    EXPECT_EQ(1, local.tm_isdst);
}
