#include "LogSettings.h"

#include "KeptLines.h"
#include "LogFileManager.h"

class CLogSettings::CLogSettingsData {
public:
    CLogSettingsData(std::size_t keptLimit, CKeptLines::ChargeMaker pickedUpCharge)
        : m_manager(keptLimit), m_pickedUpCharge(std::move(pickedUpCharge))
    {
    }
    virtual ~CLogSettingsData() = default;

    CLogFileManager m_manager;
    CKeptLines::ChargeMaker m_pickedUpCharge;
};

CLogSettings::CLogSettings(std::size_t keptLimit, std::function<std::unique_ptr<CLineCharge>()> pickedUpCharge)
    : m_pData(new CLogSettingsData(keptLimit, std::move(pickedUpCharge)))
{
}

CLogSettings::~CLogSettings()
{
    delete m_pData;
}

boost::shared_ptr<CLogFile> CLogSettings::GetLogFile()
{
    return m_pData->m_manager.GetLogFile();
}

void CLogSettings::PickUpKeptLines()
{
    m_pData->m_manager.KeptLines().PickUp(m_pData->m_pickedUpCharge);
}

void CLogSettings::DrainKeptLines()
{
    // The count of lines lost here is set down with them when it can be;
    // the next start's first line for their file says it.
    m_pData->m_manager.KeptLines().Drain();
}
