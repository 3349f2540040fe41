#include "AlarmRecord.h"

#include <windows.h>

namespace Vardel {

std::string BuildAlarmRecord(const CLogEvent& event, const std::string& timeStamp, const std::string& computerName,
                             const std::string& instrumentName)
{
    std::string record;
    record.reserve(timeStamp.size() + computerName.size() + instrumentName.size() + event.m_source.size() +
                   event.m_message.size() + 32);
    record += timeStamp;
    record += '(';
    record += computerName;
    record += ") (";
    record += instrumentName;
    record += "#) [";
    record += EventTypeName(event.m_type);
    record += "] [";
    record += event.m_source;
    record += "] ";
    record += event.m_message;
    record += '\n';
    return record;
}

std::string AlarmComputerName()
{
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    if (!::GetComputerNameA(name, &size))
        return std::string();
    return std::string(name, size < sizeof name ? size : sizeof name - 1);
}

} // namespace Vardel
