#include "AlarmRecord.h"

#include <windows.h>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <time.h>

namespace {

// Minutes east of UTC, from the local and UTC breakdowns of one instant.
// The two may fall on different days, and then on different years.
int MinutesEastOfUtc(const std::tm& local, const std::tm& utc)
{
    int days = local.tm_yday - utc.tm_yday;
    if (local.tm_year != utc.tm_year)
        days = local.tm_year < utc.tm_year ? -1 : 1;
    return (days * 24 + local.tm_hour - utc.tm_hour) * 60 + local.tm_min - utc.tm_min;
}

} // namespace

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

std::string FormatAlarmTimeStamp(std::uint32_t time)
{
    // Unsigned and converted in 64 bits, like the log line's time.
    const __time64_t instant = time;
    std::tm local = {}, utc = {};
    if (_localtime64_s(&local, &instant) != 0 || _gmtime64_s(&utc, &instant) != 0)
        return std::string();

    char text[64];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    if (length == 0)
        return std::string();
    const int east = MinutesEastOfUtc(local, utc);
    const int magnitude = std::abs(east);
    std::snprintf(text + length, sizeof text - length, "%c%02d:%02d", east < 0 ? '-' : '+', magnitude / 60,
                  magnitude % 60);
    return text;
}
