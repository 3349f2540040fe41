#pragma once
// The system's fixed names as the tests expect them, spelled here and
// nowhere else in the tests, and independently of the product's constants
// (FixedNames.h): a wrong constant then fails a test instead of agreeing
// with itself.

namespace VardelTest {
namespace Expected {

constexpr const char* HOST_EVENT = "Global\\I AM NOT A KORVANE COM SERVER";
constexpr const char* ALARM_MUTEX = "DUNMERETREVALONALARMLOG";
constexpr const char* ALARM_KEY = "SOFTWARE\\Dunmere\\Trevalon\\Configuration";
constexpr const char* ALARM_FILE_VALUE = "AlarmTxtFile";
constexpr const char* INSTRUMENT_KEY = "SOFTWARE\\Pellucor";
constexpr const char* INSTRUMENT_VALUE = "InstrumentName";
constexpr const char* SETTINGS_KEY = "SOFTWARE\\Pellucor\\Vardels\\VardelEventLogging";
constexpr const char* EXPIRE_DAYS_VALUE = "ExpireLogsAfter";
constexpr const char* LOG_FOLDER = "C:\\Korvane\\VardelLogs";
constexpr const char* KEPT_LINES_FILE = "VardelKeptLines.dat"; // in LOG_FOLDER
constexpr const char* KEPT_LINES_NEW_FILE = "VardelKeptLines.new";
constexpr const char* SHIPPER_SERVICE = "VardelShipper";
constexpr const char* SHIPPER_STATE_FILE = "VardelShipper.places"; // in LOG_FOLDER
constexpr const char* SHIPPER_LOG_FILE = "VardelShipper.log";
constexpr const char* SHIPPER_STATUS_FILE = "VardelShipper.status";
constexpr const char* SHIPPER_COLLECTOR_VALUE = "ShipperCollector"; // under SETTINGS_KEY
constexpr const char* SHIPPER_CA_VALUE = "ShipperCA";
constexpr const char* SHIPPER_CERTIFICATE_VALUE = "ShipperCertificate";
constexpr const char* SHIPPER_HOST_VALUE = "ShipperHost";
constexpr const char* SHIPPER_PLAIN_VALUE = "ShipperPlain";
constexpr const char* SERVER_SOURCE = "VardelEventLogger";
constexpr const char* PROGID = "VardelEventLogger.VardelEventLog";
constexpr const char* VERSIONED_PROGID = "VardelEventLogger.VardelEventLog.1";
constexpr const char* APPID_TEXT = "{DFC77DFF-0CE4-456B-B8F7-CC9DD5D78C32}";

} // namespace Expected
} // namespace VardelTest
