#pragma once
// What GoogleTest executables share on top of the test environment: exact
// HRESULT checks and the zone a test needs.

#include "testsupport/TestEnvironment.h"

#include <windows.h>
#include <gtest/gtest.h>
#include <string>

namespace VardelTest {

#define EXPECT_HR(expected, actual) \
    EXPECT_EQ(::VardelTest::HrText(expected), ::VardelTest::HrText(actual))
#define ASSERT_HR(expected, actual) \
    ASSERT_EQ(::VardelTest::HrText(expected), ::VardelTest::HrText(actual))

// The standard name of the zone this process runs in ("GMT Standard Time").
std::string CurrentZoneName();

// Tests that need a particular zone are registered with CTest under that TZ;
// run elsewhere (a bare run of the executable) they skip and say why.
#define VARDEL_REQUIRE_ZONE(name)                                                   \
    do {                                                                            \
        if (::VardelTest::CurrentZoneName() != (name))                              \
            GTEST_SKIP() << "needs the zone " << (name) << ", running in "          \
                         << ::VardelTest::CurrentZoneName();                        \
    } while (0)

} // namespace VardelTest
