#include "LogEvent.h"

#include <utility>

CLogEvent::CLogEvent(std::int32_t type, std::int32_t level, std::string source, std::string message,
                     std::uint32_t time)
    : m_type(type), m_message(std::move(message)), m_source(std::move(source)), m_level(level), m_time(time)
{
}

CLogEvent::~CLogEvent() = default;

std::string EventTypeName(std::int32_t type)
{
    switch (type) {
    case 1: return "INFORMATION";
    case 2: return "WARNING";
    case 3: return "ERROR";
    case 4: return "FATAL_ERROR";
    default: return "UNKNOWN_EVENT_TYPE";
    }
}

std::string EventLevelName(std::int32_t level)
{
    switch (level) {
    case 1: return "TRACE";
    case 2: return "DEBUG";
    case 3: return "RELEASE";
    default: return "UNKNOWN_LEVEL";
    }
}
