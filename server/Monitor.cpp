#include "Monitor.h"

#include "ServerLock.h"

namespace VardelServer {

void WatchServer(const std::function<bool()>& hostRunning, const std::function<LONG()>& lockCount,
                 const std::function<void()>& pause)
{
    bool idle = false;
    while (hostRunning()) {
        pause();
        if (lockCount() != 0)
            idle = false;
        else if (idle)
            return;
        else
            idle = true;
    }
}

namespace {

DWORD WINAPI MonitorThread(void* parameter)
{
    const DWORD mainThread = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(parameter));
    WatchServer(HostEventExists, ServerLockCount, [] { Sleep(MONITOR_INTERVAL_MS); });
    PostThreadMessageA(mainThread, WM_QUIT, 0, 0);
    return 0;
}

} // namespace

bool StartMonitorThread(DWORD mainThread)
{
    DWORD id = 0;
    Vardel::CUniqueHandle thread(CreateThread(nullptr, 0, MonitorThread,
                                              reinterpret_cast<void*>(static_cast<ULONG_PTR>(mainThread)), 0, &id));
    return static_cast<bool>(thread);
}

} // namespace VardelServer
