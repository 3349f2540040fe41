#include "LogFileManager.h"

#include "FileFind.h"
#include "Registry.h"

#include <boost/lexical_cast.hpp>
#include <boost/regex.hpp>
#include <string>
#include <vector>

namespace {

// The name's date, when the whole name is a log file name.
bool ParseLogFileName(const std::string& name, CDate& date)
{
    const boost::regex expression(LOG_FILE_REGEX, boost::regex::perl);
    boost::smatch match;
    if (!boost::regex_match(name, match, expression))
        return false;
    const int year = boost::lexical_cast<int>(match.str(1));
    const int month = boost::lexical_cast<int>(match.str(2));
    const int day = boost::lexical_cast<int>(match.str(3));
    date.SetDate(day, month, year);
    return true;
}

std::vector<std::string> ExpiredLogFiles(const CDate& cutoff)
{
    std::vector<std::string> expired;
    Vardel::CFileFind search;
    if (!search.Find(std::string(LOG_FOLDER) + LOG_FILE_MASK))
        return expired;
    bool more;
    do {
        more = search.Next();
        if (search.IsFolder())
            continue;
        CDate date(1, 1, 2000);
        if (ParseLogFileName(search.FileName(), date) && date < cutoff)
            expired.push_back(search.FilePath());
    } while (more);
    return expired;
}

} // namespace

class CLogFileManager::CLogFileManagerData {
public:
    virtual ~CLogFileManagerData() = default;

    bool m_bFirstPass = true;
    CDate m_lastPass;
    std::int32_t m_nExpireDays = DEFAULT_EXPIRE_DAYS;
};

CLogFileManager::CLogFileManager() : m_pData(new CLogFileManagerData)
{
    try {
        m_pData->m_nExpireDays = LoadExpireDays();
    } catch (...) {
        delete m_pData;
        throw;
    }
}

CLogFileManager::~CLogFileManager()
{
    delete m_pData;
}

boost::shared_ptr<CLogFile> CLogFileManager::GetLogFile()
{
    const CDate today = Today();
    ExpireLogs(today);
    return boost::shared_ptr<CLogFile>(new CLogFile(today));
}

void CLogFileManager::ExpireLogs()
{
    ExpireLogs(Today());
}

void CLogFileManager::ExpireLogs(const CDate& today)
{
    if (!m_pData->m_bFirstPass && m_pData->m_lastPass == today)
        return;
    CDate cutoff(today);
    cutoff.SubtractDays(m_pData->m_nExpireDays);

    // A file that resists (open elsewhere, read-only, no rights) must not
    // cost the day's events: it stays until a later pass, and the others
    // still go.
    for (const std::string& path : ExpiredLogFiles(cutoff)) {
        try {
            Vardel::RemoveFile(path);
        } catch (const Vardel::CFileRemoveError&) {
        }
    }
    m_pData->m_bFirstPass = false;
    m_pData->m_lastPass = today;
}

std::int32_t CLogFileManager::ExpireDays() const
{
    return m_pData->m_nExpireDays;
}

CDate CLogFileManager::Today() const
{
    return CDate();
}
