#pragma once
// Rendering: pure functions from rows to text. Every piece of data reaches
// HTML through Escape and CSV through CsvField.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Params.h"

namespace Vardel::Page {

using Text = std::optional<std::string>;

struct HourCounts {
    int warning = 0;
    int error = 0;
    int fatal = 0;
    int total() const { return warning + error + fatal; }
};

struct LatestError {
    std::string shown;  // local time in the page's zone, or the time text when the instant is unknown
    Text type, source, message;
};

struct HostSummary {
    std::string host;
    std::vector<HourCounts> hours;  // oldest first, one per hour of the range
    std::optional<LatestError> latest;
};

struct Overview {
    OverviewQuery query;
    std::vector<std::string> hourLabels;  // local "YYYY-MM-DD HH:MM" of each hour's start
    std::vector<HostSummary> hosts;
};

struct RecordRow {
    int64_t id = 0;
    int64_t atMicros = 0;
    std::string host, file;
    Text shown;    // the instant in the page's zone, NULL when unknown
    Text utc;      // YYYY-MM-DDTHH:MM:SSZ, NULL when unknown
    Text timeText, type, level, source, message, raw, unknown;
};

std::string Escape(const std::string& text);
std::string CsvField(const Text& text);

// Stacked bars, one per hour: fatal errors at the bottom, then errors, then
// warnings; scaleMax is the hour count that fills the height.
constexpr int kChartWidth = 480;
constexpr int kChartHeight = 40;
std::string ChartSvg(const std::vector<HourCounts>& hours, int scaleMax, const std::vector<std::string>& labels);

std::string RenderOverview(const Overview& overview);
std::string RenderRecords(const RecordsQuery& query, const std::vector<RecordRow>& rows);
extern const char* const kCsvHeader;  // with its CR LF
std::string RenderCsvRows(const std::vector<RecordRow>& rows);
std::string RenderCsv(const std::vector<RecordRow>& rows);  // header and rows
std::string RenderHealth(const Text& newest);

}  // namespace Vardel::Page
