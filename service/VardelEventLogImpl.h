#pragma once
// The logging service behind the one component object. Every operation runs
// on the server's main thread; each becomes a command queued to the worker
// thread "Vardel Event Writer", which does all file work.

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
    explicit CVardelEventLogImpl(IUnknown* owner);
    virtual ~CVardelEventLogImpl();

    void StartLog();
    // Returns once the event is queued; waits only while 10000 are queued.
    // Throws CWin32Error when no worker thread can be started to write it.
    void LogEvent(std::int32_t type, std::int32_t level, std::string source, std::uint32_t time,
                  std::string message);
    // Returns once every event accepted before it is written and the worker
    // thread has ended.
    void ShutdownLog();

private:
    bool StartWorker();

    boost::shared_ptr<CLogCommandThread> m_thread;
    boost::shared_ptr<CLogSettings> m_settings;
    bool m_running = false; // the worker thread exists and takes commands
};

} // namespace VardelEventLogger
