// The log line and its file, against the real log folder; the zoned texts
// need the zone named in each test.
#include "LogFile.h"

#include "LogFolderFixture.h"
#include "Handles.h"

#include <algorithm>
#include <thread>

using namespace VardelTest;

namespace {

const std::uint32_t kExampleTime = 1073311435; // Mon 5 Jan 2004 14:03:55 UTC
const std::string kDay5 = "Log_2004_01_05.log";
const std::string kAlarmFolder = "C:\\Korvane\\LogFileAlarmTest";
const std::string kAlarmFile = kAlarmFolder + "\\alarms.txt";

void WriteOn(const CDate& day, const boost::shared_ptr<CLogEvent>& event)
{
    CLogFile(day).Write(event);
}

} // namespace

TEST(FormatEventTime, TwelveHourClockAndZeroPaddedDayInLondon)
{
    VARDEL_REQUIRE_ZONE("GMT Standard Time");
    EXPECT_EQ("Mon Jan 05 02:03:55 PM GMT Standard Time", FormatEventTime(kExampleTime));
    EXPECT_EQ("Mon Jan 05 12:30:00 AM GMT Standard Time", FormatEventTime(1073262600));
    EXPECT_EQ("Mon Jan 05 12:30:00 PM GMT Standard Time", FormatEventTime(1073305800));
    EXPECT_EQ("Mon Jan 05 01:00:00 PM GMT Standard Time", FormatEventTime(1073307600));
    EXPECT_EQ("Mon Jan 05 12:00:00 AM GMT Standard Time", FormatEventTime(1073260800));
    EXPECT_EQ("Sun Jan 04 11:59:59 PM GMT Standard Time", FormatEventTime(1073260799));
    EXPECT_EQ("Mon Jul 05 03:00:00 PM GMT Daylight Time", FormatEventTime(1089036000));
    EXPECT_EQ("Tue Jan 19 03:14:07 AM GMT Standard Time", FormatEventTime(2147483647));
}

TEST(FormatEventTime, LongZoneNameIsCutTo19Characters)
{
    VARDEL_REQUIRE_ZONE("Eastern Standard Time");
    EXPECT_EQ("Mon Jan 05 09:03:55 AM Eastern Standard Ti", FormatEventTime(kExampleTime));
    EXPECT_EQ("Mon Jul 05 10:00:00 AM Eastern Daylight Ti", FormatEventTime(1089036000));
}

TEST(FormatEventTime, TimesBefore1970AsSignedGiveUnknownTime)
{
    EXPECT_EQ("UNKNOWN_TIME 2147483648", FormatEventTime(2147483648u));
    EXPECT_EQ("UNKNOWN_TIME 4294967295", FormatEventTime(4294967295u));
    EXPECT_EQ(std::string::npos, FormatEventTime(2147483647u).find("UNKNOWN"));
}

TEST(CleanMessage, QuotesAndLineBreaksOnlyAndLengthKept)
{
    std::string text = "a\"b\r\nc\nd\re\t,f'%s";
    CleanMessage(text);
    EXPECT_EQ("a'b  c d e\t,f'%s", text);
    std::string empty;
    CleanMessage(empty);
    EXPECT_EQ("", empty);
}

using LogFileTest = LogFolderTest;

TEST_F(LogFileTest, FileNameFollowsThePattern)
{
    EXPECT_EQ("C:\\\\Korvane\\VardelLogs\\Log_2004_01_05.log", CLogFile(CDate(5, 1, 2004)).FileName());
    EXPECT_EQ("C:\\\\Korvane\\VardelLogs\\Log_2004_11_15.log", CLogFile(CDate(15, 11, 2004)).FileName());
    // The constructor touches no file.
    EXPECT_TRUE(ListFolder(Expected::LOG_FOLDER).empty());
}

TEST_F(LogFileTest, WritesTheExampleLine)
{
    VARDEL_REQUIRE_ZONE("GMT Standard Time");
    WriteOn(CDate(5, 1, 2004), MakeEvent(3, 3, "Pump Control", "Pressure \"high\"\ncheck seal", kExampleTime));
    EXPECT_EQ("Mon Jan 05 02:03:55 PM GMT Standard Time,ERROR,RELEASE,Pump Control,\"Pressure 'high' check seal\"\r\n",
              ReadWholeFile(LogPath(kDay5)));
}

TEST_F(LogFileTest, AppendsAndCleansOnlyTheMessage)
{
    VARDEL_REQUIRE_ZONE("GMT Standard Time");
    const CDate day(5, 1, 2004);
    const auto event = MakeEvent(1, 2, "a,\"b\"\nc", "x\r\ny\"", 1073262600);
    WriteOn(day, event);
    EXPECT_EQ("x  y'", event->m_message);
    EXPECT_EQ("a,\"b\"\nc", event->m_source);
    WriteOn(day, MakeEvent(0, 5, "", "", 1073307600));
    WriteOn(day, MakeEvent(4, -1, "S", "M", 1073307600));
    EXPECT_EQ("Mon Jan 05 12:30:00 AM GMT Standard Time,INFORMATION,DEBUG,a,\"b\"\r\nc,\"x  y'\"\r\n"
              "Mon Jan 05 01:00:00 PM GMT Standard Time,UNKNOWN_EVENT_TYPE,UNKNOWN_LEVEL,,\"\"\r\n"
              "Mon Jan 05 01:00:00 PM GMT Standard Time,FATAL_ERROR,UNKNOWN_LEVEL,S,\"M\"\r\n",
              ReadWholeFile(LogPath(kDay5)));
}

// The file is the day of writing; the line keeps the event's own time.
TEST_F(LogFileTest, EventFromBeforeMidnightGoesIntoTheNewDaysFile)
{
    VARDEL_REQUIRE_ZONE("GMT Standard Time");
    WriteOn(CDate(5, 1, 2004), MakeEvent(1, 1, "S", "late", 1073260799));
    EXPECT_EQ(std::vector<std::string>{kDay5}, ListFolder(Expected::LOG_FOLDER));
    EXPECT_EQ("Sun Jan 04 11:59:59 PM GMT Standard Time,INFORMATION,TRACE,S,\"late\"\r\n",
              ReadWholeFile(LogPath(kDay5)));
}

TEST_F(LogFileTest, UnconvertibleTimeStillWritesTheLine)
{
    WriteOn(CDate(5, 1, 2004), MakeEvent(3, 1, "S", "M", 2147483648u));
    EXPECT_EQ("UNKNOWN_TIME 2147483648,ERROR,TRACE,S,\"M\"\r\n", ReadWholeFile(LogPath(kDay5)));
}

TEST_F(LogFileTest, MissingFolderDropsTheLineAndCreatesNothing)
{
    RemoveTree(Expected::LOG_FOLDER);
    WriteOn(CDate(5, 1, 2004), MakeEvent(1, 1, "S", "M", kExampleTime));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(Expected::LOG_FOLDER));
}

namespace {

// Opens the file as another program would that shares nothing.
Vardel::CUniqueFileHandle LockFile(const std::string& path)
{
    return Vardel::CUniqueFileHandle(
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

const char* const kLine5 = ",INFORMATION,TRACE,S,\"";

} // namespace

TEST_F(LogFileTest, ReaderThatSharesDoesNotBlockTheLine)
{
    WriteWholeFile(LogPath(kDay5), "earlier\r\n");
    Vardel::CUniqueFileHandle reader(CreateFileA(LogPath(kDay5).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                 nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(reader);
    WriteOn(CDate(5, 1, 2004), MakeEvent(1, 1, "S", "shared", 2147483648u));
    EXPECT_EQ("earlier\r\nUNKNOWN_TIME 2147483648" + std::string(kLine5) + "shared\"\r\n", ReadWholeFile(LogPath(kDay5)));
}

// A lock that ends within the wait costs no line.
TEST_F(LogFileTest, ShortLockByAnotherProgramIsWaitedFor)
{
    WriteWholeFile(LogPath(kDay5), "earlier\r\n");
    Vardel::CUniqueFileHandle lock = LockFile(LogPath(kDay5));
    ASSERT_TRUE(lock);
    std::thread release([&lock] {
        Sleep(300);
        lock.reset();
    });
    WriteOn(CDate(5, 1, 2004), MakeEvent(1, 1, "S", "kept", 2147483648u));
    release.join();
    EXPECT_EQ("earlier\r\nUNKNOWN_TIME 2147483648" + std::string(kLine5) + "kept\"\r\n", ReadWholeFile(LogPath(kDay5)));
}

// A lock that outlasts the wait loses the line; the lines after it try once
// instead of waiting each, until the file opens again.
TEST_F(LogFileTest, LongLockDropsLinesWithoutStallingTheNextOnes)
{
    const CDate day(5, 1, 2004);
    Vardel::CUniqueFileHandle lock = LockFile(LogPath(kDay5));
    ASSERT_TRUE(lock);
    WriteOn(day, MakeEvent(1, 1, "S", "lost 1", 2147483648u));
    {
        // Let go well inside the wait: a line that waited again would be written.
        std::thread letGo([&lock] {
            Sleep(LOCKED_FILE_WAIT_MS / 2);
            lock.reset();
        });
        WriteOn(day, MakeEvent(1, 1, "S", "lost 2", 2147483648u));
        letGo.join();
    }
    WriteOn(day, MakeEvent(1, 1, "S", "after", 2147483648u));

    // The open that succeeded restores the full wait for the next lock.
    lock = LockFile(LogPath(kDay5));
    ASSERT_TRUE(lock);
    std::thread release([&lock] {
        Sleep(300);
        lock.reset();
    });
    WriteOn(day, MakeEvent(1, 1, "S", "waited", 2147483648u));
    release.join();
    EXPECT_EQ("UNKNOWN_TIME 2147483648" + std::string(kLine5) + "after\"\r\nUNKNOWN_TIME 2147483648" + kLine5 +
                  "waited\"\r\n",
              ReadWholeFile(LogPath(kDay5)));
}

// The alarm writer gets every event first, with its message as received;
// level 4 then stops before any log file is opened.
class LogFileAlarmTest : public LogFolderTest {
protected:
    void SetUp() override
    {
        LogFolderTest::SetUp();
        MakeEmptyFolder(kAlarmFolder);
        SetRegString(HKEY_LOCAL_MACHINE, Expected::ALARM_KEY, Expected::ALARM_FILE_VALUE, kAlarmFile);
    }
    void TearDown() override
    {
        RemoveTree(kAlarmFolder);
        LogFolderTest::TearDown();
    }

    static std::size_t AlarmLines()
    {
        const std::string text = ReadWholeFile(kAlarmFile);
        return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    }
};

TEST_F(LogFileAlarmTest, LevelFourReachesOnlyTheAlarmWriter)
{
    WriteOn(CDate(5, 1, 2004), MakeEvent(4, 4, "Pump", "lost", kExampleTime));
    EXPECT_EQ(1u, AlarmLines());
    EXPECT_NE(std::string::npos, ReadWholeFile(kAlarmFile).find("[FATAL_ERROR] [Pump] lost\r\n"));
    EXPECT_TRUE(ListFolder(Expected::LOG_FOLDER).empty());

    // Level 4 of a type that is no alarm: nothing anywhere.
    WriteOn(CDate(5, 1, 2004), MakeEvent(1, 4, "Pump", "quiet", kExampleTime));
    EXPECT_EQ(1u, AlarmLines());
    EXPECT_TRUE(ListFolder(Expected::LOG_FOLDER).empty());
}

TEST_F(LogFileAlarmTest, AlarmSeesTheMessageBeforeItIsCleaned)
{
    WriteOn(CDate(5, 1, 2004), MakeEvent(3, 3, "Pump", "say \"hi\"", kExampleTime));
    EXPECT_NE(std::string::npos, ReadWholeFile(kAlarmFile).find("[ERROR] [Pump] say \"hi\"\r\n"));
    const std::string line = ReadWholeFile(LogPath(kDay5));
    EXPECT_NE(std::string::npos, line.find(",ERROR,RELEASE,Pump,\"say 'hi'\"\r\n")) << line;
}
