#pragma once
// The log folder: hands out the current day's log file and, once a day,
// deletes log files dated more than ExpireLogsAfter days before today.
// Runs on the worker thread only; takes no lock.

#include "Date.h"
#include "LogFile.h"

#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <cstddef>
#include <cstdint>

class CKeptLines;

using Vardel::LOG_FOLDER;
using Vardel::LOG_FILE_MASK;
// Must cover the whole name; the unescaped dot takes any character.
constexpr const char* LOG_FILE_REGEX = "Log_([0-9]{4})_([0-9]{1,2})_([0-9]{1,2}).log";

class CLogFileManager : private boost::noncopyable {
public:
    // Reads ExpireLogsAfter once (LoadExpireDays). keptLimit: the bytes
    // that lines refused by their file may take while kept.
    explicit CLogFileManager(std::size_t keptLimit);
    virtual ~CLogFileManager();

    // Runs the expiry pass when due, then returns a new log file for today,
    // which keeps the lines its file refuses here.
    boost::shared_ptr<CLogFile> GetLogFile();

    // The lines kept for the log files handed out, for as long as this
    // object lives.
    CKeptLines& KeptLines();

    // The expiry pass, at the first call and then at the first call of each
    // day other than that of the last pass. Deletes every log file whose
    // name date lies before today minus the days to keep; a file that
    // cannot be deleted stays for a later pass and does not stop the others.
    void ExpireLogs();
    void ExpireLogs(const CDate& today);

    std::int32_t ExpireDays() const;

protected:
    // The current local day; tests put a clock of their own here.
    virtual CDate Today() const;

private:
    class CLogFileManagerData;
    CLogFileManagerData* m_pData;
};
