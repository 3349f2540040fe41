// The overview's per-host chart as inline SVG: drawn on the server, so the
// page needs no script.

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "Render.h"

namespace Vardel::Page {

namespace {

constexpr int kTop = 11;     // room for the counts above the bars
constexpr int kAxis = 13;    // room for the hour or day labels below
constexpr int kLabelGap = 24;  // pixels between two labels at least

std::string Num(double v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", v);
    std::string s = buf;
    while (s.back() == '0')
        s.pop_back();
    if (s.back() == '.')
        s.pop_back();
    return s;
}

// "HH" for an hour, "MM-DD" for a day or an hour at local midnight.
std::string AxisLabel(const Bar& bar, bool byDay)
{
    if (bar.from.size() < 16)
        return "";
    const bool midnight = bar.from.compare(11, 5, "00:00") == 0;
    return byDay || midnight ? bar.from.substr(5, 5) : bar.from.substr(11, 2);
}

}  // namespace

std::string ChartSvg(const std::vector<HourCounts>& counts, int scaleMax, const std::vector<Bar>& bars,
                     const std::vector<std::string>& links, bool byDay)
{
    const int n = std::max<int>(1, static_cast<int>(counts.size()));
    const double slot = static_cast<double>(kChartWidth) / n;
    const double bar = std::max(1.0, slot - (slot > 4 ? 1 : 0));
    const int height = kTop + kChartBars + kAxis;
    const int base = kTop + kChartBars;
    std::string out = "<svg class=\"chart\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                      std::to_string(kChartWidth) + "\" height=\"" + std::to_string(height) + "\" viewBox=\"0 0 " +
                      std::to_string(kChartWidth) + " " + std::to_string(height) + "\">";
    // The axis: a label every few bars, so that they do not run together,
    // and a faint line where a local day begins.
    const int every = byDay ? std::max(1, static_cast<int>(std::ceil(36 / slot)))
                            : std::max(1, static_cast<int>(std::ceil(kLabelGap / slot)));
    for (int i = 0; i < static_cast<int>(bars.size()) && i < n; ++i) {
        const std::string label = AxisLabel(bars[i], byDay);
        const bool midnight = !byDay && label.size() == 5;
        if (midnight && i > 0)
            out += "<line class=\"day\" x1=\"" + Num(i * slot) + "\" y1=\"" + std::to_string(kTop) + "\" x2=\"" +
                   Num(i * slot) + "\" y2=\"" + std::to_string(base) + "\"/>";
        // Kept inside the chart: a date is wider than a bar.
        const double x = std::clamp(i * slot + bar / 2, 14.0, kChartWidth - 14.0);
        if (i % every == 0)
            out += "<text class=\"axis\" x=\"" + Num(x) + "\" y=\"" + std::to_string(height - 2) +
                   "\" text-anchor=\"middle\">" + Escape(label) + "</text>";
    }
    for (int i = 0; i < static_cast<int>(counts.size()); ++i) {
        const HourCounts& h = counts[i];
        if (h.total() == 0)
            continue;
        const std::string when = i < static_cast<int>(bars.size()) ? bars[i].from : "";
        std::string title = when + ": " + std::to_string(h.warning) + " warnings, " + std::to_string(h.error) +
                            " errors, " + std::to_string(h.fatal) + " fatal errors";
        const bool linked = i < static_cast<int>(links.size());
        out += linked ? "<a class=\"bar\" href=\"" + Escape(links[i]) + "\">" : "<g>";
        out += "<title>" + Escape(title) + "</title>";
        double y = base;
        const std::pair<int, const char*> parts[] = {{h.fatal, "f"}, {h.error, "e"}, {h.warning, "w"}};
        for (const auto& [count, cls] : parts) {
            if (count == 0)
                continue;
            // At least a pixel, so that one event among thousands still shows.
            double part = std::max(1.0, static_cast<double>(count) * kChartBars / std::max(1, scaleMax));
            part = std::min(part, y - kTop);
            y -= part;
            out += "<rect class=\"" + std::string(cls) + "\" x=\"" + Num(i * slot) + "\" y=\"" + Num(y) +
                   "\" width=\"" + Num(bar) + "\" height=\"" + Num(part) + "\"/>";
        }
        out += "<text class=\"c\" x=\"" + Num(i * slot + bar / 2) + "\" y=\"" + Num(y - 2) +
               "\" text-anchor=\"middle\">" + std::to_string(h.total()) + "</text>";
        out += linked ? "</a>" : "</g>";
    }
    out += "<line class=\"base\" x1=\"0\" y1=\"" + std::to_string(base) + ".5\" x2=\"" + std::to_string(kChartWidth) +
           "\" y2=\"" + std::to_string(base) + ".5\"/></svg>";
    return out;
}

}  // namespace Vardel::Page
