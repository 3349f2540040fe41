// The bounded blocking list: order, counts, time-outs and back-pressure.
#include "MonitorList.h"

#include "ThreadTestSupport.h"

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

using ThreadTest::CHelperThread;
using ThreadTest::WAIT_LIMIT_MS;

namespace {

using CCommandList = CMonitorList<int*, 10000, 1>;

int* Tag(std::uintptr_t value)
{
    return reinterpret_cast<int*>(value);
}

void Fill(CCommandList& list, int count)
{
    for (int i = 1; i <= count; ++i)
        ASSERT_TRUE(list.Push(Tag(i), 0)) << "push " << i;
}

// A value whose copy throws on demand.
struct CFragile {
    static bool s_throwOnCopy;
    int value = 0;
    explicit CFragile(int v = 0) : value(v) {}
    CFragile(const CFragile& other) : value(other.value)
    {
        if (s_throwOnCopy)
            throw std::runtime_error("copy");
    }
    CFragile& operator=(const CFragile& other)
    {
        if (s_throwOnCopy)
            throw std::runtime_error("copy");
        value = other.value;
        return *this;
    }
};
bool CFragile::s_throwOnCopy = false;

} // namespace

TEST(MonitorList, PopOnEmptyWithZeroTimeOutLeavesTheOutputAlone)
{
    CCommandList list;
    EXPECT_EQ(0, list.GetCount());
    int* out = Tag(0xdeadbeef);
    EXPECT_FALSE(list.Pop(out, 0));
    EXPECT_EQ(Tag(0xdeadbeef), out);
}

TEST(MonitorList, CountsAndOrderAfterPushesAndPops)
{
    CCommandList list;
    Fill(list, 5);
    int* out = nullptr;
    ASSERT_TRUE(list.Pop(out, 0));
    EXPECT_EQ(Tag(1), out);
    ASSERT_TRUE(list.Pop(out, 0));
    EXPECT_EQ(Tag(2), out);
    EXPECT_EQ(3, list.GetCount());
    ASSERT_TRUE(list.Push(Tag(6), 0));
    for (int expected : {3, 4, 5, 6}) {
        ASSERT_TRUE(list.Pop(out, 0));
        EXPECT_EQ(Tag(expected), out);
    }
    EXPECT_EQ(0, list.GetCount());
}

TEST(MonitorList, NullPointersAreQueuedLikeAnyValue)
{
    CCommandList list;
    ASSERT_TRUE(list.Push(Tag(7), 0));
    ASSERT_TRUE(list.Push(nullptr, 0));
    ASSERT_TRUE(list.Push(Tag(8), 0));
    EXPECT_EQ(3, list.GetCount());
    int* out = nullptr;
    ASSERT_TRUE(list.Pop(out, 0));
    EXPECT_EQ(Tag(7), out);
    out = Tag(0xdeadbeef);
    ASSERT_TRUE(list.Pop(out, 0));
    EXPECT_EQ(nullptr, out);
    ASSERT_TRUE(list.Pop(out, 0));
    EXPECT_EQ(Tag(8), out);
}

TEST(MonitorList, FullListRefusesAPushUntilAPop)
{
    CCommandList list;
    Fill(list, 10000);
    ASSERT_EQ(10000, list.GetCount());

    ULONGLONG before = GetTickCount64();
    EXPECT_FALSE(list.Push(Tag(10001), 50));
    EXPECT_GE(GetTickCount64() - before, 40u) << "gave up long before its time-out";
    EXPECT_EQ(10000, list.GetCount());

    int* out = nullptr;
    ASSERT_TRUE(list.Pop(out, 0));
    EXPECT_EQ(Tag(1), out);
    EXPECT_TRUE(list.Push(Tag(10001), 0)) << "the freed place must be usable at once";
    EXPECT_EQ(10000, list.GetCount());
    for (int expected = 2; expected <= 10001; ++expected) {
        ASSERT_TRUE(list.Pop(out, 0));
        ASSERT_EQ(Tag(expected), out);
    }
}

TEST(MonitorList, BlockedProducerIsReleasedByAPop)
{
    CCommandList list;
    Fill(list, 10000);
    BOOL pushed = FALSE;
    CHelperThread producer([&] { pushed = list.Push(Tag(10001), INFINITE); });
    EXPECT_FALSE(producer.Wait(100)) << "Push returned while the list was full";
    int* out = nullptr;
    ASSERT_TRUE(list.Pop(out, 0));
    ASSERT_TRUE(producer.Wait());
    EXPECT_TRUE(pushed);
    EXPECT_EQ(10000, list.GetCount());
}

TEST(MonitorList, BlockedConsumerIsReleasedByAPush)
{
    CCommandList list;
    int* out = nullptr;
    BOOL popped = FALSE;
    CHelperThread consumer([&] { popped = list.Pop(out, INFINITE); });
    EXPECT_FALSE(consumer.Wait(100)) << "Pop returned while the list was empty";
    ASSERT_TRUE(list.Push(Tag(42), 0));
    ASSERT_TRUE(consumer.Wait());
    EXPECT_TRUE(popped);
    EXPECT_EQ(Tag(42), out);
    EXPECT_EQ(0, list.GetCount());
}

// More items than places: the producers block and wake while the consumer
// drains, and each producer's items still leave in its own order.
TEST(MonitorList, SeveralProducersEachKeepTheirOrder)
{
    constexpr int producers = 4;
    constexpr int perProducer = 6000;
    CCommandList list;
    std::vector<std::unique_ptr<CHelperThread>> threads;
    BOOL failed[producers] = {};
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back(new CHelperThread([&list, &failed, p] {
            for (int i = 0; i < perProducer; ++i)
                if (!list.Push(Tag((static_cast<std::uintptr_t>(p) << 16) | i), INFINITE))
                    failed[p] = TRUE;
        }));
    }
    int next[producers] = {};
    for (int n = 0; n < producers * perProducer; ++n) {
        int* out = nullptr;
        ASSERT_TRUE(list.Pop(out, WAIT_LIMIT_MS)) << "item " << n << " never came";
        auto value = reinterpret_cast<std::uintptr_t>(out);
        int p = static_cast<int>(value >> 16), i = static_cast<int>(value & 0xFFFF);
        ASSERT_LT(p, producers);
        ASSERT_EQ(next[p], i) << "producer " << p << " out of order";
        ++next[p];
    }
    for (int p = 0; p < producers; ++p) {
        ASSERT_TRUE(threads[p]->Wait());
        EXPECT_FALSE(failed[p]);
    }
    EXPECT_EQ(0, list.GetCount());
}

// Only the list's own storage goes; what the pointers designate stays.
TEST(MonitorList, DestroyingAFilledListLeavesThePointeesAlone)
{
    std::vector<int> values(3, 5);
    {
        CCommandList list;
        for (int& v : values)
            ASSERT_TRUE(list.Push(&v, 0));
    }
    EXPECT_EQ(std::vector<int>(3, 5), values);
}

// A copy that throws inside Push or Pop must not leave the mutex held or a
// place or item lost.
TEST(MonitorList, ThrowingCopyLeavesTheListUsable)
{
    CMonitorList<CFragile, 2, 1> list;
    CFragile::s_throwOnCopy = true;
    EXPECT_THROW(list.Push(CFragile(1), 0), std::runtime_error);
    CFragile::s_throwOnCopy = false;
    EXPECT_EQ(0, list.GetCount());
    EXPECT_TRUE(list.Push(CFragile(2), 0));
    EXPECT_TRUE(list.Push(CFragile(3), 0));
    EXPECT_FALSE(list.Push(CFragile(4), 0)) << "capacity 2";

    CFragile out(-1);
    CFragile::s_throwOnCopy = true;
    EXPECT_THROW(list.Pop(out, 0), std::runtime_error);
    CFragile::s_throwOnCopy = false;
    EXPECT_EQ(2, list.GetCount());
    ASSERT_TRUE(list.Pop(out, 0));
    EXPECT_EQ(2, out.value) << "the item whose copy failed stays at the front";
    ASSERT_TRUE(list.Pop(out, 0));
    EXPECT_EQ(3, out.value);
    EXPECT_FALSE(list.Pop(out, 0));
}
