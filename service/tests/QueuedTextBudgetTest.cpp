// The queued-text budget on its own: who waits, who goes in, in what order.
#include "QueuedTextBudget.h"

#include "Handles.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

using VardelEventLogger::CQueuedTextBudget;

namespace {

constexpr DWORD BOUND_MS = 10000;

// Waits, bounded, until count producers are waiting.
bool WaitForWaiting(const CQueuedTextBudget& budget, int count)
{
    for (DWORD start = GetTickCount(); budget.Waiting() != count;) {
        if (GetTickCount() - start > BOUND_MS)
            return false;
        Sleep(1); // polling the count is the condition itself
    }
    return true;
}

// A Take on a thread of its own, joined (after the test has given enough
// back) when it goes.
class CTaker {
public:
    CTaker(CQueuedTextBudget& budget, std::size_t bytes) : m_done(CreateEventA(nullptr, TRUE, FALSE, nullptr))
    {
        m_thread = std::thread([this, &budget, bytes] {
            budget.Take(bytes);
            SetEvent(m_done.get());
        });
    }
    ~CTaker() { m_thread.join(); }
    bool Done(DWORD timeoutMs) const { return WaitForSingleObject(m_done.get(), timeoutMs) == WAIT_OBJECT_0; }

private:
    Vardel::CUniqueHandle m_done;
    std::thread m_thread;
};

struct CCase {
    const char* what;
    std::vector<std::size_t> queued; // taken before, in order
    std::size_t next;
    bool waits;
};

} // namespace

TEST(QueuedTextBudget, WaitsOnlyWhileQueuedTextWouldPassTheLimit)
{
    const std::size_t LIMIT = 100;
    const CCase cases[] = {
        {"empty queue", {}, 40, false},
        {"up to the limit exactly", {60}, 40, false},
        {"one byte past the limit", {60}, 41, true},
        {"larger than the limit, queue empty: goes in alone", {}, 500, false},
        {"larger than the limit waits for an empty queue", {1}, 500, true},
        {"nothing joins an event larger than the limit", {500}, 1, true},
        {"a size that would overflow the sum", {50}, SIZE_MAX, true},
        {"empty text with room left", {100}, 0, false},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.what);
        CQueuedTextBudget budget(LIMIT);
        std::size_t before = 0;
        for (std::size_t bytes : c.queued) {
            budget.Take(bytes);
            before += bytes;
        }
        CTaker taker(budget, c.next);
        if (c.waits) {
            ASSERT_TRUE(WaitForWaiting(budget, 1));
            EXPECT_EQ(before, budget.Queued());
            for (std::size_t bytes : c.queued)
                budget.Give(bytes);
        }
        ASSERT_TRUE(taker.Done(BOUND_MS));
        EXPECT_EQ(c.waits ? c.next : before + c.next, budget.Queued());
        EXPECT_EQ(0, budget.Waiting());
    }
}

TEST(QueuedTextBudget, ProducersGoInTheOrderTheyCame)
{
    CQueuedTextBudget budget(100);
    budget.Take(90);
    CTaker large(budget, 50);
    ASSERT_TRUE(WaitForWaiting(budget, 1));
    CTaker small(budget, 5); // would fit, but comes after the large one
    ASSERT_TRUE(WaitForWaiting(budget, 2));
    EXPECT_EQ(90u, budget.Queued());

    budget.Give(90);
    ASSERT_TRUE(large.Done(BOUND_MS));
    ASSERT_TRUE(small.Done(BOUND_MS));
    EXPECT_EQ(55u, budget.Queued());
}

// Bytes of a kept line count against the limit while events are queued, but
// an empty queue always lets the next one in: only the worker lets kept
// lines go, and it needs an event to run.
TEST(QueuedTextBudget, KeptTextCountsButNeverHoldsBackAnEmptyQueue)
{
    const struct {
        const char* what;
        std::size_t kept, queued, next;
        bool waits;
    } cases[] = {
        {"kept and queued fill the limit", 60, 30, 20, true},
        {"kept and queued leave room", 60, 30, 10, false},
        {"kept at the limit, queue empty", 100, 0, 50, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const boost::shared_ptr<CQueuedTextBudget> budget(new CQueuedTextBudget(100));
        std::unique_ptr<VardelEventLogger::CQueuedText> kept(new VardelEventLogger::CQueuedText(budget, 1));
        kept->Kept(c.kept);
        std::unique_ptr<VardelEventLogger::CQueuedText> queued(new VardelEventLogger::CQueuedText(budget, c.queued));
        EXPECT_EQ(c.kept, budget->Kept());
        EXPECT_EQ(c.queued, budget->Queued());
        {
            CTaker taker(*budget, c.next);
            if (c.waits) {
                ASSERT_TRUE(WaitForWaiting(*budget, 1));
                kept.reset(); // the kept line written or dropped
            }
            ASSERT_TRUE(taker.Done(BOUND_MS));
        }
        kept.reset();
        queued.reset();
        EXPECT_EQ(0u, budget->Kept());
        EXPECT_EQ(c.next, budget->Queued());
    }
}

// A line picked up from the last server's set-down counts as kept at once,
// from nothing queued, and gives back exactly that when it goes.
TEST(QueuedTextBudget, PickedUpLineCountsAsKeptUntilItGoes)
{
    const boost::shared_ptr<CQueuedTextBudget> budget(new CQueuedTextBudget(100));
    std::unique_ptr<VardelEventLogger::CQueuedText> queued(new VardelEventLogger::CQueuedText(budget, 30));
    std::unique_ptr<VardelEventLogger::CPickedUpText> picked(new VardelEventLogger::CPickedUpText(budget));
    EXPECT_EQ(0u, budget->Kept()) << "counted before it was kept";
    picked->Kept(60);
    picked->Kept(60);
    EXPECT_EQ(60u, budget->Kept());
    EXPECT_EQ(30u, budget->Queued()) << "the queue's share changed";
    {
        CTaker taker(*budget, 20);
        ASSERT_TRUE(WaitForWaiting(*budget, 1)) << "kept and queued together did not hold back the event";
        picked.reset();
        ASSERT_TRUE(taker.Done(BOUND_MS));
    }
    EXPECT_EQ(0u, budget->Kept());
    // Never kept (its line written at once): nothing to give back.
    {
        VardelEventLogger::CPickedUpText unused(budget);
    }
    EXPECT_EQ(0u, budget->Kept());
}
