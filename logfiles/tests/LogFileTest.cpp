// The log line and its file, against the real log folder; the zoned texts
// need the zone named in each test.
#include "LogFile.h"

#include "KeptLines.h"
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

// Counts from 2^31 are the years 2038 to 2106 (summer time included), not
// times before 1970.
TEST(FormatEventTime, CountsFrom2038To2106)
{
    const struct {
        const char* zone;
        std::uint32_t time;
        const char* text;
    } cases[] = {
        {"Greenwich Standard Time", 2147483648u, "Tue Jan 19 03:14:08 AM Greenwich Standard "},
        {"Greenwich Standard Time", 4294967295u, "Sun Feb 07 06:28:15 AM Greenwich Standard "},
        {"GMT Standard Time", 2147483648u, "Tue Jan 19 03:14:08 AM GMT Standard Time"},
        {"GMT Standard Time", 4294967295u, "Sun Feb 07 06:28:15 AM GMT Standard Time"},
        {"GMT Standard Time", 2193134400u, "Fri Jul 01 01:00:00 PM GMT Daylight Time"},
        {"Eastern Standard Time", 2147483648u, "Mon Jan 18 10:14:08 PM Eastern Standard Ti"},
        {"Eastern Standard Time", 2193134400u, "Fri Jul 01 08:00:00 AM Eastern Daylight Ti"},
        {"India Standard Time", 4294967295u, "Sun Feb 07 11:58:15 AM India Standard Time"},
    };
    int checked = 0;
    for (const auto& c : cases) {
        if (VardelTest::CurrentZoneName() != c.zone)
            continue;
        EXPECT_EQ(c.text, FormatEventTime(c.time)) << c.time;
        ++checked;
    }
    if (checked == 0)
        GTEST_SKIP() << "no case for the zone " << VardelTest::CurrentZoneName();
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

TEST_F(LogFileTest, TimeFrom2038IsWrittenLikeAnyOther)
{
    WriteOn(CDate(5, 1, 2004), MakeEvent(3, 1, "S", "M", 2147483648u));
    EXPECT_EQ(FormatEventTime(2147483648u) + ",ERROR,TRACE,S,\"M\"\r\n", ReadWholeFile(LogPath(kDay5)));
    EXPECT_EQ(std::string::npos, ReadWholeFile(LogPath(kDay5)).find("UNKNOWN"));
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

// The line of an event from source S with this message, time kExampleTime.
std::string Line5(const std::string& message)
{
    return FormatEventTime(kExampleTime) + ",INFORMATION,TRACE,S,\"" + message + "\"\r\n";
}

} // namespace

TEST_F(LogFileTest, ReaderThatSharesDoesNotBlockTheLine)
{
    WriteWholeFile(LogPath(kDay5), "earlier\r\n");
    Vardel::CUniqueFileHandle reader(CreateFileA(LogPath(kDay5).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                 nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(reader);
    WriteOn(CDate(5, 1, 2004), MakeEvent(1, 1, "S", "shared", kExampleTime));
    EXPECT_EQ("earlier\r\n" + Line5("shared"), ReadWholeFile(LogPath(kDay5)));
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
    WriteOn(CDate(5, 1, 2004), MakeEvent(1, 1, "S", "kept", kExampleTime));
    release.join();
    EXPECT_EQ("earlier\r\n" + Line5("kept"), ReadWholeFile(LogPath(kDay5)));
}

// A file held past the wait, sharing reading only, as a spreadsheet program
// holds it: the line is kept, and the lines after it go behind it without a
// wait of their own, until a line finds the file taking writes again.
TEST_F(LogFileTest, LongLockKeepsLinesUntilTheFileTakesWritesAgain)
{
    const CDate day(5, 1, 2004);
    CKeptLines kept(1024 * 1024);
    Vardel::CUniqueFileHandle lock(CreateFileA(LogPath(kDay5).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(lock);
    CLogFile(day, &kept).Write(MakeEvent(1, 1, "S", "kept 1", kExampleTime));
    {
        // Let go well inside the wait: a line that waited again would be written.
        std::thread letGo([&lock] {
            Sleep(LOCKED_FILE_WAIT_MS / 2);
            lock.reset();
        });
        CLogFile(day, &kept).Write(MakeEvent(1, 1, "S", "kept 2", kExampleTime));
        letGo.join();
    }
    EXPECT_EQ(2u, kept.Lines());
    EXPECT_EQ("", ReadWholeFile(LogPath(kDay5)));
    CLogFile(day, &kept).Write(MakeEvent(1, 1, "S", "after", kExampleTime));
    EXPECT_TRUE(kept.Empty());

    // The lines written, the next lock gets the full wait again.
    lock = LockFile(LogPath(kDay5));
    ASSERT_TRUE(lock);
    std::thread release([&lock] {
        Sleep(300);
        lock.reset();
    });
    CLogFile(day, &kept).Write(MakeEvent(1, 1, "S", "waited", kExampleTime));
    release.join();
    EXPECT_EQ(Line5("kept 1") + Line5("kept 2") + Line5("after") + Line5("waited"), ReadWholeFile(LogPath(kDay5)));
}

namespace {

// A line writer that fails as a full disk or a byte-range lock does: the
// first `failures` calls (all, when negative) put `partial` bytes of the
// line into the file and then fail with `error`, or, with error 0, report
// success short of the line. Later calls write normally.
struct CFaultPlan {
    int failures;
    DWORD error;
    DWORD partial;
};
CFaultPlan g_plan;
int g_calls = 0;
// When set, another handle's byte-range lock that the writer lifts the
// first time a write meets it.
HANDLE g_lockHolder = nullptr;
bool g_lockMet = false;

BOOL FaultyWrite(HANDLE file, const void* bytes, DWORD size, DWORD* written)
{
    ++g_calls;
    if (g_plan.failures == 0)
        return WriteFile(file, bytes, size, written, nullptr);
    if (g_plan.failures > 0)
        --g_plan.failures;
    WriteFile(file, bytes, std::min(g_plan.partial, size), written, nullptr);
    if (g_plan.error == 0)
        return TRUE;
    SetLastError(g_plan.error);
    return FALSE;
}

BOOL LockLiftingWrite(HANDLE file, const void* bytes, DWORD size, DWORD* written)
{
    const BOOL ok = WriteFile(file, bytes, size, written, nullptr);
    const DWORD error = GetLastError();
    if (!ok && error == ERROR_LOCK_VIOLATION && g_lockHolder) {
        OVERLAPPED range = {};
        range.Offset = 9;
        UnlockFileEx(g_lockHolder, 0, MAXDWORD, 0, &range);
        g_lockMet = true;
    }
    SetLastError(error);
    return ok;
}

// Puts a line writer in place for one scope.
class CLineWriter {
public:
    explicit CLineWriter(LineWriteFunction write, CFaultPlan plan = {0, 0, 0})
    {
        g_plan = plan;
        g_calls = 0;
        m_previous = SetLineWriteFunction(write);
    }
    ~CLineWriter() { SetLineWriteFunction(m_previous); }

private:
    LineWriteFunction m_previous;
};

} // namespace

TEST_F(LogFileTest, FailedOrShortWriteIsTakenBackAndTriedAgain)
{
    const struct {
        const char* what;
        CFaultPlan plan;
    } cases[] = {
        {"disk full after 10 bytes", {1, ERROR_DISK_FULL, 10}},
        {"disk full, nothing written, three times", {3, ERROR_DISK_FULL, 0}},
        {"short write reported as success", {2, 0, 25}},
        {"byte-range lock of another program", {2, ERROR_LOCK_VIOLATION, 0}},
    };
    for (const auto& c : cases) {
        WriteWholeFile(LogPath(kDay5), "earlier\r\n");
        {
            CLineWriter writer(&FaultyWrite, c.plan);
            WriteOn(CDate(5, 1, 2004), MakeEvent(1, 1, "S", c.what, kExampleTime));
            EXPECT_EQ(c.plan.failures + 1, g_calls) << c.what;
        }
        EXPECT_EQ("earlier\r\n" + Line5(c.what), ReadWholeFile(LogPath(kDay5))) << c.what;
    }
}

// A disk that stays full (or a byte-range lock) keeps lines and tears
// none; once the fault has outlasted the wait, each new line tries the kept
// ones once and joins them; with space again all go out in order.
TEST_F(LogFileTest, DiskThatStaysFullKeepsLinesAndTearsNone)
{
    const DWORD errors[] = {ERROR_DISK_FULL, ERROR_LOCK_VIOLATION};
    for (DWORD error : errors) {
        const CDate day(5, 1, 2004);
        CKeptLines kept(1024 * 1024);
        WriteWholeFile(LogPath(kDay5), "earlier\r\n");
        CLineWriter writer(&FaultyWrite, {-1, error, 7});
        CLogFile(day, &kept).Write(MakeEvent(1, 1, "S", "kept 1", kExampleTime));
        EXPECT_GT(g_calls, 1) << "the write was not tried again";
        g_calls = 0;
        CLogFile(day, &kept).Write(MakeEvent(1, 1, "S", "kept 2", kExampleTime));
        EXPECT_EQ(1, g_calls) << "a line after an outlasted fault waited again";
        EXPECT_EQ("earlier\r\n", ReadWholeFile(LogPath(kDay5)));

        g_plan.failures = 0;
        CLogFile(day, &kept).Write(MakeEvent(1, 1, "S", "space again", kExampleTime));
        CLogFile(day, &kept).Write(MakeEvent(1, 1, "S", "next", kExampleTime));
        EXPECT_EQ("earlier\r\n" + Line5("kept 1") + Line5("kept 2") + Line5("space again") + Line5("next"),
                  ReadWholeFile(LogPath(kDay5)))
            << error;
    }
}

namespace {

// Counts what the kept lines do with the charges they hold.
struct CCountingCharge : CLineCharge {
    static int kept, released;
    void Kept(std::size_t) override { ++kept; }
    ~CCountingCharge() override { ++released; }
};
int CCountingCharge::kept = 0;
int CCountingCharge::released = 0;

// Writes messages 0, 1, ... of event times kExampleTime + 0, 1, ... while
// the disk is full, each with a counting charge.
void WriteWhileFull(CKeptLines& kept, int count)
{
    CCountingCharge::kept = CCountingCharge::released = 0;
    CLineWriter writer(&FaultyWrite, {-1, ERROR_DISK_FULL, 0});
    for (int i = 0; i < count; ++i) {
        std::unique_ptr<CLineCharge> charge(new CCountingCharge);
        CLogFile(CDate(5, 1, 2004), &kept)
            .Write(MakeEvent(1, 1, "S", "m" + std::to_string(i), kExampleTime + i), charge);
    }
}

std::string LineAt(int i)
{
    return FormatEventTime(kExampleTime + i) + ",INFORMATION,TRACE,S,\"m" + std::to_string(i) + "\"\r\n";
}

} // namespace

// Past its limit the oldest kept lines go; one line stands in their place.
TEST_F(LogFileTest, OverflowDropsTheOldestAndWritesOneLostLine)
{
    CKeptLines probe(SIZE_MAX);
    probe.Keep(CLogFile(CDate(5, 1, 2004)).FileName(), LineAt(0), kExampleTime, nullptr);
    CKeptLines kept(3 * probe.Bytes()); // room for three
    WriteWhileFull(kept, 5);
    EXPECT_EQ(3u, kept.Lines());
    EXPECT_EQ(5, CCountingCharge::kept);
    EXPECT_EQ(2, CCountingCharge::released) << "the dropped lines' text is given back";

    CLogFile(CDate(5, 1, 2004), &kept).Write(MakeEvent(1, 1, "S", "next", kExampleTime));
    EXPECT_EQ(5, CCountingCharge::released);
    const std::string lost = FormatEventTime(kExampleTime) + ",WARNING,RELEASE," + Expected::SERVER_SOURCE +
                             ",\"2 lines lost while the log file refused writes, from " + FormatEventTime(kExampleTime) +
                             " to " + FormatEventTime(kExampleTime + 1) + "\"\r\n";
    EXPECT_EQ(lost + LineAt(2) + LineAt(3) + LineAt(4) + Line5("next"), ReadWholeFile(LogPath(kDay5)));
}

// The end of the service writes what is kept when the file takes it within
// the wait; what it still refuses then is the only loss.
TEST_F(LogFileTest, DrainWritesWhatTheFileTakesAndDropsTheRest)
{
    for (const bool diskFull : {false, true}) {
        WriteWholeFile(LogPath(kDay5), "");
        CKeptLines kept(1024 * 1024);
        WriteWhileFull(kept, 2);
        CLineWriter writer(&FaultyWrite, {diskFull ? -1 : 0, ERROR_DISK_FULL, 0});
        EXPECT_EQ(diskFull ? 2u : 0u, kept.Drain()) << diskFull;
        EXPECT_TRUE(kept.Empty());
        EXPECT_EQ(2, CCountingCharge::released);
        EXPECT_EQ(diskFull ? "" : LineAt(0) + LineAt(1), ReadWholeFile(LogPath(kDay5))) << diskFull;
    }
}

// A part of a line that could not be taken back, or that another program
// left, is ended before the next line.
TEST_F(LogFileTest, LineAfterAFragmentStartsOnALineOfItsOwn)
{
    const struct {
        const char* before;
        const char* kept;
    } cases[] = {
        {"", ""},
        {"earlier\r\n", "earlier\r\n"},
        {"unix\n", "unix\n"},
        {"Mon Jan 05 02:0", "Mon Jan 05 02:0\r\n"},
    };
    for (const auto& c : cases) {
        WriteWholeFile(LogPath(kDay5), c.before);
        WriteOn(CDate(5, 1, 2004), MakeEvent(1, 1, "S", "next", kExampleTime));
        EXPECT_EQ(c.kept + Line5("next"), ReadWholeFile(LogPath(kDay5))) << c.before;
    }
}

// Another handle's exclusive lock on the bytes after the file's end, lifted
// once the writer has met it: the line waits and goes out whole.
TEST_F(LogFileTest, ByteRangeLockAtWriteTimeIsWaitedFor)
{
    WriteWholeFile(LogPath(kDay5), "earlier\r\n");
    Vardel::CUniqueFileHandle holder(CreateFileA(LogPath(kDay5).c_str(), GENERIC_READ | GENERIC_WRITE,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    OVERLAPPED range = {};
    range.Offset = 9;
    ASSERT_TRUE(LockFileEx(holder.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, 0, &range));
    g_lockHolder = holder.get();
    g_lockMet = false;
    {
        CLineWriter writer(&LockLiftingWrite);
        WriteOn(CDate(5, 1, 2004), MakeEvent(1, 1, "S", "locked", kExampleTime));
    }
    g_lockHolder = nullptr;
    EXPECT_EQ("earlier\r\n" + Line5("locked"), ReadWholeFile(LogPath(kDay5)));
    if (!g_lockMet)
        GTEST_SKIP() << "this platform (Wine 8) does not enforce byte-range locks on WriteFile; the injected "
                        "ERROR_LOCK_VIOLATION case stands for it";
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
