#pragma once
// A bounded, blocking FIFO for any number of producers and consumers.
// CThreadMonitor guards it with three semaphores: free places, queued items
// and a 0/1 semaphore as mutex. A counting semaphore is always taken before
// the mutex, and the other counting semaphore is given before the mutex is
// released, so no thread waits for space or for an item while holding the
// mutex. Only the wait for space or for an item honours a time-out.

#include <windows.h>

#include "Multithreaded.h"

#include <boost/noncopyable.hpp>
#include <deque>

// Lives as a member of its list and is never deleted through a pointer, so
// it has no virtual destructor.
template <LONG capacity>
class CThreadMonitor : private boost::noncopyable {
public:
    CThreadMonitor() = default;

    // Takes a free place, then the mutex. FALSE when no place came free in
    // time; nothing is held then.
    virtual BOOL BeginPut(DWORD timeout) { return Begin(m_free, timeout); }
    // Takes a queued item, then the mutex; FALSE when none came in time.
    virtual BOOL BeginGet(DWORD timeout) { return Begin(m_queued, timeout); }
    // After appending: one more item, then the mutex is given back.
    virtual void EndPut()
    {
        m_queued.Unlock();
        m_mutex.Unlock();
    }
    // After removing: one more free place, then the mutex is given back.
    virtual void EndGet()
    {
        m_free.Unlock();
        m_mutex.Unlock();
    }
    virtual BOOL Unlock() { return m_mutex.Unlock(); }
    virtual BOOL Lock() { return m_mutex.Lock(INFINITE); }

private:
    template <typename S>
    BOOL Begin(S& count, DWORD timeout)
    {
        if (!count.Lock(timeout))
            return FALSE;
        if (m_mutex.Lock(INFINITE))
            return TRUE;
        // Only a broken mutex gets here: hand the count back rather than
        // lose it for good.
        DWORD error = GetLastError();
        count.Unlock();
        SetLastError(error);
        return FALSE;
    }

    // Declared in creation order; destroyed mutex first.
    CSemaphoreWrapper<capacity, capacity> m_free;
    CSemaphoreWrapper<0, capacity> m_queued;
    CSemaphoreWrapper<1, 1> m_mutex;
};

// The queue itself. T is held by value; for the command list it is a raw
// pointer, and the list never owns what it points to. Items still queued at
// destruction are dropped without any action on them. The third argument
// has no effect; it is kept for the declared type CMonitorList<T*, 10000, 1>.
template <typename T, LONG capacity, int n>
class CMonitorList : private boost::noncopyable {
public:
    CMonitorList() = default;
    virtual ~CMonitorList() = default;

    // Appends a copy of item, waiting up to timeout for a free place. FALSE
    // with the list unchanged when none came free in time. A copy or an
    // allocation that throws leaves the list unchanged and the monitor free.
    virtual BOOL Push(const T& item, DWORD timeout)
    {
        if (!m_monitor.BeginPut(timeout))
            return FALSE;
        CUndo undo(m_monitor, &Monitor::EndGet); // gives the place back
        m_items.push_back(item);
        undo.Dismiss();
        m_monitor.EndPut();
        return TRUE;
    }

    // Moves the oldest item into out, waiting up to timeout for one. FALSE
    // when none came in time; out is not written then.
    virtual BOOL Pop(T& out, DWORD timeout)
    {
        if (!m_monitor.BeginGet(timeout))
            return FALSE;
        CUndo undo(m_monitor, &Monitor::EndPut); // gives the item back
        out = m_items.front();
        undo.Dismiss();
        m_items.pop_front();
        m_monitor.EndGet();
        return TRUE;
    }

    virtual int GetCount()
    {
        m_monitor.Lock();
        int count = static_cast<int>(m_items.size());
        m_monitor.Unlock();
        return count;
    }

private:
    using Monitor = CThreadMonitor<capacity>;

    // Ends a Begin with the opposite End when the step between them throws,
    // so the semaphores' counts stay as they were.
    class CUndo {
    public:
        CUndo(Monitor& monitor, void (Monitor::*end)()) : m_monitor(monitor), m_end(end) {}
        ~CUndo()
        {
            if (m_end)
                (m_monitor.*m_end)();
        }
        void Dismiss() { m_end = nullptr; }

    private:
        Monitor& m_monitor;
        void (Monitor::*m_end)();
    };

    std::deque<T> m_items;
    Monitor m_monitor;
};
