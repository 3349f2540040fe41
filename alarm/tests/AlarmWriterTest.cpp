// ForwardEvent against the real registry, alarm file and named mutex of the
// prefix. Each test starts with both configuration keys absent and an empty
// scratch folder, and puts everything back afterwards.
#include "AlarmRecord.h"
#include "RegistryText.h"
#include "TrevalonIAlarm.h"

#include "Handles.h"
#include "AlarmTestZones.h"
#include "testsupport/RegistryViews.h"
#include "testsupport/TestSupport.h"

#include <climits>
#include <functional>

using namespace VardelTest;
using Vardel::CUniqueHandle;

namespace {

const std::string kFolder = "C:\\Korvane\\AlarmWriterTest";
const std::string kAlarmFile = kFolder + "\\alarms.txt";
const std::uint32_t kExampleTime = 1299157509; // 2011-03-03 13:05:09 UTC
const DWORD kBound = 10000;

// The stamp's own tests check it zone by zone; here it only has to be there.
std::string Stamp(std::uint32_t time = kExampleTime)
{
    return FormatAlarmTimeStamp(time);
}

boost::shared_ptr<CLogEvent> Event(std::int32_t type, std::int32_t level, const std::string& source,
                                   const std::string& message, std::uint32_t time = kExampleTime)
{
    return boost::shared_ptr<CLogEvent>(new CLogEvent(type, level, source, message, time));
}

void Forward(std::int32_t type, const std::string& source, const std::string& message,
             std::uint32_t time = kExampleTime, std::int32_t level = 3)
{
    CTrevalonIAlarm alarm;
    alarm.ForwardEvent(Event(type, level, source, message, time));
}

// The name as the writer reads it, so that the expectation holds on any
// prefix; empty when the host's name does not fit 15 characters.
std::string ComputerName()
{
    char name[16] = {};
    DWORD size = sizeof name;
    return GetComputerNameA(name, &size) ? std::string(name, size) : std::string();
}

std::string Line(const std::string& stamp, const std::string& instrument, const std::string& typeName,
                 const std::string& source, const std::string& message)
{
    return stamp + "(" + ComputerName() + ") (" + instrument + "#) [" + typeName + "] [" + source + "] " + message +
           "\r\n";
}

// Runs a function on a thread of its own; the test waits for it with a bound.
class CTestThread {
public:
    explicit CTestThread(std::function<void()> body) : m_body(std::move(body))
    {
        m_thread.reset(CreateThread(nullptr, 0, &CTestThread::Run, this, 0, nullptr));
        EXPECT_TRUE(m_thread) << "CreateThread failed: " << GetLastError();
    }
    ~CTestThread()
    {
        if (m_thread && WaitForSingleObject(m_thread.get(), kBound) != WAIT_OBJECT_0) {
            ADD_FAILURE() << "test thread did not end";
            TerminateThread(m_thread.get(), 1);
        }
    }
    DWORD Wait(DWORD ms) const { return WaitForSingleObject(m_thread.get(), ms); }

private:
    static DWORD WINAPI Run(void* self)
    {
        static_cast<CTestThread*>(self)->m_body();
        return 0;
    }
    std::function<void()> m_body;
    CUniqueHandle m_thread;
};

CUniqueHandle NewEvent()
{
    return CUniqueHandle(CreateEventA(nullptr, TRUE, FALSE, nullptr));
}

// Holds the alarm-file mutex on another thread until Release().
class CMutexHolder {
public:
    CMutexHolder()
        : m_held(NewEvent()), m_release(NewEvent()), m_thread([this] {
              CUniqueHandle mutex(CreateMutexA(nullptr, FALSE, Expected::ALARM_MUTEX));
              if (WaitForSingleObject(mutex.get(), kBound) != WAIT_OBJECT_0)
                  return;
              SetEvent(m_held.get());
              WaitForSingleObject(m_release.get(), 3 * kBound);
              ReleaseMutex(mutex.get());
          })
    {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m_held.get(), kBound)) << "holder did not get the mutex";
    }
    ~CMutexHolder() { Release(); }
    void Release() { SetEvent(m_release.get()); }

private:
    CUniqueHandle m_held, m_release;
    CTestThread m_thread;
};

// What another thread gets when it tries the mutex without waiting; it
// releases what it takes.
DWORD TryMutexFromAnotherThread()
{
    DWORD result = WAIT_FAILED;
    CTestThread probe([&result] {
        CUniqueHandle mutex(CreateMutexA(nullptr, FALSE, Expected::ALARM_MUTEX));
        result = WaitForSingleObject(mutex.get(), 0);
        if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED)
            ReleaseMutex(mutex.get());
    });
    EXPECT_EQ(WAIT_OBJECT_0, probe.Wait(kBound));
    return result;
}

class AlarmWriter : public ::testing::Test {
protected:
    void SetUp() override
    {
        MakeEmptyFolder(kFolder);
        // Keeps the named mutex alive for the whole test, so that an
        // ownership the writer forgot to give back stays visible.
        m_mutex.reset(CreateMutexA(nullptr, FALSE, Expected::ALARM_MUTEX));
        ASSERT_TRUE(m_mutex);
    }
    void TearDown() override
    {
        EXPECT_EQ(WAIT_OBJECT_0, TryMutexFromAnotherThread()) << "the writer left the mutex owned";
        RemoveTree(kFolder);
    }

    static void Configure(const std::string& path)
    {
        SetRegString(HKEY_LOCAL_MACHINE, Expected::ALARM_KEY, Expected::ALARM_FILE_VALUE, path);
    }
    static void SetInstrument(const std::string& name)
    {
        SetRegString(HKEY_LOCAL_MACHINE, Expected::INSTRUMENT_KEY, Expected::INSTRUMENT_VALUE, name);
    }

    CBothViewsKeyGuard m_config{Expected::ALARM_KEY};
    // The parent of the logging settings too: the guard restores the tree.
    CBothViewsKeyGuard m_pellucor{Expected::INSTRUMENT_KEY};
    // The same keys in the 32-bit view, which the writer reads first.
    CSoftwareView m_view32{KEY_WOW64_32KEY};
    CUniqueHandle m_mutex;
};

TEST_F(AlarmWriter, AppendsOneRecordPerAlarmAndCreatesTheFile)
{
    Configure(kAlarmFile);
    SetInstrument("Q1");
    Forward(3, "Pump", "Pressure high");
    EXPECT_EQ(Line(Stamp(), "Q1", "ERROR", "Pump", "Pressure high"), ReadWholeFile(kAlarmFile));

    Forward(4, "Valve", "Stuck", 0);
    EXPECT_EQ(Line(Stamp(), "Q1", "ERROR", "Pump", "Pressure high") +
                  Line(Stamp(0), "Q1", "FATAL_ERROR", "Valve", "Stuck"),
              ReadWholeFile(kAlarmFile));
}

TEST_F(AlarmWriter, AppendsToAnExistingFileAsItIs)
{
    Configure(kAlarmFile);
    WriteWholeFile(kAlarmFile, "earlier line\r\nno line end");
    Forward(3, "Pump", "Pressure high");
    EXPECT_EQ("earlier line\r\nno line end" + Line(Stamp(), "", "ERROR", "Pump", "Pressure high"),
              ReadWholeFile(kAlarmFile));
}

TEST_F(AlarmWriter, ReproducesTheExampleRecord)
{
    VARDEL_REQUIRE_ZONE(PARIS_ZONE_NAME);
    Configure(kAlarmFile);
    SetInstrument("Q1");
    Forward(3, "Pump", "Pressure high");
    EXPECT_EQ("2011-03-03T14:05:09+01:00(" + ComputerName() + ") (Q1#) [ERROR] [Pump] Pressure high\r\n",
              ReadWholeFile(kAlarmFile));
}

TEST_F(AlarmWriter, LevelDoesNotMatterLevelFourIsForwarded)
{
    Configure(kAlarmFile);
    Forward(4, "Src", "not in the log file", kExampleTime, LEVEL_NOT_LOGGED);
    Forward(3, "Src", "odd level", kExampleTime, -7);
    EXPECT_EQ(Line(Stamp(), "", "FATAL_ERROR", "Src", "not in the log file") +
                  Line(Stamp(), "", "ERROR", "Src", "odd level"),
              ReadWholeFile(kAlarmFile));
}

// Non-alarm types return at once: with the mutex held elsewhere, a writer
// that so much as waited for it would never finish.
TEST_F(AlarmWriter, OtherTypesTouchNothing)
{
    Configure(kAlarmFile);
    CMutexHolder holder;
    for (std::int32_t type : {1, 2, 0, 5, -1, -3, INT_MIN, INT_MAX}) {
        CTestThread writer([type] { Forward(type, "Src", "Msg"); });
        EXPECT_EQ(WAIT_OBJECT_0, writer.Wait(kBound)) << "type " << type;
    }
    holder.Release();
    EXPECT_FALSE(FileExists(kAlarmFile));
}

TEST_F(AlarmWriter, WithoutAlarmFileValueNothingIsCreatedAndTheMutexNotAwaited)
{
    CMutexHolder holder;
    SetInstrument("Q1");
    {
        CTestThread writer([] { Forward(3, "Src", "absent"); });
        EXPECT_EQ(WAIT_OBJECT_0, writer.Wait(kBound)) << "value absent";
    }
    Configure("");
    {
        CTestThread writer([] { Forward(4, "Src", "empty"); });
        EXPECT_EQ(WAIT_OBJECT_0, writer.Wait(kBound)) << "value empty";
    }
    holder.Release();
    EXPECT_TRUE(ListFolder(kFolder).empty());
}

// Only text names the file. The same path stored as binary data, and a
// number whose bytes spell a relative name, are unreadable: nothing is
// created and the mutex is not awaited.
TEST_F(AlarmWriter, PathMustBeStoredAsText)
{
    CMutexHolder holder;
    const std::string path = kAlarmFile + std::string(1, '\0');
    for (DWORD type : {static_cast<DWORD>(REG_BINARY), static_cast<DWORD>(REG_MULTI_SZ), static_cast<DWORD>(REG_NONE)}) {
        SetRegRaw(HKEY_LOCAL_MACHINE, Expected::ALARM_KEY, Expected::ALARM_FILE_VALUE, type, path.data(),
                  static_cast<DWORD>(path.size()));
        CTestThread writer([] { Forward(3, "Src", "not text"); });
        EXPECT_EQ(WAIT_OBJECT_0, writer.Wait(kBound)) << "type " << type;
    }
    SetRegDword(HKEY_LOCAL_MACHINE, Expected::ALARM_KEY, Expected::ALARM_FILE_VALUE, 0x41); // "A"
    {
        CTestThread writer([] { Forward(3, "Src", "number"); });
        EXPECT_EQ(WAIT_OBJECT_0, writer.Wait(kBound)) << "REG_DWORD";
    }
    holder.Release();
    EXPECT_TRUE(ListFolder(kFolder).empty());
    EXPECT_FALSE(FileExists("A"));
}

// The expansion may be much longer than the stored text, and longer than
// the first registry buffer.
TEST_F(AlarmWriter, ExpandablePathHasItsVariablesExpanded)
{
    const std::string deep = kFolder + "\\" + std::string(100, 'd') + "\\" + std::string(90, 'e');
    MakeEmptyFolder(deep);
    struct Case {
        std::string folder, stored, file;
    } const cases[] = {
        {kFolder, "%VARDEL_ALARM_TEST_DIR%\\expanded.txt", "expanded.txt"},
        {deep, "%VARDEL_ALARM_TEST_DIR%\\x.txt", "x.txt"},
        {kFolder, "%VARDEL_ALARM_TEST_DIR%\\%VARDEL_ALARM_TEST_NAME%", std::string(120, 'n') + ".txt"},
    };
    for (const Case& c : cases) {
        SetEnvironmentVariableA("VARDEL_ALARM_TEST_DIR", c.folder.c_str());
        SetEnvironmentVariableA("VARDEL_ALARM_TEST_NAME", c.file.c_str());
        SetRegRaw(HKEY_LOCAL_MACHINE, Expected::ALARM_KEY, Expected::ALARM_FILE_VALUE, REG_EXPAND_SZ, c.stored.c_str(),
                  static_cast<DWORD>(c.stored.size() + 1));
        Forward(3, "Pump", "Pressure high");
        EXPECT_EQ(Line(Stamp(), "", "ERROR", "Pump", "Pressure high"), ReadWholeFile(c.folder + "\\" + c.file))
            << c.stored << " in " << c.folder;
    }
    SetEnvironmentVariableA("VARDEL_ALARM_TEST_DIR", nullptr);
    SetEnvironmentVariableA("VARDEL_ALARM_TEST_NAME", nullptr);
}

// Both values the writer reads come from the 32-bit view first, else from
// the 64-bit view.
TEST_F(AlarmWriter, SettingsAreReadFromThe32BitViewFirstThenThe64BitView)
{
    if (!HasTwoRegistryViews())
        GTEST_SKIP() << "one registry view on 32-bit Windows";
    CSoftwareView view64(KEY_WOW64_64KEY);
    const std::string file32 = kFolder + "\\from32.txt", file64 = kFolder + "\\from64.txt";
    const std::string config = CSoftwareView::Below(Expected::ALARM_KEY), pellucor = "Pellucor";
    struct Case {
        const char* name;
        bool in32, in64; // both values set in that view
        const std::string& file;
        const char* instrument;
    } const cases[] = {
        {"only in the 32-bit view", true, false, file32, "I32"},
        {"only in the 64-bit view", false, true, file64, "I64"},
        {"in both, 32-bit wins", true, true, file32, "I32"},
    };
    for (const Case& c : cases) {
        for (HKEY root : {m_view32.get(), view64.get()}) {
            DeleteRegTree(root, config);
            DeleteRegTree(root, pellucor);
        }
        if (c.in32) {
            SetRegString(m_view32.get(), config, Expected::ALARM_FILE_VALUE, file32);
            SetRegString(m_view32.get(), pellucor, Expected::INSTRUMENT_VALUE, "I32");
        }
        if (c.in64) {
            SetRegString(view64.get(), config, Expected::ALARM_FILE_VALUE, file64);
            SetRegString(view64.get(), pellucor, Expected::INSTRUMENT_VALUE, "I64");
        }
        Forward(3, "Src", c.name);
        EXPECT_EQ(Line(Stamp(), c.instrument, "ERROR", "Src", c.name), ReadWholeFile(c.file)) << c.name;
        RemoveTree(c.file);
    }
    // Each value on its own: the path from one view, the name from the other.
    SetRegString(view64.get(), config, Expected::ALARM_FILE_VALUE, file64);
    DeleteRegTree(m_view32.get(), config);
    Forward(3, "Src", "mixed");
    EXPECT_EQ(Line(Stamp(), "I32", "ERROR", "Src", "mixed"), ReadWholeFile(file64));
}

TEST_F(AlarmWriter, MissingFolderDropsTheAlarm)
{
    Configure(kFolder + "\\missing\\alarms.txt");
    Forward(3, "Src", "lost");
    EXPECT_TRUE(ListFolder(kFolder).empty());
    // The mutex is back with nobody (checked on tear-down).
}

TEST_F(AlarmWriter, TimesFrom2038CarryTheirStamp)
{
    Configure(kAlarmFile);
    Forward(3, "Src", "late", 0x80000000u);
    Forward(3, "Src", "last", 0xFFFFFFFFu);
    const std::string text = ReadWholeFile(kAlarmFile);
    EXPECT_EQ(Line(Stamp(0x80000000u), "", "ERROR", "Src", "late") + Line(Stamp(0xFFFFFFFFu), "", "ERROR", "Src", "last"),
              text);
    EXPECT_NE('(', text.front());
}

TEST_F(AlarmWriter, PercentDirectivesAreWrittenUnchanged)
{
    Configure(kAlarmFile);
    SetInstrument("%s%n");
    Forward(3, "%d%x", "100% sure: %s %n %*.*f %%");
    EXPECT_EQ(Line(Stamp(), "%s%n", "ERROR", "%d%x", "100% sure: %s %n %*.*f %%"),
              ReadWholeFile(kAlarmFile));
}

TEST_F(AlarmWriter, LineBreaksAreCopiedAndTextModeAddsTheCarriageReturn)
{
    Configure(kAlarmFile);
    Forward(3, "two\nlines", "first\nsecond\r\nthird");
    EXPECT_EQ(Line(Stamp(), "", "ERROR", "two\r\nlines", "first\r\nsecond\r\r\nthird"),
              ReadWholeFile(kAlarmFile));
}

TEST_F(AlarmWriter, PathLongerThanTheFirstBuffer)
{
    // 257 characters and the NUL: the first 256-byte query is too short.
    const std::string folder = kFolder + "\\" + std::string(180, 'f');
    const std::string path = folder + "\\" + std::string(257 - folder.size() - 1 - 4, 'a') + ".txt";
    ASSERT_EQ(257u, path.size());
    MakeEmptyFolder(folder);
    Configure(path);
    Forward(3, "Src", "long path");
    EXPECT_EQ(Line(Stamp(), "", "ERROR", "Src", "long path"), ReadWholeFile(path));
}

TEST_F(AlarmWriter, RegistryChangesTakeEffectAtTheNextAlarm)
{
    const std::string other = kFolder + "\\other.txt";
    Configure(kAlarmFile);
    SetInstrument("Q1");
    Forward(3, "Src", "one");
    Configure(other);
    SetInstrument("Q2");
    Forward(3, "Src", "two");
    DeleteRegTree(HKEY_LOCAL_MACHINE, Expected::ALARM_KEY);
    Forward(3, "Src", "three");
    EXPECT_EQ(Line(Stamp(), "Q1", "ERROR", "Src", "one"), ReadWholeFile(kAlarmFile));
    EXPECT_EQ(Line(Stamp(), "Q2", "ERROR", "Src", "two"), ReadWholeFile(other));
}

TEST_F(AlarmWriter, WaitsWhileAnotherThreadHoldsTheMutex)
{
    Configure(kAlarmFile);
    CMutexHolder holder;
    CTestThread writer([] { Forward(3, "Src", "after release"); });
    // Cannot fail for a writer that waits; a writer that does not would
    // finish well within this time and leave its record.
    EXPECT_EQ(WAIT_TIMEOUT, writer.Wait(500));
    EXPECT_EQ("", ReadWholeFile(kAlarmFile));
    holder.Release();
    ASSERT_EQ(WAIT_OBJECT_0, writer.Wait(kBound));
    EXPECT_EQ(Line(Stamp(), "", "ERROR", "Src", "after release"), ReadWholeFile(kAlarmFile));
}

// A thread that takes the mutex and ends without releasing it leaves it
// abandoned; the next wait gets it with WAIT_ABANDONED.
void AbandonTheMutex()
{
    CTestThread owner([] {
        CUniqueHandle mutex(CreateMutexA(nullptr, FALSE, Expected::ALARM_MUTEX));
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex.get(), kBound));
    });
    ASSERT_EQ(WAIT_OBJECT_0, owner.Wait(kBound));
}

TEST_F(AlarmWriter, AbandonedMutexIsTakenOverAndTheAlarmWritten)
{
    Configure(kAlarmFile);
    WriteWholeFile(kAlarmFile, "whole\r\n");
    AbandonTheMutex();
    Forward(3, "Src", "after the owner died");
    EXPECT_EQ("whole\r\n" + Line(Stamp(), "", "ERROR", "Src", "after the owner died"),
              ReadWholeFile(kAlarmFile));
    // Released again: the tear-down takes it plainly.
}

TEST_F(AlarmWriter, AbandonedMutexHalfLineIsEndedBeforeTheRecord)
{
    Configure(kAlarmFile);
    WriteWholeFile(kAlarmFile, "whole\r\ntorn rec");
    AbandonTheMutex();
    Forward(3, "Src", "intact");
    EXPECT_EQ("whole\r\ntorn rec\r\n" + Line(Stamp(), "", "ERROR", "Src", "intact"),
              ReadWholeFile(kAlarmFile));
}

TEST_F(AlarmWriter, AbandonedMutexWithMissingFileCreatesIt)
{
    Configure(kAlarmFile);
    AbandonTheMutex();
    Forward(3, "Src", "first");
    EXPECT_EQ(Line(Stamp(), "", "ERROR", "Src", "first"), ReadWholeFile(kAlarmFile));
}

TEST_F(AlarmWriter, NullEventIsIgnored)
{
    Configure(kAlarmFile);
    CTrevalonIAlarm().ForwardEvent(boost::shared_ptr<CLogEvent>());
    EXPECT_FALSE(FileExists(kAlarmFile));
}

// The registry text read on its own.
class RegistryText : public ::testing::Test {
protected:
    static std::string Read() { return Vardel::ReadRegistryText(HKEY_LOCAL_MACHINE, Expected::ALARM_KEY, "Probe"); }
    static void Raw(DWORD type, const std::string& bytes)
    {
        SetRegRaw(HKEY_LOCAL_MACHINE, Expected::ALARM_KEY, "Probe", type, bytes.data(), static_cast<DWORD>(bytes.size()));
    }
    CBothViewsKeyGuard m_config{Expected::ALARM_KEY};
};

TEST_F(RegistryText, MissingKeyOrValueIsEmpty)
{
    EXPECT_EQ("", Read());
    SetRegString(HKEY_LOCAL_MACHINE, Expected::ALARM_KEY, "Other", "x");
    EXPECT_EQ("", Read());
}

TEST_F(RegistryText, BufferDoublesUntilTheValueFits)
{
    for (std::size_t length : {255u, 256u, 511u, 512u, 5000u}) {
        std::string value(length, 'v');
        value.back() = 'E';
        SetRegString(HKEY_LOCAL_MACHINE, Expected::ALARM_KEY, "Probe", value);
        EXPECT_EQ(value, Read()) << length;
    }
}

TEST_F(RegistryText, StopsAtTheFirstNulOrTheEndOfTheData)
{
    Raw(REG_SZ, std::string("front\0back", 10));
    EXPECT_EQ("front", Read());
    // No NUL stored and the buffer filled exactly: nothing beyond is read.
    Raw(REG_BINARY, std::string(256, 'b'));
    EXPECT_EQ(std::string(256, 'b'), Read());
    Raw(REG_BINARY, std::string(300, 'c'));
    EXPECT_EQ(std::string(300, 'c'), Read());
    // The type is not checked.
    Raw(REG_DWORD, std::string("ABC\0", 4));
    EXPECT_EQ("ABC", Read());
}

} // namespace
