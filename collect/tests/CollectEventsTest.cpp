// Logs awkward events through the real server, with the COM interface and
// with a VBScript client, checks the day file holds exactly their lines, and
// leaves the file and what each event's fields are for the collection test:
//   collect_events_tests --out=FOLDER
// FOLDER gets the day file under its own name and expected.tsv, one event a
// line: time text, type, level, source and message as the server wrote
// them, each in hexadecimal, tab-separated.

#include "LogFile.h"
#include "ServerHarness.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

using namespace VardelTest;

namespace {

std::string g_out;

enum EClient { VTABLE, VBSCRIPT };

struct CEvent {
    EClient client;
    long type;
    long level;
    const char* typeName;
    const char* levelName;
    std::uint32_t time;
    const wchar_t* source;
    const wchar_t* message;
};

// A Monday in January and a Tuesday in July: standard and daylight time.
constexpr std::uint32_t WINTER = 1136214000u; // 2006-01-02 15:00:00 UTC
constexpr std::uint32_t SUMMER = 1152000000u; // 2006-07-04 08:00:00 UTC

const CEvent EVENTS[] = {
    {VTABLE, 1, 1, "INFORMATION", "TRACE", WINTER, L"Pump Control", L"Pressure high, check seal"},
    {VTABLE, 2, 2, "WARNING", "DEBUG", SUMMER, L"a,b\rc", L"say \"hi\", then go"},
    {VTABLE, 3, 3, "ERROR", "RELEASE", WINTER, L"quote\"d,\"x\",\"", L"one\ntwo\r\nthree"},
    {VTABLE, 4, 3, "FATAL_ERROR", "RELEASE", SUMMER, L"first\r\nsecond", L"m"},
    {VTABLE, 7, 9, "UNKNOWN_EVENT_TYPE", "UNKNOWN_LEVEL", WINTER, L"multi\nline\nsource,\"x\"", L""},
    {VTABLE, 1, 3, "INFORMATION", "RELEASE", SUMMER, L"", L"empty source"},
    {VTABLE, 2, 1, "WARNING", "TRACE", WINTER, L"caf\u00e9 \u20ac", L"na\u00efve\tr\u00e9sum\u00e9"},
    {VTABLE, 3, 2, "ERROR", "DEBUG", SUMMER, L"x,\"y\"\r\n", L"a lone\rCR"},
    {VBSCRIPT, 3, 3, "ERROR", "RELEASE", WINTER, L"VB\r\nsource, with \"quotes\"", L"VB message \"q\", comma"},
    {VBSCRIPT, 4, 2, "FATAL_ERROR", "DEBUG", SUMMER, L"vb\nlf\u00e9", L"two\r\nlines"},
};

// The time texts the server must write, by hand for each zone the suite
// runs in (Windows' standard name of the zone, cut to 19 characters in the
// line as the server cuts it).
struct CZoneTexts {
    const wchar_t* zone;
    const char* winter;
    const char* summer;
};
const CZoneTexts TIME_TEXTS[] = {
    {L"GMT Standard Time", "Mon Jan 02 03:00:00 PM GMT Standard Time", "Tue Jul 04 09:00:00 AM GMT Daylight Time"},
    {L"Eastern Standard Time", "Mon Jan 02 10:00:00 AM Eastern Standard Ti",
     "Tue Jul 04 04:00:00 AM Eastern Daylight Ti"},
};

// Empty where the zone this test runs in has no texts above.
std::string ExpectedTimeText(std::uint32_t time)
{
    TIME_ZONE_INFORMATION zone;
    GetTimeZoneInformation(&zone);
    for (const CZoneTexts& z : TIME_TEXTS)
        if (std::wcscmp(zone.StandardName, z.zone) == 0)
            return time == WINTER ? z.winter : z.summer;
    return "";
}

std::string Ansi(const std::wstring& text)
{
    const int n = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &narrow[0], n, nullptr, nullptr);
    return narrow;
}

// The VBScript client's marks for what a command line cannot carry.
std::string Marked(const std::wstring& text)
{
    std::string marked;
    for (wchar_t c : text) {
        if (c == L'\r')
            marked += "{CR}";
        else if (c == L'\n')
            marked += "{LF}";
        else if (c == L'"')
            marked += "{Q}";
        else if (c == 0xE9)
            marked += "{E9}";
        else
            marked += static_cast<char>(c);
    }
    return marked;
}

std::string Hex(const std::string& bytes)
{
    std::string hex;
    char two[3];
    for (unsigned char c : bytes) {
        std::snprintf(two, sizeof two, "%02x", c);
        hex += two;
    }
    return hex;
}

std::string WindowsPath(std::string path)
{
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path[0] == '\\' ? "Z:" + path : path;
}

using CollectEvents = CServerTest<>;

TEST_F(CollectEvents, EveryEventIsOneLineOfTheDayFile)
{
    ASSERT_FALSE(g_out.empty()) << "run with --out=FOLDER";
    // Emptied first, so that a skipped or failed run leaves nothing behind.
    MakeEmptyFolder(g_out);
    ASSERT_EQ(1252u, GetACP()) << "the collector takes bytes above 127 to be code page 1252";
    ASSERT_EQ(0u, RunServer("/RegServer"));
    std::string expectedFile, expectedFields;
    {
        CComInit com;
        CServerSession session;
        IVardelEventLog* log = nullptr;
        ASSERT_HR(S_OK, CreateByProgId(&log));
        for (const CEvent& e : EVENTS) {
            if (e.client == VTABLE) {
                CBstr source(e.source), message(e.message);
                EXPECT_HR(S_OK, log->LogEvent(static_cast<eTType>(e.type), e.level, source.get(), e.time,
                                              message.get()));
            } else {
                const auto r = RunCaptured("cscript.exe //nologo \"" VARDEL_LOG_EVENT_VBS "\" " +
                                           std::string(Expected::PROGID) + " " + std::to_string(e.type) + " " +
                                           std::to_string(e.level) + " " + std::to_string(e.time) + " \"" +
                                           Marked(e.source) + "\" \"" + Marked(e.message) + "\"");
                EXPECT_EQ(0u, r.exitCode) << r.out << r.err;
            }
            std::string message = Ansi(e.message);
            for (char& c : message)
                c = c == '"' ? '\'' : c == '\r' || c == '\n' ? ' ' : c;
            const std::string time = ExpectedTimeText(e.time), source = Ansi(e.source);
            ASSERT_FALSE(time.empty()) << "no time texts written down for this zone";
            for (char c : time + "," + e.typeName + "," + e.levelName + "," + source + ",\"" + message + "\"\n")
                expectedFile += c == '\n' ? std::string("\r\n") : std::string(1, c);
            expectedFields += Hex(time) + "\t" + Hex(e.typeName) + "\t" + Hex(e.levelName) + "\t" + Hex(source) +
                              "\t" + Hex(message) + "\n";
        }
        log->Release();
        session.End();
    }
    const std::string written = m_log.Appended();
    EXPECT_EQ(expectedFile, written);

    const std::string name = m_log.FileName().substr(m_log.FileName().rfind('\\') + 1);
    WriteWholeFile(g_out + "\\" + name, written);
    WriteWholeFile(g_out + "\\expected.tsv", expectedFields);
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--out=", 6) == 0)
            g_out = WindowsPath(argv[i] + 6);
    return RUN_ALL_TESTS();
}
