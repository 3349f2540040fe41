#pragma once
// Forwards alarm events (types 3 and 4) to the monitoring product's alarm
// text file. Runs on the log worker thread, one object per event; keeps no
// state and reads its configuration afresh for every alarm. Never throws:
// an alarm that cannot be written is dropped.

#include "FixedNames.h"
#include "LogEvent.h"

#include <windows.h>

#include <boost/shared_ptr.hpp>
#include <string>

using Vardel::ALARM_CONFIG_KEY;
using Vardel::ALARM_FILE_VALUE;
using Vardel::ALARM_MUTEX_NAME;
using Vardel::INSTRUMENT_KEY;
using Vardel::INSTRUMENT_VALUE;

class CTrevalonIAlarm {
public:
    CTrevalonIAlarm();
    virtual ~CTrevalonIAlarm();

    // Appends the alarm record for types 3 and 4 when "AlarmTxtFile" names a
    // file (a REG_SZ, or a REG_EXPAND_SZ after expansion; any other type is
    // unreadable); every failure drops the alarm silently.
    void ForwardEvent(boost::shared_ptr<CLogEvent> event) noexcept;
};

// The alarm file that "AlarmTxtFile" names, from its stored text and
// registry type; empty when the value names none (absent, empty, or a type
// other than REG_SZ and REG_EXPAND_SZ).
std::string AlarmFilePath(const std::string& stored, DWORD type);
