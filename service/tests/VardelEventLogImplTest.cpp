// The logging service end to end in one process: real worker thread, real
// log folder, real alarm-file mutex to hold the worker where a test needs
// it to be busy.
#include "VardelEventLogImpl.h"

#include "Handles.h"
#include "Win32Error.h"
#include "WorkerThread.h"
#include "testsupport/RegistryViews.h"
#include "testsupport/TestSupport.h"

#include <unknwn.h>

#include <atomic>
#include <ctime>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

using VardelEventLogger::CVardelEventLogImpl;
using namespace VardelTest;

namespace {

const std::string ALARM_DIR = "C:\\Korvane\\ServiceAlarms";
const std::string ALARM_FILE = ALARM_DIR + "\\alarms.txt";

// Counts the references the service's command thread takes on its owner.
class CCountingOwner : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override
    {
        ADD_FAILURE() << "the service never asks its owner for an interface";
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        m_releasedOn = GetCurrentThreadId();
        return --m_refs;
    }
    // Waits, bounded, until every command has run.
    bool WaitIdle() const
    {
        for (DWORD start = GetTickCount(); m_refs != 0;) {
            if (GetTickCount() - start > 60000)
                return false;
            Sleep(5); // polling the count is the condition itself
        }
        return true;
    }
    std::atomic<long> m_refs{0};
    std::atomic<DWORD> m_releasedOn{0}; // the worker, once a command has run
};

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    EXPECT_EQ(start, text.size()) << "the file ends in a partial line";
    return lines;
}

class LoggingService : public ::testing::Test {
protected:
    void SetUp() override
    {
        MakeEmptyFolder(Expected::LOG_FOLDER);
        MakeEmptyFolder(ALARM_DIR);
        SetRegString(HKEY_LOCAL_MACHINE, Expected::ALARM_KEY, Expected::ALARM_FILE_VALUE, ALARM_FILE);
    }
    void TearDown() override
    {
        RemoveTree(Expected::LOG_FOLDER);
        RemoveTree(ALARM_DIR);
    }

    CBothViewsKeyGuard m_alarmKey{Expected::ALARM_KEY};
    CBothViewsKeyGuard m_settingsKey{Expected::SETTINGS_KEY};
    CCountingOwner m_owner;
};

} // namespace

TEST_F(LoggingService, StartAndShutdownWithoutEventsWriteNothing)
{
    {
        CVardelEventLogImpl service(&m_owner);
        EXPECT_EQ(0, m_owner.m_refs);
        service.StartLog();
        service.ShutdownLog();
        EXPECT_EQ(0, m_owner.m_refs) << "every pending command ran, so no server lock is left";
    }
    EXPECT_TRUE(ListFolder(Expected::LOG_FOLDER).empty());
    EXPECT_FALSE(FileExists(ALARM_FILE));
}

TEST_F(LoggingService, EventsAreWrittenInCallOrder)
{
    {
        CVardelEventLogImpl service(&m_owner);
        service.StartLog();
        for (int i = 0; i < 500; ++i)
            service.LogEvent(1 + i % 2, 3, "Src", static_cast<std::uint32_t>(i), "m" + std::to_string(i));
        service.ShutdownLog();
    }
    std::vector<std::string> lines = Lines(ReadWholeFile(TodayLogPath()));
    ASSERT_EQ(500u, lines.size());
    for (int i = 0; i < 500; ++i) {
        std::string tail = std::string(i % 2 ? ",WARNING" : ",INFORMATION") + ",RELEASE,Src,\"m" + std::to_string(i) + "\"";
        ASSERT_GE(lines[i].size(), tail.size());
        EXPECT_EQ(tail, lines[i].substr(lines[i].size() - tail.size())) << "line " << i;
    }
    EXPECT_EQ(0, m_owner.m_refs);
}

TEST_F(LoggingService, LogEventReturnsBeforeTheWriteAndHoldsALockWhilePending)
{
    CVardelEventLogImpl service(&m_owner);
    service.StartLog();
    Vardel::CHeldMutex held(Expected::ALARM_MUTEX);
    ASSERT_TRUE(held.Held());
    service.LogEvent(3, 3, "Pump", 100, "blocked in the alarm writer");
    service.LogEvent(1, 3, "Pump", 101, "behind it");
    EXPECT_EQ(1, m_owner.m_refs) << "one server lock while commands are pending";
    EXPECT_FALSE(FileExists(TodayLogPath())) << "LogEvent must not wait for the write";
    held.Release();
    service.ShutdownLog();
    EXPECT_EQ(2u, Lines(ReadWholeFile(TodayLogPath())).size());
    EXPECT_EQ(0, m_owner.m_refs);
}

TEST_F(LoggingService, ShutdownWritesEveryEventAcceptedBeforeIt)
{
    constexpr int count = 3000;
    CVardelEventLogImpl service(&m_owner);
    service.StartLog();
    Vardel::CHeldMutex held(Expected::ALARM_MUTEX);
    ASSERT_TRUE(held.Held());
    for (int i = 0; i < count; ++i)
        service.LogEvent(3, 3, "S", 0, std::to_string(i));

    std::atomic<bool> returned{false};
    std::thread shutdown([&] {
        service.ShutdownLog();
        returned = true;
    });
    // The worker is held in the first alarm; ShutdownLog must wait for the
    // queue rather than drop it.
    Sleep(200);
    EXPECT_FALSE(returned);
    held.Release();
    shutdown.join();
    EXPECT_TRUE(returned);

    std::vector<std::string> lines = Lines(ReadWholeFile(TodayLogPath()));
    ASSERT_EQ(static_cast<std::size_t>(count), lines.size());
    for (int i = 0; i < count; ++i)
        EXPECT_NE(std::string::npos, lines[i].find(",\"" + std::to_string(i) + "\"")) << i;
    EXPECT_EQ(static_cast<std::size_t>(count), Lines(ReadWholeFile(ALARM_FILE)).size());
    EXPECT_EQ(0, m_owner.m_refs);
}

TEST_F(LoggingService, FortyThousandEventsFromFourThreadsAreAllWrittenIntact)
{
    // Four times the queue's places; the x86 suite shows the same threads and
    // queue in a 32-bit process on half of that. The benchmarks carry the load.
    constexpr int producers = 4, perProducer = sizeof(void*) == 4 ? 5000 : 10000;
    {
        CVardelEventLogImpl service(&m_owner);
        service.StartLog();
        std::vector<std::thread> threads;
        for (int p = 0; p < producers; ++p)
            threads.emplace_back([&service, p] {
                for (int i = 0; i < perProducer; ++i)
                    service.LogEvent(2, 1, "P" + std::to_string(p), 1073311435u, std::to_string(i));
            });
        for (auto& t : threads)
            t.join();
        service.ShutdownLog();
    }
    std::vector<std::string> lines = Lines(ReadWholeFile(TodayLogPath()));
    ASSERT_EQ(static_cast<std::size_t>(producers * perProducer), lines.size());
    std::map<int, int> next;
    const std::string prefix = "Mon Jan 05 02:03:55 PM ";
    for (const std::string& line : lines) {
        // time text, type, level, source, "sequence"
        std::size_t source = line.find(",WARNING,TRACE,P");
        ASSERT_NE(std::string::npos, source) << line;
        ASSERT_EQ(0u, line.find(prefix)) << line;
        std::size_t comma = line.find(',', source + 16);
        ASSERT_NE(std::string::npos, comma) << line;
        int producer = std::stoi(line.substr(source + 16, comma - source - 16));
        ASSERT_EQ('"', line[comma + 1]);
        ASSERT_EQ('"', line.back());
        int sequence = std::stoi(line.substr(comma + 2, line.size() - comma - 3));
        ASSERT_EQ(next[producer], sequence) << "producer " << producer << " out of order";
        next[producer] = sequence + 1;
    }
    for (int p = 0; p < producers; ++p)
        EXPECT_EQ(perProducer, next[p]);
    EXPECT_EQ(0, m_owner.m_refs);
}

namespace {
int g_refusedThreads = 0;
HANDLE WINAPI RefuseThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD)
{
    ++g_refusedThreads;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

// Makes every thread creation fail while it lives.
class CThreadCreationFails {
public:
    CThreadCreationFails() : m_saved(ThreadCreator()) { ThreadCreator() = &RefuseThread; }
    ~CThreadCreationFails() { ThreadCreator() = m_saved; }

private:
    ThreadCreateFunction m_saved;
};
} // namespace

TEST_F(LoggingService, WithoutAWorkerThreadLogEventFailsInsteadOfQueueingForEver)
{
    CVardelEventLogImpl service(&m_owner);
    {
        CThreadCreationFails refused;
        service.StartLog();
        EXPECT_EQ(1, g_refusedThreads);
        EXPECT_EQ(0, m_owner.m_refs) << "nothing queued, so no server lock is held";
        try {
            service.LogEvent(1, 3, "S", 0, "refused");
            ADD_FAILURE() << "LogEvent accepted an event nobody would write";
        } catch (const Vardel::CWin32Error& e) {
            EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), e.Error());
        }
        EXPECT_EQ(2, g_refusedThreads) << "each LogEvent tries to start the worker again";
        EXPECT_EQ(0, m_owner.m_refs);
    }
    // Once threads can be created again the next event starts the worker.
    service.LogEvent(1, 3, "S", 0, "accepted");
    service.ShutdownLog();
    std::vector<std::string> lines = Lines(ReadWholeFile(TodayLogPath()));
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find(",INFORMATION,RELEASE,S,\"accepted\""));
    EXPECT_EQ(0, m_owner.m_refs);
}

namespace {
std::string Numbered(int i, std::size_t size)
{
    std::string text = std::to_string(i) + " ";
    text.resize(size, 'q');
    return text;
}
} // namespace

TEST_F(LoggingService, QueuedTextWaitsAtItsBudgetAndEveryEventIsWrittenInOrder)
{
    // Budget 1000: with the 5 bytes of the held event, three 300-byte
    // events fit and the fourth waits; the 5000-byte one later goes in alone.
    const std::vector<std::size_t> sizes = {299, 299, 299, 299, 299, 4999, 299, 299};
    CVardelEventLogImpl service(&m_owner, 1000);
    service.StartLog();
    std::atomic<int> accepted{0};
    {
        Vardel::CHeldMutex held(Expected::ALARM_MUTEX);
        ASSERT_TRUE(held.Held());
        service.LogEvent(3, 3, "S", 0, "hold");
        std::thread producer([&] {
            for (std::size_t i = 0; i < sizes.size(); ++i) {
                service.LogEvent(1, 3, "P", 0, Numbered(static_cast<int>(i), sizes[i]));
                ++accepted;
            }
        });
        for (DWORD start = GetTickCount(); accepted < 3 && GetTickCount() - start < 10000;)
            Sleep(5);
        // A fourth would pass the budget: the producer must still wait.
        Sleep(300);
        EXPECT_EQ(3, accepted);
        held.Release();
        producer.join();
    }
    service.ShutdownLog();
    std::vector<std::string> lines = Lines(ReadWholeFile(TodayLogPath()));
    ASSERT_EQ(sizes.size() + 1, lines.size());
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const std::string tail = ",INFORMATION,RELEASE,P,\"" + Numbered(static_cast<int>(i), sizes[i]) + "\"";
        ASSERT_GE(lines[i + 1].size(), tail.size());
        EXPECT_EQ(tail, lines[i + 1].substr(lines[i + 1].size() - tail.size())) << "line " << i + 1;
    }
    EXPECT_EQ(0, m_owner.m_refs);
}

namespace {
std::atomic<int> g_failedWaits{0};
HRESULT FailingWait(HANDLE)
{
    ++g_failedWaits;
    return E_FAIL;
}
} // namespace

TEST_F(LoggingService, ShutdownWhoseWaitFailsStillWritesEverythingAndEndsTheWorkerInOrder)
{
    constexpr int count = 200;
    CVardelEventLogImpl service(&m_owner, VardelEventLogger::QUEUED_TEXT_BUDGET, &FailingWait);
    service.StartLog();
    ASSERT_TRUE(m_owner.WaitIdle());
    Vardel::CUniqueHandle worker(OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, m_owner.m_releasedOn));
    ASSERT_TRUE(worker) << GetLastError();
    {
        Vardel::CHeldMutex held(Expected::ALARM_MUTEX);
        ASSERT_TRUE(held.Held());
        for (int i = 0; i < count; ++i)
            service.LogEvent(3, 3, "S", 0, std::to_string(i));
        std::thread shutdown([&] { service.ShutdownLog(); });
        for (DWORD start = GetTickCount(); g_failedWaits == 0 && GetTickCount() - start < 10000;)
            Sleep(5);
        EXPECT_EQ(1, g_failedWaits);
        held.Release();
        shutdown.join();
    }
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(worker.get(), &code));
    EXPECT_EQ(333u, code) << "the worker ended by itself, not by force";
    EXPECT_EQ(static_cast<std::size_t>(count), Lines(ReadWholeFile(TodayLogPath())).size());
    EXPECT_EQ(0, m_owner.m_refs);
    try {
        service.LogEvent(1, 3, "S", 0, "after");
        ADD_FAILURE() << "an event after the shutdown was accepted";
    } catch (const Vardel::CWin32Error& e) {
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_STATE), e.Error());
    }
}
