#include "ServerLock.h"

namespace VardelServer {

namespace {
// One aligned 32-bit word, so that a plain read is atomic.
alignas(4) volatile LONG g_lockCount = 0;
} // namespace

LONG LockServer() noexcept
{
    return InterlockedIncrement(&g_lockCount);
}

LONG UnlockServer() noexcept
{
    return InterlockedDecrement(&g_lockCount);
}

LONG ServerLockCount() noexcept
{
    return g_lockCount;
}

} // namespace VardelServer
