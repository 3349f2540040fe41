#include "LogFileManager.h"

#include "FileFind.h"
#include "KeptLines.h"
#include "LogFolderScan.h"
#include "Registry.h"

#include <string>

class CLogFileManager::CLogFileManagerData {
public:
    explicit CLogFileManagerData(std::size_t keptLimit) : m_kept(keptLimit) {}
    virtual ~CLogFileManagerData() = default;

    bool m_bFirstPass = true;
    CDate m_lastPass;
    std::int32_t m_nExpireDays = DEFAULT_EXPIRE_DAYS;
    CKeptLines m_kept;
};

CLogFileManager::CLogFileManager(std::size_t keptLimit) : m_pData(new CLogFileManagerData(keptLimit))
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
    return boost::shared_ptr<CLogFile>(new CLogFile(today, &m_pData->m_kept));
}

CKeptLines& CLogFileManager::KeptLines()
{
    return m_pData->m_kept;
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
