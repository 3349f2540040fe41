#pragma once
// Tests that touch the real log folder and the registry keys the log files
// read: the folder starts empty, the settings and alarm keys absent, and
// everything is put back afterwards.

#include "LogEvent.h"
#include "TrevalonIAlarm.h"
#include "Registry.h"

#include "testsupport/TestSupport.h"

#include <boost/shared_ptr.hpp>
#include <memory>
#include <string>

// The folder as the tests name it; the code's doubled separator is the same.
const std::string kLogFolder = "C:\\Korvane\\VardelLogs";

inline std::string LogPath(const std::string& name)
{
    return kLogFolder + "\\" + name;
}

inline boost::shared_ptr<CLogEvent> MakeEvent(std::int32_t type, std::int32_t level, const std::string& source,
                                              const std::string& message, std::uint32_t time)
{
    return boost::shared_ptr<CLogEvent>(new CLogEvent(type, level, source, message, time));
}

class LogFolderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_settings.reset(new VardelTest::CRegistryKeyGuard(HKEY_LOCAL_MACHINE, SETTINGS_KEY));
        m_alarm.reset(new VardelTest::CRegistryKeyGuard(HKEY_LOCAL_MACHINE, ALARM_CONFIG_KEY));
        VardelTest::MakeEmptyFolder(kLogFolder);
    }
    void TearDown() override
    {
        VardelTest::RemoveTree(kLogFolder);
        m_alarm.reset();
        m_settings.reset();
    }

private:
    std::unique_ptr<VardelTest::CRegistryKeyGuard> m_settings;
    std::unique_ptr<VardelTest::CRegistryKeyGuard> m_alarm;
};
