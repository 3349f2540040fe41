#pragma once
// The log file of one day. Created per event by the folder manager, written
// once on the worker thread, then dropped; the file is open only while its
// one line is appended, so other programs may read or move it in between.

#include "Date.h"
#include "FixedNames.h"
#include "LogEvent.h"

#include <windows.h>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <memory>
#include <string>

using Vardel::LOG_FILE_PATTERN;

class CKeptLines;

constexpr unsigned long LOCKED_FILE_WAIT_MS = 2000;

class CLogFile : private boost::noncopyable {
public:
    // kept: where lines the file refuses are kept (not owned; outlives
    // this object). Without it such a line is lost.
    explicit CLogFile(const CDate& date, CKeptLines* kept = nullptr);
    virtual ~CLogFile();

    // Offers the event to the alarm writer, then, unless its level is 4,
    // appends its line (ending in CR LF) to the day's file in one write.
    // Cleans the event's message in place. Reports nothing: a file that
    // cannot be opened (folder missing, access denied) loses the line. A
    // line is whole on disk or absent: a failed or short write is taken
    // back, and a file that ends inside a line gets a line end before ours.
    // A file that another program holds (without sharing, or under a
    // byte-range lock) and a write that fails (a full disk) are tried again
    // for up to LOCKED_FILE_WAIT_MS; a line still refused then is kept, and
    // while lines are kept each new one first tries once to write them and
    // is kept behind those of its own file when that still refuses. charge,
    // when the line is kept, goes with it.
    void Write(boost::shared_ptr<CLogEvent> event);
    void Write(boost::shared_ptr<CLogEvent> event, std::unique_ptr<CLineCharge>& charge);

    const std::string& FileName() const;

private:
    class CLogFileData;
    CLogFileData* m_pData;
};

// The call that puts a line's bytes at the file's current position, shaped
// like a synchronous WriteFile: FALSE with GetLastError set on failure, and
// *written may then be short of size. Tests put one here that fails as a
// full disk or a byte-range lock does; returns the one it replaces. Only
// the worker thread writes lines, so swap it only while no line is written.
using LineWriteFunction = BOOL (*)(HANDLE file, const void* bytes, DWORD size, DWORD* written);
LineWriteFunction SetLineWriteFunction(LineWriteFunction write);
// Writes all of bytes at the file's position through that call, as the
// set-down file of kept lines is written: a disk that refuses lines refuses
// it too. FALSE, with GetLastError set, when not all of them were written.
BOOL WriteThroughLineWriter(HANDLE file, const char* bytes, DWORD size);

enum class AppendOutcome {
    Written,
    Refused, // held by another program, locked, or the write failed: may pass
    Failed,  // cannot be opened for another reason (folder missing, access denied)
};
// Appends bytes, whole lines ending in CR LF, to the file at path in one
// write, creating the file when absent. wait: tries again while refused, for
// up to LOCKED_FILE_WAIT_MS; otherwise tries once.
AppendOutcome AppendLines(const std::string& path, const std::string& bytes, bool wait);

// A line as it goes to disk: time text, type and level names, source and
// the (cleaned) message in double quotes, every LF written as CR LF.
std::string LineBytes(std::uint32_t time, const std::string& type, const std::string& level, const std::string& source,
                      const std::string& message);

// "Mon Jan 05 02:03:55 PM GMT Standard Time": local time on the 12-hour
// clock and the name of the zone in effect then (at most 19 characters).
// The count is unsigned: 2^31 and above are the years 2038 to 2106. A count
// the run-time refused to convert would give "UNKNOWN_TIME <value>".
std::string FormatEventTime(std::uint32_t time);

// Makes the text fit one line inside double quotes: '"' becomes '\'', LF
// and CR become a space. The length does not change.
void CleanMessage(std::string& text);
