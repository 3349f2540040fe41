#pragma once
// vardel-log --tail: the last lines of the day's log file, exactly as they
// are on disk, and with --follow the lines appended after them, into the
// next day's file after midnight. The file is opened for each read with
// read, write and delete sharing and closed again, so the server never
// waits for it. Reads go backwards from the end in bounded blocks, so a
// day file of any size costs the same memory, and time in proportion to
// the lines shown.

#include "Date.h"
#include "Handles.h"

#include <windows.h>
#include <cstdint>
#include <functional>
#include <string>

namespace VardelTools {

// The log file path as the file system shows it (one backslash after the drive).
std::string DisplayPath(const std::string& path);

// The log file of a day, as the server names it.
std::string DayLogPath(const CDate& day);

// A file shared with its writer, open for one round of reading. Offsets and
// sizes are 64-bit in both builds.
class CSharedReader {
public:
    explicit CSharedReader(const std::string& path);
    // False when the file cannot be opened; Error() then holds the Windows error.
    bool IsOpen() const { return static_cast<bool>(m_file); }
    DWORD Error() const { return m_error; }
    // The size now; false (and Error()) when it cannot be read.
    bool Size(std::uint64_t& size);
    // The offset of the first of the last `lines` lines of the file's first
    // `size` bytes (a line ends after LF; a last line without one counts too).
    std::uint64_t StartOfLastLines(std::uint64_t size, unsigned long lines);
    // The offset just past the last LF in [from, to), or `from` when there is none.
    std::uint64_t EndOfLastLine(std::uint64_t from, std::uint64_t to);
    // Hands bytes [from, to) to `sink` block by block, in order; false when a
    // read fails or sink returns false.
    bool ForEachBlock(std::uint64_t from, std::uint64_t to, const std::function<bool(const char*, std::size_t)>& sink);
    // Up to `count` bytes at `offset` (fewer at the end).
    std::string Read(std::uint64_t offset, std::size_t count);

private:
    Vardel::CUniqueFileHandle m_file;
    DWORD m_error = 0;
};

// Whether `text` occurs in the bytes of a file from `offset` on.
bool FileContains(const std::string& path, std::uint64_t offset, const std::string& text);

// 0 when the server could open the existing file for writing as it does
// (read and write access, sharing reading and writing), else the Windows
// error; the file is neither created nor changed.
DWORD WriteOpenError(const std::string& path);

// Why the server cannot write the day's file for that error, and what
// becomes of the lines meanwhile, in operator words.
std::string WriteRefusal(DWORD error);

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
