#pragma once
// Which files in the log folder count as log files, and which of them an
// expiry pass with a given cutoff takes. Shared by the folder manager and by
// the tools that tell an operator what the next pass would delete.

#include "Date.h"

#include <string>
#include <vector>

// The name's date, when the whole name is a log file name (LOG_FILE_REGEX).
bool ParseLogFileName(const std::string& name, CDate& date);

// Full paths of the log files in LOG_FOLDER dated strictly before cutoff,
// in the order the folder search returns them. Folders are skipped.
std::vector<std::string> ExpiredLogFiles(const CDate& cutoff);
