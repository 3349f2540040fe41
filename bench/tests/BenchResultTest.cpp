// The table and JSON rows: ratios, goal verdicts, exact output bytes, and
// the percentiles the enqueue figures rest on.
#include "BenchResult.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace VardelBench;

namespace {
const double NaN = std::numeric_limits<double>::quiet_NaN();
const double INF = std::numeric_limits<double>::infinity();
} // namespace

TEST(BenchResult, GoalsJudgeTheRatioInclusively)
{
    EXPECT_TRUE(Row("m", 3, 2, EGoal::AtMost, 1.5).Met());
    EXPECT_FALSE(Row("m", 3.0001, 2, EGoal::AtMost, 1.5).Met());
    EXPECT_TRUE(Row("m", 8, 10, EGoal::AtLeast, 0.8).Met());
    EXPECT_FALSE(Row("m", 7.9, 10, EGoal::AtLeast, 0.8).Met());

    const CBenchResult report = Row("m", 1, 1);
    EXPECT_FALSE(report.Judged());
    EXPECT_FALSE(report.Met());
    EXPECT_EQ("report", report.GoalText());
    EXPECT_EQ("<= 1.5", Row("m", 1, 1, EGoal::AtMost, 1.5).GoalText());
    EXPECT_EQ(">= 0.8", Row("m", 1, 1, EGoal::AtLeast, 0.8).GoalText());
}

TEST(BenchResult, MissingFiguresGiveNoRatioAndMissTheGoal)
{
    EXPECT_TRUE(std::isnan(Row("m", 1, 0).Ratio()));
    EXPECT_TRUE(std::isnan(Row("m", NaN, 2).Ratio()));
    EXPECT_TRUE(std::isnan(Row("m", 1, INF).Ratio()));
    // A benchmark that measured nothing must not pass an "at most" goal.
    EXPECT_FALSE(Row("m", NaN, 2, EGoal::AtMost, 1.5).Met());
    EXPECT_FALSE(Row("m", 0, 0, EGoal::AtLeast, 0.8).Met());
}

TEST(BenchResult, JsonIsAListOfObjectsWithTheSixKeys)
{
    const std::vector<CBenchResult> rows = {
        Row("enqueue median (us)", 12.5, 10, EGoal::AtMost, 1.5),
        Row("lines/s", 700, 1000, EGoal::AtLeast, 0.8),
        Row("lag \"ms\"\\\n", 1, 0),
    };
    EXPECT_EQ("[\n"
              "  {\"measure\": \"enqueue median (us)\", \"ours\": 12.5, \"baseline\": 10, \"ratio\": 1.25, "
              "\"goal\": \"<= 1.5\", \"met\": true},\n"
              "  {\"measure\": \"lines/s\", \"ours\": 700, \"baseline\": 1000, \"ratio\": 0.7, "
              "\"goal\": \">= 0.8\", \"met\": false},\n"
              "  {\"measure\": \"lag \\\"ms\\\"\\\\\\u000a\", \"ours\": 1, \"baseline\": 0, \"ratio\": null, "
              "\"goal\": \"report\", \"met\": null}\n"
              "]\n",
              FormatJson(rows));
    EXPECT_EQ("[]\n", FormatJson({}));
}

TEST(BenchResult, JsonWritesNonFiniteFiguresAsNull)
{
    EXPECT_EQ("[\n  {\"measure\": \"m\", \"ours\": null, \"baseline\": null, \"ratio\": null, "
              "\"goal\": \"<= 2\", \"met\": false}\n]\n",
              FormatJson({Row("m", NaN, INF, EGoal::AtMost, 2)}));
}

TEST(BenchResult, TableAlignsColumnsAndMarksMissedGoals)
{
    const std::vector<CBenchResult> rows = {
        Row("enqueue", 12.5, 10, EGoal::AtMost, 1.5),
        Row("writer lines/s", 7000, 10000, EGoal::AtLeast, 0.8),
        Row("lag", 3, 2),
    };
    EXPECT_EQ("measure         ours  baseline  ratio  goal    met\n"
              "--------------------------------------------------\n"
              "enqueue         12.5        10   1.25  <= 1.5  yes\n"
              "writer lines/s  7000     10000    0.7  >= 0.8  NO\n"
              "lag                3         2    1.5  report  -\n",
              FormatTable(rows));
}

TEST(Percentile, NearestRankOverUnsortedSamples)
{
    const std::vector<double> samples = {5, 1, 4, 2, 3};
    EXPECT_EQ(3, Median(samples));
    EXPECT_EQ(5, Percentile(samples, 99));
    EXPECT_EQ(5, Percentile(samples, 100));
    EXPECT_EQ(1, Percentile(samples, 20));
    EXPECT_EQ(2, Percentile(samples, 20.1));
    EXPECT_EQ(1, Percentile(samples, 0.001));
    EXPECT_EQ(7, Median({7}));
    EXPECT_TRUE(std::isnan(Median({})));
}

TEST(Percentile, NinetyNinthOfAHundredIsTheSecondLargest)
{
    std::vector<double> samples;
    for (int i = 100; i >= 1; --i)
        samples.push_back(i);
    EXPECT_EQ(99, Percentile(samples, 99));
    EXPECT_EQ(50, Median(samples));
}
