#pragma once
// Lines that a day's file refused past the writer's wait (held by another
// program, locked, a full disk), kept in memory with the file each was first
// tried for, in the order they came, until that file takes writes again. A
// file that refuses holds back only its own lines. Past the limit the oldest
// are dropped, and one line in their place says how many were lost and
// between which event times. Worker thread only: one object lives as long as
// the logging service.

#include "LogEvent.h"

#include <boost/noncopyable.hpp>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

// The message of the line that stands for dropped ones.
std::string LostLinesMessage(std::size_t count, std::uint32_t firstTime, std::uint32_t lastTime);

class CKeptLines : private boost::noncopyable {
public:
    // limit: the bytes that kept lines may take, counted with their
    // bookkeeping; one line larger than that is still kept, alone.
    explicit CKeptLines(std::size_t limit);
    ~CKeptLines();

    // Keeps bytes, whole lines for path, behind the lines already kept,
    // dropping the oldest while the limit would be passed.
    void Keep(const std::string& path, std::string bytes, std::uint32_t time, std::unique_ptr<CLineCharge> charge);

    // Writes what is kept, each file's lines in order, the lost-lines line
    // before those of its file. wait: as AppendLines. A file that refuses
    // keeps its lines; lines whose file cannot be opened at all (folder
    // missing) go as a new line would. True when nothing is left.
    bool Flush(bool wait);

    // At the end of the service: Flush with the wait, then drops what is
    // still refused. Returns the lines lost so.
    std::size_t Drain();

    // Lines (or the lost-lines line) are kept for path: a new line for it
    // must go behind them.
    bool Holds(const std::string& path) const;
    bool Empty() const { return m_files.empty() && m_lost.count == 0; }
    std::size_t Lines() const { return m_lines; }
    std::size_t Bytes() const { return m_bytes; }

private:
    struct CLine {
        std::string bytes;
        std::uint32_t time;
        std::uint64_t order; // of keeping, across files
        std::unique_ptr<CLineCharge> charge;
    };
    struct CFile {
        std::string path;
        std::deque<CLine> lines;
    };
    struct CLost {
        std::size_t count = 0;
        std::uint32_t firstTime = 0, lastTime = 0;
        std::string path; // of the first lost line
    };

    static std::size_t Footprint(const CLine& line);
    void DropOldest();
    // Writes path's lines from the front; false when the file refused.
    bool FlushFile(CFile& file, bool wait);
    void Forget(CFile& file, std::size_t count);

    const std::size_t m_limit;
    std::deque<CFile> m_files; // in the order first kept: one, two over midnight
    std::size_t m_lines = 0;
    std::size_t m_bytes = 0;
    std::uint64_t m_nextOrder = 0;
    CLost m_lost;
};
