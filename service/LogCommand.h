#pragma once
// The commands of the logging service. Built on the caller's thread, owned
// by the command queue once posted, run once and deleted on the worker
// thread (or deleted unrun when the command thread goes).

#include <windows.h>

#include "CommandThread.h"

#include <boost/shared_ptr.hpp>

class CLogEvent;
class CLogSettings;

class CLogCommand : public CommandThread::CCommand {
public:
    explicit CLogCommand(boost::shared_ptr<CLogSettings> settings);
    ~CLogCommand() override;

protected:
    boost::shared_ptr<CLogSettings> m_settings;
};

// Writes its event into the log file of the day on which it runs.
class CLogEventCommand : public CLogCommand {
public:
    CLogEventCommand(boost::shared_ptr<CLogSettings> settings, boost::shared_ptr<CLogEvent> event);
    ~CLogEventCommand() override;
    void Execute() override;

private:
    boost::shared_ptr<CLogEvent> m_event;
};

class CStartLogCommand : public CLogCommand {
public:
    explicit CStartLogCommand(boost::shared_ptr<CLogSettings> settings);
    void Execute() override;
};

// Marks the end of the accepted events: when it runs, every command posted
// before it has run. It signals `reached` (not owned; may be null) so that
// the service stops the worker only then.
class CShutdownLogCommand : public CLogCommand {
public:
    explicit CShutdownLogCommand(boost::shared_ptr<CLogSettings> settings, HANDLE reached = nullptr);
    void Execute() override;

private:
    HANDLE m_reached;
};
