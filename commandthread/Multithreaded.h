#pragma once
// Lockable objects of the thread and queue library, all behind one
// interface: Lock with a time-out in milliseconds (INFINITE for no limit),
// Unlock, and the kernel handle if there is one. Results are Win32 BOOLs.
// The wrappers add no locking of their own.

#include <windows.h>

#include <boost/noncopyable.hpp>

// Root of the family: owns one kernel handle, null until a derived class
// creates one.
class CMultithreaded : private boost::noncopyable {
public:
    CMultithreaded() noexcept = default;

    // Does nothing here.
    virtual BOOL Unlock();
    // TRUE only when the wait on the handle returns WAIT_OBJECT_0; a
    // time-out, an abandoned wait or a failure (a null handle) give FALSE.
    virtual BOOL Lock(DWORD timeout);
    virtual HANDLE GetHandle();
    // Closes the handle, if one was created.
    virtual ~CMultithreaded();

protected:
    HANDLE m_handle = nullptr;
};

// A process-local lock that the holding thread may enter again. It must be
// unlocked by the thread that locked it. The inherited handle stays null.
class CCriticalSectionWrapper : public CMultithreaded {
public:
    CCriticalSectionWrapper();
    ~CCriticalSectionWrapper() override;

    // Waits as long as it takes, whatever the time-out; always TRUE.
    BOOL Lock(DWORD timeout) override;
    BOOL Unlock() override;

private:
    CRITICAL_SECTION m_section;
    // Who entered last, for a debugger's eyes only; re-entries are not
    // counted, so an inner Unlock clears them while the lock is still held.
    int m_held = 0;
    DWORD m_holder = static_cast<DWORD>(-1);
};

// A counting semaphore with initial count I and maximum count M. It may be
// locked on one thread and unlocked on another. A failed creation is not
// reported: the handle stays null, Lock and Unlock then return FALSE.
template <LONG I, LONG M>
class CSemaphoreWrapper : public CMultithreaded {
    static_assert(0 <= I && I <= M && 0 < M, "initial count must lie in [0, maximum]");

public:
    explicit CSemaphoreWrapper(const char* name = nullptr)
    {
        m_handle = CreateSemaphoreA(nullptr, I, M, name);
    }

    // Adds one count; FALSE, with nothing changed, when the count is already M.
    BOOL Unlock() override
    {
        return ReleaseSemaphore(m_handle, 1, nullptr);
    }
};

// Holds a lock for one scope, given back on every way out.
class CScopedLock : private boost::noncopyable {
public:
    explicit CScopedLock(CMultithreaded& lock) : m_lock(lock) { m_locked = m_lock.Lock(INFINITE); }
    ~CScopedLock()
    {
        if (m_locked)
            m_lock.Unlock();
    }

private:
    CMultithreaded& m_lock;
    BOOL m_locked;
};
