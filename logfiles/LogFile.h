#pragma once
// The log file of one day. Created per event by the folder manager, written
// once on the worker thread, then dropped; the file is open only while its
// one line is appended, so other programs may read or move it in between.

#include "Date.h"
#include "FixedNames.h"
#include "LogEvent.h"

#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <string>

using Vardel::LOG_FILE_PATTERN;

constexpr unsigned long LOCKED_FILE_WAIT_MS = 2000;

class CLogFile : private boost::noncopyable {
public:
    explicit CLogFile(const CDate& date);
    virtual ~CLogFile();

    // Offers the event to the alarm writer, then, unless its level is 4,
    // appends its line (ending in CR LF) to the day's file in one write.
    // Cleans the event's message in place. Reports nothing: a file that
    // cannot be opened loses the line. A file that another program holds
    // without sharing is waited for up to LOCKED_FILE_WAIT_MS; after a lock
    // has outlasted that, lines try once until an open succeeds again.
    void Write(boost::shared_ptr<CLogEvent> event);

    const std::string& FileName() const;

private:
    class CLogFileData;
    CLogFileData* m_pData;
};

// "Mon Jan 05 02:03:55 PM GMT Standard Time": local time on the 12-hour
// clock and the name of the zone in effect then (at most 19 characters).
// A time the run-time cannot convert (2^31 and above, which it reads as
// before 1970) gives "UNKNOWN_TIME <value>".
std::string FormatEventTime(std::uint32_t time);

// Makes the text fit one line inside double quotes: '"' becomes '\'', LF
// and CR become a space. The length does not change.
void CleanMessage(std::string& text);
