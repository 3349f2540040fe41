#pragma once
// How much work each benchmark does: the full run that prints the figures,
// and the tiny run of the test suite that only shows they still run.

#include <cstddef>

namespace VardelBench {

struct CBenchSizes {
    int enqueueCalls;   // LogEvent calls timed one by one
    int enqueueBurst;   // calls between two drains; below the queue's 10000
    int enqueueFloorShare; // one push+pop pair timed per this many calls
    int writerEvents;   // events per writer round
    int writerRounds;   // rounds of ours and of the plain loop, interleaved
    int sizeEvents[4];  // events per message size (16 B, 1 KiB, 64 KiB, 1 MiB)
    int oldLogFiles;    // old log files for the folder measure
    int folderEvents;   // events per folder round
    int folderRounds;
    int comCalls;       // LogEvent calls (and as many empty round trips) over COM
    int comBlock;       // calls per block; the two kinds alternate by block
    int queuedEvents;   // 1 KiB events queued behind the held worker; at most 10000
    std::size_t boundBudget;  // queued-text budget for the bound measure; 0: the service's own
    std::size_t boundMessage; // message size of the events that fill it
};

constexpr CBenchSizes FULL_SIZES = {100000, 5000, 5, 20000, 2, {4000, 2000, 200, 20}, 5000, 2000, 2, 5000, 500, 10000,
                                    0, 1024 * 1024};
constexpr CBenchSizes TINY_SIZES = {400, 200, 2, 300, 1, {20, 10, 4, 2}, 50, 50, 1, 200, 50, 200,
                                    4 * 1024 * 1024, 64 * 1024};

constexpr std::size_t MESSAGE_SIZES[4] = {16, 1024, 64 * 1024, 1024 * 1024};

} // namespace VardelBench
