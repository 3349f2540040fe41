#include "Routes.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "Queries.h"

namespace Vardel::Page {

namespace {

int64_t Int(const Value& v)
{
    return v ? std::stoll(*v) : 0;
}

Value List(const std::vector<std::string>& values)
{
    return values.empty() ? Value() : Value(ArrayLiteral(values));
}

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

RecordRow ReadRow(const Row& r)
{
    RecordRow row;
    row.id = Int(r[0]);
    row.atMicros = Int(r[1]);
    row.host = r[2].value_or("");
    row.file = r[3].value_or("");
    row.day = r[4].value_or("");
    row.offset = r[5];
    row.piece = static_cast<int>(Int(r[6]));
    row.pieces = r[7];
    row.received = r[8];
    row.shown = r[9];
    row.utc = r[10];
    row.timeText = r[11];
    row.type = r[12];
    row.level = r[13];
    row.source = r[14];
    row.message = r[15];
    row.raw = r[16];
    row.unknown = r[17];
    return row;
}

std::vector<std::string> SiteHosts(Store& store)
{
    std::vector<std::string> hosts;
    for (const Row& r : store.Run(Queries::kHosts, {}))
        hosts.push_back(r[0].value_or(""));
    return hosts;
}

// The filters' parameters $1-$8. The hosts asked for become the site's
// hosts of those names in any case (a name the site does not list is kept
// as asked); one host is bound alone, so that its index serves it.
std::vector<Value> Filters(const RecordsQuery& q, const std::vector<std::string>& siteHosts)
{
    Value one, many;
    if (!q.hosts.empty()) {
        std::vector<std::string> exact;
        for (const std::string& asked : q.hosts) {
            size_t found = 0;
            for (const std::string& host : siteHosts)
                if (Lower(host) == Lower(asked) && ++found && std::find(exact.begin(), exact.end(), host) == exact.end())
                    exact.push_back(host);
            if (!found && std::find(exact.begin(), exact.end(), asked) == exact.end())
                exact.push_back(asked);
        }
        if (exact.size() == 1)
            one = exact[0];
        else
            many = ArrayLiteral(exact);
    }
    return {q.zone, one, many, List(q.types), List(q.levels), q.from, q.to, q.text};
}

std::vector<RecordRow> Page(Store& store, const RecordsQuery& q, const std::vector<Value>& filters, int rows)
{
    const bool newer = q.after.has_value();
    const std::optional<Cursor>& at = newer ? q.after : q.before;
    std::vector<Value> params = filters;
    params.push_back(at ? Value(std::to_string(at->atMicros)) : Value());
    params.push_back(at ? Value(std::to_string(at->id)) : Value());
    params.push_back(std::to_string(rows));
    std::vector<RecordRow> out;
    for (const Row& r : store.Run(Queries::Records(q.instant == Instant::Unknown, newer).c_str(), params))
        out.push_back(ReadRow(r));
    return out;
}

}  // namespace

std::string ArrayLiteral(const std::vector<std::string>& values)
{
    std::string out = "{";
    for (const std::string& v : values) {
        out += out.size() > 1 ? ",\"" : "\"";
        for (char c : v) {
            if (c == '"' || c == '\\')
                out += '\\';
            out += c;
        }
        out += '"';
    }
    return out + "}";
}

Overview LoadOverview(Store& store, const OverviewQuery& query)
{
    Overview overview;
    overview.query = query;
    overview.byDay = query.hours > kOverviewDayBarsFrom;
    std::map<std::string, std::vector<HourCounts>> counts;
    std::vector<Row> rows = store.Run(overview.byDay ? Queries::kOverviewDays : Queries::kOverviewHours,
                                      {query.zone, std::to_string(query.hours)});
    for (const Row& r : rows)
        if (!r[0])
            overview.bars.resize(std::max<size_t>(overview.bars.size(), Int(r[2]) + 1));
    const int n = static_cast<int>(overview.bars.size());
    for (const Row& r : rows) {
        const int slot = static_cast<int>(Int(r[2]));
        if (slot < 0 || slot >= n)
            continue;
        if (!r[0]) {
            overview.bars[slot] = Bar{r[3].value_or(""), r[4].value_or("")};
            continue;
        }
        auto& host = counts[*r[0]];
        host.resize(n);
        const int count = static_cast<int>(Int(r[3]));
        const std::string type = r[1].value_or("");
        (type == "WARNING" ? host[slot].warning : type == "ERROR" ? host[slot].error : host[slot].fatal) += count;
    }
    std::map<std::string, int64_t> unknown;
    for (const Row& r : store.Run(Queries::kOverviewUnknown, {query.zone, std::to_string(query.hours)}))
        unknown[r[0].value_or("")] = Int(r[1]);
    for (const Row& r : store.Run(Queries::kOverviewHosts, {query.zone})) {
        HostSummary host;
        host.host = r[0].value_or("");
        auto found = counts.find(host.host);
        host.hours = found != counts.end() ? found->second : std::vector<HourCounts>(n);
        host.unknown = unknown.count(host.host) ? unknown[host.host] : 0;
        if (r[10]) {
            const bool known = r[1] && *r[1] == "t";
            RecordKey key;
            key.zone = query.zone;
            key.host = host.host;
            key.file = r[6].value_or("");
            key.day = r[7].value_or("");
            if (r[8])
                key.offset = Int(r[8]);
            key.piece = static_cast<int>(Int(r[9]));
            key.id = Int(r[10]);
            host.latest = LatestError{r[2].value_or("") + (known ? "" : " (no instant)"), r[3], r[4], r[5], key};
        }
        overview.hosts.push_back(std::move(host));
    }
    return overview;
}

RecordsPage LoadRecordsPage(Store& store, const RecordsQuery& query)
{
    RecordsPage page;
    page.query = query;
    page.siteHosts = SiteHosts(store);
    const std::vector<Value> filters = Filters(query, page.siteHosts);
    // One row more than shown tells whether there is another page.
    page.rows = Page(store, query, filters, query.limit + 1);
    const bool more = static_cast<int>(page.rows.size()) > query.limit;
    page.rows.resize(std::min<size_t>(page.rows.size(), query.limit));
    if (query.after) {
        std::reverse(page.rows.begin(), page.rows.end());
        page.newer = more;
        page.older = true;
    } else {
        page.older = more;
        page.newer = query.before.has_value();
    }
    std::vector<Value> count = filters;
    count.push_back(std::to_string(kCountUpTo + 1));
    auto counted = store.Run(Queries::Count(query.instant == Instant::Unknown).c_str(), count);
    page.matched = counted.empty() ? 0 : Int(counted[0][0]);
    if (query.instant == Instant::Known)
        for (const Row& r : store.Run(Queries::UnknownPerHost().c_str(), filters))
            page.unknownPerHost.emplace_back(r[0].value_or(""), Int(r[1]));
    return page;
}

std::vector<RecordRow> LoadRecords(Store& store, const RecordsQuery& query)
{
    std::vector<std::string> siteHosts;
    if (!query.hosts.empty())
        siteHosts = SiteHosts(store);
    return Page(store, query, Filters(query, siteHosts), query.limit);
}

RecordView LoadRecord(Store& store, const RecordKey& key)
{
    RecordView view;
    view.key = key;
    std::vector<Value> params = {key.zone, key.host, key.file, key.day,
                                 key.offset ? Value(std::to_string(*key.offset)) : Value(),
                                 std::to_string(key.piece), std::to_string(key.id)};
    auto rows = store.Run(Queries::Record().c_str(), params);
    if (rows.empty())
        return view;
    view.row = ReadRow(rows[0]);
    for (const Row& r : store.Run(Queries::Around(false).c_str(), params))
        view.before.insert(view.before.begin(), ReadRow(r));
    for (const Row& r : store.Run(Queries::Around(true).c_str(), params))
        view.after.push_back(ReadRow(r));
    return view;
}

Text LoadNewest(Store& store)
{
    auto rows = store.Run(Queries::kNewest, {});
    return rows.empty() ? Text() : rows[0][0];
}

}  // namespace Vardel::Page
