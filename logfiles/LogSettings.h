#pragma once
// The log settings the logging service creates once and shares with every
// log command: the only way to the log files. GetLogFile runs on the worker
// thread only.

#include "LogFile.h"

#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <cstddef>

class CLogSettings : private boost::noncopyable {
public:
    // Reads ExpireLogsAfter once; later changes need a new object.
    // keptLimit: the bytes that lines refused by their file may take while
    // kept (see CKeptLines).
    explicit CLogSettings(std::size_t keptLimit);
    virtual ~CLogSettings();

    // Today's log file, after the day's expiry pass when it is due.
    boost::shared_ptr<CLogFile> GetLogFile();

    // At the end of the service: writes the kept lines, waiting for the file
    // as for any line; what it still refuses then is lost.
    void DrainKeptLines();

private:
    class CLogSettingsData;
    CLogSettingsData* m_pData;
};
