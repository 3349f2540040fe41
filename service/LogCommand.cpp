#include "LogCommand.h"

#include "LogEvent.h"
#include "LogFile.h"
#include "LogSettings.h"

CLogCommand::CLogCommand(boost::shared_ptr<CLogSettings> settings) : m_settings(std::move(settings)) {}

CLogCommand::~CLogCommand() = default;

CLogEventCommand::CLogEventCommand(boost::shared_ptr<CLogSettings> settings, boost::shared_ptr<CLogEvent> event)
    : CLogCommand(std::move(settings)), m_event(std::move(event))
{
}

CLogEventCommand::~CLogEventCommand() = default;

void CLogEventCommand::Execute()
{
    // Looked up per event: an event queued before midnight and written after
    // it goes into the new day's file.
    m_settings->GetLogFile()->Write(m_event);
}

CStartLogCommand::CStartLogCommand(boost::shared_ptr<CLogSettings> settings) : CLogCommand(std::move(settings)) {}

void CStartLogCommand::Execute() {}

CShutdownLogCommand::CShutdownLogCommand(boost::shared_ptr<CLogSettings> settings, HANDLE reached)
    : CLogCommand(std::move(settings)), m_reached(reached)
{
}

void CShutdownLogCommand::Execute()
{
    if (m_reached)
        SetEvent(m_reached);
}
