#include "LogEvent.h"

#include <gtest/gtest.h>

TEST(EventNames, TypeCodesRunFromOneToFour)
{
    EXPECT_EQ("INFORMATION", EventTypeName(1));
    EXPECT_EQ("WARNING", EventTypeName(2));
    EXPECT_EQ("ERROR", EventTypeName(3));
    EXPECT_EQ("FATAL_ERROR", EventTypeName(4));
    for (int other : {0, 5, -1, INT32_MIN, INT32_MAX})
        EXPECT_EQ("UNKNOWN_EVENT_TYPE", EventTypeName(other)) << other;
}

TEST(EventNames, LevelFourHasNoName)
{
    EXPECT_EQ("TRACE", EventLevelName(1));
    EXPECT_EQ("DEBUG", EventLevelName(2));
    EXPECT_EQ("RELEASE", EventLevelName(3));
    for (int other : {0, 4, 5, -1, INT32_MIN, INT32_MAX})
        EXPECT_EQ("UNKNOWN_LEVEL", EventLevelName(other)) << other;
}

TEST(EventNames, OnlyTypesThreeAndFourAreAlarms)
{
    EXPECT_TRUE(IsAlarmType(3));
    EXPECT_TRUE(IsAlarmType(4));
    for (int other : {0, 1, 2, 5, -1, INT32_MIN})
        EXPECT_FALSE(IsAlarmType(other)) << other;
}

TEST(LogEvent, ConstructorTakesSourceBeforeMessage)
{
    CLogEvent e(3, 2, "A", "B", 0);
    EXPECT_EQ(3, e.m_type);
    EXPECT_EQ(2, e.m_level);
    EXPECT_EQ("A", e.m_source);
    EXPECT_EQ("B", e.m_message);
    EXPECT_EQ(0u, e.m_time); // kept, never replaced by the clock

    CLogEvent empty(-7, INT32_MIN, "", "", 0xFFFFFFFFu);
    EXPECT_EQ(-7, empty.m_type);
    EXPECT_EQ(INT32_MIN, empty.m_level);
    EXPECT_TRUE(empty.m_source.empty());
    EXPECT_TRUE(empty.m_message.empty());
    EXPECT_EQ(0xFFFFFFFFu, empty.m_time);
}
