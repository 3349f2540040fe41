#pragma once
// Waiting on the server's main thread without shutting its clients out.

#include <windows.h>

namespace VardelEventLogger {

// Waits without limit until handle is signalled: S_OK then, or the failure
// of the wait itself. A replaceable step of the service's shutdown.
using HandleWaitFunction = HRESULT (*)(HANDLE handle);

// In a single-threaded apartment the incoming COM calls are dispatched
// while it waits, so that a client's call or release is answered at once;
// on any other thread it is a plain wait.
HRESULT WaitServingCalls(HANDLE handle);

} // namespace VardelEventLogger
