#include "testsupport/TestSupport.h"

namespace VardelTest {

std::string CurrentZoneName()
{
    TIME_ZONE_INFORMATION tz = {};
    GetTimeZoneInformation(&tz);
    char name[64] = {};
    WideCharToMultiByte(CP_ACP, 0, tz.StandardName, -1, name, sizeof name, nullptr, nullptr);
    return name;
}

} // namespace VardelTest
