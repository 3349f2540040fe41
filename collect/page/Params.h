#pragma once
// A request's parameters, checked at the edge into a typed query. A bad one
// throws BadParameter, which the server answers with 400 naming it.

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

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

// Where a page of records ends: the last row's (at in microseconds since
// 1970 UTC, id). The next page starts strictly after it.
struct Cursor {
    int64_t atMicros = 0;
    int64_t id = 0;
};

struct OverviewQuery {
    std::string zone = "UTC";
    int hours = 24;
};

struct RecordsQuery {
    std::string zone = "UTC";
    std::optional<std::string> host, type, level, text;
    // Local times of the zone, "YYYY-MM-DD HH:MM:SS"; from inclusive, to exclusive.
    std::optional<std::string> from, to;
    std::optional<Cursor> before;
    int limit = 100;
};

constexpr int kOverviewMaxHours = 24 * 31;
constexpr int kRecordsDefaultLimit = 100;
constexpr int kRecordsMaxLimit = 1000;
// The export streams every matching row unless limited.
constexpr int kExportMaxLimit = 100000000;
constexpr int kExportDefaultLimit = kExportMaxLimit;

// The event types and levels as the day files name them.
extern const char* const kTypes[5];
extern const char* const kLevels[4];

OverviewQuery ParseOverview(const Params& params);
// forExport: the CSV's row limits instead of a screen page's.
RecordsQuery ParseRecords(const Params& params, bool forExport);

// The query string that gives the same query (without cursor and limit
// unless asked), for links and the export; values percent-encoded.
std::string QueryString(const RecordsQuery& query, bool withCursor);
std::string FormatCursor(const Cursor& cursor);
// A value percent-encoded for a query string.
std::string UrlEncode(const std::string& text);

}  // namespace Vardel::Page
