#include "LogCommand.h"

#include "LogEvent.h"
#include "LogFile.h"
#include "LogSettings.h"
#include "QueuedTextBudget.h"

CLogCommand::CLogCommand(boost::shared_ptr<CLogSettings> settings) : m_settings(std::move(settings)) {}

CLogCommand::~CLogCommand() = default;

CLogEventCommand::CLogEventCommand(boost::shared_ptr<CLogSettings> settings, boost::shared_ptr<CLogEvent> event,
                                   std::unique_ptr<VardelEventLogger::CQueuedText> text)
    : CLogCommand(std::move(settings)), m_text(std::move(text)), m_event(std::move(event))
{
}

CLogEventCommand::~CLogEventCommand() = default;

void CLogEventCommand::Execute()
{
    // Looked up per event: an event queued before midnight and written after
    // it goes into the new day's file.
    m_settings->GetLogFile()->Write(m_event, m_text);
}

CStartLogCommand::CStartLogCommand(boost::shared_ptr<CLogSettings> settings) : CLogCommand(std::move(settings)) {}

void CStartLogCommand::Execute()
{
    // Ahead of every event: lines set down by the last server go first.
    if (m_settings)
        m_settings->PickUpKeptLines();
}

CShutdownLogCommand::CShutdownLogCommand(boost::shared_ptr<CLogSettings> settings,
                                         CommandThread::CCommandThread<CLogCommand>* thread)
    : CLogCommand(std::move(settings)), m_thread(thread)
{
}

void CShutdownLogCommand::Execute()
{
    if (m_settings)
        m_settings->DrainKeptLines();
    // On the worker itself this only requests the stop; the loop sees it
    // before it takes the next command.
    if (m_thread)
        m_thread->StopProcessing();
}
