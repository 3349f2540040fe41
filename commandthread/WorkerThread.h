#pragma once
// One operating-system thread whose body is a member function of an owner
// object. Each started thread gets its own manual-reset stop event, which the
// body polls; RequestStop signals it while the body runs.
//
// The handle and id fields are written by the thread that calls Start and are
// not locked: Start, Stop, WaitForExit, ReleaseHandles and the destructor
// belong to one controlling thread at a time. RequestStop, IsStopRequested,
// IsRunning and IsCurrentThread may be called from any thread while the
// thread runs.

#include <windows.h>

#include "Handles.h"

#include <boost/noncopyable.hpp>
#include <atomic>
#include <string>

// Exit code of a thread whose worker object was destroyed while it ran.
constexpr DWORD WORKER_DESTROYED_EXIT_CODE = 666;

class sWorkerThreadBase {
public:
    // On the worker itself: 0, nothing done. Otherwise suspends the thread,
    // runs the abort handler (its result is returned; 0 without one), then
    // Terminate(exitCode).
    virtual DWORD Abort(DWORD exitCode) = 0;
    // On the worker itself: ExitThread, no return. Otherwise TerminateThread,
    // then ReleaseHandles; returns the result of TerminateThread.
    virtual BOOL Terminate(DWORD exitCode) = 0;
    // FALSE on the worker itself and while a thread of this object runs;
    // otherwise creates the thread (flags as for CreateThread) and returns
    // TRUE when it exists. On FALSE, GetLastError tells why.
    virtual BOOL Start(LPSECURITY_ATTRIBUTES security, DWORD stackSize, DWORD flags) = 0;
    // FALSE on the worker itself, or when the thread still runs after
    // timeout. Otherwise releases the handles and returns TRUE.
    virtual BOOL WaitForExit(DWORD timeout) = 0;
    // Requests a stop of a running thread and waits up to timeout for it;
    // TRUE when nothing was running or no stop could be requested.
    virtual BOOL Stop(DWORD timeout) = 0;
    // Closes the handles of an ended thread and detaches it (id -1). A
    // thread that still runs keeps them: TRUE, nothing changed. Otherwise
    // the result of closing the stop event (FALSE when there was none).
    virtual BOOL ReleaseHandles() = 0;
    virtual BOOL SetPriority(int priority) = 0;
    virtual BOOL Suspend() = 0;
    virtual BOOL Resume() = 0;
    // STILL_ACTIVE while the thread runs; meaningful only while the handle
    // is held (before ReleaseHandles). (DWORD)-1 when the query fails.
    virtual DWORD GetExitCode() = 0;
    // (DWORD)-1 when no thread is attached.
    virtual DWORD GetThreadId() = 0;
    // TRUE only when the thread still runs after waiting up to timeout.
    virtual BOOL IsRunning(DWORD timeout) = 0;
    // TRUE when the stop event is signalled within timeout; FALSE while no
    // body runs.
    virtual BOOL IsStopRequested(DWORD timeout) = 0;
    // Signals the stop event; FALSE when no thread is attached or its body
    // is not running (not yet started, or already returned).
    virtual BOOL RequestStop() = 0;
    // Null while no body runs.
    virtual HANDLE GetStopEvent() = 0;
    virtual BOOL IsCurrentThread() = 0;
    virtual std::string GetName() = 0;

protected:
    // Workers are owned and deleted as their concrete class.
    ~sWorkerThreadBase() = default;
};

// The thread-creation call, replaceable so that tests can make it fail the
// way an exhausted process would.
using ThreadCreateFunction = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD,
                                              LPDWORD);
inline ThreadCreateFunction& ThreadCreator()
{
    static ThreadCreateFunction create = &::CreateThread;
    return create;
}

template <typename T>
class CWorkerThread : public sWorkerThreadBase, private boost::noncopyable {
public:
    using Body = DWORD (T::*)();

    // No thread is created here. body and abortHandler may be null.
    CWorkerThread(T* owner, Body body, const std::string& name, Body abortHandler)
        : m_name(name), m_owner(owner), m_body(body), m_abortHandler(abortHandler)
    {
    }

    DWORD Abort(DWORD exitCode) override
    {
        if (IsCurrentThread())
            return 0;
        Suspend();
        DWORD result = 0;
        if (m_owner && m_abortHandler)
            result = (m_owner->*m_abortHandler)();
        Terminate(exitCode);
        return result;
    }

    BOOL Terminate(DWORD exitCode) override
    {
        if (IsCurrentThread())
            ExitThread(exitCode);
        BOOL terminated = TerminateThread(m_thread.get(), exitCode);
        ReleaseHandles();
        return terminated;
    }

    BOOL Start(LPSECURITY_ATTRIBUTES security, DWORD stackSize, DWORD flags) override
    {
        if (IsCurrentThread() || IsRunning(0)) {
            SetLastError(ERROR_BUSY);
            return FALSE;
        }
        ReleaseHandles(); // of an earlier thread that ended on its own
        // The stop event exists before the thread can run, so a stop may be
        // requested as soon as Start returns.
        Vardel::CUniqueHandle stop(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        if (!stop)
            return FALSE;
        // Created suspended so that the id and handle are stored before the
        // body can ask IsCurrentThread.
        DWORD id = 0;
        HANDLE thread = ThreadCreator()(security, stackSize, &ThreadRoutine, this, flags | CREATE_SUSPENDED, &id);
        if (!thread) {
            DWORD error = GetLastError();
            stop.reset();
            SetLastError(error);
            return FALSE;
        }
        m_thread.reset(thread);
        m_threadId = id;
        m_stopEvent = stop.get();
        m_stopOwner = std::move(stop);
        if (!(flags & CREATE_SUSPENDED))
            ResumeThread(thread);
        return TRUE;
    }

    BOOL WaitForExit(DWORD timeout) override
    {
        if (IsCurrentThread())
            return FALSE;
        Sleep(0);
        if (IsRunning(timeout))
            return FALSE;
        ReleaseHandles();
        return TRUE;
    }

    BOOL Stop(DWORD timeout) override
    {
        if (IsRunning(0) && RequestStop())
            return WaitForExit(timeout);
        return TRUE;
    }

    BOOL ReleaseHandles() override
    {
        if (IsRunning(0))
            return TRUE;
        m_thread.reset();
        m_stopEvent = nullptr;
        BOOL closed = FALSE;
        if (m_stopOwner)
            closed = CloseHandle(m_stopOwner.release());
        m_threadId = NO_THREAD;
        return closed;
    }

    BOOL SetPriority(int priority) override { return SetThreadPriority(m_thread.get(), priority); }
    BOOL Suspend() override { return SuspendThread(m_thread.get()) != static_cast<DWORD>(-1); }
    BOOL Resume() override { return ResumeThread(m_thread.get()) != static_cast<DWORD>(-1); }

    DWORD GetExitCode() override
    {
        DWORD code = 0;
        if (!GetExitCodeThread(m_thread.get(), &code))
            return static_cast<DWORD>(-1);
        return code;
    }

    DWORD GetThreadId() override { return m_threadId; }

    BOOL IsRunning(DWORD timeout) override
    {
        return m_thread && WaitForSingleObject(m_thread.get(), timeout) == WAIT_TIMEOUT;
    }

    BOOL IsStopRequested(DWORD timeout) override
    {
        HANDLE stop = m_stopEvent;
        return stop && WaitForSingleObject(stop, timeout) == WAIT_OBJECT_0;
    }

    BOOL RequestStop() override
    {
        HANDLE stop = m_stopEvent;
        if (!m_thread || !stop) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        return SetEvent(stop);
    }

    HANDLE GetStopEvent() override { return m_stopEvent; }
    // The thread handle, null when no thread is attached; it is signalled
    // when the thread ends and stays open until ReleaseHandles.
    HANDLE GetHandle() const { return m_thread.get(); }
    BOOL IsCurrentThread() override { return GetCurrentThreadId() == m_threadId; }
    std::string GetName() override { return m_name; }

    // Ends a thread that still runs: on the worker itself with ExitThread
    // (no return); from any other thread with TerminateThread, waiting until
    // the system reports the end so that the handles are released and the
    // thread runs no more of this object's code.
    void EndByForce(DWORD exitCode)
    {
        if (!IsRunning(0))
            return;
        if (IsCurrentThread())
            ExitThread(exitCode);
        if (TerminateThread(m_thread.get(), exitCode))
            WaitForSingleObject(m_thread.get(), INFINITE);
        ReleaseHandles();
    }

    // A thread that still runs is ended by force with exit code 666.
    virtual ~CWorkerThread()
    {
        EndByForce(WORKER_DESTROYED_EXIT_CODE);
        ReleaseHandles();
    }

private:
    static constexpr DWORD NO_THREAD = static_cast<DWORD>(-1);

    static DWORD WINAPI ThreadRoutine(LPVOID parameter)
    {
        auto* self = static_cast<CWorkerThread*>(parameter);
        DWORD result = 0;
        if (self->m_owner && self->m_body)
            result = (self->m_owner->*self->m_body)();
        // From here no stop can be requested. The event itself stays open
        // until ReleaseHandles, so a RequestStop racing with this line
        // never signals a closed handle.
        self->m_stopEvent = nullptr;
        return result;
    }

    Vardel::CUniqueHandle m_thread;
    std::atomic<HANDLE> m_stopEvent{nullptr}; // published while the body runs
    DWORD m_threadId = NO_THREAD;
    std::string m_name;
    T* m_owner;
    Body m_body;
    Body m_abortHandler;
    Vardel::CUniqueHandle m_stopOwner; // keeps the stop event open until released
};
