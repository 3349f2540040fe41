#pragma once
// The log settings the logging service creates once and shares with every
// log command: the only way to the log files. GetLogFile runs on the worker
// thread only.

#include "LogFile.h"

#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>

class CLogSettings : private boost::noncopyable {
public:
    // Reads ExpireLogsAfter once; later changes need a new object.
    CLogSettings();
    virtual ~CLogSettings();

    // Today's log file, after the day's expiry pass when it is due.
    boost::shared_ptr<CLogFile> GetLogFile();

private:
    class CLogSettingsData;
    CLogSettingsData* m_pData;
};
