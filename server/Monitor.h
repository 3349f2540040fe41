#pragma once
// The monitor decides when a running server should end: as soon as the
// host product's named event is gone, or after two consecutive samples,
// taken one pause apart, that saw no server lock.

#include "HostEvent.h"

#include <windows.h>
#include <functional>

namespace VardelServer {

using Vardel::HOST_EVENT_NAME;
constexpr DWORD MONITOR_INTERVAL_MS = 10000;

using Vardel::HostEventExists;

// Returns when the server should end. Checks the host, pauses, samples the
// lock count, and so on; the server's own monitor passes HostEventExists,
// ServerLockCount and a 10000 ms sleep.
void WatchServer(const std::function<bool()>& hostRunning, const std::function<LONG()>& lockCount,
                 const std::function<void()>& pause);

// Starts the monitor thread, which posts WM_QUIT to mainThread when the
// server should end. Returns false (GetLastError is set) if no thread could
// be started.
bool StartMonitorThread(DWORD mainThread);

} // namespace VardelServer
