#include "Render.h"

#include <algorithm>

namespace Vardel::Page {

namespace {

const char* const kStyle = R"(<style>
body{font:14px/1.35 system-ui,sans-serif;margin:0;color:#1d2329;background:#f6f7f9}
header{background:#23313f;color:#fff;padding:8px 16px;display:flex;gap:18px;align-items:baseline;flex-wrap:wrap}
header b{font-size:16px}header a{color:#cfe3ff;text-decoration:none}header a.on{color:#fff;font-weight:600;border-bottom:2px solid #fff}
header .zone{margin-left:auto;color:#dbe4ec}
main{padding:12px 16px}
form.bar{display:flex;gap:8px;flex-wrap:wrap;align-items:end;margin-bottom:10px}
form.bar label{display:flex;flex-direction:column;font-size:12px;color:#4a5561}
form.bar input,form.bar select{font:inherit;padding:2px 4px}
table{border-collapse:collapse;background:#fff;width:100%}
th,td{border-bottom:1px solid #e2e6ea;padding:4px 8px;text-align:left;vertical-align:top}
th{background:#eef1f4;font-size:12px;color:#4a5561;position:sticky;top:0}
td.n{text-align:right;font-variant-numeric:tabular-nums}
.src,.msg{white-space:pre-wrap;font-family:ui-monospace,monospace;font-size:12.5px;margin:0}
.why{display:block;font-size:12px;color:#8a5a00}
.t-WARNING{color:#9a6700}.t-ERROR{color:#c62828;font-weight:600}.t-FATAL_ERROR{color:#fff;background:#8e0000;padding:0 3px;border-radius:3px}
.raw{font-size:11px;background:#e2e6ea;padding:0 3px;border-radius:3px}
.none{color:#8a939c}
svg .w{fill:#e0a100}svg .e{fill:#e53935}svg .f{fill:#7f0000}svg .base{stroke:#c5ccd3}svg .day{stroke:#c5ccd3;stroke-dasharray:2 2}
tr[data-host] td:first-child{white-space:nowrap}
.legend span{display:inline-block;width:10px;height:10px;margin:0 4px 0 12px;vertical-align:middle}
nav.pages{margin:10px 0}
</style>)";

const char* const kZones[] = {"UTC", "Europe/London", "Europe/Berlin", "America/New_York", "America/Chicago",
                              "America/Los_Angeles", "Asia/Kolkata", "Asia/Tokyo", "Australia/Sydney"};

std::string Head(const std::string& title, const std::string& zone, const std::string& active, bool refresh)
{
    std::string out = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">";
    if (refresh)
        out += "<meta http-equiv=\"refresh\" content=\"60\">";
    out += "<title>" + Escape(title) + " - Vardel events</title>" + kStyle + "</head><body>\n<header><b>Vardel events</b>";
    std::string zoneQuery = zone == "UTC" ? "" : "?zone=" + Escape(UrlEncode(zone));
    auto link = [&](const std::string& href, const std::string& name) {
        out += "<a href=\"" + href + zoneQuery + "\"" + (name == active ? " class=\"on\"" : "") + ">" + name + "</a>";
    };
    link("/", "Overview");
    link("/records", "Records");
    out += "<span class=\"zone\">Times in <b id=\"zone\">" + Escape(zone) + "</b></span></header>\n<main>\n";
    return out;
}

std::string ZoneField(const std::string& zone)
{
    std::string out = "<label>Time zone<input name=\"zone\" list=\"zones\" size=\"18\" value=\"" + Escape(zone) +
                      "\"></label><datalist id=\"zones\">";
    for (const char* z : kZones)
        out += "<option value=\"" + Escape(z) + "\">";
    return out + "</datalist>";
}

std::string Or(const Text& text, const std::string& fallback = "")
{
    return text ? *text : fallback;
}

std::string TypeSpan(const Text& type)
{
    if (!type)
        return "<span class=\"raw\">raw</span>";
    return "<span class=\"t-" + Escape(*type) + "\">" + Escape(*type) + "</span>";
}

}  // namespace

std::string Escape(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string CsvField(const Text& text)
{
    if (!text)
        return "";
    if (text->find_first_of(",\"\r\n") == std::string::npos)
        return *text;
    std::string out = "\"";
    for (char c : *text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

std::string ChartSvg(const std::vector<HourCounts>& hours, int scaleMax, const std::vector<std::string>& labels)
{
    const int n = std::max<int>(1, static_cast<int>(hours.size()));
    const double slot = static_cast<double>(kChartWidth) / n;
    const double bar = std::max(1.0, slot - (slot > 4 ? 1 : 0));
    std::string out = "<svg class=\"chart\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(kChartWidth) +
                      "\" height=\"" + std::to_string(kChartHeight + 1) + "\" viewBox=\"0 0 " +
                      std::to_string(kChartWidth) + " " + std::to_string(kChartHeight + 1) + "\">";
    auto num = [](double v) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.2f", v);
        std::string s = buf;
        while (s.back() == '0')
            s.pop_back();
        if (s.back() == '.')
            s.pop_back();
        return s;
    };
    // A faint line where a local day begins, to read the hours by.
    for (int i = 1; i < static_cast<int>(labels.size()) && i < n; ++i)
        if (labels[i].size() >= 5 && labels[i].compare(labels[i].size() - 5, 5, "00:00") == 0)
            out += "<line class=\"day\" x1=\"" + num(i * slot) + "\" y1=\"0\" x2=\"" + num(i * slot) + "\" y2=\"" +
                   std::to_string(kChartHeight) + "\"/>";
    for (int i = 0; i < static_cast<int>(hours.size()); ++i) {
        const HourCounts& h = hours[i];
        if (h.total() == 0)
            continue;
        std::string title = (i < static_cast<int>(labels.size()) ? labels[i] : "") + ": " +
                            std::to_string(h.warning) + " warnings, " + std::to_string(h.error) + " errors, " +
                            std::to_string(h.fatal) + " fatal errors";
        out += "<g><title>" + Escape(title) + "</title>";
        double y = kChartHeight;
        const std::pair<int, const char*> parts[] = {{h.fatal, "f"}, {h.error, "e"}, {h.warning, "w"}};
        for (const auto& [count, cls] : parts) {
            if (count == 0)
                continue;
            // At least a pixel, so that one event among thousands still shows.
            double height = std::max(1.0, static_cast<double>(count) * kChartHeight / std::max(1, scaleMax));
            height = std::min(height, y);
            y -= height;
            out += "<rect class=\"" + std::string(cls) + "\" x=\"" + num(i * slot) + "\" y=\"" + num(y) +
                   "\" width=\"" + num(bar) + "\" height=\"" + num(height) + "\"/>";
        }
        out += "</g>";
    }
    out += "<line class=\"base\" x1=\"0\" y1=\"" + std::to_string(kChartHeight) + ".5\" x2=\"" +
           std::to_string(kChartWidth) + "\" y2=\"" + std::to_string(kChartHeight) + ".5\"/></svg>";
    return out;
}

std::string RenderOverview(const Overview& overview)
{
    const OverviewQuery& q = overview.query;
    std::string out = Head("Overview", q.zone, "Overview", true);
    out += "<form class=\"bar\" method=\"get\" action=\"/\">" + ZoneField(q.zone) +
           "<label>Hours<input name=\"hours\" type=\"number\" min=\"1\" max=\"" + std::to_string(kOverviewMaxHours) +
           "\" value=\"" + std::to_string(q.hours) + "\"></label><button>Show</button></form>\n";
    int scaleMax = 1;
    for (const HostSummary& host : overview.hosts)
        for (const HourCounts& h : host.hours)
            scaleMax = std::max(scaleMax, h.total());
    std::string first = overview.hourLabels.empty() ? "" : overview.hourLabels.front();
    std::string last = overview.hourLabels.empty() ? "" : overview.hourLabels.back();
    out += "<p>Warnings and errors per hour, " + Escape(first) + " to the end of the hour " + Escape(last) + " (" +
           Escape(q.zone) + "); a full bar is " + std::to_string(scaleMax) +
           " in an hour.<span class=\"legend\"><span style=\"background:#7f0000\"></span>fatal error"
           "<span style=\"background:#e53935\"></span>error<span style=\"background:#e0a100\"></span>warning</span></p>\n";
    out += "<table id=\"overview\"><thead><tr><th>Host</th><th>Per hour</th><th>Warnings</th><th>Errors</th>"
           "<th>Fatal errors</th><th>Latest error (" +
           Escape(q.zone) + ")</th></tr></thead><tbody>\n";
    if (overview.hosts.empty())
        out += "<tr><td colspan=\"6\" class=\"none\">No host has sent records yet.</td></tr>\n";
    std::string zoneQuery = q.zone == "UTC" ? "" : "&amp;zone=" + Escape(UrlEncode(q.zone));
    for (const HostSummary& host : overview.hosts) {
        HourCounts sum;
        for (const HourCounts& h : host.hours) {
            sum.warning += h.warning;
            sum.error += h.error;
            sum.fatal += h.fatal;
        }
        std::string h = Escape(host.host);
        RecordsQuery hostQuery;
        hostQuery.host = host.host;
        std::string link = "/records?" + Escape(QueryString(hostQuery, false)) + zoneQuery;
        out += "<tr data-host=\"" + h + "\"><td><a href=\"" + link + "\">" + h + "</a></td><td>" +
               ChartSvg(host.hours, scaleMax, overview.hourLabels) + "</td><td class=\"n warnings\">" +
               std::to_string(sum.warning) + "</td><td class=\"n errors\">" + std::to_string(sum.error) +
               "</td><td class=\"n fatal\">" + std::to_string(sum.fatal) + "</td><td class=\"latest\">";
        if (host.latest) {
            const LatestError& e = *host.latest;
            out += "<span class=\"when\">" + Escape(e.shown) + "</span> " + TypeSpan(e.type) + " <span class=\"src\">" +
                   Escape(Or(e.source)) + "</span>: <span class=\"msg\">" + Escape(Or(e.message)) + "</span>";
        } else {
            out += "<span class=\"none\">no error</span>";
        }
        out += "</td></tr>\n";
    }
    return out + "</tbody></table>\n</main></body></html>\n";
}

std::string RenderRecords(const RecordsQuery& q, const std::vector<RecordRow>& rows)
{
    std::string out = Head("Records", q.zone, "Records", false);
    auto input = [&](const char* label, const char* name, const Text& value, const char* type, const char* size) {
        out += "<label>" + std::string(label) + "<input name=\"" + name + "\" type=\"" + type + "\" size=\"" + size +
               "\" value=\"" + Escape(Or(value)) + "\"></label>";
    };
    auto select = [&](const char* label, const char* name, const Text& value, const char* const* names, size_t n) {
        out += "<label>" + std::string(label) + "<select name=\"" + name + "\"><option value=\"\">any</option>";
        for (size_t i = 0; i < n; ++i)
            out += "<option" + std::string(value && *value == names[i] ? " selected" : "") + ">" + Escape(names[i]) +
                   "</option>";
        out += "</select></label>";
    };
    auto local = [](const Text& t) { return t ? Text(t->substr(0, 10) + "T" + t->substr(11)) : Text(); };
    out += "<form class=\"bar\" method=\"get\" action=\"/records\">";
    input("Host", "host", q.host, "text", "12");
    select("Type", "type", q.type, kTypes, 5);
    select("Level", "level", q.level, kLevels, 4);
    input("From", "from", local(q.from), "datetime-local", "16");
    input("To", "to", local(q.to), "datetime-local", "16");
    input("Text in source or message", "q", q.text, "search", "24");
    out += ZoneField(q.zone) + "<button>Filter</button>";
    std::string same = QueryString(q, false);
    out += " <a href=\"/records.csv" + Escape(same.empty() ? "" : "?" + same) + "\">Export CSV</a></form>\n";
    out += "<table id=\"records\"><thead><tr><th>Time (" + Escape(q.zone) +
           ")</th><th>Host</th><th>Type</th><th>Level</th><th>Source</th><th>Message</th><th>File</th></tr></thead><tbody>\n";
    if (rows.empty())
        out += "<tr><td colspan=\"7\" class=\"none\">No records match.</td></tr>\n";
    for (const RecordRow& r : rows) {
        out += "<tr class=\"record\"><td class=\"time\">";
        if (r.shown)
            out += Escape(*r.shown);
        else
            out += Escape(Or(r.timeText, "-")) + "<span class=\"why\">no instant: " + Escape(Or(r.unknown, "unknown")) +
                   "</span>";
        out += "</td><td class=\"host\">" + Escape(r.host) + "</td><td class=\"type\">" + TypeSpan(r.type) +
               "</td><td class=\"level\">" + Escape(Or(r.level)) + "</td><td><div class=\"src\">" +
               Escape(Or(r.source)) + "</div></td><td><div class=\"msg\">" + Escape(r.raw ? *r.raw : Or(r.message)) +
               "</div></td><td class=\"file\">" + Escape(r.file) + "</td></tr>\n";
    }
    out += "</tbody></table>\n<nav class=\"pages\">";
    if (q.before)
        out += "<a href=\"/records" + Escape(same.empty() ? "" : "?" + same) + "\">Newest</a> ";
    if (static_cast<int>(rows.size()) == q.limit && !rows.empty()) {
        RecordsQuery next = q;
        next.before = Cursor{rows.back().atMicros, rows.back().id};
        out += "<a id=\"older\" href=\"/records?" + Escape(QueryString(next, true)) + "\">Older</a>";
    }
    return out + "</nav>\n</main></body></html>\n";
}

const char* const kCsvHeader = "host,file,utc,time,type,level,source,message,raw\r\n";

std::string RenderCsv(const std::vector<RecordRow>& rows)
{
    return kCsvHeader + RenderCsvRows(rows);
}

std::string RenderCsvRows(const std::vector<RecordRow>& rows)
{
    std::string out;
    for (const RecordRow& r : rows) {
        out += CsvField(r.host) + "," + CsvField(r.file) + "," + CsvField(r.utc) + "," + CsvField(r.timeText) + "," +
               CsvField(r.type) + "," + CsvField(r.level) + "," + CsvField(r.source) + "," + CsvField(r.message) + "," +
               CsvField(r.raw) + "\r\n";
    }
    return out;
}

std::string RenderHealth(const Text& newest)
{
    return "ok: the store answers; newest record received " + (newest ? *newest : std::string("none")) + "\n";
}

}  // namespace Vardel::Page
