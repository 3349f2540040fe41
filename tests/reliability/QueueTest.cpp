// The queue under pressure through the real server: large events while the
// worker is held at the alarm-file mutex, and the drain at the end, during
// which the server must still answer its clients.

#include "Burst.h"

#include <cstdio>
#include <fstream>
#include <functional>
#include <psapi.h>
#include <thread>

using namespace VardelTest;
using namespace VardelReliability;

namespace {

// The server's limit on the source and message bytes of queued events.
constexpr size_t QUEUED_TEXT_BUDGET = 256u << 20;

struct CMemory {
    SIZE_T workingSet = 0, peak = 0;
};

CMemory ServerMemory(HANDLE process)
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    EXPECT_TRUE(GetProcessMemoryInfo(process, &counters, sizeof counters)) << GetLastError();
    return {counters.WorkingSetSize, counters.PeakWorkingSetSize};
}

Vardel::CUniqueHandle OpenServer()
{
    const auto ids = ServerProcessIds();
    EXPECT_EQ(1u, ids.size());
    return Vardel::CUniqueHandle(
        ids.empty() ? nullptr : OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ids[0]));
}

// One blocking call made on a thread of its own, so that the test can
// bound how long it takes; joined when it goes (by then the test has let
// go of whatever held the call).
class CCallOnThread {
public:
    explicit CCallOnThread(std::function<void()> call) : m_done(CreateEventA(nullptr, TRUE, FALSE, nullptr))
    {
        m_thread = std::thread([this, call] {
            CComInit com;
            call();
            SetEvent(m_done.get());
        });
    }
    ~CCallOnThread() { m_thread.join(); }
    bool ReturnedWithin(DWORD ms) const { return WaitForSingleObject(m_done.get(), ms) == WAIT_OBJECT_0; }

private:
    Vardel::CUniqueHandle m_done;
    std::thread m_thread;
};

bool IsDisconnected(HRESULT hr)
{
    // Wine 8 answers a call on an interface that CoDisconnectObject removed
    // with RPC_S_UNKNOWN_IF as an HRESULT; Windows with one of the others.
    return hr == RPC_E_DISCONNECTED || hr == CO_E_OBJNOTCONNECTED || hr == HRESULT_FROM_WIN32(RPC_S_UNKNOWN_IF);
}

// Long enough to tell "answered at once" from "answered after the drain",
// which the test holds open for as long as it likes.
constexpr DWORD AT_ONCE_MS = 10000;

} // namespace

TEST_F(CReliabilityTest, QueueTextBudgetHoldsCallersAndKeepsEveryEvent)
{
    // Two clients send 24 events of 8 MiB each, 384 MiB in all, while the
    // worker is held: unbounded, the server would grow past the limit below.
    constexpr size_t MESSAGE_BYTES = 8u << 20;
    constexpr int PER_CLIENT = 24;
    // Beyond the budget: the two calls in flight, each 8 MiB arriving as
    // 16 MiB of UTF-16 held in RPC buffers and argument copies (about 32 MiB
    // measured under Wine 8), and the heap.
    constexpr size_t MARGIN = 96u << 20;
    const std::string marker = Marker("budget");
    {
        CServerSession session;
        IVardelEventLog* log = nullptr;
        ASSERT_HR(S_OK, CreateByProgId(&log));
        Vardel::CUniqueHandle server = OpenServer();
        ASSERT_TRUE(server);
        const CMemory before = ServerMemory(server.get());
        CMemory held;
        LONG acceptedWhileHeld = 0;
        {
            Vardel::CHeldMutex block(Expected::ALARM_MUTEX);
            ASSERT_TRUE(block.Held());
            ASSERT_HR(S_OK, Log(log, 3, 3, "Hold", 0, marker + " hold"));
            CBurst burst(log, marker, {MESSAGE_BYTES, MESSAGE_BYTES}, 1, PER_CLIENT);
            // 31 such events fit in the budget beside the held one.
            const LONG fit = static_cast<LONG>(QUEUED_TEXT_BUDGET / (MESSAGE_BYTES + 64));
            ASSERT_TRUE(burst.WaitForAccepted(fit, 300000)) << burst.Accepted() << " accepted";
            EXPECT_FALSE(burst.WaitForEnd(2000)) << "the callers should wait while the worker is held";
            acceptedWhileHeld = burst.Accepted();
            held = ServerMemory(server.get());
            block.Release();
            EXPECT_TRUE(burst.WaitForEnd(300000));
            EXPECT_EQ(2 * PER_CLIENT, burst.Accepted());
        }
        std::printf("[ measure  ] %ld events of 8 MiB accepted while held; server working set %.0f MiB, peak %.0f "
                    "MiB, %.0f MiB before\n",
                    static_cast<long>(acceptedWhileHeld), held.workingSet / 1048576.0, held.peak / 1048576.0,
                    before.workingSet / 1048576.0);
        EXPECT_LE(static_cast<size_t>(acceptedWhileHeld) * MESSAGE_BYTES, QUEUED_TEXT_BUDGET);
        EXPECT_LE(held.peak, before.workingSet + QUEUED_TEXT_BUDGET + MARGIN);
        Barrier(log, m_alarm);
        log->Release();
        session.End();
    }
    // Read line by line: half a gigabyte of log.
    std::ifstream in(m_log.FileName(), std::ios::binary);
    std::map<std::string, std::vector<int>> numbers;
    std::string line;
    int torn = 0;
    while (std::getline(in, line)) {
        if (line.empty() || line.back() != '\r') {
            ++torn;
            continue;
        }
        line.pop_back();
        CLogLine parsed;
        if (!ParseLogLine(line, parsed) || parsed.message.compare(0, marker.size() + 1, marker + " ") != 0)
            continue;
        if (parsed.source == "Hold")
            continue;
        const int number = std::atoi(parsed.message.c_str() + marker.size() + 1);
        EXPECT_EQ(marker.size() + 2 + std::to_string(number).size() + MESSAGE_BYTES, parsed.message.size());
        numbers[parsed.source].push_back(number);
    }
    EXPECT_EQ(0, torn);
    ASSERT_EQ(2u, numbers.size());
    for (const auto& source : numbers)
        EXPECT_TRUE(InSequence(source.second, PER_CLIENT)) << source.first;
    ReportRow("8 MiB events from two clients behind a held worker", 2 * PER_CLIENT,
              static_cast<long>(numbers["Burst0"].size() + numbers["Burst1"].size()),
              "callers wait at the queued-text budget; all written in order");
}

TEST_F(CReliabilityTest, DrainAnswersReleasesAndCallsAtOnce)
{
    CHostEvent host;
    IVardelEventLog* log = nullptr;
    ASSERT_HR(S_OK, CreateByProgId(&log));
    CServerProcess server{CServerProcess::CStartedByCom()};
    const std::string marker = Marker("drain");
    std::vector<std::string> messages;
    std::unique_ptr<CCallOnThread> call, release;
    Vardel::CHeldMutex block(Expected::ALARM_MUTEX);
    ASSERT_TRUE(block.Held());
    for (int i = 0; i < 20; ++i) {
        messages.push_back(marker + " " + std::to_string(i));
        ASSERT_HR(S_OK, Log(log, 3, 3, "Drain", 0, messages.back()));
    }

    // Once the host is gone the server cuts its clients off and drains,
    // which the held mutex keeps it doing.
    host.Close();
    HRESULT hr = S_OK;
    for (const DWORD closed = GetTickCount(); GetTickCount() - closed < 30000;) {
        const std::string text = marker + " " + std::to_string(messages.size());
        hr = Log(log, 3, 3, "Drain", 0, text);
        if (FAILED(hr))
            break;
        messages.push_back(text);
        Sleep(250); // pacing the probe, not synchronisation: the failure is the event
    }
    ASSERT_TRUE(IsDisconnected(hr)) << HrText(hr);

    // A call the apartment has to answer (a new interface), and the last
    // release: both while the drain is still held open.
    HRESULT queried = S_OK;
    call.reset(new CCallOnThread([&] {
        IConnectionPointContainer* points = nullptr;
        queried = log->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&points));
        if (SUCCEEDED(queried))
            points->Release();
    }));
    EXPECT_TRUE(call->ReturnedWithin(AT_ONCE_MS)) << "a call waited for the drain";
    release.reset(new CCallOnThread([&] { log->Release(); }));
    EXPECT_TRUE(release->ReturnedWithin(AT_ONCE_MS)) << "the release waited for the drain";
    EXPECT_TRUE(FAILED(queried)) << HrText(queried);
    EXPECT_FALSE(server.WaitForExit(0)) << "it ended before writing what it had accepted";

    block.Release();
    DWORD code = 1;
    EXPECT_TRUE(server.WaitForExit(30000, &code));
    EXPECT_EQ(0u, code);
    const auto lines = CrLfLines(m_log.Appended());
    ASSERT_EQ(messages.size(), lines.size());
    for (size_t i = 0; i < messages.size(); ++i)
        EXPECT_EQ(1u, LinesEndingWith({lines[i]}, ",Drain,\"" + messages[i] + "\"").size()) << lines[i];
    EXPECT_EQ(messages.size(), CrLfLines(m_alarm.Text()).size());
}
