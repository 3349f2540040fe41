#pragma once
// Lines that the day's file refused past the writer's wait (held by another
// program, locked, a full disk), kept in memory in the order they came, each
// with the file it was first tried for, until that file takes writes again.
// Past the limit the oldest are dropped, and one line in their place says how
// many were lost and between which event times. Worker thread only: one
// object lives as long as the logging service.

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
    // limit: the bytes that kept lines may take, counted with their paths and
    // bookkeeping; one line larger than that is still kept, alone.
    explicit CKeptLines(std::size_t limit);
    ~CKeptLines();

    // Keeps bytes, whole lines for path, behind the lines already kept,
    // dropping the oldest while the limit would be passed.
    void Keep(std::string path, std::string bytes, std::uint32_t time, std::unique_ptr<CLineCharge> charge);

    // Writes what is kept, in order, with the lost-lines line first. wait:
    // as AppendLines. Stops at the first refusal; lines whose file cannot be
    // opened at all (folder missing) go as a new line would. True when
    // nothing is left.
    bool Flush(bool wait);

    // At the end of the service: Flush with the wait, then drops what is
    // still refused. Returns the lines lost so.
    std::size_t Drain();

    bool Empty() const { return m_lines.empty() && m_lost.count == 0; }
    std::size_t Lines() const { return m_lines.size(); }
    std::size_t Bytes() const { return m_bytes; }

private:
    struct CLine {
        std::string path;
        std::string bytes;
        std::uint32_t time;
        std::unique_ptr<CLineCharge> charge;
    };
    struct CLost {
        std::size_t count = 0;
        std::uint32_t firstTime = 0, lastTime = 0;
        std::string path; // of the first lost line
    };

    static std::size_t Footprint(const CLine& line);
    void DropOldest();

    const std::size_t m_limit;
    std::deque<CLine> m_lines;
    std::size_t m_bytes = 0;
    CLost m_lost;
};
