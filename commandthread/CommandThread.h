#pragma once
// A queue of commands executed one at a time, in posting order, by one
// worker thread. Any thread may post; a posted command belongs to the
// command thread, which deletes it after running it or, at destruction,
// unexecuted. The hooks let a derived class track outstanding work:
// OnCommandQueued runs on the posting thread before the command enters the
// list, OnCommandDone on the worker after the command has run and been
// deleted. No lock of the list is held while a hook, Execute or a command's
// destructor runs.

#include <windows.h>

#include "MonitorList.h"
#include "WorkerThread.h"

#include <boost/noncopyable.hpp>
#include <string>

namespace CommandThread {

// Commands queued more than this make PostCommand wait for a free place.
constexpr LONG COMMAND_LIST_CAPACITY = 10000;

class CCommand : private boost::noncopyable {
public:
    virtual ~CCommand() = default;
    // Runs once on the worker thread; whatever it throws is discarded.
    virtual void Execute() = 0;
};

template <typename T>
class CCommandThread : private boost::noncopyable {
public:
    // No thread runs until StartProcessing. exitCode is the worker thread's
    // exit code after a stop.
    CCommandThread(const std::string& name, int exitCode)
        : m_exitCode(exitCode), m_worker(this, &CCommandThread::CommandLoop, name, nullptr)
    {
    }

    // Takes ownership of command once it is queued: TRUE then. Waits while
    // the list is full. FALSE (the list cannot be waited on) leaves the
    // command with the caller; the hooks are balanced on every failure,
    // including an exception, which propagates.
    BOOL PostCommand(T* command)
    {
        OnCommandQueued();
        BOOL queued = FALSE;
        try {
            queued = m_list.Push(command, INFINITE);
        } catch (...) {
            OnCommandDone();
            throw;
        }
        if (!queued) {
            DWORD error = GetLastError();
            OnCommandDone();
            SetLastError(error);
        }
        return queued;
    }

    // Starts the worker at below-normal priority; FALSE (GetLastError set)
    // when the thread could not be created or one already runs.
    BOOL StartProcessing()
    {
        // Created suspended so that even the first command runs at the lower
        // priority.
        if (!m_worker.Start(nullptr, 0, CREATE_SUSPENDED))
            return FALSE;
        m_worker.SetPriority(THREAD_PRIORITY_BELOW_NORMAL);
        if (m_worker.Resume())
            return TRUE;
        DWORD error = GetLastError();
        m_worker.EndByForce(0);
        SetLastError(error);
        return FALSE;
    }

    // Requests the stop and, unless called on the worker itself, waits
    // without limit for the thread to end. The worker finishes the command
    // it is running and then ends; commands still queued are not run.
    // Returns at once when no stop can be requested (never started, or
    // already ended).
    void StopProcessing()
    {
        if (!m_worker.RequestStop())
            return;
        if (m_worker.IsCurrentThread())
            return;
        // Wakes a loop that waits on an empty list. A full list needs no
        // wake-up, and waiting for a place there could last for ever once
        // the loop has seen the stop.
        m_list.Push(nullptr, 0);
        m_worker.WaitForExit(INFINITE);
    }

    sWorkerThreadBase& Worker() { return m_worker; }
    // For waiting on the worker's end alongside other work (a caller that
    // must keep serving while it waits); null when no thread is attached.
    HANDLE WorkerHandle() const { return m_worker.GetHandle(); }

    // Deletes the commands still queued without running them or reporting
    // them to OnCommandDone; a worker that still runs is ended by force with
    // exit code 666 first.
    virtual ~CCommandThread()
    {
        EndWorker();
        int failures = 0;
        while (m_list.GetCount() != 0 && failures < 100) {
            T* command = nullptr;
            if (!m_list.Pop(command, 100))
                ++failures;
            delete command;
        }
    }

protected:
    virtual void OnCommandQueued() {}
    virtual void OnCommandDone() {}

    // Ends a worker that still runs, by force with exit code 666, unless
    // called on the worker itself. A derived class whose hooks use its own
    // state calls this first in its destructor, so that no hook runs on
    // state already destroyed.
    void EndWorker()
    {
        if (!m_worker.IsCurrentThread())
            m_worker.EndByForce(WORKER_DESTROYED_EXIT_CODE);
    }

private:
    DWORD CommandLoop()
    {
        for (;;) {
            if (m_worker.IsStopRequested(0))
                return static_cast<DWORD>(m_exitCode);
            T* command = nullptr;
            if (!m_list.Pop(command, INFINITE)) {
                // A list that cannot be waited on: retry at a slow pace
                // rather than spin.
                m_worker.IsStopRequested(100);
                continue;
            }
            if (!command)
                continue; // the wake-up entry of StopProcessing
            try {
                static_cast<CCommand*>(command)->Execute();
            } catch (...) {
            }
            delete static_cast<CCommand*>(command);
            try {
                OnCommandDone();
            } catch (...) {
            }
        }
    }

    int m_exitCode;
    CMonitorList<T*, COMMAND_LIST_CAPACITY, 1> m_list;
    CWorkerThread<CCommandThread<T>> m_worker;
};

} // namespace CommandThread
