#pragma once
// The one translation of exceptions into HRESULTs at the COM boundary.

#include <windows.h>

namespace VardelServer {

// Call only inside a catch block: bad_alloc gives E_OUTOFMEMORY, a
// CWin32Error the HRESULT of its code (E_FAIL for a code of 0, which would
// read as success), anything else E_FAIL.
HRESULT HResultFromCurrentException() noexcept;

} // namespace VardelServer
