#include "LogSettings.h"

#include "LogFileManager.h"

class CLogSettings::CLogSettingsData {
public:
    virtual ~CLogSettingsData() = default;

    CLogFileManager m_manager;
};

CLogSettings::CLogSettings() : m_pData(new CLogSettingsData) {}

CLogSettings::~CLogSettings()
{
    delete m_pData;
}

boost::shared_ptr<CLogFile> CLogSettings::GetLogFile()
{
    return m_pData->m_manager.GetLogFile();
}
