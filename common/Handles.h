#pragma once
// One small owner per kind of platform resource, each closing exactly once.
// Move-only; get() to use, reset() to close early, release() to hand over.
// Owners of handles whose failure value is INVALID_HANDLE_VALUE treat it as
// empty however it arrives (constructor, reset() or an API through put()).

#include <windows.h>
#include <cstdio>
#include <utility>

namespace Vardel {

template <typename T, typename Close, T Invalid, bool InvalidHandleValueIsEmpty = false>
class CUniqueResource {
public:
    CUniqueResource() noexcept = default;
    explicit CUniqueResource(T value) noexcept : m_value(Held(value) ? value : Invalid) {}
    ~CUniqueResource() { reset(); }

    CUniqueResource(CUniqueResource&& other) noexcept : m_value(other.release()) {}
    CUniqueResource& operator=(CUniqueResource&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    CUniqueResource(const CUniqueResource&) = delete;
    CUniqueResource& operator=(const CUniqueResource&) = delete;

    T get() const noexcept { return Held(m_value) ? m_value : Invalid; }
    explicit operator bool() const noexcept { return Held(m_value); }

    void reset(T value = Invalid) noexcept
    {
        T old = m_value;
        m_value = Held(value) ? value : Invalid;
        if (Held(old))
            Close()(old);
    }
    T release() noexcept
    {
        const T value = std::exchange(m_value, Invalid);
        return Held(value) ? value : Invalid;
    }
    // For out parameters: closes what is held and exposes the slot.
    T* put() noexcept
    {
        reset();
        return &m_value;
    }

private:
    static bool Held(T value) noexcept
    {
        if constexpr (InvalidHandleValueIsEmpty)
            return value != Invalid && value != INVALID_HANDLE_VALUE;
        else
            return value != Invalid;
    }

    T m_value = Invalid;
};

struct CCloseHandle { void operator()(HANDLE h) const noexcept { ::CloseHandle(h); } };
struct CFindClose { void operator()(HANDLE h) const noexcept { ::FindClose(h); } };
struct CFindCloseChange { void operator()(HANDLE h) const noexcept { ::FindCloseChangeNotification(h); } };
struct CRegCloseKey { void operator()(HKEY h) const noexcept { ::RegCloseKey(h); } };
struct CFClose { void operator()(FILE* f) const noexcept { std::fclose(f); } };

// Kernel objects whose failure value is null (events, mutexes, threads).
using CUniqueHandle = CUniqueResource<HANDLE, CCloseHandle, nullptr>;
// Search handles, whose failure value is INVALID_HANDLE_VALUE.
using CUniqueFind = CUniqueResource<HANDLE, CFindClose, nullptr, true>;
// File handles from CreateFile (and snapshots), whose failure value is INVALID_HANDLE_VALUE.
using CUniqueFileHandle = CUniqueResource<HANDLE, CCloseHandle, nullptr, true>;
// Folder change notifications, whose failure value is INVALID_HANDLE_VALUE.
using CUniqueChangeNotification = CUniqueResource<HANDLE, CFindCloseChange, nullptr, true>;
using CUniqueHKey = CUniqueResource<HKEY, CRegCloseKey, nullptr>;
using CUniqueFile = CUniqueResource<FILE*, CFClose, nullptr>;
struct CCloseServiceHandle { void operator()(SC_HANDLE h) const noexcept { ::CloseServiceHandle(h); } };
// The service manager and its services (advapi32).
using CUniqueServiceHandle = CUniqueResource<SC_HANDLE, CCloseServiceHandle, nullptr>;
struct CFreeLibrary { void operator()(HMODULE h) const noexcept { ::FreeLibrary(h); } };
using CUniqueModule = CUniqueResource<HMODULE, CFreeLibrary, nullptr>;

// Runs a one-off clean-up when the scope ends, however it ends; release()
// cancels it. The clean-up must not throw.
template <typename F>
class CScopeExit {
public:
    explicit CScopeExit(F undo) noexcept : m_undo(std::move(undo)) {}
    ~CScopeExit()
    {
        if (m_armed)
            m_undo();
    }
    CScopeExit(const CScopeExit&) = delete;
    CScopeExit& operator=(const CScopeExit&) = delete;
    void release() noexcept { m_armed = false; }

private:
    F m_undo;
    bool m_armed = true;
};
template <typename F>
CScopeExit<F> ScopeExit(F undo) noexcept
{
    return CScopeExit<F>(std::move(undo));
}

// Releases a mutex this thread owns when it goes out of scope.
class CMutexOwnership {
public:
    CMutexOwnership() noexcept = default;
    explicit CMutexOwnership(HANDLE mutex) noexcept : m_mutex(mutex) {}
    ~CMutexOwnership()
    {
        if (m_mutex)
            ::ReleaseMutex(m_mutex);
    }
    CMutexOwnership(const CMutexOwnership&) = delete;
    CMutexOwnership& operator=(const CMutexOwnership&) = delete;

private:
    HANDLE m_mutex = nullptr;
};

// A named mutex, created when absent, taken by this thread and held until
// Release() or destruction. Held() is false when it could not be created or
// taken within timeoutMs; an abandoned mutex counts as taken.
class CHeldMutex {
public:
    explicit CHeldMutex(const char* name, DWORD timeoutMs = INFINITE) noexcept
        : CHeldMutex(CUniqueHandle(::CreateMutexA(nullptr, FALSE, name)), timeoutMs)
    {
    }
    // Waits for a mutex already opened; WaitResult() tells how the wait ended.
    CHeldMutex(CUniqueHandle mutex, DWORD timeoutMs) noexcept : m_mutex(std::move(mutex))
    {
        if (m_mutex) {
            m_wait = ::WaitForSingleObject(m_mutex.get(), timeoutMs);
            m_held = m_wait == WAIT_OBJECT_0 || m_wait == WAIT_ABANDONED;
        }
    }
    ~CHeldMutex() { Release(); }
    CHeldMutex(const CHeldMutex&) = delete;
    CHeldMutex& operator=(const CHeldMutex&) = delete;

    bool Held() const noexcept { return m_held; }
    DWORD WaitResult() const noexcept { return m_wait; }
    void Release() noexcept
    {
        if (m_held)
            ::ReleaseMutex(m_mutex.get());
        m_held = false;
    }

private:
    CUniqueHandle m_mutex;
    DWORD m_wait = WAIT_FAILED;
    bool m_held = false;
};

} // namespace Vardel
