#pragma once
// A recording stand-in for the logging service, linked into the unit tests
// in place of the real one: it counts each operation, keeps the events it
// is given and can be told to throw from LogEvent.

#include <windows.h>
#include <unknwn.h>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace VardelTest {

struct CLoggedEvent {
    std::int32_t type;
    std::int32_t level;
    std::string source;
    std::uint32_t time;
    std::string message;
};

struct CFakeServiceRecord {
    int constructed = 0;
    int started = 0;
    int shutdowns = 0;
    int destroyed = 0;
    IUnknown* owner = nullptr;
    std::vector<std::string> calls; // "ctor", "StartLog", "LogEvent", "ShutdownLog", "dtor" in order
    std::vector<CLoggedEvent> events;
    std::function<void()> onLogEvent;  // runs before an event is recorded; may throw
    std::function<void()> onStartLog;  // may throw
    std::function<void()> onShutdownLog; // calls arriving while the real one drains
};

// Cleared by each test that uses it.
CFakeServiceRecord& FakeService();

} // namespace VardelTest
