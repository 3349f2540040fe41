// The command thread: order, stop protocol, hooks, drain and back-pressure.
#include "CommandThread.h"

#include "ThreadTestSupport.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <vector>

using ThreadTest::CEvent;
using ThreadTest::CHelperThread;
using ThreadTest::ExitCodeAfterEnd;
using ThreadTest::OpenThreadById;
using ThreadTest::WAIT_LIMIT_MS;

namespace {

// What the commands of one test did.
class CLedger {
public:
    void Ran(int id)
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_executed.push_back(id);
    }
    std::vector<int> Executed()
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_executed;
    }
    std::atomic<int> destroyed{0};

private:
    std::mutex m_mutex;
    std::vector<int> m_executed;
};

class CTestCommand : public CommandThread::CCommand {
public:
    CTestCommand(CLedger& ledger, int id, std::function<void()> action = {})
        : m_ledger(ledger), m_id(id), m_action(std::move(action))
    {
    }
    ~CTestCommand() override { ++m_ledger.destroyed; }
    void Execute() override
    {
        m_ledger.Ran(m_id);
        if (m_action)
            m_action();
    }

private:
    CLedger& m_ledger;
    int m_id;
    std::function<void()> m_action;
};

// Counts the hooks.
class CCountingThread : public CommandThread::CCommandThread<CTestCommand> {
public:
    CCountingThread() : CCommandThread("Test Writer", 333) {}
    ~CCountingThread() override { EndWorker(); }

    std::atomic<int> queued{0};
    std::atomic<int> done{0};
    CEvent commandDone; // set by every OnCommandDone

protected:
    void OnCommandQueued() override { ++queued; }
    void OnCommandDone() override
    {
        ++done;
        commandDone.Set();
    }
};

std::vector<int> Ids(int first, int last)
{
    std::vector<int> ids;
    for (int i = first; i <= last; ++i)
        ids.push_back(i);
    return ids;
}

} // namespace

TEST(CommandThread, PostsBeforeStartRunInOrder)
{
    CLedger ledger;
    CCountingThread thread;
    for (int id = 1; id <= 3; ++id)
        ASSERT_TRUE(thread.PostCommand(new CTestCommand(ledger, id)));
    EXPECT_EQ(3, thread.queued);
    EXPECT_TRUE(ledger.Executed().empty()) << "nothing runs before StartProcessing";

    ASSERT_TRUE(thread.StartProcessing());
    CEvent last;
    ASSERT_TRUE(thread.PostCommand(new CTestCommand(ledger, 4, [&] { last.Set(); })));
    ASSERT_TRUE(last.WaitFor());
    thread.StopProcessing();
    EXPECT_EQ(Ids(1, 4), ledger.Executed());
    EXPECT_EQ(4, thread.done);
    EXPECT_EQ(4, ledger.destroyed);
}

// The idle loop takes the wake-up entry, skips it and ends with the exit
// code; StopProcessing returns only once the thread has ended.
TEST(CommandThread, IdleStopEndsTheThreadWith333)
{
    CCountingThread thread;
    ASSERT_TRUE(thread.StartProcessing());
    Vardel::CUniqueHandle handle = OpenThreadById(thread.Worker().GetThreadId());
    ASSERT_TRUE(handle);
    thread.StopProcessing();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(handle.get(), 0)) << "StopProcessing returned before the end";
    EXPECT_EQ(333u, ExitCodeAfterEnd(handle.get()));
    EXPECT_EQ(static_cast<DWORD>(-1), thread.Worker().GetThreadId());
    EXPECT_EQ(0, thread.queued);
    EXPECT_EQ(0, thread.done) << "the wake-up entry is no command";
}

// The stop is looked at between commands: the running command finishes,
// then the loop ends without any wake-up entry, and the worker reports the
// code while it still holds the handle.
TEST(CommandThread, ExitCodeReadBeforeTheHandlesAreReleased)
{
    CLedger ledger;
    CCountingThread thread;
    CEvent running, release;
    ASSERT_TRUE(thread.PostCommand(new CTestCommand(ledger, 1, [&] {
        running.Set();
        release.WaitFor();
    })));
    ASSERT_TRUE(thread.PostCommand(new CTestCommand(ledger, 2)));
    ASSERT_TRUE(thread.StartProcessing());
    ASSERT_TRUE(running.WaitFor());
    sWorkerThreadBase& worker = thread.Worker();
    ASSERT_TRUE(worker.RequestStop());
    release.Set();
    ASSERT_FALSE(worker.IsRunning(WAIT_LIMIT_MS));
    EXPECT_EQ(333u, worker.GetExitCode());
    EXPECT_EQ(std::vector<int>{1}, ledger.Executed());
    EXPECT_TRUE(worker.ReleaseHandles());
    EXPECT_EQ(static_cast<DWORD>(-1), worker.GetThreadId());
    EXPECT_EQ(static_cast<DWORD>(-1), worker.GetExitCode()) << "no handle, no code";
}

TEST(CommandThread, StopFromInsideACommandEndsTheLoopAfterIt)
{
    CLedger ledger;
    {
        CCountingThread thread;
        CEvent stopReturned;
        ASSERT_TRUE(thread.PostCommand(new CTestCommand(ledger, 1, [&] {
            thread.StopProcessing();
            stopReturned.Set();
        })));
        ASSERT_TRUE(thread.PostCommand(new CTestCommand(ledger, 2)));
        ASSERT_TRUE(thread.PostCommand(new CTestCommand(ledger, 3)));
        ASSERT_TRUE(thread.StartProcessing());
        Vardel::CUniqueHandle handle = OpenThreadById(thread.Worker().GetThreadId());
        ASSERT_TRUE(handle);
        EXPECT_EQ(333u, ExitCodeAfterEnd(handle.get()));
        EXPECT_TRUE(stopReturned.IsSet());
        EXPECT_EQ(std::vector<int>{1}, ledger.Executed());
        EXPECT_EQ(1, thread.done);
        EXPECT_EQ(1, ledger.destroyed);
        thread.StopProcessing(); // the loop has ended: returns at once
    }
    EXPECT_EQ(std::vector<int>{1}, ledger.Executed());
    EXPECT_EQ(3, ledger.destroyed) << "the two behind it are deleted unexecuted";
}

TEST(CommandThread, StopWithCommandsQueuedRunsNoneOfThem)
{
    CLedger ledger;
    std::atomic<int> doneAtDestruction{-1};
    {
        CCountingThread thread;
        CEvent running, release;
        ASSERT_TRUE(thread.PostCommand(new CTestCommand(ledger, 1, [&] {
            running.Set();
            release.WaitFor();
        })));
        for (int id = 2; id <= 4; ++id)
            ASSERT_TRUE(thread.PostCommand(new CTestCommand(ledger, id)));
        ASSERT_TRUE(thread.StartProcessing());
        ASSERT_TRUE(running.WaitFor());

        CHelperThread stopper([&] { thread.StopProcessing(); });
        ASSERT_TRUE(thread.Worker().IsStopRequested(WAIT_LIMIT_MS));
        EXPECT_FALSE(stopper.Wait(0)) << "StopProcessing must wait for the running command";
        release.Set();
        ASSERT_TRUE(stopper.Wait());
        EXPECT_FALSE(thread.Worker().IsRunning(0));
        EXPECT_EQ(std::vector<int>{1}, ledger.Executed());
        EXPECT_EQ(1, ledger.destroyed);
        doneAtDestruction = thread.done.load();
    }
    EXPECT_EQ(1, doneAtDestruction);
    EXPECT_EQ(std::vector<int>{1}, ledger.Executed());
    EXPECT_EQ(4, ledger.destroyed);
}

TEST(CommandThread, DestroyingARunningThreadEndsItWith666)
{
    CLedger ledger;
    Vardel::CUniqueHandle handle;
    {
        CCountingThread thread;
        ASSERT_TRUE(thread.StartProcessing());
        handle = OpenThreadById(thread.Worker().GetThreadId());
        ASSERT_TRUE(handle);
        // Past its last hook the worker only goes back to wait on the list.
        ASSERT_TRUE(thread.PostCommand(new CTestCommand(ledger, 1)));
        ASSERT_TRUE(thread.commandDone.WaitFor());
    }
    EXPECT_EQ(666u, ExitCodeAfterEnd(handle.get()));
    EXPECT_EQ(1, ledger.destroyed);
}

TEST(CommandThread, DestroyingAThreadNeverStartedDeletesItsCommands)
{
    CLedger ledger;
    {
        CCountingThread thread;
        for (int id = 1; id <= 5; ++id)
            ASSERT_TRUE(thread.PostCommand(new CTestCommand(ledger, id)));
        thread.StopProcessing(); // no thread: returns at once
    }
    EXPECT_TRUE(ledger.Executed().empty());
    EXPECT_EQ(5, ledger.destroyed);
}

TEST(CommandThread, AThrowingCommandIsDeletedReportedAndTheNextRuns)
{
    CLedger ledger;
    CCountingThread thread;
    ASSERT_TRUE(thread.PostCommand(new CTestCommand(ledger, 1, [] { throw std::runtime_error("write failed"); })));
    ASSERT_TRUE(thread.PostCommand(new CTestCommand(ledger, 2, [] { throw 5; })));
    CEvent third;
    ASSERT_TRUE(thread.PostCommand(new CTestCommand(ledger, 3, [&] { third.Set(); })));
    ASSERT_TRUE(thread.StartProcessing());
    ASSERT_TRUE(third.WaitFor());
    thread.StopProcessing();
    EXPECT_EQ(Ids(1, 3), ledger.Executed());
    EXPECT_EQ(3, ledger.destroyed);
    EXPECT_EQ(3, thread.done);
}

TEST(CommandThread, NullEntryIsSkipped)
{
    CLedger ledger;
    CCountingThread thread;
    ASSERT_TRUE(thread.PostCommand(nullptr));
    CEvent ran;
    ASSERT_TRUE(thread.PostCommand(new CTestCommand(ledger, 1, [&] { ran.Set(); })));
    ASSERT_TRUE(thread.StartProcessing());
    ASSERT_TRUE(ran.WaitFor());
    thread.StopProcessing();
    EXPECT_EQ(2, thread.queued);
    EXPECT_EQ(1, thread.done) << "no OnCommandDone for the null entry";
    EXPECT_EQ(std::vector<int>{1}, ledger.Executed());
}

TEST(CommandThread, WorkerRunsBelowNormalAndRefusesToStartOrWaitForItself)
{
    CLedger ledger;
    CCountingThread thread;
    int priority = 0;
    BOOL current = FALSE, start = TRUE, wait = TRUE;
    CEvent ran;
    ASSERT_TRUE(thread.PostCommand(new CTestCommand(ledger, 1, [&] {
        priority = GetThreadPriority(GetCurrentThread());
        current = thread.Worker().IsCurrentThread();
        start = thread.Worker().Start(nullptr, 0, 0);
        wait = thread.Worker().WaitForExit(0);
        ran.Set();
    })));
    ASSERT_TRUE(thread.StartProcessing());
    EXPECT_FALSE(thread.StartProcessing()) << "one worker thread at a time";
    ASSERT_TRUE(ran.WaitFor());
    EXPECT_EQ(THREAD_PRIORITY_BELOW_NORMAL, priority);
    EXPECT_TRUE(current);
    EXPECT_FALSE(start);
    EXPECT_FALSE(wait);
    EXPECT_FALSE(thread.Worker().IsCurrentThread());
    thread.StopProcessing();
    EXPECT_EQ(static_cast<DWORD>(-1), thread.Worker().GetThreadId());
}

// With the worker held and 10000 commands waiting, the next post blocks
// until the worker takes one; once released, every command runs in order.
TEST(CommandThread, FullQueueMakesThePosterWaitAndLosesNothing)
{
    constexpr int capacity = CommandThread::COMMAND_LIST_CAPACITY;
    CLedger ledger;
    CCountingThread thread;
    CEvent held, release, last;
    ASSERT_TRUE(thread.PostCommand(new CTestCommand(ledger, 0, [&] {
        held.Set();
        release.WaitFor();
    })));
    ASSERT_TRUE(thread.StartProcessing());
    ASSERT_TRUE(held.WaitFor());
    for (int id = 1; id <= capacity; ++id)
        ASSERT_TRUE(thread.PostCommand(new CTestCommand(ledger, id)));

    BOOL posted = FALSE;
    CHelperThread poster([&] {
        posted = thread.PostCommand(new CTestCommand(ledger, capacity + 1, [&] { last.Set(); }));
    });
    EXPECT_FALSE(poster.Wait(200)) << "PostCommand returned while 10000 were waiting";
    release.Set();
    ASSERT_TRUE(poster.Wait());
    EXPECT_TRUE(posted);
    ASSERT_TRUE(last.WaitFor());
    thread.StopProcessing();
    EXPECT_EQ(Ids(0, capacity + 1), ledger.Executed());
    EXPECT_EQ(capacity + 2, ledger.destroyed);
    EXPECT_EQ(capacity + 2, thread.done);
}

// Stopping with a full list must not wait for a place for the wake-up
// entry: the loop ends without taking one.
TEST(CommandThread, StopWithAFullListDoesNotHang)
{
    constexpr int capacity = CommandThread::COMMAND_LIST_CAPACITY;
    CLedger ledger;
    CCountingThread thread;
    CEvent held, release;
    ASSERT_TRUE(thread.PostCommand(new CTestCommand(ledger, 0, [&] {
        held.Set();
        release.WaitFor();
    })));
    ASSERT_TRUE(thread.StartProcessing());
    ASSERT_TRUE(held.WaitFor());
    for (int id = 1; id <= capacity; ++id)
        ASSERT_TRUE(thread.PostCommand(new CTestCommand(ledger, id)));

    CHelperThread stopper([&] { thread.StopProcessing(); });
    ASSERT_TRUE(thread.Worker().IsStopRequested(WAIT_LIMIT_MS));
    release.Set();
    ASSERT_TRUE(stopper.Wait()) << "StopProcessing hung on the full list";
    EXPECT_EQ(std::vector<int>{0}, ledger.Executed());
}
