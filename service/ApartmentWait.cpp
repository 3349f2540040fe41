#include "ApartmentWait.h"

#include <objbase.h>

namespace VardelEventLogger {

HRESULT WaitServingCalls(HANDLE handle)
{
    DWORD index = 0;
    HRESULT hr = CoWaitForMultipleHandles(COWAIT_DISPATCH_CALLS, INFINITE, 1, &handle, &index);
    if (hr != CO_E_NOTINITIALIZED)
        return hr;
    // No apartment on this thread, so no calls to serve.
    return WaitForSingleObject(handle, INFINITE) == WAIT_OBJECT_0 ? S_OK : HRESULT_FROM_WIN32(GetLastError());
}

} // namespace VardelEventLogger
