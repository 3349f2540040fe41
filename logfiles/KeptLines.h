#pragma once
// Lines that a day's file refused past the writer's wait (held by another
// program, locked, a full disk), kept in memory with the file each was first
// tried for, in the order they came, until that file takes writes again. A
// file that refuses holds back only its own lines. Past the limit the oldest
// are dropped, and one line in their place says how many were lost and
// between which event times. Worker thread only: one object lives as long as
// the logging service.
//
// What is still refused when the service ends is set down in a file of the
// log folder (KeptLinesFile.h), and the next service's start picks it up:
// those lines are kept again, ahead of any new one, and the file goes once
// every one of them is written. Only what cannot be set down either is lost;
// the count of those goes into the file when a small record still fits.

#include "FixedNames.h"
#include "LogEvent.h"

#include <boost/noncopyable.hpp>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// The message of the line that stands for dropped ones.
std::string LostLinesMessage(std::size_t count, std::uint32_t firstTime, std::uint32_t lastTime);

class CKeptLines : private boost::noncopyable {
public:
    // limit: the bytes that kept lines may take, counted with their
    // bookkeeping; one line larger than that is still kept, alone.
    // setDownPath, newPath: the set-down file and the name it is written
    // under before it replaces that file.
    explicit CKeptLines(std::size_t limit, std::string setDownPath = Vardel::KEPT_LINES_FILE,
                        std::string newPath = Vardel::KEPT_LINES_NEW_FILE);
    ~CKeptLines();

    // Keeps bytes, whole lines for path, behind the lines already kept,
    // dropping the oldest while the limit would be passed.
    void Keep(const std::string& path, std::string bytes, std::uint32_t time, std::unique_ptr<CLineCharge> charge);

    // Writes what is kept, each file's lines in order, the lost-lines line
    // before those of its file. wait: as AppendLines. A file that refuses
    // keeps its lines; lines whose file cannot be opened at all (folder
    // missing) go as a new line would. True when nothing is left.
    bool Flush(bool wait);

    // At the end of the service: Flush with the wait, then sets down what
    // is still refused (with the count of lines already lost) and forgets
    // it. Returns the lines that could not be set down either: lost, their
    // count set down on its own when that still could be.
    std::size_t Drain();

    // At the start of the service, before any line: keeps the lines of the
    // set-down file, in their order, each with a charge from charge (may be
    // empty), and the count of lost lines it holds, then tries each file
    // once. Does nothing when there is no such file.
    using ChargeMaker = std::function<std::unique_ptr<CLineCharge>()>;
    void PickUp(const ChargeMaker& charge);

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
        bool pickedUp; // also still in the set-down file
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
    void KeepLine(const std::string& path, std::string bytes, std::uint32_t time,
                  std::unique_ptr<CLineCharge> charge, bool pickedUp);
    void AddLost(std::uint64_t count, std::uint32_t firstTime, std::uint32_t lastTime, const std::string& path,
                 bool pickedUp);
    // The kept lines across files, in the order they were kept.
    std::vector<std::pair<const std::string*, const CLine*>> InOrder() const;
    // Writes the set-down file; false when it did not reach the disk.
    bool SetDown();
    // After a failed SetDown: the lines set down nowhere, their count
    // recorded where it still can be.
    std::size_t SetDownLostCount();
    // Removes the set-down file once nothing picked up from it is left.
    void Settle();
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

    const std::string m_setDownPath, m_newPath;
    bool m_setDownOnDisk = false;      // picked up, not yet removed
    std::size_t m_pickedUpLines = 0;   // kept lines still also in that file
    std::uint64_t m_pickedUpLost = 0;  // of m_lost.count, those that file holds
};
