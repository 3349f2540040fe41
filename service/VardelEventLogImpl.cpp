#include "VardelEventLogImpl.h"

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

CVardelEventLogImpl::CVardelEventLogImpl(IUnknown* owner, std::size_t queuedTextBudget,
                                         HandleWaitFunction waitForWorker)
    : m_budget(new CQueuedTextBudget(queuedTextBudget)), m_waitForWorker(waitForWorker ? waitForWorker : &WaitServingCalls)
{
    m_thread.reset(new CLogCommandThread(owner, WRITER_THREAD_NAME, WRITER_EXIT_CODE));
    // Lines kept while the log file refuses writes, and those the last
    // server set down, count against the same budget, so the bound on text
    // held covers them too.
    boost::shared_ptr<CQueuedTextBudget> budget = m_budget;
    m_settings.reset(new CLogSettings(queuedTextBudget, [budget]() -> std::unique_ptr<CLineCharge> {
        return std::unique_ptr<CLineCharge>(new CPickedUpText(budget));
    }));
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
    if (!m_running && !m_shutDown)
        StartWorker();
}

void CVardelEventLogImpl::LogEvent(std::int32_t type, std::int32_t level, std::string source, std::uint32_t time,
                                   std::string message)
{
    if (m_shutDown)
        throw Vardel::CWin32Error(ERROR_INVALID_STATE, "the logging service has been shut down");
    if (!m_running && !StartWorker())
        throw Vardel::CWin32Error(GetLastError(), "the event writer thread cannot be started");
    // The bytes first: while the queued text is at its budget this waits,
    // as the post waits for a free place.
    std::unique_ptr<CQueuedText> text(new CQueuedText(m_budget, source.size() + message.size()));
    boost::shared_ptr<CLogEvent> event(new CLogEvent(type, level, std::move(source), std::move(message), time));
    Post(*m_thread, std::make_unique<CLogEventCommand>(m_settings, std::move(event), std::move(text)));
}

void CVardelEventLogImpl::ShutdownLog()
{
    m_shutDown = true;
    if (!m_running)
        return;
    m_running = false;
    // The shutdown command stops the worker once everything accepted before
    // it is written; waiting for the worker's end then needs nothing that
    // could fail to be made, and also ends should the worker end otherwise.
    bool queued = false;
    try {
        Post(*m_thread, std::make_unique<CShutdownLogCommand>(m_settings, m_thread.get()));
        queued = true;
    } catch (...) {
        // The orderly stop below still ends the worker between two commands.
    }
    if (queued && FAILED(m_waitForWorker(m_thread->WorkerHandle())))
        WaitForSingleObject(m_thread->WorkerHandle(), INFINITE);
    // At once when the worker has ended; otherwise it finishes the command
    // it runs and ends. Never the forced end of the thread's destruction.
    m_thread->StopProcessing();
}

} // namespace VardelEventLogger
