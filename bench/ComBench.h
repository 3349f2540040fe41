#pragma once
// The benchmarks that go through the out-of-process server: LogEvent over
// COM against an empty round trip on the same proxy, and the server's
// working set with the queue filled behind a held worker.

#include "BenchResult.h"
#include "BenchSizes.h"

#include <vector>

namespace VardelBench {

// Appends this group's rows. Registers the server from this executable's
// folder for the run, holds the host event while it works, waits for the
// server to end and restores the registry and the log folder; throws
// CBenchError. COM must not be initialised on the calling thread.
void RunComBenches(const CBenchSizes& sizes, std::vector<CBenchResult>& rows);

} // namespace VardelBench
