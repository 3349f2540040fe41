#pragma once
// The log settings the logging service creates once and shares with every
// log command: the only way to the log files. GetLogFile runs on the worker
// thread only.

#include "LogFile.h"

#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <cstddef>
#include <functional>
#include <memory>

class CLineCharge;

class CLogSettings : private boost::noncopyable {
public:
    // Reads ExpireLogsAfter once; later changes need a new object.
    // keptLimit: the bytes that lines refused by their file may take while
    // kept (see CKeptLines). pickedUpCharge: makes the charge that each
    // line picked up from the set-down file holds of a shared budget while
    // kept (may be empty).
    explicit CLogSettings(std::size_t keptLimit,
                          std::function<std::unique_ptr<CLineCharge>()> pickedUpCharge = nullptr);
    virtual ~CLogSettings();

    // Today's log file, after the day's expiry pass when it is due.
    boost::shared_ptr<CLogFile> GetLogFile();

    // At the start of the service, before any event: writes the lines set
    // down at the end of the last one into their day files, keeping those
    // that their file still refuses (CKeptLines::PickUp).
    void PickUpKeptLines();

    // At the end of the service: writes the kept lines, waiting for the file
    // as for any line; what it still refuses then is set down for the next
    // start.
    void DrainKeptLines();

private:
    class CLogSettingsData;
    CLogSettingsData* m_pData;
};
