// When a running server ends: host event missing or gone, two idle
// samples 10 s apart, kept alive by references and by queued events.
// Without clients the server is started here (-Embedding); with clients
// COM starts it and the test then opens its process to wait on it. Events are held in
// the queue by holding the alarm file's mutex, which the writer waits for
// before it writes an alarm.

#include "ServerHarness.h"

using namespace VardelTest;

namespace {

// Longer than two polling periods: a server that ignored what keeps it
// alive would have ended within it.
constexpr DWORD KEPT_ALIVE_MS = 25000;
constexpr DWORD IDLE_END_LIMIT_MS = 40000;

class Lifetime : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (HostEventExists())
            GTEST_SKIP() << "a host is running in this prefix: these tests control the host event themselves";
        ASSERT_TRUE(ServerProcessIds().empty()) << "a server from elsewhere is running";
        ASSERT_EQ(0u, RunServer("/RegServer"));
    }
    void TearDown() override
    {
        // The test's host event is gone by now: whatever a failed check left
        // running ends within one monitor period, or is killed.
        EXPECT_TRUE(WaitForServersToEnd(30000));
    }

    static void Log(IVardelEventLog* log, const std::string& text, int type = 3)
    {
        CBstr source("Lifetime"), message(text);
        EXPECT_HR(S_OK, log->LogEvent(static_cast<eTType>(type), 3, source.get(), 0, message.get()));
    }

    static void ExpectAlarmLines(const std::string& text, const std::vector<std::string>& messages)
    {
        const auto lines = CrLfLines(text);
        ASSERT_EQ(messages.size(), lines.size()) << text;
        for (size_t i = 0; i < messages.size(); ++i)
            EXPECT_EQ(1u, LinesEndingWith({lines[i]}, ",ERROR,RELEASE,Lifetime,\"" + messages[i] + "\"").size())
                << lines[i];
    }

    CRegistrationGuard m_registration;
    CLogCapture m_log;
    CAlarmCapture m_alarm;
    CComInit m_com;
};

TEST_F(Lifetime, EndsAtOnceWithoutTheHost)
{
    CServerProcess server;
    DWORD code = 1;
    // At once means before the first 10 s check.
    EXPECT_TRUE(server.WaitForExit(8000, &code)) << "it should not wait for a check";
    EXPECT_EQ(0u, code);
}

TEST_F(Lifetime, EndsAfterTwoIdleSamples)
{
    CHostEvent host;
    const DWORD start = GetTickCount();
    CServerProcess server;
    EXPECT_FALSE(server.WaitForExit(8000)) << "with the host present it waits for the idle checks";
    DWORD code = 1;
    EXPECT_TRUE(server.WaitForExit(IDLE_END_LIMIT_MS, &code));
    EXPECT_EQ(0u, code);
    std::printf("ended %lu ms after start\n", static_cast<unsigned long>(GetTickCount() - start));
}

TEST_F(Lifetime, ReferencesAndQueuedEventsKeepItAlive)
{
    CHostEvent host;
    const std::vector<std::string> messages = {Marker("queued"), Marker("queued"), Marker("queued")};
    IVardelEventLog* log = nullptr;
    ASSERT_HR(S_OK, CreateByProgId(&log));
    CServerProcess server{CServerProcess::CStartedByCom()};
    {
        EXPECT_FALSE(server.WaitForExit(KEPT_ALIVE_MS)) << "a held reference keeps it alive";

        Vardel::CHeldMutex block(Expected::ALARM_MUTEX);
        for (const auto& m : messages)
            Log(log, m);
        log->Release();
        EXPECT_FALSE(server.WaitForExit(KEPT_ALIVE_MS)) << "events still queued keep it alive";
        EXPECT_EQ("", m_log.Appended()) << "the writer waits for the alarm mutex";
    }
    // Written now, then idle twice.
    const DWORD released = GetTickCount();
    DWORD code = 1;
    EXPECT_TRUE(server.WaitForExit(IDLE_END_LIMIT_MS, &code));
    EXPECT_EQ(0u, code);
    std::printf("ended %lu ms after the last lock went\n", static_cast<unsigned long>(GetTickCount() - released));
    ExpectAlarmLines(m_log.Appended(), messages);
    EXPECT_EQ(3u, CrLfLines(m_alarm.Text()).size());
}

TEST_F(Lifetime, HostGoneEndsItWithClientsAndKeepsQueuedEvents)
{
    CHostEvent host;
    IVardelEventLog* log = nullptr;
    ASSERT_HR(S_OK, CreateByProgId(&log));
    CServerProcess server{CServerProcess::CStartedByCom()};
    std::vector<std::string> messages;
    Vardel::CHeldMutex block(Expected::ALARM_MUTEX);
    for (int i = 0; i < 20; ++i) {
        messages.push_back(Marker("before"));
        Log(log, messages.back());
    }

    host.Close();
    // The next check (within 10 s) ends it: clients are cut off first. Each
    // call until then is accepted and must be written too.
    HRESULT hr = S_OK;
    const DWORD closed = GetTickCount();
    while (GetTickCount() - closed < 30000) {
        std::string text = Marker("meanwhile");
        CBstr source("Lifetime"), message(text);
        hr = log->LogEvent(static_cast<eTType>(3), 3, source.get(), 0, message.get());
        if (FAILED(hr))
            break;
        messages.push_back(text);
        Sleep(250); // pacing the probe, not synchronisation: the failure is the event
    }
    std::printf("disconnected %lu ms after the host went, %zu calls accepted\n",
                static_cast<unsigned long>(GetTickCount() - closed), messages.size());
    // Disconnected: Windows says RPC_E_DISCONNECTED or CO_E_OBJNOTCONNECTED;
    // Wine 8 answers a call on an interface stub that CoDisconnectObject
    // removed with RPC_S_UNKNOWN_IF as an HRESULT (0x800706B5).
    EXPECT_TRUE(hr == RPC_E_DISCONNECTED || hr == CO_E_OBJNOTCONNECTED || hr == HRESULT_FROM_WIN32(RPC_S_UNKNOWN_IF))
        << HrText(hr);

    // The server now waits for its queue, which waits for the mutex. (The
    // proxy is released only afterwards: Wine delivers its release to the
    // server's main thread, which is waiting for the queue.)
    EXPECT_FALSE(server.WaitForExit(3000)) << "it ended before writing what it had accepted";
    block.Release();
    DWORD code = 1;
    EXPECT_TRUE(server.WaitForExit(20000, &code));
    EXPECT_EQ(0u, code);
    log->Release();
    ExpectAlarmLines(m_log.Appended(), messages);
    EXPECT_EQ(messages.size(), CrLfLines(m_alarm.Text()).size());
}

} // namespace
