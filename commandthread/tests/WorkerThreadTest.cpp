// The worker thread on its own: start, stop event, exit codes, handles.
#include "WorkerThread.h"

#include "ThreadTestSupport.h"

#include <memory>

using ThreadTest::CEvent;
using ThreadTest::ExitCodeAfterEnd;
using ThreadTest::OpenThreadById;
using ThreadTest::WAIT_LIMIT_MS;

namespace {

constexpr DWORD NO_THREAD = static_cast<DWORD>(-1);

// Owner whose body waits for the stop request, or ends at once.
class COwner {
public:
    using Worker = CWorkerThread<COwner>;

    DWORD WaitForStop()
    {
        inBody.Set();
        worker->IsStopRequested(INFINITE);
        return 42;
    }
    DWORD WaitForever()
    {
        inBody.Set();
        WaitForSingleObject(never.Get(), INFINITE);
        return 1;
    }
    DWORD ReturnAtOnce() { return 7; }
    DWORD TryOwnThread()
    {
        onSelf.current = worker->IsCurrentThread();
        onSelf.start = worker->Start(nullptr, 0, 0);
        onSelf.wait = worker->WaitForExit(0);
        onSelf.abort = worker->Abort(9);
        return 5;
    }
    DWORD AbortHandler()
    {
        ++aborts;
        return 55;
    }

    Worker* worker = nullptr;
    CEvent inBody, never;
    int aborts = 0;
    struct {
        BOOL current = FALSE, start = TRUE, wait = TRUE;
        DWORD abort = 0xdeadbeef;
    } onSelf;
};

std::unique_ptr<COwner::Worker> MakeWorker(COwner& owner, COwner::Worker::Body body,
                                           COwner::Worker::Body abortHandler = nullptr)
{
    std::unique_ptr<COwner::Worker> worker(new COwner::Worker(&owner, body, "Test Worker", abortHandler));
    owner.worker = worker.get();
    return worker;
}

} // namespace

TEST(WorkerThread, NothingIsAttachedBeforeStart)
{
    COwner owner;
    auto worker = MakeWorker(owner, &COwner::WaitForStop);
    EXPECT_EQ(NO_THREAD, worker->GetThreadId());
    EXPECT_EQ(nullptr, worker->GetStopEvent());
    EXPECT_FALSE(worker->IsRunning(0));
    EXPECT_FALSE(worker->IsStopRequested(0));
    EXPECT_FALSE(worker->RequestStop());
    EXPECT_FALSE(worker->IsCurrentThread());
    EXPECT_TRUE(worker->Stop(0)) << "nothing to stop";
    EXPECT_EQ("Test Worker", worker->GetName());
}

// The exit code is readable while the handle is held; ReleaseHandles then
// detaches the thread.
TEST(WorkerThread, StopRequestEndsTheBodyWithItsResult)
{
    COwner owner;
    auto worker = MakeWorker(owner, &COwner::WaitForStop);
    ASSERT_TRUE(worker->Start(nullptr, 0, 0));
    EXPECT_NE(NO_THREAD, worker->GetThreadId());
    ASSERT_TRUE(owner.inBody.WaitFor());
    EXPECT_TRUE(worker->IsRunning(0));
    EXPECT_EQ(STILL_ACTIVE, worker->GetExitCode());
    EXPECT_NE(nullptr, worker->GetStopEvent());

    EXPECT_TRUE(worker->RequestStop());
    ASSERT_FALSE(worker->IsRunning(WAIT_LIMIT_MS));
    EXPECT_EQ(42u, worker->GetExitCode());
    EXPECT_EQ(nullptr, worker->GetStopEvent()) << "no stop event once the body has returned";
    EXPECT_FALSE(worker->RequestStop());

    EXPECT_TRUE(worker->ReleaseHandles());
    EXPECT_EQ(NO_THREAD, worker->GetThreadId());
    EXPECT_FALSE(worker->ReleaseHandles()) << "nothing left to close";
}

// The stop event exists from Start on, so a stop asked for at once is not lost.
TEST(WorkerThread, StopRequestedRightAfterStartIsSeen)
{
    COwner owner;
    auto worker = MakeWorker(owner, &COwner::WaitForStop);
    ASSERT_TRUE(worker->Start(nullptr, 0, 0));
    EXPECT_TRUE(worker->RequestStop());
    EXPECT_TRUE(worker->WaitForExit(WAIT_LIMIT_MS));
    EXPECT_EQ(NO_THREAD, worker->GetThreadId());
}

TEST(WorkerThread, StopWaitsForTheEnd)
{
    COwner owner;
    auto worker = MakeWorker(owner, &COwner::WaitForStop);
    ASSERT_TRUE(worker->Start(nullptr, 0, 0));
    ASSERT_TRUE(owner.inBody.WaitFor());
    EXPECT_TRUE(worker->Stop(WAIT_LIMIT_MS));
    EXPECT_FALSE(worker->IsRunning(0));
    EXPECT_EQ(NO_THREAD, worker->GetThreadId());
}

TEST(WorkerThread, StartsOnlyOnceAtATimeAndAgainAfterTheEnd)
{
    COwner owner;
    auto worker = MakeWorker(owner, &COwner::WaitForStop);
    ASSERT_TRUE(worker->Start(nullptr, 0, 0));
    EXPECT_FALSE(worker->Start(nullptr, 0, 0));
    ASSERT_TRUE(worker->Stop(WAIT_LIMIT_MS));

    owner.inBody = CEvent();
    ASSERT_TRUE(worker->Start(nullptr, 0, 0));
    ASSERT_TRUE(owner.inBody.WaitFor()) << "the second thread runs the body too";
    EXPECT_TRUE(worker->Stop(WAIT_LIMIT_MS));
}

// A thread that ended on its own without WaitForExit is released by the next Start.
TEST(WorkerThread, RestartAfterAnUnreleasedEnd)
{
    COwner owner;
    auto worker = MakeWorker(owner, &COwner::ReturnAtOnce);
    ASSERT_TRUE(worker->Start(nullptr, 0, 0));
    ASSERT_FALSE(worker->IsRunning(WAIT_LIMIT_MS));
    ASSERT_TRUE(worker->Start(nullptr, 0, 0));
    ASSERT_FALSE(worker->IsRunning(WAIT_LIMIT_MS));
    EXPECT_EQ(7u, worker->GetExitCode());
    EXPECT_NE(NO_THREAD, worker->GetThreadId());
    EXPECT_TRUE(worker->WaitForExit(0));
}

TEST(WorkerThread, NoBodyEndsWithZero)
{
    COwner owner;
    COwner::Worker worker(&owner, nullptr, "No Body", nullptr);
    ASSERT_TRUE(worker.Start(nullptr, 0, 0));
    ASSERT_FALSE(worker.IsRunning(WAIT_LIMIT_MS));
    EXPECT_EQ(0u, worker.GetExitCode());

    COwner::Worker orphan(nullptr, &COwner::ReturnAtOnce, "No Owner", nullptr);
    ASSERT_TRUE(orphan.Start(nullptr, 0, 0));
    ASSERT_FALSE(orphan.IsRunning(WAIT_LIMIT_MS));
    EXPECT_EQ(0u, orphan.GetExitCode());
}

TEST(WorkerThread, OperationsOnItsOwnThreadRefuseToWaitOrStart)
{
    COwner owner;
    auto worker = MakeWorker(owner, &COwner::TryOwnThread);
    ASSERT_TRUE(worker->Start(nullptr, 0, 0));
    ASSERT_FALSE(worker->IsRunning(WAIT_LIMIT_MS));
    EXPECT_EQ(5u, worker->GetExitCode());
    EXPECT_TRUE(owner.onSelf.current);
    EXPECT_FALSE(owner.onSelf.start);
    EXPECT_FALSE(owner.onSelf.wait);
    EXPECT_EQ(0u, owner.onSelf.abort);
}

TEST(WorkerThread, DestroyingARunningWorkerEndsItWith666)
{
    COwner owner;
    auto worker = MakeWorker(owner, &COwner::WaitForever);
    ASSERT_TRUE(worker->Start(nullptr, 0, 0));
    ASSERT_TRUE(owner.inBody.WaitFor());
    Vardel::CUniqueHandle thread = OpenThreadById(worker->GetThreadId());
    ASSERT_TRUE(thread);
    worker.reset();
    EXPECT_EQ(666u, ExitCodeAfterEnd(thread.get()));
}

TEST(WorkerThread, TerminateEndsTheThreadWithTheCallersCode)
{
    COwner owner;
    auto worker = MakeWorker(owner, &COwner::WaitForever);
    ASSERT_TRUE(worker->Start(nullptr, 0, 0));
    ASSERT_TRUE(owner.inBody.WaitFor());
    Vardel::CUniqueHandle thread = OpenThreadById(worker->GetThreadId());
    ASSERT_TRUE(thread);
    EXPECT_TRUE(worker->Terminate(77));
    EXPECT_EQ(77u, ExitCodeAfterEnd(thread.get()));
    EXPECT_TRUE(worker->WaitForExit(WAIT_LIMIT_MS));
    EXPECT_EQ(NO_THREAD, worker->GetThreadId());
}

TEST(WorkerThread, AbortRunsTheHandlerThenEndsTheThread)
{
    COwner owner;
    auto worker = MakeWorker(owner, &COwner::WaitForever, &COwner::AbortHandler);
    ASSERT_TRUE(worker->Start(nullptr, 0, 0));
    ASSERT_TRUE(owner.inBody.WaitFor());
    Vardel::CUniqueHandle thread = OpenThreadById(worker->GetThreadId());
    ASSERT_TRUE(thread);
    EXPECT_EQ(55u, worker->Abort(9));
    EXPECT_EQ(1, owner.aborts);
    EXPECT_EQ(9u, ExitCodeAfterEnd(thread.get()));
}
