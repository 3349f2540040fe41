// The lockable wrappers over the real kernel objects.
#include "Multithreaded.h"

#include "ThreadTestSupport.h"

using ThreadTest::CEvent;
using ThreadTest::CHelperThread;

TEST(SemaphoreWrapper, LockTakesOneCountAndFailsAtOnceWhenEmpty)
{
    CSemaphoreWrapper<0, 10000> queued;
    ASSERT_NE(nullptr, queued.GetHandle());
    EXPECT_FALSE(queued.Lock(0));
    EXPECT_TRUE(queued.Unlock());
    EXPECT_TRUE(queued.Unlock());
    EXPECT_TRUE(queued.Lock(0));
    EXPECT_TRUE(queued.Lock(0));
    EXPECT_FALSE(queued.Lock(0));
}

TEST(SemaphoreWrapper, StartsAtItsInitialCount)
{
    CSemaphoreWrapper<3, 3> free;
    CMultithreaded& lock = free; // every user goes through the root's slots
    EXPECT_TRUE(lock.Lock(0));
    EXPECT_TRUE(lock.Lock(0));
    EXPECT_TRUE(lock.Lock(0));
    EXPECT_FALSE(lock.Lock(0));
}

TEST(SemaphoreWrapper, UnlockAtTheMaximumFailsAndChangesNothing)
{
    CSemaphoreWrapper<1, 1> mutex;
    SetLastError(0);
    EXPECT_FALSE(mutex.Unlock());
    EXPECT_EQ(static_cast<DWORD>(ERROR_TOO_MANY_POSTS), GetLastError());
    EXPECT_TRUE(mutex.Lock(0));
    EXPECT_FALSE(mutex.Lock(0)) << "the failed Unlock must not have added a count";
    EXPECT_TRUE(mutex.Unlock());
}

// The list relies on this: a producer takes a place that the consumer gives back.
TEST(SemaphoreWrapper, IsReleasedByAnotherThread)
{
    CSemaphoreWrapper<0, 1> semaphore;
    BOOL locked = FALSE;
    CHelperThread waiter([&] { locked = semaphore.Lock(INFINITE); });
    EXPECT_FALSE(waiter.Wait(100)) << "Lock returned while the count was 0";
    EXPECT_TRUE(semaphore.Unlock());
    ASSERT_TRUE(waiter.Wait());
    EXPECT_TRUE(locked);
}

TEST(CriticalSectionWrapper, LocksWhateverTheTimeOutAndHasNoHandle)
{
    CCriticalSectionWrapper section;
    CMultithreaded& lock = section;
    EXPECT_EQ(nullptr, lock.GetHandle());
    EXPECT_TRUE(lock.Lock(0));
    EXPECT_TRUE(lock.Lock(0)) << "the holder may enter again";
    EXPECT_TRUE(lock.Unlock());
    EXPECT_TRUE(lock.Unlock());
}

// Lock(0) is no try-lock: it waits until the holder leaves.
TEST(CriticalSectionWrapper, ZeroTimeOutWaitsForTheHolder)
{
    CCriticalSectionWrapper section;
    CEvent held, release, entered;
    CHelperThread holder([&] {
        section.Lock(INFINITE);
        held.Set();
        release.WaitFor();
        section.Unlock();
    });
    ASSERT_TRUE(held.WaitFor());
    BOOL locked = FALSE;
    CHelperThread contender([&] {
        locked = section.Lock(0);
        entered.Set();
        section.Unlock();
    });
    EXPECT_FALSE(entered.WaitFor(100)) << "entered while another thread held the lock";
    release.Set();
    ASSERT_TRUE(entered.WaitFor());
    EXPECT_TRUE(locked);
}

TEST(Multithreaded, RootWithoutHandle)
{
    CMultithreaded root;
    EXPECT_EQ(nullptr, root.GetHandle());
    EXPECT_TRUE(root.Unlock());
    EXPECT_FALSE(root.Lock(0));
    EXPECT_FALSE(root.Lock(INFINITE)) << "a wait on a null handle fails, it does not block";
}
