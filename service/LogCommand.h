#pragma once
// The commands of the logging service. Built on the caller's thread, owned
// by the command queue once posted, run once and deleted on the worker
// thread (or deleted unrun when the command thread goes).

#include <windows.h>

#include "CommandThread.h"

#include <boost/shared_ptr.hpp>
#include <memory>

class CLogEvent;
class CLineCharge;
namespace VardelEventLogger {
class CQueuedText;
}
class CLogSettings;

class CLogCommand : public CommandThread::CCommand {
public:
    explicit CLogCommand(boost::shared_ptr<CLogSettings> settings);
    ~CLogCommand() override;

protected:
    boost::shared_ptr<CLogSettings> m_settings;
};

// Writes its event into the log file of the day on which it runs. text,
// when given, counts the event's bytes as queued until the command goes,
// or, when the file refuses the line and it is kept, until the line goes.
class CLogEventCommand : public CLogCommand {
public:
    CLogEventCommand(boost::shared_ptr<CLogSettings> settings, boost::shared_ptr<CLogEvent> event,
                     std::unique_ptr<VardelEventLogger::CQueuedText> text = nullptr);
    ~CLogEventCommand() override;
    void Execute() override;

private:
    // Declared first so that it goes last: the bytes are given back once
    // the event itself is freed.
    std::unique_ptr<CLineCharge> m_text;
    boost::shared_ptr<CLogEvent> m_event;
};

// Runs before every event command: writes the lines that the last server
// set down because their day file still refused them, before any new line
// (with nothing set down it touches no file).
class CStartLogCommand : public CLogCommand {
public:
    explicit CStartLogCommand(boost::shared_ptr<CLogSettings> settings);
    void Execute() override;
};

// Marks the end of the accepted events: when it runs, every command posted
// before it has run. It writes the lines kept while the file refused them
// (waiting for the file as any line does; what it still refuses is set down
// for the next start),
// then asks its command thread (not owned; may be
// null) to stop, so the worker ends right after it, having written all of
// them, and the service needs only the worker's end to wait for.
class CShutdownLogCommand : public CLogCommand {
public:
    explicit CShutdownLogCommand(boost::shared_ptr<CLogSettings> settings,
                                 CommandThread::CCommandThread<CLogCommand>* thread = nullptr);
    void Execute() override;

private:
    CommandThread::CCommandThread<CLogCommand>* m_thread;
};
