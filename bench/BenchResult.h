#pragma once
// One row of the benchmark table and the two ways it is printed: a text
// table for people and a JSON list for tools. Every figure is measured
// beside a baseline from the same process and run, so the ratio stays
// stable on a noisy machine while the absolute figures do not.

#include "BuildSettings.h"

#include <string>
#include <vector>

namespace VardelBench {

// How a row's ratio (ours / baseline) is judged.
enum class EGoal {
    AtMost,  // met when ratio <= limit
    AtLeast, // met when ratio >= limit
    Report,  // measured for information; never met or missed
};

struct CBenchResult {
    std::string measure; // names the unit, e.g. "enqueue median (us)"
    double ours = 0;
    double baseline = 0;
    EGoal goal = EGoal::Report;
    double limit = 0;

    // ours / baseline; NaN when either is missing or the baseline is 0.
    double Ratio() const;
    // "<= 1.5", ">= 0.8" or "report".
    std::string GoalText() const;
    // False for Report rows and for rows whose ratio is not a number.
    bool Met() const;
    bool Judged() const { return goal != EGoal::Report; }
};

CBenchResult Row(const std::string& measure, double ours, double baseline, EGoal goal = EGoal::Report,
                 double limit = 0);

// Columns: measure, ours, baseline, ratio, goal, met ("yes", "NO", "-").
std::string FormatTable(const std::vector<CBenchResult>& rows);

// A list of objects with the keys measure, ours, baseline, ratio, goal and
// met, one per line, ending in a line feed. A figure that is not a finite
// number is written as null, and so is met for a Report row.
std::string FormatJson(const std::vector<CBenchResult>& rows);

// Nearest-rank percentile (0 < p <= 100) of samples; NaN for no samples.
double Percentile(std::vector<double> samples, double p);
double Median(std::vector<double> samples);

} // namespace VardelBench
