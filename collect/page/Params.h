#pragma once
// A request's parameters, checked at the edge into a typed query. A bad one,
// or one the page does not know, throws BadParameter, which the server
// answers with 400 naming it.

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace Vardel::Page {

using Params = std::multimap<std::string, std::string>;

class BadParameter : public std::runtime_error {
public:
    BadParameter(std::string name, const std::string& why)
        : std::runtime_error("bad parameter '" + name + "': " + why), m_name(std::move(name)) {}
    const std::string& name() const { return m_name; }

private:
    std::string m_name;
};

// Where a page of records ends: the last row's (key in microseconds since
// 1970 UTC, id). The key is the instant, or for records without one the
// start of their file day (before 1970 too, so it may be negative).
struct Cursor {
    int64_t atMicros = 0;
    int64_t id = 0;
};

struct OverviewQuery {
    std::string zone = "UTC";
    int hours = 24;
};

// Records with an instant are listed by it; those without one apart, by
// their file day.
enum class Instant { Known, Unknown };

struct RecordsQuery {
    std::string zone = "UTC";
    // Each list: any of its values; empty means any. Hosts match without
    // regard to case.
    std::vector<std::string> hosts, types, levels;
    std::optional<std::string> text;
    // Local times of the zone, "YYYY-MM-DD HH:MM:SS"; from inclusive, to
    // exclusive. Records without an instant match by their file day.
    std::optional<std::string> from, to;
    Instant instant = Instant::Known;
    bool instantGiven = false;  // the export gives both, known first, unless asked for one
    // At most one: the page before (older than) or after (newer than) a key.
    std::optional<Cursor> before, after;
    int limit = 100;
    int refresh = 0;  // seconds between reloads; 0: none
};

// One record, by its stored key (the id alone has no index).
struct RecordKey {
    std::string zone = "UTC";
    std::string host, file, day;  // day: YYYY-MM-DD, the file day
    std::optional<int64_t> offset;
    int piece = 0;
    int64_t id = 0;
};

constexpr int kOverviewMaxHours = 24 * 31;
// Past this many hours the overview draws a bar per day.
constexpr int kOverviewDayBarsFrom = 24 * 3;
constexpr int kRecordsDefaultLimit = 100;
constexpr int kRecordsMaxLimit = 1000;
// The export streams every matching row unless limited.
constexpr int kExportMaxLimit = 100000000;
constexpr int kExportDefaultLimit = kExportMaxLimit;
constexpr size_t kMaxListed = 50;
// The reload intervals the records view offers.
constexpr int kRefreshChoices[] = {10, 30, 60, 300};

// The event types and levels as the day files name them.
extern const char* const kTypes[5];
extern const char* const kLevels[4];

OverviewQuery ParseOverview(const Params& params);
// forExport: the CSV's row limits instead of a screen page's.
RecordsQuery ParseRecords(const Params& params, bool forExport);
RecordKey ParseRecordKey(const Params& params);

// The query string that gives the same query, the position too when asked,
// for links and the export; values percent-encoded.
std::string QueryString(const RecordsQuery& query, bool withPosition);
std::string KeyString(const RecordKey& key);
std::string FormatCursor(const Cursor& cursor);
// A value percent-encoded for a query string.
std::string UrlEncode(const std::string& text);

}  // namespace Vardel::Page
