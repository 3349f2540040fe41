// The records view and a record's own page.

#include <algorithm>
#include <cctype>

#include "Render.h"

namespace Vardel::Page {

namespace {

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool Has(const std::vector<std::string>& list, const std::string& value)
{
    return std::find(list.begin(), list.end(), value) != list.end();
}

std::string Link(const RecordsQuery& q)
{
    std::string same = QueryString(q, true);
    return "/records" + std::string(same.empty() ? "" : "?") + same;
}

std::string Form(const RecordsPage& page)
{
    const RecordsQuery& q = page.query;
    std::string out = "<form class=\"bar\" method=\"get\" action=\"/records\">";
    // The site's hosts to choose from (any number); a host asked for by
    // another spelling of its name shows as chosen.
    std::vector<std::string> hosts = page.siteHosts;
    for (const std::string& h : q.hosts)
        if (std::none_of(hosts.begin(), hosts.end(), [&](const std::string& s) { return Lower(s) == Lower(h); }))
            hosts.push_back(h);
    out += "<label>Hosts<select name=\"host\" multiple size=\"" + std::to_string(std::clamp<size_t>(hosts.size(), 2, 5)) +
           "\">";
    for (const std::string& h : hosts) {
        bool on = std::any_of(q.hosts.begin(), q.hosts.end(), [&](const std::string& s) { return Lower(s) == Lower(h); });
        out += "<option" + std::string(on ? " selected" : "") + ">" + Escape(h) + "</option>";
    }
    out += "</select></label>";
    auto boxes = [&](const char* legend, const char* name, const std::vector<std::string>& chosen,
                     const char* const* names, size_t n) {
        out += "<fieldset><legend>" + std::string(legend) + " (none: any)</legend>";
        for (size_t i = 0; i < n; ++i)
            out += "<label><input type=\"checkbox\" name=\"" + std::string(name) + "\" value=\"" + Escape(names[i]) +
                   "\"" + (Has(chosen, names[i]) ? " checked" : "") + ">" + Escape(names[i]) + "</label>";
        out += "</fieldset>";
    };
    boxes("Types", "type", q.types, kTypes, 5);
    boxes("Levels", "level", q.levels, kLevels, 4);
    auto input = [&](const char* label, const char* name, const Text& value, const char* type, const char* size) {
        out += "<label>" + std::string(label) + "<input name=\"" + name + "\" type=\"" + type + "\" size=\"" + size +
               "\" value=\"" + Escape(Or(value)) + "\"></label>";
    };
    auto local = [](const Text& t) { return t ? Text(t->substr(0, 10) + "T" + t->substr(11)) : Text(); };
    input("From", "from", local(q.from), "datetime-local", "16");
    input("To", "to", local(q.to), "datetime-local", "16");
    input("Text in source or message", "q", q.text, "search", "20");
    out += ZoneField(q.zone);
    input("Rows", "limit", std::to_string(q.limit), "number", "5");
    out += "<label>Reload<select name=\"refresh\"><option value=\"\">off</option>";
    for (int s : kRefreshChoices)
        out += "<option value=\"" + std::to_string(s) + "\"" + (q.refresh == s ? " selected" : "") + ">every " +
               std::to_string(s) + " s</option>";
    out += "</select></label>";
    if (q.instant == Instant::Unknown)
        out += "<input type=\"hidden\" name=\"instant\" value=\"unknown\">";
    // The export takes every matching row: not the screen's row limit, nor its reload.
    RecordsQuery all = q;
    all.limit = kRecordsDefaultLimit;
    all.refresh = 0;
    std::string same = QueryString(all, false);
    return out + "<button>Filter</button> <a href=\"/records.csv" + Escape(same.empty() ? "" : "?" + same) +
           "\">Export CSV</a></form>\n";
}

std::string RowHtml(const RecordRow& r, const std::string& zone, bool current)
{
    std::string out = std::string("<tr class=\"record") + (current ? " this" : "") + "\"><td class=\"time\"><a href=\"/record?" +
                      Escape(KeyString(KeyOf(r, zone))) + "\">";
    if (r.shown)
        out += Escape(*r.shown) + "</a>";
    else
        out += Escape(Or(r.timeText, "-")) + "</a><span class=\"why\">no instant (file day " + Escape(r.day) +
               "): " + Escape(Or(r.unknown, "unknown")) + "</span>";
    return out + "</td><td class=\"host\">" + Escape(r.host) + "</td><td class=\"type\">" + TypeSpan(r.type) +
           "</td><td class=\"level\">" + Escape(Or(r.level)) + "</td><td><div class=\"src\">" + Escape(Or(r.source)) +
           "</div></td><td><div class=\"msg\">" + Escape(r.raw ? *r.raw : Or(r.message)) +
           "</div></td><td class=\"file\">" + Escape(r.file) + "</td></tr>\n";
}

std::string Table(const std::vector<RecordRow>& rows, const std::string& zone, int64_t current)
{
    std::string out = "<table id=\"records\"><thead><tr><th>Time (" + Escape(zone) +
                      ")</th><th>Host</th><th>Type</th><th>Level</th><th>Source</th><th>Message</th><th>File</th></tr>"
                      "</thead><tbody>\n";
    if (rows.empty())
        out += "<tr><td colspan=\"7\" class=\"none\">No records match.</td></tr>\n";
    for (const RecordRow& r : rows)
        out += RowHtml(r, zone, r.id == current);
    return out + "</tbody></table>\n";
}

}  // namespace

RecordKey KeyOf(const RecordRow& row, const std::string& zone)
{
    RecordKey key;
    key.zone = zone;
    key.host = row.host;
    key.file = row.file;
    key.day = row.day;
    if (row.offset)
        key.offset = std::stoll(*row.offset);
    key.piece = row.piece;
    key.id = row.id;
    return key;
}

std::string RenderRecords(const RecordsPage& page)
{
    const RecordsQuery& q = page.query;
    const bool unknown = q.instant == Instant::Unknown;
    std::string out = Head(unknown ? "Records without an instant" : "Records", q.zone, "Records", q.refresh) + Form(page);
    if (unknown) {
        RecordsQuery known = q;
        known.instant = Instant::Known;
        out += "<p class=\"apart\" id=\"unknown-note\">Records whose instant is not known, by file day (the PC's "
               "day), newest day first. A time filter takes them by their file day. <a href=\"" +
               Escape(Link(known)) + "\">Records with an instant</a></p>\n";
    } else if (!page.unknownPerHost.empty()) {
        out += "<p class=\"apart\" id=\"unknown\">Listed apart, without a known instant";
        out += q.from || q.to ? " (by file day for the time filter):" : ":";
        for (const auto& [host, count] : page.unknownPerHost) {
            RecordsQuery apart = q;
            apart.instant = Instant::Unknown;
            apart.hosts = {host};
            out += " <a href=\"" + Escape(Link(apart)) + "\">" + Escape(host) + "</a> " + std::to_string(count);
        }
        out += "</p>\n";
    }
    out += "<p class=\"count\" id=\"matched\">" +
           (page.matched > kCountUpTo ? "More than " + std::to_string(kCountUpTo) : std::to_string(page.matched)) +
           (page.matched == 1 ? " record matches" : " records match") +
           (q.refresh ? "; reloading every " + std::to_string(q.refresh) + " s" : "") + ".</p>\n";
    out += Table(page.rows, q.zone, -1) + "<nav class=\"pages\">";
    RecordsQuery newest = q;
    newest.before.reset();
    newest.after.reset();
    if (q.before || q.after)
        out += "<a id=\"newest\" href=\"" + Escape(Link(newest)) + "\">Newest</a>";
    if (page.newer && !page.rows.empty()) {
        RecordsQuery next = newest;
        next.after = Cursor{page.rows.front().atMicros, page.rows.front().id};
        out += "<a id=\"newer\" href=\"" + Escape(Link(next)) + "\">Newer</a>";
    }
    if (page.older && !page.rows.empty()) {
        RecordsQuery next = newest;
        next.before = Cursor{page.rows.back().atMicros, page.rows.back().id};
        out += "<a id=\"older\" href=\"" + Escape(Link(next)) + "\">Older</a>";
    }
    return out + "</nav>\n</main></body></html>\n";
}

std::string RenderRecord(const RecordView& view)
{
    const RecordKey& k = view.key;
    std::string out = Head("Record", k.zone, "", 0);
    if (!view.row)
        return out + "<p class=\"none\">No such record (it may have expired).</p>\n</main></body></html>\n";
    const RecordRow& r = *view.row;
    out += "<h2>A record of " + Escape(r.host) + "</h2>\n<dl class=\"fields\" id=\"record\">";
    auto field = [&](const char* name, const std::string& cls, const Text& value) {
        out += "<dt>" + std::string(name) + "</dt><dd class=\"f-" + cls + "\">" +
               (value ? "<div class=\"msg\">" + Escape(*value) + "</div>" : "<span class=\"none\">none</span>") +
               "</dd>";
    };
    field("Host", "host", r.host);
    field("File", "file", r.file);
    field("File day", "day", r.day);
    field("Offset in the file", "offset", r.offset);
    field("Piece", "piece", r.pieces ? Text(std::to_string(r.piece + 1) + " of " + *r.pieces) : Text());
    field("Time as written", "time-text", r.timeText);
    field("Instant (UTC)", "utc", r.utc);
    field(("In " + k.zone).c_str(), "shown", r.shown);
    field("Why no instant", "unknown", r.unknown);
    field("Received (UTC)", "received", r.received);
    field("Type", "type", r.type);
    field("Level", "level", r.level);
    field("Source", "source", r.source);
    field("Message", "message", r.message);
    field("Raw", "raw", r.raw);
    out += "</dl>\n<h3>Around it in " + Escape(r.file) + " of " + Escape(r.host) + "</h3>\n";
    std::vector<RecordRow> around = view.before;
    around.push_back(r);
    around.insert(around.end(), view.after.begin(), view.after.end());
    out += Table(around, k.zone, r.id);
    RecordsQuery host;
    host.zone = k.zone;
    host.hosts = {r.host};
    return out + "<nav class=\"pages\"><a href=\"" + Escape(Link(host)) + "\">All records of " + Escape(r.host) +
           "</a></nav>\n</main></body></html>\n";
}

}  // namespace Vardel::Page
