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
tr[data-host] td:first-child{white-space:nowrap}td.time a{white-space:nowrap}
.legend span{display:inline-block;width:10px;height:10px;margin:0 4px 0 12px;vertical-align:middle}
nav.pages{margin:10px 0;display:flex;gap:14px;align-items:baseline}
svg text{font:9px system-ui,sans-serif;fill:#4a5561}svg text.c{fill:#1d2329;font-weight:600}svg a:hover rect{opacity:.75}
fieldset{border:1px solid #d5dbe1;padding:2px 6px;font-size:12px;color:#4a5561;margin:0}fieldset label{display:inline!important;margin-right:6px}
select[multiple]{min-width:9em}
.apart{background:#fff8e1;border:1px solid #e8d9a8;padding:6px 10px;margin:0 0 10px}
.count{color:#4a5561;margin:0 0 6px}
dl.fields{display:grid;grid-template-columns:max-content 1fr;gap:4px 14px;background:#fff;padding:10px;margin:0 0 12px}
dl.fields dt{color:#4a5561;font-size:12px}dl.fields dd{margin:0}
tr.this td{background:#fff3c4}
</style>)";

const char* const kZones[] = {"UTC", "Europe/London", "Europe/Berlin", "America/New_York", "America/Chicago",
                              "America/Los_Angeles", "Asia/Kolkata", "Asia/Tokyo", "Australia/Sydney"};

}  // namespace

std::string Head(const std::string& title, const std::string& zone, const std::string& active, int refresh)
{
    std::string out = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">";
    // Reloading the same address keeps every filter; no script is needed.
    if (refresh > 0)
        out += "<meta http-equiv=\"refresh\" content=\"" + std::to_string(refresh) + "\">";
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

std::string Or(const Text& text, const std::string& fallback)
{
    return text ? *text : fallback;
}

std::string TypeSpan(const Text& type)
{
    if (!type)
        return "<span class=\"raw\">raw</span>";
    return "<span class=\"t-" + Escape(*type) + "\">" + Escape(*type) + "</span>";
}

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
    // A cell a spreadsheet would take for a formula is written as text.
    const bool formula = !text->empty() && std::string("=+-@\t\r").find((*text)[0]) != std::string::npos;
    const std::string cell = formula ? "'" + *text : *text;
    if (cell.find_first_of(",\"\r\n") == std::string::npos)
        return cell;
    std::string out = "\"";
    for (char c : cell) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

std::string RenderOverview(const Overview& overview)
{
    const OverviewQuery& q = overview.query;
    std::string out = Head("Overview", q.zone, "Overview", 60);
    out += "<form class=\"bar\" method=\"get\" action=\"/\">" + ZoneField(q.zone) +
           "<label>Hours<input name=\"hours\" type=\"number\" min=\"1\" max=\"" + std::to_string(kOverviewMaxHours) +
           "\" value=\"" + std::to_string(q.hours) + "\"></label><button>Show</button></form>\n";
    int scaleMax = 1;
    for (const HostSummary& host : overview.hosts)
        for (const HourCounts& h : host.hours)
            scaleMax = std::max(scaleMax, h.total());
    std::string first = overview.bars.empty() ? "" : overview.bars.front().from;
    std::string last = overview.bars.empty() ? "" : overview.bars.back().to;
    const char* unit = overview.byDay ? "day" : "hour";
    out += "<p>Warnings and errors per " + std::string(unit) + ", " + Escape(first) + " to " + Escape(last) + " (" +
           Escape(q.zone) + "); a full bar is " + std::to_string(scaleMax) + " in a" + (overview.byDay ? " " : "n ") +
           unit + ". Each bar leads to its records." +
           "<span class=\"legend\"><span style=\"background:#7f0000\"></span>fatal error"
           "<span style=\"background:#e53935\"></span>error<span style=\"background:#e0a100\"></span>warning</span></p>\n";
    out += "<table id=\"overview\"><thead><tr><th>Host</th><th>Per " + std::string(unit) +
           "</th><th>Warnings</th><th>Errors</th><th>Fatal errors</th><th>Without an instant</th><th>Latest error (" +
           Escape(q.zone) + ")</th></tr></thead><tbody>\n";
    if (overview.hosts.empty())
        out += "<tr><td colspan=\"7\" class=\"none\">No host has sent records yet.</td></tr>\n";
    for (const HostSummary& host : overview.hosts) {
        HourCounts sum;
        for (const HourCounts& h : host.hours) {
            sum.warning += h.warning;
            sum.error += h.error;
            sum.fatal += h.fatal;
        }
        RecordsQuery hostQuery;
        hostQuery.zone = q.zone;
        hostQuery.hosts = {host.host};
        std::vector<std::string> links;
        for (const Bar& bar : overview.bars) {
            RecordsQuery barQuery = hostQuery;
            barQuery.from = bar.from + ":00";
            barQuery.to = bar.to + ":00";
            links.push_back("/records?" + QueryString(barQuery, false));
        }
        std::string h = Escape(host.host);
        out += "<tr data-host=\"" + h + "\"><td><a href=\"/records?" + Escape(QueryString(hostQuery, false)) + "\">" +
               h + "</a></td><td>" + ChartSvg(host.hours, scaleMax, overview.bars, links, overview.byDay) +
               "</td><td class=\"n warnings\">" + std::to_string(sum.warning) + "</td><td class=\"n errors\">" +
               std::to_string(sum.error) + "</td><td class=\"n fatal\">" + std::to_string(sum.fatal) +
               "</td><td class=\"n unknown\">";
        if (host.unknown) {
            // Their hour is not known: listed apart, by the file days of the range.
            RecordsQuery apart = hostQuery;
            apart.instant = Instant::Unknown;
            apart.types = {"WARNING", "ERROR", "FATAL_ERROR"};
            if (!overview.bars.empty())
                apart.from = overview.bars.front().from.substr(0, 10) + " 00:00:00";
            out += "<a href=\"/records?" + Escape(QueryString(apart, false)) + "\">" + std::to_string(host.unknown) +
                   "</a>";
        } else {
            out += "0";
        }
        out += "</td><td class=\"latest\">";
        if (host.latest) {
            const LatestError& e = *host.latest;
            std::string when = "<span class=\"when\">" + Escape(e.shown) + "</span>";
            if (e.key)
                when = "<a class=\"record-link\" href=\"/record?" + Escape(KeyString(*e.key)) + "\">" + when + "</a>";
            out += when + " " + TypeSpan(e.type) + " <span class=\"src\">" + Escape(Or(e.source)) +
                   "</span>: <span class=\"msg\">" + Escape(Or(e.message)) + "</span>";
        } else {
            out += "<span class=\"none\">no error</span>";
        }
        out += "</td></tr>\n";
    }
    return out + "</tbody></table>\n</main></body></html>\n";
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
