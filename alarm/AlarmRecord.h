#pragma once
// The alarm record: one line of 8-bit text in the layout the monitoring
// product reads, "<stamp>(<computer>) (<instrument>#) [<type>] [<source>] <message>\n".

#include "BuildSettings.h"
#include "LogEvent.h"

#include <cstdint>
#include <string>

namespace Vardel {

// Source and message are copied byte for byte: line breaks in them split the
// alarm over several lines, nothing is escaped.
std::string BuildAlarmRecord(const CLogEvent& event, const std::string& timeStamp, const std::string& computerName,
                             const std::string& instrumentName);

// This machine's NetBIOS name, or empty text when it does not fit 15
// characters or cannot be read.
std::string AlarmComputerName();

} // namespace Vardel

// "2011-03-03T14:05:09+01:00" in the process's local zone, the offset that of
// the instant itself (daylight saving included). The count is unsigned:
// 2^31 and above are the years 2038 to 2106. Empty only if the run-time
// refuses the conversion.
std::string FormatAlarmTimeStamp(std::uint32_t time);
