// Load: several client processes at once, and one client that outruns a
// worker held up by the alarm-file mutex. Nothing accepted may be lost,
// every line must be whole and each client's events keep their order.

#include "Burst.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <process.h>

using namespace VardelTest;
using namespace VardelReliability;

namespace {

const char* const CLIENT_VARIABLE = "VARDEL_RELIABILITY_CLIENT"; // "<marker> <client> <count>"
const int CLIENTS = 4;
// The x86 suite's run is the short one: it shows the 32-bit server under
// load, the x64 suite measures it.
const int EVENTS_PER_CLIENT = sizeof(void*) == 4 ? 1000 : 5000;
// More than the 10000 places of the queue, so that the caller really waits.
const int HELD_EVENTS = 12000;

} // namespace

TEST_F(CReliabilityTest, LoadFourClientProcessesAtOnceLoseNothingAndKeepTheirOrder)
{
    const std::string marker = Marker("load");
    DWORD elapsed = 0;
    {
        CServerSession session;
        // The server is running and reachable before the clients start, so they share it.
        IVardelEventLog* log = nullptr;
        ASSERT_HR(S_OK, CreateByProgId(&log));

        std::vector<Vardel::CUniqueHandle> clients;
        std::vector<HANDLE> handles;
        const DWORD start = GetTickCount();
        for (int k = 0; k < CLIENTS; ++k) {
            char value[128];
            std::snprintf(value, sizeof value, "%s %d %d", marker.c_str(), k, EVENTS_PER_CLIENT);
            SetEnvironmentVariableA(CLIENT_VARIABLE, value);
            clients.push_back(StartProcess("\"" + SelfPath() + "\" --gtest_filter=LoadClient.Logs"));
            handles.push_back(clients.back().get());
        }
        SetEnvironmentVariableA(CLIENT_VARIABLE, nullptr);
        ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(CLIENTS, handles.data(), TRUE, 300000))
            << "the clients did not finish";
        for (HANDLE h : handles) {
            DWORD code = 1;
            GetExitCodeProcess(h, &code);
            EXPECT_EQ(0u, code) << "a client saw a failed call";
        }
        EXPECT_EQ(1u, ServerProcessIds().size()) << "the clients did not share one server";
        Barrier(log, m_alarm);
        elapsed = GetTickCount() - start;
        log->Release();
        session.End();
    }
    const std::string text = m_log.Appended();
    EXPECT_TRUE(EndsWithCrLf(text));
    const auto lines = CrLfLines(text);
    EXPECT_EQ(static_cast<size_t>(CLIENTS * EVENTS_PER_CLIENT), lines.size());
    int unparsed = 0;
    const auto found = NumbersBySource(lines, marker, unparsed);
    EXPECT_EQ(0, unparsed);
    ASSERT_EQ(static_cast<size_t>(CLIENTS), found.size());
    for (int k = 0; k < CLIENTS; ++k) {
        const auto it = found.find("Load" + std::to_string(k));
        ASSERT_NE(found.end(), it) << k;
        EXPECT_TRUE(InSequence(it->second, static_cast<size_t>(EVENTS_PER_CLIENT))) << "client " << k << ": " << it->second.size();
    }
    RecordProperty("elapsed_ms", static_cast<int>(elapsed));
    std::printf("[ measure  ] %d events from %d processes written in %lu ms\n", CLIENTS * EVENTS_PER_CLIENT, CLIENTS,
                static_cast<unsigned long>(elapsed));
}

// Run only as a child of the load test.
TEST(LoadClient, Logs)
{
    char value[128];
    if (!GetEnvironmentVariableA(CLIENT_VARIABLE, value, sizeof value))
        GTEST_SKIP() << "runs as a child of the load test";
    char marker[96];
    int client = 0, count = 0;
    ASSERT_EQ(3, std::sscanf(value, "%95s %d %d", marker, &client, &count));
    CComInit com;
    IVardelEventLog* log = nullptr;
    ASSERT_HR(S_OK, CreateByProgId(&log));
    const std::string source = "Load" + std::to_string(client);
    int failures = 0;
    for (int i = 0; i < count; ++i)
        if (Log(log, 1, 3, source, 1073741824u, std::string(marker) + " " + std::to_string(i)) != S_OK)
            ++failures;
    log->Release();
    EXPECT_EQ(0, failures);
}

namespace {

struct CHeldBurst {
    IStream* marshalled = nullptr;
    std::string marker;
    int count = 0;
    Vardel::CUniqueHandle pastTheQueue{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    volatile LONG calls = 0;
    volatile LONG failures = 0;
};

unsigned __stdcall HeldBurstThread(void* argument)
{
    auto* burst = static_cast<CHeldBurst*>(argument);
    CComInit com;
    IVardelEventLog* log = nullptr;
    if (FAILED(CoGetInterfaceAndReleaseStream(burst->marshalled, IID_IVardelEventLog,
                                              reinterpret_cast<void**>(&log)))) {
        SetEvent(burst->pastTheQueue.get());
        return 1;
    }
    for (int i = 0; i < burst->count; ++i) {
        // The queue holds 10000 and the worker one more: the call after those must wait.
        if (i == 10001)
            SetEvent(burst->pastTheQueue.get());
        if (Log(log, 3, 3, "Held", 1073741824u, burst->marker + " " + std::to_string(i)) != S_OK)
            InterlockedIncrement(&burst->failures);
        InterlockedIncrement(&burst->calls);
    }
    SetEvent(burst->pastTheQueue.get());
    log->Release();
    return 0;
}

} // namespace

TEST_F(CReliabilityTest, LoadAlarmBurstWaitsForTheAlarmMutexAndLosesNothing)
{
    CHeldBurst burst;
    burst.marker = Marker("held");
    burst.count = HELD_EVENTS;
    DWORD drained = 0;
    {
        CServerSession session;
        IVardelEventLog* log = nullptr;
        ASSERT_HR(S_OK, CreateByProgId(&log));
        // Another owner of the alarm file holds its mutex: the worker stops at the first alarm.
        Vardel::CHeldMutex mutex(Expected::ALARM_MUTEX);
        ASSERT_TRUE(mutex.Held());
        ASSERT_HR(S_OK, CoMarshalInterThreadInterfaceInStream(IID_IVardelEventLog, log, &burst.marshalled));
        Vardel::CUniqueHandle thread(
            reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, HeldBurstThread, &burst, 0, nullptr)));
        ASSERT_TRUE(thread);
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(burst.pastTheQueue.get(), 300000));
        // The caller is stuck behind the full queue and nothing reached the disk.
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread.get(), 2000)) << "the queue did not hold the caller";
        EXPECT_LE(burst.calls, 10002);
        EXPECT_EQ("", m_log.Appended());
        EXPECT_EQ("", m_alarm.Text());

        const DWORD start = GetTickCount();
        mutex.Release();
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.get(), 600000)) << "the burst did not finish";
        Barrier(log, m_alarm);
        drained = GetTickCount() - start;
        log->Release();
        session.End();
    }
    EXPECT_EQ(HELD_EVENTS, burst.calls);
    EXPECT_EQ(0, burst.failures);
    const auto lines = CrLfLines(m_log.Appended());
    EXPECT_EQ(static_cast<size_t>(HELD_EVENTS), lines.size());
    int unparsed = 0;
    const auto found = NumbersBySource(lines, burst.marker, unparsed);
    EXPECT_EQ(0, unparsed);
    ASSERT_EQ(1u, found.size());
    EXPECT_TRUE(InSequence(found.begin()->second, static_cast<size_t>(HELD_EVENTS))) << found.begin()->second.size();
    const auto alarms = CrLfLines(m_alarm.Text());
    EXPECT_EQ(static_cast<size_t>(HELD_EVENTS + 1), alarms.size()) << "every alarm and the barrier";
    std::printf("[ measure  ] %d alarm events drained in %lu ms after the mutex was freed\n", HELD_EVENTS,
                static_cast<unsigned long>(drained));
}
