#include "LogSettings.h"

#include "KeptLines.h"
#include "LogFileManager.h"

class CLogSettings::CLogSettingsData {
public:
    explicit CLogSettingsData(std::size_t keptLimit) : m_manager(keptLimit) {}
    virtual ~CLogSettingsData() = default;

    CLogFileManager m_manager;
};

CLogSettings::CLogSettings(std::size_t keptLimit) : m_pData(new CLogSettingsData(keptLimit)) {}

CLogSettings::~CLogSettings()
{
    delete m_pData;
}

boost::shared_ptr<CLogFile> CLogSettings::GetLogFile()
{
    return m_pData->m_manager.GetLogFile();
}

void CLogSettings::DrainKeptLines()
{
    m_pData->m_manager.KeptLines().Drain();
}
