#pragma once
// Tests that touch the real log folder and the registry keys the log files
// read: the folder starts empty, the settings and alarm keys absent, and
// everything is put back afterwards.

#include "LogEvent.h"
#include "TrevalonIAlarm.h"
#include "Registry.h"

#include "testsupport/RegistryViews.h"
#include "testsupport/TestSupport.h"

#include <boost/shared_ptr.hpp>
#include <memory>
#include <string>

// In the folder as the tests name it; the code's doubled separator is the same.
inline std::string LogPath(const std::string& name)
{
    return std::string(VardelTest::Expected::LOG_FOLDER) + "\\" + name;
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
        m_settings.reset(new VardelTest::CBothViewsKeyGuard(VardelTest::Expected::SETTINGS_KEY));
        m_alarm.reset(new VardelTest::CBothViewsKeyGuard(VardelTest::Expected::ALARM_KEY));
        VardelTest::MakeEmptyFolder(VardelTest::Expected::LOG_FOLDER);
    }
    void TearDown() override
    {
        VardelTest::RemoveTree(VardelTest::Expected::LOG_FOLDER);
        m_alarm.reset();
        m_settings.reset();
    }

private:
    std::unique_ptr<VardelTest::CBothViewsKeyGuard> m_settings;
    std::unique_ptr<VardelTest::CBothViewsKeyGuard> m_alarm;
};
