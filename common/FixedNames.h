#pragma once
// The names this system shares with the host product, the monitoring
// product, its clients and the file system. Each is written here only; the
// server, the tools and the benchmarks use these constants. Tests keep an
// independent spelling of each (testsupport/ExpectedNames.h) so that a
// wrong constant shows.

namespace Vardel {

// Created by the host product while it runs; the server lives only while it exists.
constexpr const char* HOST_EVENT_NAME = "Global\\I AM NOT A KORVANE COM SERVER";

// The monitoring product's alarm file: its path, and the mutex every writer takes.
constexpr const char* ALARM_CONFIG_KEY = "SOFTWARE\\Dunmere\\Trevalon\\Configuration"; // under HKLM
constexpr const char* ALARM_FILE_VALUE = "AlarmTxtFile";
constexpr const char* ALARM_MUTEX_NAME = "DUNMERETREVALONALARMLOG";
// The instrument named in every alarm record (the trailing backslash is the key's own).
constexpr const char* INSTRUMENT_KEY = "SOFTWARE\\Pellucor\\"; // under HKLM
constexpr const char* INSTRUMENT_VALUE = "InstrumentName";

// The log files' one setting.
constexpr const char* SETTINGS_KEY = "SOFTWARE\\Pellucor\\Vardels\\VardelEventLogging"; // under HKLM
constexpr const char* EXPIRE_DAYS_VALUE = "ExpireLogsAfter";

// The log folder, as a path for the file system.
constexpr const char* LOG_FOLDER_PATH = "C:\\Korvane\\VardelLogs";
// The daily file and the folder as the log writer spells them: two
// backslashes after the drive, which the file system reads as one.
constexpr const char* LOG_FILE_PATTERN = "C:\\\\Korvane\\VardelLogs\\Log_%Y_%M_%D.log";
constexpr const char* LOG_FOLDER = "C:\\\\Korvane\\VardelLogs\\";
constexpr const char* LOG_FILE_MASK = "Log_*_*_*.log";
// Where lines still refused when the server ends are set down for the next
// start, and the name it is written under before it replaces that file.
// Neither matches the day files' mask, so expiry and collection pass them by.
constexpr const char* KEPT_LINES_FILE = "C:\\\\Korvane\\VardelLogs\\VardelKeptLines.dat";
constexpr const char* KEPT_LINES_NEW_FILE = "C:\\\\Korvane\\VardelLogs\\VardelKeptLines.new";
// The source of the lines the server writes about its own log.
constexpr const char* SERVER_SOURCE = "VardelEventLogger";

// The shipper: its service, and the file of its places in the log folder
// (the day files' mask passes it by).
constexpr const char* SHIPPER_SERVICE_NAME = "VardelShipper";
constexpr const char* SHIPPER_DISPLAY_NAME = "VardelEventLogger shipper";
constexpr const char* SHIPPER_DESCRIPTION = "Sends the VardelEventLogger day files to the site's collector over RELP.";
constexpr const char* SHIPPER_STATE_FILE = "VardelShipper.places";
// What the service said in its last run, beside its places.
constexpr const char* SHIPPER_LOG_FILE = "VardelShipper.log";
// What it tells vardel-log --status, beside its places.
constexpr const char* SHIPPER_STATUS_FILE = "VardelShipper.status";
// Its settings, values of SETTINGS_KEY: the collector's host:port, the
// site CA's and this PC's certificates, the host name the records carry
// (the computer's when absent), and plain RELP where set to 1.
constexpr const char* SHIPPER_COLLECTOR_VALUE = "ShipperCollector";
constexpr const char* SHIPPER_CA_VALUE = "ShipperCA";
constexpr const char* SHIPPER_CERTIFICATE_VALUE = "ShipperCertificate";
constexpr const char* SHIPPER_HOST_VALUE = "ShipperHost";
constexpr const char* SHIPPER_PLAIN_VALUE = "ShipperPlain";

// The class's programmatic identifiers (the class identifier itself comes from the IDL).
constexpr const char* PROGID = "VardelEventLogger.VardelEventLog";
constexpr const char* VERSIONED_PROGID = "VardelEventLogger.VardelEventLog.1";

} // namespace Vardel
