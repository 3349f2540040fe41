#pragma once
// The file where lines that their day's file still refuses when the server
// ends are set down, so that the next start writes them (KEPT_LINES_FILE in
// the log folder). Worker thread only.
//
// Layout: 8 bytes of magic, then records, each
//   kind, time, last time (u32 each), count (u64), path length, data
//   length (u32 each), path, data, CRC-32 of all of the record before it
// (little-endian). Kinds: a header (count = the line records that follow,
// time and last time = the first and last line's event time, path = the
// first line's), a line (its event time, day-file path and bytes exactly as
// they go to disk, CR LF inside included) and a lost-lines record (count,
// first and last event time, the day file its line goes into). Lengths and
// checksums let a reader stop at a torn or damaged record without taking
// anything after it for a line.

#include "Handles.h"

#include <boost/noncopyable.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

struct CKeptRecord {
    enum Kind : std::uint32_t { Header = 1, Line = 2, Lost = 3 };
    Kind kind = Line;
    std::uint32_t time = 0;
    std::uint32_t lastTime = 0;
    std::uint64_t count = 0;
    std::string path;
    std::string bytes;
};

// Appends one record, as it is stored, to out.
void EncodeKeptRecord(std::string& out, CKeptRecord::Kind kind, std::uint32_t time, std::uint32_t lastTime,
                      std::uint64_t count, const std::string& path, const std::string& bytes);

// Writes a whole set-down file under a new name and then moves it over the
// old one, so that a crash or a failed write (disk full, folder gone) at
// any point leaves the old file as it was, never a torn one: a left-over
// new file is not read, and is replaced by the next writer. Chosen over
// appending in place, where a torn tail would sit in front of later
// appends. Dropped before Commit, it deletes what it wrote.
class CKeptFileWriter : private boost::noncopyable {
public:
    CKeptFileWriter(std::string path, std::string newPath);
    ~CKeptFileWriter();

    // Each false once anything has failed; records go out in writes of
    // about 1 MiB.
    bool Add(CKeptRecord::Kind kind, std::uint32_t time, std::uint32_t lastTime, std::uint64_t count,
             const std::string& path, const std::string& bytes);
    // Writes the rest, flushes it to the disk and moves it into place.
    bool Commit();

private:
    bool WriteBuffer();

    std::string m_path, m_newPath;
    Vardel::CUniqueFileHandle m_file;
    std::string m_buffer;
    bool m_ok = false;
};

// Appends one record at the end of path, creating the file with its magic
// when absent or empty, and flushes it: the small fallback when a whole
// file could not be written. A torn append is a torn tail, which readers
// stop at. False when it did not reach the disk whole.
bool AppendKeptRecord(const std::string& path, const CKeptRecord& record);

// What reading a set-down file gave: how many line records the header
// promised that could not be read (torn, damaged, or naming a path that is
// no day file of the log folder), with what the header tells of them.
struct CKeptFileSummary {
    bool exists = false;
    bool readable = false; // the magic and header were read
    std::uint64_t unread = 0;
    std::uint32_t unreadFirstTime = 0, unreadLastTime = 0;
    std::string unreadPath;
};
// Reads the file record by record (never whole), passing each line and
// lost-lines record, in file order, to visit; stops at the first record
// that is torn or damaged.
CKeptFileSummary ReadKeptFile(const std::string& path, const std::function<void(CKeptRecord&)>& visit);

// A day file of the log folder, as the writer spells it: the only paths a
// record may send lines to.
bool IsDayFilePath(const std::string& path);
