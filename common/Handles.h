#pragma once
// One small owner per kind of platform resource, each closing exactly once.
// Move-only; get() to use, reset() to close early, release() to hand over.

#include <windows.h>
#include <cstdio>
#include <utility>

namespace Vardel {

template <typename T, typename Close, T Invalid>
class CUniqueResource {
public:
    CUniqueResource() noexcept = default;
    explicit CUniqueResource(T value) noexcept : m_value(value) {}
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

    T get() const noexcept { return m_value; }
    explicit operator bool() const noexcept { return m_value != Invalid; }

    void reset(T value = Invalid) noexcept
    {
        T old = m_value;
        m_value = value;
        if (old != Invalid)
            Close()(old);
    }
    T release() noexcept { return std::exchange(m_value, Invalid); }
    // For out parameters: closes what is held and exposes the slot.
    T* put() noexcept
    {
        reset();
        return &m_value;
    }

private:
    T m_value = Invalid;
};

struct CCloseHandle { void operator()(HANDLE h) const noexcept { ::CloseHandle(h); } };
struct CFindClose { void operator()(HANDLE h) const noexcept { ::FindClose(h); } };
struct CRegCloseKey { void operator()(HKEY h) const noexcept { ::RegCloseKey(h); } };
struct CFClose { void operator()(FILE* f) const noexcept { std::fclose(f); } };

// Kernel objects whose failure value is null (events, mutexes, threads).
using CUniqueHandle = CUniqueResource<HANDLE, CCloseHandle, nullptr>;
// Search handles, whose failure value is INVALID_HANDLE_VALUE.
class CUniqueFind : public CUniqueResource<HANDLE, CFindClose, nullptr> {
public:
    CUniqueFind() noexcept = default;
    explicit CUniqueFind(HANDLE h) noexcept
        : CUniqueResource(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
};
// File handles from CreateFile, whose failure value is INVALID_HANDLE_VALUE.
class CUniqueFileHandle : public CUniqueResource<HANDLE, CCloseHandle, nullptr> {
public:
    CUniqueFileHandle() noexcept = default;
    explicit CUniqueFileHandle(HANDLE h) noexcept
        : CUniqueResource(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
};
using CUniqueHKey = CUniqueResource<HKEY, CRegCloseKey, nullptr>;
using CUniqueFile = CUniqueResource<FILE*, CFClose, nullptr>;

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

} // namespace Vardel
