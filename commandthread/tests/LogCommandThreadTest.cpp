// The log command thread's hold on its owner: one reference while commands
// are pending, none once all have run, and none given back for commands
// that never run.
#include "LogCommandThread.h"

#include "ThreadTestSupport.h"

#include <unknwn.h>

#include <atomic>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

using ThreadTest::CEvent;
using ThreadTest::CHelperThread;
using ThreadTest::ExitCodeAfterEnd;
using ThreadTest::OpenThreadById;
using ThreadTest::WAIT_LIMIT_MS;

namespace {

// An owner that counts its references and notes any count outside 0..1,
// the only values this thread may ever cause.
class CFakeOwner : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override
    {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override
    {
        if (throwOnAddRef)
            throw std::bad_alloc();
        ++addRefs;
        LONG now = ++references;
        if (now > 1)
            outOfRange = true;
        return static_cast<ULONG>(now);
    }
    ULONG STDMETHODCALLTYPE Release() override
    {
        ++releases;
        LONG now = --references;
        if (now < 0)
            outOfRange = true;
        return static_cast<ULONG>(now);
    }

    std::atomic<LONG> references{0};
    std::atomic<int> addRefs{0};
    std::atomic<int> releases{0};
    std::atomic<bool> outOfRange{false};
    bool throwOnAddRef = false;
};

class CTestLogCommand : public CLogCommand {
public:
    CTestLogCommand(std::atomic<int>& destroyed, std::function<void()> action = {})
        : CLogCommand(boost::shared_ptr<CLogSettings>()), m_destroyed(destroyed), m_action(std::move(action))
    {
    }
    ~CTestLogCommand() override { ++m_destroyed; }
    void Execute() override
    {
        if (m_action)
            m_action();
    }

private:
    std::atomic<int>& m_destroyed;
    std::function<void()> m_action;
};

const char* const WRITER_NAME = "Vardel Event Writer";

} // namespace

TEST(LogCommandThread, PostsBeforeStartTakeOneReferenceGivenBackAfterTheLast)
{
    CFakeOwner owner;
    std::atomic<int> destroyed{0};
    std::vector<LONG> seen;
    CLogCommandThread thread(&owner, WRITER_NAME, 333);
    EXPECT_EQ("Vardel Event Writer", thread.Worker().GetName());
    CEvent third;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(thread.PostCommand(new CTestLogCommand(destroyed, [&, i] {
            seen.push_back(owner.references);
            if (i == 2)
                third.Set();
        })));
        EXPECT_EQ(1, owner.addRefs) << "post " << i;
    }
    EXPECT_EQ(0, owner.releases);

    ASSERT_TRUE(thread.StartProcessing());
    Vardel::CUniqueHandle handle = OpenThreadById(thread.Worker().GetThreadId());
    ASSERT_TRUE(handle);
    // A stop is seen before the next command, so it waits until all three ran.
    ASSERT_TRUE(third.WaitFor());
    thread.StopProcessing();
    EXPECT_EQ(333u, ExitCodeAfterEnd(handle.get()));
    EXPECT_EQ((std::vector<LONG>{1, 1, 1}), seen) << "the reference is held until the third has run";
    EXPECT_EQ(3, destroyed);
    EXPECT_EQ(1, owner.addRefs);
    EXPECT_EQ(1, owner.releases);
    EXPECT_EQ(0, owner.references);
    EXPECT_FALSE(owner.outOfRange);
}

// Each round holds the worker in the last outstanding command, then lets it
// finish while several producers post at once, so their first post races
// the worker's return of the pending count to 0. A fence posted after the
// round runs only when every earlier command has finished, its hook
// included: the owner must then hold exactly the one reference taken for
// the fence.
TEST(LogCommandThread, RacingPostsNeverLeaveTheCountOff)
{
    constexpr int rounds = 150;
    constexpr int producers = 3;
    constexpr int postsEach = 4;
    CFakeOwner owner;
    std::atomic<int> destroyed{0};
    CLogCommandThread thread(&owner, WRITER_NAME, 333);
    ASSERT_TRUE(thread.StartProcessing());

    for (int round = 0; round < rounds; ++round) {
        CEvent holding, go;
        ASSERT_TRUE(thread.PostCommand(new CTestLogCommand(destroyed, [&] {
            holding.Set();
            go.WaitFor();
        })));
        ASSERT_TRUE(holding.WaitFor()) << "round " << round;
        std::vector<std::unique_ptr<CHelperThread>> threads;
        for (int p = 0; p < producers; ++p) {
            threads.emplace_back(new CHelperThread([&] {
                go.WaitFor();
                for (int i = 0; i < postsEach; ++i)
                    thread.PostCommand(new CTestLogCommand(destroyed));
            }));
        }
        go.Set();
        for (auto& t : threads)
            ASSERT_TRUE(t->Wait()) << "round " << round;

        LONG atFence = -1;
        CEvent fenced;
        ASSERT_TRUE(thread.PostCommand(new CTestLogCommand(destroyed, [&] {
            atFence = owner.references;
            fenced.Set();
        })));
        ASSERT_TRUE(fenced.WaitFor()) << "round " << round;
        ASSERT_EQ(1, atFence) << "round " << round;
        ASSERT_FALSE(owner.outOfRange) << "round " << round;
    }
    thread.StopProcessing();
    EXPECT_EQ(rounds * (producers * postsEach + 2), destroyed);
    EXPECT_EQ(0, owner.references);
    EXPECT_EQ(owner.addRefs, owner.releases);
    EXPECT_FALSE(owner.outOfRange);
    // How often the count fell to 0 mid-round depends on scheduling.
    RecordProperty("AddRefs", owner.addRefs.load());
}

// Commands queued behind a stop never run, so the reference taken for them
// stays, also after the thread object is gone.
TEST(LogCommandThread, CommandsLeftQueuedKeepTheOwnersReference)
{
    CFakeOwner owner;
    std::atomic<int> destroyed{0}, executed{0};
    Vardel::CUniqueHandle handle;
    {
        CLogCommandThread thread(&owner, WRITER_NAME, 333);
        CEvent running, release;
        ASSERT_TRUE(thread.PostCommand(new CTestLogCommand(destroyed, [&] {
            ++executed;
            running.Set();
            release.WaitFor();
        })));
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(thread.PostCommand(new CTestLogCommand(destroyed, [&] { ++executed; })));
        ASSERT_TRUE(thread.StartProcessing());
        handle = OpenThreadById(thread.Worker().GetThreadId());
        ASSERT_TRUE(handle);
        ASSERT_TRUE(running.WaitFor());

        CHelperThread stopper([&] { thread.StopProcessing(); });
        ASSERT_TRUE(thread.Worker().IsStopRequested(WAIT_LIMIT_MS));
        release.Set();
        ASSERT_TRUE(stopper.Wait());
        EXPECT_EQ(1, executed);
        EXPECT_EQ(1, destroyed);
        EXPECT_EQ(1, owner.references);
    }
    EXPECT_EQ(333u, ExitCodeAfterEnd(handle.get()));
    EXPECT_EQ(1, executed);
    EXPECT_EQ(4, destroyed) << "deleted unexecuted at destruction";
    EXPECT_EQ(1, owner.references);
    EXPECT_EQ(1, owner.addRefs);
    EXPECT_EQ(0, owner.releases);
}

TEST(LogCommandThread, DestroyingANeverStartedThreadKeepsTheReference)
{
    CFakeOwner owner;
    std::atomic<int> destroyed{0};
    {
        CLogCommandThread thread(&owner, WRITER_NAME, 333);
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(thread.PostCommand(new CTestLogCommand(destroyed)));
        thread.StopProcessing();
    }
    EXPECT_EQ(3, destroyed);
    EXPECT_EQ(1, owner.references);
    EXPECT_EQ(0, owner.releases);
}

// An AddRef that throws leaves the command unposted and uncounted, and the
// lock free for the next post.
TEST(LogCommandThread, ThrowingAddRefPostsNothing)
{
    CFakeOwner owner;
    std::atomic<int> destroyed{0};
    CLogCommandThread thread(&owner, WRITER_NAME, 333);
    std::unique_ptr<CTestLogCommand> refused(new CTestLogCommand(destroyed));
    owner.throwOnAddRef = true;
    EXPECT_THROW(thread.PostCommand(refused.get()), std::bad_alloc);
    owner.throwOnAddRef = false;
    refused.reset();

    CEvent ran;
    ASSERT_TRUE(thread.PostCommand(new CTestLogCommand(destroyed, [&] { ran.Set(); })));
    ASSERT_TRUE(thread.StartProcessing());
    ASSERT_TRUE(ran.WaitFor());
    thread.StopProcessing();
    EXPECT_EQ(2, destroyed);
    EXPECT_EQ(1, owner.addRefs);
    EXPECT_EQ(1, owner.releases);
    EXPECT_EQ(0, owner.references);
}

TEST(LogCommandThread, NullOwnerOnlyKeepsTheCount)
{
    std::atomic<int> destroyed{0};
    CLogCommandThread thread(nullptr, WRITER_NAME, 333);
    CEvent ran;
    ASSERT_TRUE(thread.PostCommand(new CTestLogCommand(destroyed, [&] { ran.Set(); })));
    ASSERT_TRUE(thread.StartProcessing());
    ASSERT_TRUE(ran.WaitFor());
    thread.StopProcessing();
    EXPECT_EQ(1, destroyed);
}
