#include "Params.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

namespace Vardel::Page {

const char* const kTypes[5] = {"INFORMATION", "WARNING", "ERROR", "FATAL_ERROR", "UNKNOWN_EVENT_TYPE"};
const char* const kLevels[4] = {"TRACE", "DEBUG", "RELEASE", "UNKNOWN_LEVEL"};

namespace {

constexpr size_t kMaxText = 200;
constexpr const char* kZoneInfo = "/usr/share/zoneinfo/";

// The one value of a parameter, or nothing when absent or empty (an empty
// form field means "any").
std::optional<std::string> One(const Params& params, const std::string& name)
{
    auto range = params.equal_range(name);
    if (range.first == range.second)
        return std::nullopt;
    if (std::next(range.first) != range.second)
        throw BadParameter(name, "given more than once");
    if (range.first->second.empty())
        return std::nullopt;
    return range.first->second;
}

bool Digits(const std::string& text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

int Number(const Params& params, const std::string& name, int fallback, int low, int high)
{
    auto value = One(params, name);
    if (!value)
        return fallback;
    std::string range = "a whole number from " + std::to_string(low) + " to " + std::to_string(high);
    if (!Digits(*value) || value->size() > 9)
        throw BadParameter(name, "not " + range);
    int number = std::stoi(*value);
    if (number < low || number > high)
        throw BadParameter(name, "not " + range);
    return number;
}

// UTC or a name of the zone database (Europe/Berlin), as the store's
// time-zone functions take it.
std::string Zone(const Params& params)
{
    auto value = One(params, "zone");
    if (!value || *value == "UTC")
        return "UTC";
    const std::string& zone = *value;
    bool shape = zone.size() <= 64 && zone[0] >= 'A' && zone[0] <= 'Z';
    for (size_t i = 0; shape && i < zone.size(); ++i) {
        char c = zone[i];
        bool part = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
                    c == '-' || c == '+';
        bool slash = c == '/' && i + 1 < zone.size() && zone[i + 1] != '/' && zone[i + 1] != '.';
        shape = part || slash;
    }
    struct stat info {};
    if (!shape || stat((kZoneInfo + zone).c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        throw BadParameter("zone", "not UTC or a known IANA time zone such as Europe/Berlin");
    return zone;
}

std::optional<std::string> Choice(const Params& params, const std::string& name, const char* const* names, size_t count)
{
    auto value = One(params, name);
    if (!value)
        return std::nullopt;
    for (size_t i = 0; i < count; ++i)
        if (*value == names[i])
            return value;
    std::string list;
    for (size_t i = 0; i < count; ++i)
        list += (i ? ", " : "") + std::string(names[i]);
    throw BadParameter(name, "not one of " + list);
}

// Well-formed UTF-8 (no overlong forms, surrogates or code points past
// U+10FFFF): the store takes nothing else as text.
bool Utf8(const std::string& text)
{
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = text[i];
        size_t n = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 9;
        if (n == 9 || i + n >= text.size() + (n ? 0 : 1))
            return false;
        uint32_t cp = n == 0 ? c : c & (0x3F >> n);
        for (size_t k = 1; k <= n; ++k) {
            const unsigned char d = text[i + k];
            if ((d >> 6) != 2)
                return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        static const uint32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += n + 1;
    }
    return true;
}

std::optional<std::string> Text(const Params& params, const std::string& name)
{
    auto value = One(params, name);
    if (value && !Utf8(*value))
        throw BadParameter(name, "not UTF-8 text");
    if (value && value->size() > kMaxText)
        throw BadParameter(name, "longer than " + std::to_string(kMaxText) + " bytes");
    if (value && value->find('\0') != std::string::npos)
        throw BadParameter(name, "holds a NUL character");
    return value;
}

// YYYY-MM-DD, optionally with THH:MM or THH:MM:SS (a space for the T too),
// as a browser's date and time field sends it; a real date and time.
std::optional<std::string> LocalTime(const Params& params, const std::string& name)
{
    auto value = One(params, name);
    if (!value)
        return std::nullopt;
    const std::string why = "not a date and time YYYY-MM-DDTHH:MM[:SS]";
    const std::string& t = *value;
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    auto digitsAt = [&](size_t at, size_t n) {
        return at + n <= t.size() && Digits(t.substr(at, n));
    };
    bool ok = digitsAt(0, 4) && t.size() >= 10 && t[4] == '-' && digitsAt(5, 2) && t[7] == '-' && digitsAt(8, 2);
    if (ok && t.size() > 10)
        ok = (t.size() == 16 || t.size() == 19) && (t[10] == 'T' || t[10] == ' ') && digitsAt(11, 2) &&
             t[13] == ':' && digitsAt(14, 2) && (t.size() == 16 || (t[16] == ':' && digitsAt(17, 2)));
    else if (ok)
        ok = t.size() == 10;
    if (!ok)
        throw BadParameter(name, why);
    y = std::stoi(t.substr(0, 4));
    mo = std::stoi(t.substr(5, 2));
    d = std::stoi(t.substr(8, 2));
    if (t.size() > 10) {
        h = std::stoi(t.substr(11, 2));
        mi = std::stoi(t.substr(14, 2));
        if (t.size() == 19)
            s = std::stoi(t.substr(17, 2));
    }
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (y < 1900 || mo < 1 || mo > 12 || d < 1 || d > days[mo - 1] + (mo == 2 && leap ? 1 : 0) || h > 23 || mi > 59 ||
        s > 59)
        throw BadParameter(name, why + " that exists");
    char out[64];
    std::snprintf(out, sizeof out, "%04d-%02d-%02d %02d:%02d:%02d", y, mo, d, h, mi, s);
    return std::string(out);
}

std::optional<Cursor> ParseCursor(const Params& params, const std::string& name)
{
    auto value = One(params, name);
    if (!value)
        return std::nullopt;
    size_t dash = value->find('_');
    std::string at = value->substr(0, dash);
    std::string id = dash == std::string::npos ? "" : value->substr(dash + 1);
    const bool negative = !at.empty() && at[0] == '-';
    if (negative)
        at = at.substr(1);
    if (!Digits(at) || !Digits(id) || at.size() > 18 || id.size() > 18)
        throw BadParameter(name, "not a position MICROSECONDS_ID from a page link");
    return Cursor{negative ? -std::stoll(at) : std::stoll(at), std::stoll(id)};
}

// Every value of a repeatable parameter (empty ones mean "any"), each
// checked, each once.
std::vector<std::string> Many(const Params& params, const std::string& name, const char* const* names, size_t count)
{
    std::vector<std::string> out;
    auto range = params.equal_range(name);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second.empty())
            continue;
        Params one{{name, it->second}};
        std::string value = names ? *Choice(one, name, names, count) : *Text(one, name);
        if (std::find(out.begin(), out.end(), value) == out.end())
            out.push_back(value);
        if (out.size() > kMaxListed)
            throw BadParameter(name, "given more than " + std::to_string(kMaxListed) + " times");
    }
    return out;
}

// A parameter the page does not take is refused, not ignored: a misspelt
// one would otherwise give a page that looks right and is not.
void OnlyKnown(const Params& params, std::initializer_list<const char*> names)
{
    for (const auto& [name, value] : params) {
        bool known = false;
        for (const char* n : names)
            known = known || name == n;
        if (!known) {
            std::string list;
            for (const char* n : names)
                list += (list.empty() ? "" : ", ") + std::string(n);
            throw BadParameter(name, "not a parameter of this page (" + list + ")");
        }
    }
}

std::optional<int64_t> Whole(const Params& params, const std::string& name)
{
    auto value = One(params, name);
    if (!value)
        return std::nullopt;
    if (!Digits(*value) || value->size() > 18)
        throw BadParameter(name, "not a whole number");
    return std::stoll(*value);
}

}  // namespace

std::string UrlEncode(const std::string& text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
            c == '.' || c == '~' || c == '/' || c == ':') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

OverviewQuery ParseOverview(const Params& params)
{
    OnlyKnown(params, {"zone", "hours"});
    OverviewQuery query;
    query.zone = Zone(params);
    query.hours = Number(params, "hours", query.hours, 1, kOverviewMaxHours);
    return query;
}

RecordsQuery ParseRecords(const Params& params, bool forExport)
{
    if (forExport)
        OnlyKnown(params, {"zone", "host", "type", "level", "q", "from", "to", "instant", "before", "limit"});
    else
        OnlyKnown(params, {"zone", "host", "type", "level", "q", "from", "to", "instant", "before", "after", "limit",
                           "refresh"});
    RecordsQuery query;
    query.zone = Zone(params);
    query.hosts = Many(params, "host", nullptr, 0);
    query.types = Many(params, "type", kTypes, 5);
    query.levels = Many(params, "level", kLevels, 4);
    query.text = Text(params, "q");
    query.from = LocalTime(params, "from");
    query.to = LocalTime(params, "to");
    if (query.from && query.to && *query.to <= *query.from)
        throw BadParameter("to", "not after from");
    static const char* const instants[] = {"known", "unknown"};
    auto instant = Choice(params, "instant", instants, 2);
    query.instant = instant && *instant == "unknown" ? Instant::Unknown : Instant::Known;
    query.instantGiven = instant.has_value();
    query.before = ParseCursor(params, "before");
    query.after = forExport ? std::nullopt : ParseCursor(params, "after");
    if (query.before && query.after)
        throw BadParameter("after", "not together with before");
    query.limit = forExport ? Number(params, "limit", kExportDefaultLimit, 1, kExportMaxLimit)
                            : Number(params, "limit", kRecordsDefaultLimit, 1, kRecordsMaxLimit);
    if (!forExport && One(params, "refresh")) {
        query.refresh = Number(params, "refresh", 0, 1, 3600);
        if (std::find(std::begin(kRefreshChoices), std::end(kRefreshChoices), query.refresh) ==
            std::end(kRefreshChoices))
            throw BadParameter("refresh", "not one of 10, 30, 60, 300 seconds");
    }
    return query;
}

RecordKey ParseRecordKey(const Params& params)
{
    OnlyKnown(params, {"zone", "host", "file", "day", "offset", "piece", "id"});
    RecordKey key;
    key.zone = Zone(params);
    auto need = [](const std::optional<std::string>& v, const char* name) {
        if (!v)
            throw BadParameter(name, "missing (links from the records view carry it)");
        return *v;
    };
    key.host = need(Text(params, "host"), "host");
    key.file = need(Text(params, "file"), "file");
    key.day = need(One(params, "day"), "day");
    if (key.day.size() != 10 || !LocalTime(Params{{"day", key.day}}, "day"))
        throw BadParameter("day", "not a date YYYY-MM-DD");
    key.offset = Whole(params, "offset");
    key.piece = Number(params, "piece", 0, 0, 999999999);
    auto id = Whole(params, "id");
    if (!id)
        throw BadParameter("id", "missing (links from the records view carry it)");
    key.id = *id;
    return key;
}

std::string FormatCursor(const Cursor& cursor)
{
    return std::to_string(cursor.atMicros) + "_" + std::to_string(cursor.id);
}

std::string QueryString(const RecordsQuery& query, bool withPosition)
{
    std::string out;
    auto add = [&](const char* name, const std::optional<std::string>& value) {
        if (value)
            out += (out.empty() ? "" : "&") + std::string(name) + "=" + UrlEncode(*value);
    };
    add("zone", query.zone == "UTC" ? std::nullopt : std::optional<std::string>(query.zone));
    for (const std::string& host : query.hosts)
        add("host", host);
    for (const std::string& type : query.types)
        add("type", type);
    for (const std::string& level : query.levels)
        add("level", level);
    add("q", query.text);
    auto field = [](const std::optional<std::string>& t) {
        return t ? std::optional<std::string>(t->substr(0, 10) + "T" + t->substr(11)) : std::nullopt;
    };
    add("from", field(query.from));
    add("to", field(query.to));
    if (query.instant == Instant::Unknown || query.instantGiven)
        add("instant", std::string(query.instant == Instant::Unknown ? "unknown" : "known"));
    if (withPosition && query.before)
        add("before", FormatCursor(*query.before));
    if (withPosition && query.after)
        add("after", FormatCursor(*query.after));
    if (query.limit != kRecordsDefaultLimit && query.limit != kExportDefaultLimit)
        add("limit", std::to_string(query.limit));
    if (query.refresh)
        add("refresh", std::to_string(query.refresh));
    return out;
}

std::string KeyString(const RecordKey& key)
{
    std::string out = "host=" + UrlEncode(key.host) + "&file=" + UrlEncode(key.file) + "&day=" + key.day;
    if (key.offset)
        out += "&offset=" + std::to_string(*key.offset);
    out += "&piece=" + std::to_string(key.piece) + "&id=" + std::to_string(key.id);
    if (key.zone != "UTC")
        out += "&zone=" + UrlEncode(key.zone);
    return out;
}

}  // namespace Vardel::Page
