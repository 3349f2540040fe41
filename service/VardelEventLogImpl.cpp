#include "VardelEventLogImpl.h"

#include "Handles.h"
#include "LogCommand.h"
#include "LogCommandThread.h"
#include "LogEvent.h"
#include "LogSettings.h"
#include "Win32Error.h"

#include <memory>

namespace VardelEventLogger {

namespace {
constexpr const char* WRITER_THREAD_NAME = "Vardel Event Writer";
constexpr int WRITER_EXIT_CODE = 333;

// Posts a command; it is deleted here unless it was queued.
void Post(CLogCommandThread& thread, std::unique_ptr<CLogCommand> command)
{
    if (!thread.PostCommand(command.get()))
        throw Vardel::CWin32Error(GetLastError(), "the event queue cannot be waited on");
    command.release();
}
} // namespace

CVardelEventLogImpl::CVardelEventLogImpl(IUnknown* owner)
{
    m_thread.reset(new CLogCommandThread(owner, WRITER_THREAD_NAME, WRITER_EXIT_CODE));
    m_settings.reset(new CLogSettings());
}

CVardelEventLogImpl::~CVardelEventLogImpl()
{
    m_settings.reset();
    m_thread.reset();
}

bool CVardelEventLogImpl::StartWorker()
{
    // The worker is started before the start command is queued: a worker that
    // cannot be created then leaves nothing queued and no server lock held,
    // and the next LogEvent tries again instead of filling a queue nobody
    // reads.
    if (!m_thread->StartProcessing())
        return false;
    m_running = true;
    Post(*m_thread, std::make_unique<CStartLogCommand>(m_settings));
    return true;
}

void CVardelEventLogImpl::StartLog()
{
    if (!m_running)
        StartWorker();
}

void CVardelEventLogImpl::LogEvent(std::int32_t type, std::int32_t level, std::string source, std::uint32_t time,
                                   std::string message)
{
    if (!m_running && !StartWorker())
        throw Vardel::CWin32Error(GetLastError(), "the event writer thread cannot be started");
    boost::shared_ptr<CLogEvent> event(new CLogEvent(type, level, source, message, time));
    Post(*m_thread, std::make_unique<CLogEventCommand>(m_settings, event));
}

void CVardelEventLogImpl::ShutdownLog()
{
    if (!m_running)
        return;
    // Stop only once the shutdown command has run, so every event accepted
    // before this call is written first. Until then this thread is the only
    // producer and is waiting here, so nothing else can be queued behind it.
    Vardel::CUniqueHandle reached(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!reached)
        throw Vardel::CWin32Error(GetLastError(), "CreateEventA");
    Post(*m_thread, std::make_unique<CShutdownLogCommand>(m_settings, reached.get()));
    WaitForSingleObject(reached.get(), INFINITE);
    m_thread->StopProcessing();
    m_running = false;
}

} // namespace VardelEventLogger
