#pragma once
// The server process: registers, unregisters or serves, chosen by the
// command line, and returns the process exit code.

#include <windows.h>

namespace VardelServer {

// Registering: the registration's HRESULT (0 on success). Unregistering
// and serving: 0. Serving returns once the monitor has asked the main
// thread to quit and the shared object has been torn down.
int RunServerProcess(HINSTANCE instance);

} // namespace VardelServer
