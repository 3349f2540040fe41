#pragma once
// The logging service behind the one component object. Every operation runs
// on the server's main thread; each becomes a command queued to the worker
// thread "Vardel Event Writer", which does all file work.

#include "ApartmentWait.h"
#include "QueuedTextBudget.h"

#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <string>

struct IUnknown;
class CLogCommandThread;
class CLogSettings;

namespace VardelEventLogger {

class CVardelEventLogImpl : private boost::noncopyable {
public:
    // owner: only its AddRef/Release are used, while commands are pending.
    // queuedTextBudget: the source and message bytes queued events may hold
    // at once. waitForWorker: how ShutdownLog waits for the worker's end;
    // null for WaitServingCalls.
    explicit CVardelEventLogImpl(IUnknown* owner, std::size_t queuedTextBudget = QUEUED_TEXT_BUDGET,
                                 HandleWaitFunction waitForWorker = nullptr);
    virtual ~CVardelEventLogImpl();

    void StartLog();
    // Returns once the event is queued; waits only while 10000 are queued
    // or while the queued text would pass its budget. Throws CWin32Error
    // when no worker thread can be started to write it, and after
    // ShutdownLog.
    void LogEvent(std::int32_t type, std::int32_t level, std::string source, std::uint32_t time,
                  std::string message);
    // Returns once every event accepted before it is written and the worker
    // thread has ended by itself; the wait serves the caller's COM calls.
    // When the shutdown command cannot be queued, the worker is stopped
    // after the command it is running.
    void ShutdownLog();

private:
    bool StartWorker();

    boost::shared_ptr<CLogCommandThread> m_thread;
    boost::shared_ptr<CLogSettings> m_settings;
    boost::shared_ptr<CQueuedTextBudget> m_budget; // shared with every queued event's bytes
    HandleWaitFunction m_waitForWorker;
    bool m_running = false; // the worker thread exists and takes commands
    bool m_shutDown = false;
};

} // namespace VardelEventLogger
