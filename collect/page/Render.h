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

struct RecordRow {
    int64_t id = 0;
    int64_t atMicros = 0;  // the cursor's key: the instant, else the file day's start
    std::string host, file, day;  // day: the file day, YYYY-MM-DD
    Text offset;
    int piece = 0;
    Text pieces;
    Text received;  // YYYY-MM-DDTHH:MM:SSZ
    Text shown;     // the instant in the page's zone, NULL when unknown
    Text utc;       // YYYY-MM-DDTHH:MM:SSZ, NULL when unknown
    Text timeText, type, level, source, message, raw, unknown;
};

// The key that finds a row again on its own page.
RecordKey KeyOf(const RecordRow& row, const std::string& zone);

struct LatestError {
    std::string shown;  // local time in the page's zone, or the time text when the instant is unknown
    Text type, source, message;
    std::optional<RecordKey> key;
};

struct HostSummary {
    std::string host;
    std::vector<HourCounts> hours;  // oldest first, one per bar of the range
    std::optional<LatestError> latest;
    int64_t unknown = 0;  // warnings and errors of the range's file days without an instant
};

// One bar of the chart: its local start and end, "YYYY-MM-DD HH:MM".
struct Bar {
    std::string from, to;
};

struct Overview {
    OverviewQuery query;
    bool byDay = false;
    std::vector<Bar> bars;
    std::vector<HostSummary> hosts;
};

struct RecordsPage {
    RecordsQuery query;
    std::vector<RecordRow> rows;  // newest first
    bool older = false, newer = false;
    int64_t matched = 0;  // how many match; past kCountUpTo, "more than"
    std::vector<std::pair<std::string, int64_t>> unknownPerHost;
    std::vector<std::string> siteHosts;
};
constexpr int64_t kCountUpTo = 1000;

struct RecordView {
    RecordKey key;
    std::optional<RecordRow> row;
    std::vector<RecordRow> before, after;  // in file order
};

std::string Escape(const std::string& text);
std::string CsvField(const Text& text);

// Stacked bars, one per hour or day: fatal errors at the bottom, then
// errors, then warnings, each bar's count above it, a link to its records
// and an axis of local hours (or days) below; scaleMax is the count that
// fills the height.
constexpr int kChartWidth = 720;
constexpr int kChartBars = 40;  // the bars' height
std::string ChartSvg(const std::vector<HourCounts>& counts, int scaleMax, const std::vector<Bar>& bars,
                     const std::vector<std::string>& links, bool byDay);

// The shared frame of each view.
std::string Head(const std::string& title, const std::string& zone, const std::string& active, int refresh);
std::string ZoneField(const std::string& zone);
std::string TypeSpan(const Text& type);
std::string Or(const Text& text, const std::string& fallback = "");

std::string RenderOverview(const Overview& overview);
std::string RenderRecords(const RecordsPage& page);
std::string RenderRecord(const RecordView& view);
extern const char* const kCsvHeader;  // with its CR LF
std::string RenderCsvRows(const std::vector<RecordRow>& rows);
std::string RenderCsv(const std::vector<RecordRow>& rows);  // header and rows
std::string RenderHealth(const Text& newest);

}  // namespace Vardel::Page
