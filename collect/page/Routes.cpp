#include "Routes.h"

#include <map>

#include "Queries.h"

namespace Vardel::Page {

namespace {

int64_t Int(const Value& v)
{
    return v ? std::stoll(*v) : 0;
}

}  // namespace

Overview LoadOverview(Store& store, const OverviewQuery& query)
{
    Overview overview;
    overview.query = query;
    const std::string hours = std::to_string(query.hours);
    std::map<std::string, std::vector<HourCounts>> counts;
    overview.hourLabels.resize(query.hours);
    for (const Row& r : store.Run(Queries::kOverviewCounts, {query.zone, hours})) {
        const int slot = static_cast<int>(Int(r[2]));
        if (slot < 0 || slot >= query.hours)
            continue;
        if (!r[0]) {
            overview.hourLabels[slot] = r[3].value_or("");
            continue;
        }
        auto& host = counts[*r[0]];
        host.resize(query.hours);
        const int n = static_cast<int>(Int(r[3]));
        const std::string type = r[1].value_or("");
        (type == "WARNING" ? host[slot].warning : type == "ERROR" ? host[slot].error : host[slot].fatal) += n;
    }
    for (const Row& r : store.Run(Queries::kOverviewHosts, {query.zone})) {
        HostSummary host;
        host.host = r[0].value_or("");
        auto found = counts.find(host.host);
        host.hours = found != counts.end() ? found->second : std::vector<HourCounts>(query.hours);
        if (r[4] || r[3]) {
            const bool known = r[1] && *r[1] == "t";
            host.latest = LatestError{r[2].value_or("") + (known ? "" : " (no instant)"), r[3], r[4], r[5]};
        }
        overview.hosts.push_back(std::move(host));
    }
    return overview;
}

std::vector<RecordRow> LoadRecords(Store& store, const RecordsQuery& query)
{
    auto local = [](const Text& t) { return t; };
    std::vector<Value> params = {query.zone,
                                 query.host,
                                 query.type,
                                 query.level,
                                 local(query.from),
                                 local(query.to),
                                 query.text,
                                 query.before ? Value(std::to_string(query.before->atMicros)) : Value(),
                                 query.before ? Value(std::to_string(query.before->id)) : Value(),
                                 std::to_string(query.limit)};
    std::vector<RecordRow> rows;
    for (const Row& r : store.Run(Queries::kRecords, params)) {
        RecordRow row;
        row.id = Int(r[0]);
        row.atMicros = Int(r[1]);
        row.host = r[2].value_or("");
        row.file = r[3].value_or("");
        row.shown = r[4];
        row.utc = r[5];
        row.timeText = r[6];
        row.type = r[7];
        row.level = r[8];
        row.source = r[9];
        row.message = r[10];
        row.raw = r[11];
        row.unknown = r[12];
        rows.push_back(std::move(row));
    }
    return rows;
}

Text LoadNewest(Store& store)
{
    auto rows = store.Run(Queries::kNewest, {});
    return rows.empty() ? Text() : rows[0][0];
}

}  // namespace Vardel::Page
