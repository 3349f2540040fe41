#pragma once
// Client threads that log as fast as the server takes events until a call
// fails, each counting what was accepted; and the log lines read back per
// thread. For faults that strike in the middle of a burst.

#include "ReliabilitySupport.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace VardelReliability {

class CBurst {
public:
    struct CThread {
        IStream* marshalled = nullptr;
        std::string marker;
        std::string source;
        int type = 1;
        std::string padding; // makes the line long
        int calls = 0;       // ends after this many, or at its first failure
        volatile LONG accepted = 0;
        HRESULT failure = S_OK;
        Vardel::CUniqueHandle handle;
    };

    // One thread per entry of paddings; type 3 makes the thread's events
    // alarms. Each thread makes at most calls calls (0: until one fails).
    CBurst(IVardelEventLog* log, const std::string& marker, const std::vector<size_t>& paddings, int type = 1,
           int calls = 0);
    ~CBurst();

    LONG Accepted() const;
    // Waits until the threads together have had count calls accepted.
    bool WaitForAccepted(LONG count, DWORD timeoutMs) const;
    // Waits until every thread has ended; they end at their first failure.
    bool WaitForEnd(DWORD timeoutMs);

    const std::vector<std::unique_ptr<CThread>>& Threads() const { return m_threads; }

private:
    std::vector<std::unique_ptr<CThread>> m_threads;
};

// The message numbers found per source for marker, in file order; lines
// that are not whole or do not carry marker are counted in foreign.
std::map<std::string, std::vector<int>> NumbersBySource(const std::vector<std::string>& lines,
                                                        const std::string& marker, int& foreign);
// True when numbers are 0, 1, ... count - 1.
bool InSequence(const std::vector<int>& numbers, size_t count);

// One row of the table the reliability runs report.
void ReportRow(const char* what, long sent, long found, const char* outcome);

} // namespace VardelReliability
