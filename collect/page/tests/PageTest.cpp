// The page's pure parts: escaping, CSV quoting, parameter checks, the chart
// and the start-up settings.

#include <gtest/gtest.h>

#include "Params.h"
#include "Render.h"
#include "Settings.h"

using namespace Vardel::Page;

TEST(PageEscape, EveryMarkupCharacterAndNothingElse)
{
    const struct {
        std::string in, out;
    } cases[] = {
        {"plain text 123", "plain text 123"},
        {"<script>alert(1)</script>", "&lt;script&gt;alert(1)&lt;/script&gt;"},
        {"' OR 1=1 --", "&#39; OR 1=1 --"},
        {"a&b \"q\"", "a&amp;b &quot;q&quot;"},
        {"&lt;", "&amp;lt;"},
        {"line\r\nnext\ttab", "line\r\nnext\ttab"},
        {"\xc3\xa4\xe2\x82\xac", "\xc3\xa4\xe2\x82\xac"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Escape(c.in), c.out) << c.in;
}

TEST(PageCsv, QuotesOnlyWhatNeedsItAndDoublesQuotes)
{
    const struct {
        Text in;
        std::string out;
    } cases[] = {
        {std::nullopt, ""},
        {std::string(""), ""},
        {std::string("plain"), "plain"},
        {std::string("a,b"), "\"a,b\""},
        {std::string("say \"hi\""), "\"say \"\"hi\"\"\""},
        {std::string("two\nlines"), "\"two\nlines\""},
        {std::string("cr\ronly"), "\"cr\ronly\""},
        {std::string("' OR 1=1 --"), "' OR 1=1 --"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CsvField(c.in), c.out) << c.in.value_or("(null)");

    RecordRow row;
    row.host = "pc,1";
    row.file = "Log_2026_12_09.log";
    row.utc = "2026-12-09T10:00:00Z";
    row.timeText = "Wed Dec 09 10:00:00 AM UTC";
    row.type = "ERROR";
    row.level = "RELEASE";
    row.source = "a\nb";
    row.message = "m";
    EXPECT_EQ(RenderCsv({row}), "host,file,utc,time,type,level,source,message,raw\r\n"
                                "\"pc,1\",Log_2026_12_09.log,2026-12-09T10:00:00Z,Wed Dec 09 10:00:00 AM UTC,"
                                "ERROR,RELEASE,\"a\nb\",m,\r\n");
}

namespace {

Params P(std::initializer_list<std::pair<const std::string, std::string>> list)
{
    return Params(list);
}

}  // namespace

TEST(PageParams, GoodValuesBecomeTheTypedQuery)
{
    RecordsQuery none = ParseRecords({}, false);
    EXPECT_EQ(none.zone, "UTC");
    EXPECT_FALSE(none.host || none.type || none.level || none.text || none.from || none.to || none.before);
    EXPECT_EQ(none.limit, kRecordsDefaultLimit);
    EXPECT_EQ(ParseRecords({}, true).limit, kExportDefaultLimit);

    RecordsQuery q = ParseRecords(P({{"zone", "America/New_York"}, {"host", "' OR 1=1 --"}, {"type", "FATAL_ERROR"},
                                     {"level", "TRACE"}, {"q", "<script>"}, {"from", "2024-02-29T23:59"},
                                     {"to", "2024-03-01 00:00:30"}, {"before", "1733700000123456_42"},
                                     {"limit", "1000"}, {"other", "ignored"}}),
                                  false);
    EXPECT_EQ(q.zone, "America/New_York");
    EXPECT_EQ(q.host.value(), "' OR 1=1 --");
    EXPECT_EQ(q.type.value(), "FATAL_ERROR");
    EXPECT_EQ(q.level.value(), "TRACE");
    EXPECT_EQ(q.text.value(), "<script>");
    EXPECT_EQ(q.from.value(), "2024-02-29 23:59:00");
    EXPECT_EQ(q.to.value(), "2024-03-01 00:00:30");
    ASSERT_TRUE(q.before);
    EXPECT_EQ(q.before->atMicros, 1733700000123456);
    EXPECT_EQ(q.before->id, 42);
    EXPECT_EQ(q.limit, 1000);
    // Empty form fields mean "any".
    EXPECT_FALSE(ParseRecords(P({{"host", ""}, {"type", ""}, {"from", ""}}), false).host);
    // The links carry the same query back.
    EXPECT_EQ(ParseRecords(P({{"x", "1"}}), false).zone, "UTC");
    std::string qs = QueryString(q, true);
    EXPECT_EQ(qs, "zone=America/New_York&host=%27%20OR%201%3D1%20--&type=FATAL_ERROR&level=TRACE&q=%3Cscript%3E"
                  "&from=2024-02-29T23:59:00&to=2024-03-01T00:00:30&before=1733700000123456_42&limit=1000");

    OverviewQuery o = ParseOverview(P({{"zone", "Asia/Kolkata"}, {"hours", "744"}}));
    EXPECT_EQ(o.zone, "Asia/Kolkata");
    EXPECT_EQ(o.hours, 744);
    EXPECT_EQ(ParseOverview({}).hours, 24);
}

TEST(PageParams, BadValuesNameTheParameter)
{
    const struct {
        Params params;
        bool overview;
        std::string name;
    } cases[] = {
        {P({{"zone", "Mars/Olympus"}}), false, "zone"},
        {P({{"zone", "../../etc/passwd"}}), false, "zone"},
        {P({{"zone", "Europe/../Europe/Berlin"}}), true, "zone"},
        {P({{"zone", "localtime"}}), true, "zone"},
        {P({{"zone", "UTC'; drop table vardel.records; --"}}), true, "zone"},
        {P({{"type", "error"}}), false, "type"},
        {P({{"type", "' OR 1=1 --"}}), false, "type"},
        {P({{"level", "INFO"}}), false, "level"},
        {P({{"from", "2026-02-30"}}), false, "from"},
        {P({{"from", "2026-12-09T24:00"}}), false, "from"},
        {P({{"to", "yesterday"}}), false, "to"},
        {P({{"to", "2026-12-09T10:00:00Z"}}), false, "to"},
        {P({{"from", "2026-12-09T10:00"}, {"to", "2026-12-09T10:00"}}), false, "to"},
        {P({{"before", "12345"}}), false, "before"},
        {P({{"before", "-1_2"}}), false, "before"},
        {P({{"before", "99999999999999999999_1"}}), false, "before"},
        {P({{"limit", "0"}}), false, "limit"},
        {P({{"limit", "1001"}}), false, "limit"},
        {P({{"limit", "ten"}}), false, "limit"},
        {P({{"q", std::string(201, 'x')}}), false, "q"},
        {P({{"host", "a"}, {"host", "b"}}), false, "host"},
        {P({{"host", "pc\xff"}}), false, "host"},
        {P({{"q", "\xc0\xaf"}}), false, "q"},
        {P({{"q", "\xed\xa0\x80"}}), false, "q"},
        {P({{"q", "cut \xe2\x82"}}), false, "q"},
        {P({{"hours", "0"}}), true, "hours"},
        {P({{"hours", "745"}}), true, "hours"},
        {P({{"hours", "1e3"}}), true, "hours"},
    };
    for (const auto& c : cases) {
        try {
            if (c.overview)
                ParseOverview(c.params);
            else
                ParseRecords(c.params, false);
            ADD_FAILURE() << "accepted " << c.params.begin()->second;
        } catch (const BadParameter& e) {
            EXPECT_EQ(e.name(), c.name) << e.what();
            EXPECT_NE(std::string(e.what()).find("'" + c.name + "'"), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(ParseRecords(P({{"limit", "100000000"}}), true).limit, kExportMaxLimit);
    EXPECT_EQ(ParseRecords(P({{"q", "\xc3\xa4 \xe2\x82\xac \xf0\x9f\x98\x80"}}), false).text.value(),
              "\xc3\xa4 \xe2\x82\xac \xf0\x9f\x98\x80");
    // A zone with '+' reaches the links encoded, not as a space.
    EXPECT_EQ(UrlEncode("Etc/GMT+5"), "Etc/GMT%2B5");
    EXPECT_EQ(ParseOverview(P({{"zone", "Etc/GMT+5"}})).zone, "Etc/GMT+5");
}

TEST(PageChart, BarsStackInProportionToTheHourCounts)
{
    // Four hours; a full bar is 8 events in an hour.
    std::vector<HourCounts> hours = {{0, 0, 0}, {2, 2, 0}, {0, 0, 8}, {1000, 0, 0}};
    std::string svg = ChartSvg(hours, 8000, {"h0", "h1", "h2", "h3 <&>"});
    // Hour 1: errors at the bottom 40*2/8000 -> the 1-pixel floor, warnings on top.
    const std::string expected[] = {
        "<rect class=\"e\" x=\"120\" y=\"39\" width=\"119\" height=\"1\"/>",
        "<rect class=\"w\" x=\"120\" y=\"38\" width=\"119\" height=\"1\"/>",
        "<rect class=\"f\" x=\"240\" y=\"39\" width=\"119\" height=\"1\"/>",
        "<rect class=\"w\" x=\"360\" y=\"35\" width=\"119\" height=\"5\"/>",
        "<title>h3 &lt;&amp;&gt;: 1000 warnings, 0 errors, 0 fatal errors</title>",
    };
    for (const std::string& part : expected)
        EXPECT_NE(svg.find(part), std::string::npos) << part << "\n" << svg;
    EXPECT_EQ(svg.find("x=\"0\""), std::string::npos) << "an empty hour draws no bar";

    std::string full = ChartSvg({{1, 1, 2}}, 4, {"h"});
    EXPECT_NE(full.find("<rect class=\"f\" x=\"0\" y=\"20\" width=\"479\" height=\"20\"/>"), std::string::npos) << full;
    EXPECT_NE(full.find("<rect class=\"e\" x=\"0\" y=\"10\" width=\"479\" height=\"10\"/>"), std::string::npos) << full;
    EXPECT_NE(full.find("<rect class=\"w\" x=\"0\" y=\"0\" width=\"479\" height=\"10\"/>"), std::string::npos) << full;
}

TEST(PageRender, DataShowsAsTextAndUnknownInstantsSayWhy)
{
    RecordsQuery q;
    q.zone = "Europe/Berlin";
    q.host = "\"><script>";
    q.limit = 1;
    RecordRow row;
    row.id = 7;
    row.atMicros = 1733700000000001;
    row.host = "pc<1>";
    row.file = "Log_2026_12_09.log";
    row.timeText = "UNKNOWN_TIME 99";
    row.unknown = "no zone <x>";
    row.type = "ERROR";
    row.source = "' OR 1=1 --\nline two";
    row.message = "<script>alert(1)</script>";
    std::string html = RenderRecords(q, {row});
    EXPECT_EQ(html.find("<script"), std::string::npos);
    for (const char* part : {"UNKNOWN_TIME 99<span class=\"why\">no instant: no zone &lt;x&gt;</span>",
                             "&#39; OR 1=1 --\nline two", "&lt;script&gt;alert(1)&lt;/script&gt;", "pc&lt;1&gt;",
                             "value=\"&quot;&gt;&lt;script&gt;\"", "Time (Europe/Berlin)",
                             "before=1733700000000001_7&amp;limit=1\">Older"})
        EXPECT_NE(html.find(part), std::string::npos) << part;
}

TEST(PageSettings, DefaultsOptionsAndHiddenPasswords)
{
    Settings d = ParseSettings({});
    EXPECT_EQ(d.address, "127.0.0.1");
    EXPECT_EQ(d.port, 8080);
    EXPECT_EQ(d.store, "dbname=vardel user=vardel_reader");
    Settings s = ParseSettings({"--address", "0.0.0.0", "--port", "9090", "--store", "host=/run x"});
    EXPECT_EQ(s.address, "0.0.0.0");
    EXPECT_EQ(s.port, 9090);
    EXPECT_EQ(s.store, "host=/run x");
    for (auto bad : std::vector<std::vector<std::string>>{
             {"--port", "0"}, {"--port", "65536"}, {"--port", "80x"}, {"--port"}, {"--verbose"}, {"--address", ""}})
        EXPECT_THROW(ParseSettings(bad), std::invalid_argument) << bad[0];

    EXPECT_EQ(StoreForDisplay("host=h password=s3cret user=r"), "host=h password=*** user=r");
    EXPECT_EQ(StoreForDisplay("password = 'a b\\' c' dbname=v"), "password = *** dbname=v");
    EXPECT_EQ(StoreForDisplay("postgresql://reader:s3cret@db/vardel"), "postgresql://reader:***@db/vardel");
    EXPECT_EQ(StoreForDisplay("postgres://db/vardel?user=r&password=x"), "postgres://db/vardel?user=r&password=***");
}
