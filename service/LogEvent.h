#pragma once
// One reported event, exactly as the caller gave it. Built on the caller's
// thread, then read (and its message cleaned) only by the worker thread;
// always held through a boost::shared_ptr.

#include <cstddef>
#include <cstdint>
#include <string>

class CLogEvent {
public:
    // Mind the order: source before message here, message before source in
    // the fields. The strings are taken over, so that a large message is
    // held once.
    CLogEvent(std::int32_t type, std::int32_t level, std::string source, std::string message, std::uint32_t time);
    virtual ~CLogEvent();

    std::int32_t m_type;
    std::string m_message;
    std::string m_source;
    std::int32_t m_level;
    std::uint32_t m_time;
};

// Types 3 and 4 are alarms; level 4 keeps an event out of the log file.
inline bool IsAlarmType(std::int32_t type) { return type >= 3 && type <= 4; }
constexpr std::int32_t LEVEL_NOT_LOGGED = 4;
// The codes of the lines the server writes about its own log.
constexpr std::int32_t EVENT_TYPE_WARNING = 2;
constexpr std::int32_t EVENT_LEVEL_RELEASE = 3;

// What an event's line holds of a shared budget (the queued text). Goes
// with the line when the log file refuses it and the line is kept;
// destroyed, which gives the share back, when the line is written or dropped.
class CLineCharge {
public:
    virtual ~CLineCharge() = default;
    // The line is kept rather than queued from now on, and takes bytes of
    // memory (its text and bookkeeping) until it goes.
    virtual void Kept(std::size_t bytes) = 0;
};

std::string EventTypeName(std::int32_t type);
std::string EventLevelName(std::int32_t level);
