#pragma once
// The alarm record: one line of 8-bit text in the layout the monitoring
// product reads, "<stamp>(<computer>) (<instrument>#) [<type>] [<source>] <message>\n".

#include "LogEvent.h"

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
