#pragma once
// The server lock count: references on the shared object (the platform's,
// on behalf of clients, and the log writer's while events are pending),
// live connection-point enumerators and LockServer locks. Changed only by
// atomic increment and decrement from any thread; the monitor thread reads
// it to decide whether the server is idle.

#include <windows.h>

namespace VardelServer {

LONG LockServer() noexcept;   // returns the new count
LONG UnlockServer() noexcept; // returns the new count
LONG ServerLockCount() noexcept;

} // namespace VardelServer
