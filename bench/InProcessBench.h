#pragma once
// The benchmarks that run the logging service inside this process: the
// enqueue cost of LogEvent, the worker's line rate, and how the worker's
// cost grows with the message size and the size of the log folder.

#include "BenchResult.h"
#include "BenchSizes.h"

#include <vector>

namespace VardelBench {

// Appends this group's rows. Sets the log folder and the logging and alarm
// registry keys aside for the run and restores them; throws CBenchError.
void RunInProcessBenches(const CBenchSizes& sizes, std::vector<CBenchResult>& rows);

} // namespace VardelBench
