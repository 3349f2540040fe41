#pragma once
// Forwards alarm events (types 3 and 4) to the monitoring product's alarm
// text file. Runs on the log worker thread, one object per event; keeps no
// state and reads its configuration afresh for every alarm. Never throws:
// an alarm that cannot be written is dropped.

#include "LogEvent.h"

#include <boost/shared_ptr.hpp>
#include <string>

constexpr const char* ALARM_CONFIG_KEY = "SOFTWARE\\Dunmere\\Trevalon\\Configuration";
constexpr const char* ALARM_FILE_VALUE = "AlarmTxtFile";
constexpr const char* INSTRUMENT_KEY = "SOFTWARE\\Pellucor\\";
constexpr const char* INSTRUMENT_VALUE = "InstrumentName";
constexpr const char* ALARM_MUTEX_NAME = "DUNMERETREVALONALARMLOG";

class CTrevalonIAlarm {
public:
    CTrevalonIAlarm();
    virtual ~CTrevalonIAlarm();

    // Appends the alarm record for types 3 and 4 when "AlarmTxtFile" names a
    // file (a REG_SZ, or a REG_EXPAND_SZ after expansion; any other type is
    // unreadable); every failure drops the alarm silently.
    void ForwardEvent(boost::shared_ptr<CLogEvent> event) noexcept;
};
