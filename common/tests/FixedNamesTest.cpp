// The product's fixed names against the tests' own spelling of them.

#include "FixedNames.h"
#include "testsupport/TestSupport.h"

#include <string>

TEST(FixedNames, MatchTheNamesPeersAndFilesRelyOn)
{
    namespace E = VardelTest::Expected;
    const struct {
        const char* product;
        std::string expected;
    } names[] = {
        {Vardel::HOST_EVENT_NAME, E::HOST_EVENT},
        {Vardel::ALARM_MUTEX_NAME, E::ALARM_MUTEX},
        {Vardel::ALARM_CONFIG_KEY, E::ALARM_KEY},
        {Vardel::ALARM_FILE_VALUE, E::ALARM_FILE_VALUE},
        {Vardel::INSTRUMENT_KEY, E::INSTRUMENT_KEY + std::string("\\")},
        {Vardel::INSTRUMENT_VALUE, E::INSTRUMENT_VALUE},
        {Vardel::SETTINGS_KEY, E::SETTINGS_KEY},
        {Vardel::EXPIRE_DAYS_VALUE, E::EXPIRE_DAYS_VALUE},
        {Vardel::LOG_FOLDER_PATH, E::LOG_FOLDER},
        {Vardel::LOG_FOLDER, "C:\\\\Korvane\\VardelLogs\\"},
        {Vardel::LOG_FILE_PATTERN, "C:\\\\Korvane\\VardelLogs\\Log_%Y_%M_%D.log"},
        {Vardel::LOG_FILE_MASK, "Log_*_*_*.log"},
        {Vardel::KEPT_LINES_FILE, "C:\\\\Korvane\\VardelLogs\\" + std::string(E::KEPT_LINES_FILE)},
        {Vardel::KEPT_LINES_NEW_FILE, "C:\\\\Korvane\\VardelLogs\\" + std::string(E::KEPT_LINES_NEW_FILE)},
        {Vardel::SHIPPER_SERVICE_NAME, E::SHIPPER_SERVICE},
        {Vardel::SHIPPER_STATE_FILE, E::SHIPPER_STATE_FILE},
        {Vardel::SHIPPER_LOG_FILE, E::SHIPPER_LOG_FILE},
        {Vardel::SHIPPER_STATUS_FILE, E::SHIPPER_STATUS_FILE},
        {Vardel::SHIPPER_COLLECTOR_VALUE, E::SHIPPER_COLLECTOR_VALUE},
        {Vardel::SHIPPER_CA_VALUE, E::SHIPPER_CA_VALUE},
        {Vardel::SHIPPER_CERTIFICATE_VALUE, E::SHIPPER_CERTIFICATE_VALUE},
        {Vardel::SHIPPER_HOST_VALUE, E::SHIPPER_HOST_VALUE},
        {Vardel::SHIPPER_PLAIN_VALUE, E::SHIPPER_PLAIN_VALUE},
        {Vardel::PROGID, E::PROGID},
        {Vardel::VERSIONED_PROGID, E::VERSIONED_PROGID},
    };
    for (const auto& name : names)
        EXPECT_EQ(name.expected, name.product);
}
