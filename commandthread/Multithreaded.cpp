#include "Multithreaded.h"

BOOL CMultithreaded::Unlock()
{
    return TRUE;
}

BOOL CMultithreaded::Lock(DWORD timeout)
{
    return WaitForSingleObject(m_handle, timeout) == WAIT_OBJECT_0;
}

HANDLE CMultithreaded::GetHandle()
{
    return m_handle;
}

CMultithreaded::~CMultithreaded()
{
    // A null handle is skipped rather than handed to CloseHandle, which
    // raises an invalid-handle exception under a debugger.
    if (m_handle)
        CloseHandle(m_handle);
}

CCriticalSectionWrapper::CCriticalSectionWrapper()
{
    InitializeCriticalSection(&m_section);
}

CCriticalSectionWrapper::~CCriticalSectionWrapper()
{
    DeleteCriticalSection(&m_section);
}

BOOL CCriticalSectionWrapper::Lock(DWORD)
{
    EnterCriticalSection(&m_section);
    m_holder = GetCurrentThreadId();
    m_held = 1;
    return TRUE;
}

BOOL CCriticalSectionWrapper::Unlock()
{
    // Cleared while still inside, so no other thread sees this one's id.
    m_held = 0;
    m_holder = static_cast<DWORD>(-1);
    LeaveCriticalSection(&m_section);
    return TRUE;
}
