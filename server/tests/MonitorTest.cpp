// The monitor's decision over scripted host checks and lock samples; the
// pause is a counted no-op here (the server passes a 10000 ms sleep).

#include "Monitor.h"

#include "Handles.h"
#include "testsupport/ExpectedNames.h"

#include <gtest/gtest.h>
#include <vector>

using VardelServer::WatchServer;

namespace {

// Plays back lock counts and host answers, and counts what was asked.
struct CScriptedServer {
    std::vector<LONG> locks;
    std::vector<bool> host; // answers in turn; true once they run out
    size_t lockSamples = 0, hostChecks = 0, pauses = 0;

    void Watch()
    {
        WatchServer([this] { return hostChecks < host.size() ? host[hostChecks++] : (++hostChecks, true); },
                    [this] {
                        EXPECT_LT(lockSamples, locks.size()) << "sampled after it should have ended";
                        return lockSamples < locks.size() ? locks[lockSamples++] : 0;
                    },
                    [this] { ++pauses; });
    }
};

} // namespace

TEST(Monitor, EndsAfterTwoConsecutiveZeroSamples)
{
    CScriptedServer server{{0, 0}, {}};
    server.Watch();
    EXPECT_EQ(2u, server.lockSamples);
    EXPECT_EQ(2u, server.pauses);
    EXPECT_EQ(2u, server.hostChecks); // before each pause
}

TEST(Monitor, ALockBetweenZeroSamplesStartsTheCountAgain)
{
    CScriptedServer server{{0, 3, 0, 1, 1, 0, 0}, {}};
    server.Watch();
    EXPECT_EQ(7u, server.lockSamples);
    EXPECT_EQ(7u, server.pauses);
}

TEST(Monitor, EndsAtOnceWhenTheHostIsMissingAtStart)
{
    CScriptedServer server{{}, {false}};
    server.Watch();
    EXPECT_EQ(0u, server.pauses);
    EXPECT_EQ(0u, server.lockSamples);
}

TEST(Monitor, EndsAtTheFirstCheckAfterTheHostGoesWhateverTheLocks)
{
    CScriptedServer server{{5, 5, 5}, {true, true, true, false}};
    server.Watch();
    EXPECT_EQ(3u, server.lockSamples);
    EXPECT_EQ(4u, server.hostChecks);
}

TEST(Monitor, HostEventExistsOnlyWhileSomeoneHoldsIt)
{
    Vardel::CUniqueHandle existing(OpenEventA(SYNCHRONIZE, FALSE, VardelTest::Expected::HOST_EVENT));
    if (existing)
        GTEST_SKIP() << "a host is running in this prefix";
    EXPECT_FALSE(VardelServer::HostEventExists());
    {
        Vardel::CUniqueHandle host(CreateEventA(nullptr, TRUE, FALSE, VardelTest::Expected::HOST_EVENT));
        ASSERT_TRUE(host);
        EXPECT_TRUE(VardelServer::HostEventExists());
        EXPECT_TRUE(VardelServer::HostEventExists()) << "the check must not keep or consume it";
    }
    EXPECT_FALSE(VardelServer::HostEventExists());
}
