// The owners' empty states and the one-off clean-up.

#include "Handles.h"

#include <gtest/gtest.h>

TEST(Handles, InvalidHandleValueIsEmptyHoweverItArrives)
{
    const struct {
        const char* how;
        void (*fill)(Vardel::CUniqueFileHandle&);
    } ways[] = {
        {"constructor", [](Vardel::CUniqueFileHandle& h) { h = Vardel::CUniqueFileHandle(INVALID_HANDLE_VALUE); }},
        {"reset", [](Vardel::CUniqueFileHandle& h) { h.reset(INVALID_HANDLE_VALUE); }},
        {"put", [](Vardel::CUniqueFileHandle& h) { *h.put() = INVALID_HANDLE_VALUE; }},
    };
    for (const auto& way : ways) {
        Vardel::CUniqueFileHandle handle;
        way.fill(handle);
        EXPECT_FALSE(handle) << way.how;
        EXPECT_EQ(nullptr, handle.get()) << way.how;
        EXPECT_EQ(nullptr, handle.release()) << way.how;
    }
}

TEST(Handles, ScopeExitRunsOnceUnlessReleased)
{
    int runs = 0;
    {
        const auto undo = Vardel::ScopeExit([&runs] { ++runs; });
    }
    EXPECT_EQ(1, runs);
    {
        auto undo = Vardel::ScopeExit([&runs] { ++runs; });
        undo.release();
    }
    EXPECT_EQ(1, runs);
}
