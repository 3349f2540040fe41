// The folder search, deletion and daily expiry pass against the real log
// folder, with a manager whose "today" the test sets.
#include "FileFind.h"
#include "LogFileManager.h"
#include "LogSettings.h"

#include "Handles.h"
#include "LogFolderFixture.h"

#include <algorithm>

using namespace VardelTest;

namespace {

constexpr std::size_t kKeptLimit = 1024 * 1024;

class CTestManager : public CLogFileManager {
public:
    explicit CTestManager(std::size_t keptLimit = kKeptLimit) : CLogFileManager(keptLimit) {}
    CDate m_today{10, 1, 2004};
    mutable int m_todayCalls = 0;

protected:
    CDate Today() const override
    {
        ++m_todayCalls;
        return m_today;
    }
};

void Touch(const std::string& name)
{
    WriteWholeFile(LogPath(name), "x\r\n");
}

std::string DayName(int day)
{
    return CDate(day, 1, 2004).Format("Log_%Y_%M_%D.log");
}

// Log files of 5 to 12 January 2004.
void TouchJanuary5To12()
{
    for (int day = 5; day <= 12; ++day)
        Touch(DayName(day));
}

std::vector<std::string> DayNames(int first, int last)
{
    std::vector<std::string> names;
    for (int day = first; day <= last; ++day)
        names.push_back(DayName(day));
    return names;
}

// Held open without FILE_SHARE_DELETE, so it cannot be deleted.
// Null when the file cannot be opened.
Vardel::CUniqueHandle HoldOpen(const std::string& path)
{
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    return Vardel::CUniqueHandle(file == INVALID_HANDLE_VALUE ? nullptr : file);
}

class LogFileManagerTest : public LogFolderTest {
protected:
    void SetExpireDays(const std::string& text)
    {
        SetRegString(HKEY_LOCAL_MACHINE, Expected::SETTINGS_KEY, Expected::EXPIRE_DAYS_VALUE, text);
    }
};

} // namespace

TEST_F(LogFileManagerTest, FindVisitsEveryEntryWithItsPath)
{
    Touch("Log_2004_01_05.log");
    Touch("other.txt");
    MakeEmptyFolder(LogPath("Log_2004_01_06.log"));

    Vardel::CFileFind search;
    ASSERT_TRUE(search.Find(std::string(LOG_FOLDER) + LOG_FILE_MASK));
    std::vector<std::string> seen;
    bool more;
    do {
        more = search.Next();
        EXPECT_EQ(std::string(LOG_FOLDER) + search.FileName(), search.FilePath());
        seen.push_back(search.FileName() + (search.IsFolder() ? "/" : ""));
    } while (more);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ((std::vector<std::string>{"Log_2004_01_05.log", "Log_2004_01_06.log/"}), seen);
    search.Close();
    EXPECT_FALSE(search.Next());

    EXPECT_FALSE(search.Find(LogPath("*.none")));
    EXPECT_FALSE(search.Find("C:\\Korvane\\NoSuchFolder\\*"));
}

TEST_F(LogFileManagerTest, RemoveFileReportsErrorAndPath)
{
    const std::string missing = LogPath("missing.log");
    try {
        Vardel::RemoveFile(missing);
        ADD_FAILURE() << "no error";
    } catch (const Vardel::CFileRemoveError& e) {
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), e.Error());
        EXPECT_EQ(missing, e.Path());
    }

    Touch("held.log");
    {
        const auto held = HoldOpen(LogPath("held.log"));
        ASSERT_TRUE(held);
        try {
            Vardel::RemoveFile(LogPath("held.log"));
            ADD_FAILURE() << "no error";
        } catch (const Vardel::CFileRemoveError& e) {
            EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), e.Error());
        }
    }
    Vardel::RemoveFile(LogPath("held.log"));
    EXPECT_FALSE(FileExists(LogPath("held.log")));
}

TEST_F(LogFileManagerTest, DefaultKeepsTodayAndTheTwoDaysBefore)
{
    TouchJanuary5To12();
    CTestManager manager;
    EXPECT_EQ(2, manager.ExpireDays());
    manager.ExpireLogs();
    EXPECT_EQ(DayNames(8, 12), ListFolder(Expected::LOG_FOLDER));
}

TEST_F(LogFileManagerTest, ZeroKeepsTodayAndMinusOneDeletesItToo)
{
    TouchJanuary5To12();
    SetExpireDays("0");
    CTestManager keepToday;
    keepToday.ExpireLogs();
    EXPECT_EQ(DayNames(10, 12), ListFolder(Expected::LOG_FOLDER));

    SetExpireDays("-1");
    CTestManager keepNothing;
    EXPECT_EQ(-1, keepNothing.ExpireDays());
    keepNothing.ExpireLogs();
    EXPECT_EQ(DayNames(11, 12), ListFolder(Expected::LOG_FOLDER));
}

TEST_F(LogFileManagerTest, OnlyWholeLogFileNamesExpire)
{
    const std::vector<std::string> kept = {"Log_2004_1_5.log.bak", "Log_04_01_05.log", "Log_2004_001_05.log",
                                           "Log_2004_01_05_.log", "Log_2004_01.log", "log_2004_01_06.log",
                                           Expected::KEPT_LINES_FILE, Expected::KEPT_LINES_NEW_FILE};
    for (const std::string& name : kept)
        Touch(name);
    Touch("Log_2004_1_5.log");
    Touch("Log_2003_12_31.log");
    Touch("Log_2004_1_9.log");
    MakeEmptyFolder(LogPath("Log_2004_01_01.log"));

    CTestManager manager;
    manager.ExpireLogs();
    std::vector<std::string> expected = kept;
    expected.push_back("Log_2004_01_01.log");
    expected.push_back("Log_2004_1_9.log");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, ListFolder(Expected::LOG_FOLDER));
}

// Dates before 1970 and after 2038 are dates like any other; odd fields are
// normalised (9999_99_99 is in 10007) and stop nothing.
TEST_F(LogFileManagerTest, DatesOutsideThe32BitCalendarExpireByTheirDate)
{
    const std::vector<std::string> names = {"Log_1969_01_01.log", "Log_0000_00_00.log", "Log_2040_01_01.log",
                                            "Log_9999_99_99.log", "Log_2004_01_05.log", "Log_2004_01_10.log"};
    for (const std::string& name : names)
        Touch(name);
    CTestManager manager;
    manager.ExpireLogs();
    EXPECT_EQ((std::vector<std::string>{"Log_2004_01_10.log", "Log_2040_01_01.log", "Log_9999_99_99.log"}),
              ListFolder(Expected::LOG_FOLDER));
}

TEST_F(LogFileManagerTest, ExtremeSettingsMoveTheCutoffAsFarAsTheySay)
{
    const std::vector<std::string> names = {"Log_1969_01_01.log", "Log_2004_01_05.log", "Log_2040_01_01.log",
                                            "Log_2300_01_01.log"};
    for (const std::string& name : names)
        Touch(name);
    SetExpireDays("100000");
    CTestManager keepAll;
    keepAll.ExpireLogs();
    EXPECT_EQ(names, ListFolder(Expected::LOG_FOLDER));

    // Today plus 100000 days is in October 2277.
    SetExpireDays("-100000");
    CTestManager keepFuture;
    keepFuture.ExpireLogs();
    EXPECT_EQ(std::vector<std::string>{"Log_2300_01_01.log"}, ListFolder(Expected::LOG_FOLDER));
}

// A clock past 19 January 2038: the day's file, the pass across that day
// and the once-a-day rule as on any other day.
TEST_F(LogFileManagerTest, ClockPast2038)
{
    for (int day = 15; day <= 22; ++day)
        Touch(CDate(day, 1, 2038).Format("Log_%Y_%M_%D.log"));
    CTestManager manager;
    manager.m_today = CDate(21, 1, 2038);
    EXPECT_EQ(std::string(LOG_FOLDER) + "Log_2038_01_21.log", manager.GetLogFile()->FileName());
    EXPECT_EQ((std::vector<std::string>{"Log_2038_01_19.log", "Log_2038_01_20.log", "Log_2038_01_21.log",
                                        "Log_2038_01_22.log"}),
              ListFolder(Expected::LOG_FOLDER));

    Touch("Log_2038_01_01.log");
    manager.GetLogFile();
    EXPECT_TRUE(FileExists(LogPath("Log_2038_01_01.log"))) << "a second pass on the same day";

    manager.m_today = CDate(1, 3, 2039);
    EXPECT_EQ(std::string(LOG_FOLDER) + "Log_2039_03_01.log", manager.GetLogFile()->FileName());
    EXPECT_TRUE(ListFolder(Expected::LOG_FOLDER).empty());
}

TEST_F(LogFileManagerTest, PassRunsOnceADay)
{
    CTestManager manager;
    manager.ExpireLogs();
    Touch(DayName(1));
    manager.ExpireLogs();
    EXPECT_TRUE(FileExists(LogPath(DayName(1))));

    manager.m_today = CDate(11, 1, 2004);
    manager.ExpireLogs();
    EXPECT_FALSE(FileExists(LogPath(DayName(1))));

    // A clock set back is another day too.
    Touch(DayName(2));
    manager.m_today = CDate(10, 1, 2004);
    manager.ExpireLogs();
    EXPECT_FALSE(FileExists(LogPath(DayName(2))));

    // A new manager (a new process) runs its first pass whatever the day.
    Touch(DayName(3));
    CTestManager next;
    next.ExpireLogs();
    EXPECT_FALSE(FileExists(LogPath(DayName(3))));
}

TEST_F(LogFileManagerTest, GetLogFileExpiresThenHandsOutTodaysFile)
{
    Touch(DayName(1));
    CTestManager manager;
    const boost::shared_ptr<CLogFile> file = manager.GetLogFile();
    ASSERT_TRUE(file);
    EXPECT_EQ(std::string(LOG_FOLDER) + DayName(10), file->FileName());
    EXPECT_FALSE(FileExists(LogPath(DayName(1))));
    EXPECT_NE(file, manager.GetLogFile());
}

TEST_F(LogFileManagerTest, UndeletableFileStopsNeitherTheOthersNorTheEvent)
{
    TouchJanuary5To12();
    const auto held = HoldOpen(LogPath(DayName(6)));
    ASSERT_TRUE(held);
    CTestManager manager;
    manager.GetLogFile()->Write(MakeEvent(1, 1, "S", "still here", 1073311435));
    std::vector<std::string> expected = DayNames(8, 12);
    expected.insert(expected.begin(), DayName(6));
    EXPECT_EQ(expected, ListFolder(Expected::LOG_FOLDER));
    EXPECT_NE(std::string::npos, ReadWholeFile(LogPath(DayName(10))).find(",INFORMATION,TRACE,S,\"still here\"\r\n"));
}

// A line kept over midnight goes into the file it was first tried for, and
// that file, still held, holds back none of the next day's lines.
TEST_F(LogFileManagerTest, LineKeptOverMidnightGoesIntoItsOwnDaysFile)
{
    CTestManager manager;
    Vardel::CUniqueFileHandle held(CreateFileA(LogPath(DayName(10)).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held);
    const auto write = [&manager](const char* message) {
        manager.GetLogFile()->Write(MakeEvent(1, 1, "S", message, 1073311435));
    };
    const auto line = [](const char* message) {
        return FormatEventTime(1073311435) + ",INFORMATION,TRACE,S,\"" + message + "\"\r\n";
    };
    write("late");
    manager.m_today = CDate(11, 1, 2004);
    write("early");
    EXPECT_EQ("", ReadWholeFile(LogPath(DayName(10))));
    EXPECT_EQ(line("early"), ReadWholeFile(LogPath(DayName(11))));
    held.reset();
    write("next");
    EXPECT_EQ(line("late"), ReadWholeFile(LogPath(DayName(10))));
    EXPECT_EQ(line("early") + line("next"), ReadWholeFile(LogPath(DayName(11))));
}

TEST_F(LogFileManagerTest, ResistingFileIsTriedAgainOnTheNextDay)
{
    Touch(DayName(5));
    Touch(DayName(6));
    const std::string readOnly = LogPath(DayName(5));
    ASSERT_TRUE(SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    auto held = HoldOpen(LogPath(DayName(6)));
    ASSERT_TRUE(held);

    CTestManager manager;
    manager.ExpireLogs();
    EXPECT_EQ(DayNames(5, 6), ListFolder(Expected::LOG_FOLDER));

    // The day's pass is done: no retry the same day.
    ASSERT_TRUE(SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL));
    held.reset();
    manager.ExpireLogs();
    EXPECT_EQ(DayNames(5, 6), ListFolder(Expected::LOG_FOLDER));

    manager.m_today = CDate(11, 1, 2004);
    manager.ExpireLogs();
    EXPECT_TRUE(ListFolder(Expected::LOG_FOLDER).empty());
}

TEST_F(LogFileManagerTest, SettingsReadTheDaysOnceAndHandOutTodaysFile)
{
    SetExpireDays("0");
    CLogSettings settings(kKeptLimit);
    SetExpireDays("5");
    const CDate today;
    Touch(CDate(today).SubtractDays(1).Format("Log_%Y_%M_%D.log"));
    const boost::shared_ptr<CLogFile> file = settings.GetLogFile();
    ASSERT_TRUE(file);
    EXPECT_EQ(today.Format(LOG_FILE_PATTERN), file->FileName());
    EXPECT_TRUE(ListFolder(Expected::LOG_FOLDER).empty());
}
