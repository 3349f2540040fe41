#pragma once
// vardel-log --tail: the last lines of the day's log file, exactly as they
// are on disk, and with --follow the lines appended after them, into the
// next day's file after midnight. The file is opened for each read with
// read, write and delete sharing and closed again, so the server never
// waits for it.

#include "Date.h"

#include <windows.h>
#include <cstdint>
#include <functional>
#include <string>

namespace VardelTools {

// The log file path as the file system shows it (one backslash after the drive).
std::string DisplayPath(const std::string& path);

// The log file of a day, as the server names it.
std::string DayLogPath(const CDate& day);

// Reads bytes [offset, end of file) of a file shared with its writer.
// False when the file cannot be opened; *error then holds the Windows error.
// *size receives the file's size at the read.
bool ReadFrom(const std::string& path, std::uint64_t offset, std::string& bytes, std::uint64_t* size,
              DWORD* error);

// The offset of the first of the last `lines` lines of a file's bytes (a
// line ends after LF; a last line without one counts too).
std::uint64_t StartOfLastLines(const std::string& path, std::uint64_t size, unsigned long lines);

struct CTailOptions {
    unsigned long lines = 10;
    bool follow = false;
    // Where the day comes from while following: empty for the clock; else a
    // file holding "YYYY-MM-DD", read again at every round (for tests).
    std::string dayFile;
};

// Prints to standard output; returns the process exit code.
int RunTail(const CTailOptions& options);

} // namespace VardelTools
