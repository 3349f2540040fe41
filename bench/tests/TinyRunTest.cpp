// Runs vardel_bench at its tiny size and reads back its JSON: every
// benchmark still runs and produces finite figures. How fast is not
// checked; that is what the full run prints.
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <boost/regex.hpp>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

using namespace VardelTest;

namespace {

struct CJsonRow {
    std::string measure;
    std::string ours, baseline, ratio, met;
};

std::string BinFolder()
{
    const std::string self = SelfPath();
    return self.substr(0, self.find_last_of('\\'));
}

// The rows of vardel_bench's JSON, one object per line as it writes them.
std::vector<CJsonRow> ParseRows(const std::string& json, std::size_t& objects)
{
    static const char* const NUMBER_OR_NULL = "(-?[0-9.eE+-]+|null)";
    const boost::regex row(std::string("\\{\"measure\": \"([^\"]*)\", \"ours\": ") + NUMBER_OR_NULL +
                               ", \"baseline\": " + NUMBER_OR_NULL + ", \"ratio\": " + NUMBER_OR_NULL +
                               ", \"goal\": \"[^\"]*\", \"met\": (true|false|null)\\}",
                           boost::regex::perl);
    std::vector<CJsonRow> rows;
    objects = 0;
    for (std::size_t at = json.find('{'); at != std::string::npos; at = json.find('{', at + 1))
        ++objects;
    for (boost::sregex_iterator it(json.begin(), json.end(), row), end; it != end; ++it)
        rows.push_back({(*it)[1], (*it)[2], (*it)[3], (*it)[4], (*it)[5]});
    return rows;
}

bool IsPositiveNumber(const std::string& text)
{
    if (text == "null")
        return false;
    const double value = std::strtod(text.c_str(), nullptr);
    return std::isfinite(value) && value > 0;
}

// Runs one group at the tiny size; returns its rows, checked for shape.
std::vector<CJsonRow> RunTiny(const char* group, DWORD timeoutMs)
{
    const std::string json = BinFolder() + "\\bench-tiny-" + group + ".json";
    DeleteFileA(json.c_str());
    const std::string command =
        "\"" + BinFolder() + "\\vardel_bench.exe\" --tiny --only " + group + " --json \"" + json + "\"";
    EXPECT_EQ(0u, RunProcess(command, timeoutMs)) << command;
    const std::string text = ReadWholeFile(json);
    DeleteFileA(json.c_str());
    EXPECT_EQ('[', text.empty() ? 0 : text.front()) << text;
    std::size_t objects = 0;
    std::vector<CJsonRow> rows = ParseRows(text, objects);
    EXPECT_EQ(objects, rows.size()) << "an object without the six keys in\n" << text;
    return rows;
}

void ExpectFigures(const std::vector<CJsonRow>& rows, const std::vector<std::string>& prefixes)
{
    std::vector<int> seen(prefixes.size());
    for (const CJsonRow& row : rows) {
        EXPECT_TRUE(IsPositiveNumber(row.ours)) << row.measure << ": ours " << row.ours;
        EXPECT_TRUE(IsPositiveNumber(row.baseline)) << row.measure << ": baseline " << row.baseline;
        EXPECT_TRUE(IsPositiveNumber(row.ratio)) << row.measure << ": ratio " << row.ratio;
        for (std::size_t i = 0; i < prefixes.size(); ++i)
            seen[i] += row.measure.compare(0, prefixes[i].size(), prefixes[i]) == 0;
    }
    for (std::size_t i = 0; i < prefixes.size(); ++i)
        EXPECT_LT(0, seen[i]) << "no row for " << prefixes[i];
}

} // namespace

TEST(TinyRun, InProcessBenchmarksProduceEveryFigure)
{
    const std::vector<CJsonRow> rows = RunTiny("inprocess", 110000);
    EXPECT_EQ(15u, rows.size());
    ExpectFigures(rows, {"queue: bytes per queued event at the bound", "queue: MiB grown at the bound",
                         "kept: MiB grown with lines kept at the bound", "kept: ms to write the",
                         "enqueue: LogEvent median", "enqueue: LogEvent p99", "writer: lines/s",
                         "growth: writer us/event, 16 B", "growth: writer us/event, 1 MiB",
                         "growth: writer ns/byte, 1 MiB", "growth: writer us/event, 50 old log files",
                         "growth: first event of the day"});
    EXPECT_FALSE(FileExists("C:\\Korvane\\VardelLogs.bench-saved")) << "the real log folder was not put back";
}

TEST(TinyRun, ComBenchmarksProduceEveryFigure)
{
    const bool registered = RegKeyExists(HKEY_CLASSES_ROOT, Expected::PROGID);
    const std::vector<CJsonRow> rows = RunTiny("com", 170000);
    EXPECT_EQ(5u, rows.size());
    ExpectFigures(rows, {"COM: LogEvent us/call", "COM: LogEvent calls/s", "COM: ms from first LogEvent",
                         "growth: server working set bytes per queued", "growth: server peak working set"});
    EXPECT_FALSE(FileExists("C:\\Korvane\\VardelLogs.bench-saved")) << "the real log folder was not put back";
    EXPECT_EQ(registered, RegKeyExists(HKEY_CLASSES_ROOT, Expected::PROGID))
        << "the benchmark did not put the registration back as it was";
}
