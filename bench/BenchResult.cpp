#include "BenchResult.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace VardelBench {

namespace {

const double NOT_A_NUMBER = std::numeric_limits<double>::quiet_NaN();

// Four significant digits is all a noisy machine supports; large figures
// keep their integer digits rather than turn into exponents.
std::string Figure(double value)
{
    if (!std::isfinite(value))
        return "-";
    char text[32];
    if (std::fabs(value) >= 1e4 && std::fabs(value) < 1e15)
        std::snprintf(text, sizeof text, "%.0f", value);
    else
        std::snprintf(text, sizeof text, "%.4g", value);
    return text;
}

std::string JsonNumber(double value)
{
    if (!std::isfinite(value))
        return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string Pad(const std::string& text, std::size_t width, bool right)
{
    if (text.size() >= width)
        return text;
    const std::string fill(width - text.size(), ' ');
    return right ? fill + text : text + fill;
}

} // namespace

double CBenchResult::Ratio() const
{
    if (!std::isfinite(ours) || !std::isfinite(baseline) || baseline == 0)
        return NOT_A_NUMBER;
    return ours / baseline;
}

std::string CBenchResult::GoalText() const
{
    switch (goal) {
    case EGoal::AtMost:
        return "<= " + Figure(limit);
    case EGoal::AtLeast:
        return ">= " + Figure(limit);
    case EGoal::Report:
        break;
    }
    return "report";
}

bool CBenchResult::Met() const
{
    const double ratio = Ratio();
    if (!std::isfinite(ratio))
        return false;
    switch (goal) {
    case EGoal::AtMost:
        return ratio <= limit;
    case EGoal::AtLeast:
        return ratio >= limit;
    case EGoal::Report:
        break;
    }
    return false;
}

CBenchResult Row(const std::string& measure, double ours, double baseline, EGoal goal, double limit)
{
    CBenchResult row;
    row.measure = measure;
    row.ours = ours;
    row.baseline = baseline;
    row.goal = goal;
    row.limit = limit;
    return row;
}

std::string FormatTable(const std::vector<CBenchResult>& rows)
{
    const char* const headings[] = {"measure", "ours", "baseline", "ratio", "goal", "met"};
    std::vector<std::vector<std::string>> cells;
    for (const CBenchResult& row : rows)
        cells.push_back({row.measure, Figure(row.ours), Figure(row.baseline), Figure(row.Ratio()), row.GoalText(),
                         row.Judged() ? (row.Met() ? "yes" : "NO") : "-"});
    std::size_t widths[6];
    for (int c = 0; c < 6; ++c) {
        widths[c] = std::string(headings[c]).size();
        for (const auto& line : cells)
            widths[c] = std::max(widths[c], line[c].size());
    }
    auto format = [&](const std::vector<std::string>& line) {
        std::string out;
        for (int c = 0; c < 6; ++c) {
            if (c)
                out += "  ";
            out += Pad(line[c], widths[c], c >= 1 && c <= 3);
        }
        while (!out.empty() && out.back() == ' ')
            out.pop_back();
        return out + "\n";
    };
    std::string table = format({headings, headings + 6});
    std::size_t total = 2 * 5;
    for (std::size_t w : widths)
        total += w;
    table += std::string(total, '-') + "\n";
    for (const auto& line : cells)
        table += format(line);
    return table;
}

std::string FormatJson(const std::vector<CBenchResult>& rows)
{
    std::string json = "[";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const CBenchResult& row = rows[i];
        json += i ? ",\n  " : "\n  ";
        json += "{\"measure\": " + JsonString(row.measure);
        json += ", \"ours\": " + JsonNumber(row.ours);
        json += ", \"baseline\": " + JsonNumber(row.baseline);
        json += ", \"ratio\": " + JsonNumber(row.Ratio());
        json += ", \"goal\": " + JsonString(row.GoalText());
        json += ", \"met\": ";
        json += row.Judged() ? (row.Met() ? "true" : "false") : "null";
        json += "}";
    }
    json += rows.empty() ? "]\n" : "\n]\n";
    return json;
}

double Percentile(std::vector<double> samples, double p)
{
    if (samples.empty())
        return NOT_A_NUMBER;
    std::size_t rank = static_cast<std::size_t>(std::ceil(p / 100.0 * samples.size()));
    rank = std::min(std::max<std::size_t>(rank, 1), samples.size());
    std::nth_element(samples.begin(), samples.begin() + (rank - 1), samples.end());
    return samples[rank - 1];
}

double Median(std::vector<double> samples)
{
    return Percentile(std::move(samples), 50);
}

} // namespace VardelBench
