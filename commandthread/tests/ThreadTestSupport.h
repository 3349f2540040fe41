#pragma once
// Events, helper threads and thread-handle access for the thread library's
// tests. Every wait is bounded; a helper that does not finish in time fails
// the test instead of hanging it.

#include <windows.h>

#include "Handles.h"

#include <gtest/gtest.h>
#include <functional>
#include <utility>

namespace ThreadTest {

// Only a hang should reach this bound: draining a full list of 10000 takes
// tens of seconds under Wine on a loaded two-core machine.
constexpr DWORD WAIT_LIMIT_MS = 120000;

class CEvent {
public:
    CEvent() : m_event(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    HANDLE Get() const { return m_event.get(); }
    void Set() { SetEvent(m_event.get()); }
    bool WaitFor(DWORD ms = WAIT_LIMIT_MS) const { return WaitForSingleObject(m_event.get(), ms) == WAIT_OBJECT_0; }
    bool IsSet() const { return WaitFor(0); }

private:
    Vardel::CUniqueHandle m_event;
};

// Runs a function on a thread of its own.
class CHelperThread {
public:
    explicit CHelperThread(std::function<void()> body) : m_body(std::move(body))
    {
        m_thread.reset(CreateThread(nullptr, 0, &Routine, this, 0, nullptr));
    }
    ~CHelperThread()
    {
        // Only a failed test leaves the helper stuck; end it so the next test runs.
        if (m_thread && !Wait()) {
            ADD_FAILURE() << "helper thread still running at the end of the test";
            TerminateThread(m_thread.get(), 1);
            WaitForSingleObject(m_thread.get(), WAIT_LIMIT_MS);
        }
    }
    CHelperThread(const CHelperThread&) = delete;
    CHelperThread& operator=(const CHelperThread&) = delete;

    bool Started() const { return static_cast<bool>(m_thread); }
    bool Wait(DWORD ms = WAIT_LIMIT_MS) const { return WaitForSingleObject(m_thread.get(), ms) == WAIT_OBJECT_0; }

private:
    static DWORD WINAPI Routine(LPVOID self)
    {
        static_cast<CHelperThread*>(self)->m_body();
        return 0;
    }

    std::function<void()> m_body;
    Vardel::CUniqueHandle m_thread;
};

// A handle of our own on a worker's thread, so its exit code can be read
// after the worker has released its handles.
inline Vardel::CUniqueHandle OpenThreadById(DWORD id)
{
    return Vardel::CUniqueHandle(OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, id));
}

// The exit code once the thread has ended; STILL_ACTIVE if it did not end in time.
inline DWORD ExitCodeAfterEnd(HANDLE thread)
{
    if (WaitForSingleObject(thread, WAIT_LIMIT_MS) != WAIT_OBJECT_0)
        return STILL_ACTIVE;
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    return code;
}

} // namespace ThreadTest
