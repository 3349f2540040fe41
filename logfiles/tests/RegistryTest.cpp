// ExpireLogsAfter as read from the real registry of the prefix.
#include "Registry.h"

#include "Handles.h"
#include "RegistryText.h"
#include "testsupport/RegistryViews.h"
#include "testsupport/TestSupport.h"

#include <sddl.h>
#include <utility>

using namespace VardelTest;

namespace {

class ExpireDaysTest : public ::testing::Test {
protected:
    // Both views; the 32-bit one is read first.
    CBothViewsKeyGuard m_guard{Expected::SETTINGS_KEY};
    CSoftwareView m_view32{KEY_WOW64_32KEY};

    static std::int32_t DaysFromText(const std::string& text)
    {
        SetRegString(HKEY_LOCAL_MACHINE, Expected::SETTINGS_KEY, Expected::EXPIRE_DAYS_VALUE, text);
        return LoadExpireDays();
    }
};

// Replaces the key's access list by an SDDL one.
LONG SetKeyAccess(const char* sddl)
{
    Vardel::CUniqueHKey key;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, Expected::SETTINGS_KEY, 0, WRITE_DAC, key.put());
    if (rc != ERROR_SUCCESS)
        return rc;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor, nullptr))
        return static_cast<LONG>(GetLastError());
    rc = RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor);
    LocalFree(descriptor);
    return rc;
}

} // namespace

TEST_F(ExpireDaysTest, TextIsReadAsADecimalNumber)
{
    EXPECT_EQ(7, DaysFromText("7"));
    EXPECT_EQ(-1, DaysFromText("-1"));
    EXPECT_EQ(0, DaysFromText("0"));
    EXPECT_EQ(7, DaysFromText(" 7 days"));
    EXPECT_EQ(12, DaysFromText("+12"));
    EXPECT_EQ(0, DaysFromText("abc"));
    EXPECT_EQ(0, DaysFromText(""));
}

TEST_F(ExpireDaysTest, ANumberIsTakenAsItsDaysOtherTypesThroughTheirBytes)
{
    SetRegDword(HKEY_LOCAL_MACHINE, Expected::SETTINGS_KEY, Expected::EXPIRE_DAYS_VALUE, 7);
    EXPECT_EQ(7, LoadExpireDays());
    SetRegDword(HKEY_LOCAL_MACHINE, Expected::SETTINGS_KEY, Expected::EXPIRE_DAYS_VALUE, 50); // as text: '2', 0, 0, 0
    EXPECT_EQ(50, LoadExpireDays());
    SetRegDword(HKEY_LOCAL_MACHINE, Expected::SETTINGS_KEY, Expected::EXPIRE_DAYS_VALUE, 0xFFFFFFFFu); // not -1: that would delete today
    EXPECT_EQ(INT32_MAX, LoadExpireDays());
    // A 64-bit number is not a DWORD: its bytes as text.
    const char quad[8] = {'9', 0, 0, 0, 0, 0, 0, 0};
    SetRegRaw(HKEY_LOCAL_MACHINE, Expected::SETTINGS_KEY, Expected::EXPIRE_DAYS_VALUE, REG_QWORD, quad, sizeof quad);
    EXPECT_EQ(9, LoadExpireDays());
    // Text without its NUL that fills the whole buffer.
    const std::string full = "42" + std::string(198, ' ');
    SetRegRaw(HKEY_LOCAL_MACHINE, Expected::SETTINGS_KEY, Expected::EXPIRE_DAYS_VALUE, REG_BINARY, full.data(), 200);
    EXPECT_EQ(42, LoadExpireDays());
}

TEST_F(ExpireDaysTest, LongestValueThatFitsIs199Characters)
{
    EXPECT_EQ(5, DaysFromText("5" + std::string(198, 'x')));
    EXPECT_EQ(2, DaysFromText("5" + std::string(199, 'x')));
}

TEST_F(ExpireDaysTest, AbsentKeyIsCreatedEmptyInThe32BitViewAndGivesTheDefault)
{
    if (!HasTwoRegistryViews())
        GTEST_SKIP() << "one registry view on 32-bit Windows";
    const std::string below = CSoftwareView::Below(Expected::SETTINGS_KEY);
    ASSERT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, Expected::SETTINGS_KEY));
    ASSERT_FALSE(RegKeyExists(m_view32.get(), below));
    EXPECT_EQ(2, LoadExpireDays());
    EXPECT_TRUE(RegKeyExists(m_view32.get(), below));
    EXPECT_FALSE(RegKeyExists(CSoftwareView(KEY_WOW64_64KEY).get(), below));
    std::string value;
    EXPECT_FALSE(RegGetString(m_view32.get(), below, Expected::EXPIRE_DAYS_VALUE, value));
    // Present key, absent value.
    EXPECT_EQ(2, LoadExpireDays());
}

// Programs that configure the server are mostly 32-bit: their view wins,
// and a key or value missing there is taken from the 64-bit view.
TEST_F(ExpireDaysTest, The32BitViewIsReadFirstThenThe64BitView)
{
    if (!HasTwoRegistryViews())
        GTEST_SKIP() << "one registry view on 32-bit Windows";
    const std::string below = CSoftwareView::Below(Expected::SETTINGS_KEY);
    CSoftwareView view64(KEY_WOW64_64KEY);
    struct Case {
        const char* name;
        const char* in32; // nullptr: no key; "-": the key without the value
        const char* in64;
        std::int32_t days;
    } const cases[] = {
        {"only in the 32-bit view", "5", nullptr, 5},
        {"only in the 64-bit view", nullptr, "6", 6},
        {"in both, 32-bit wins", "5", "6", 5},
        {"32-bit zero wins", "0", "6", 0},
        {"32-bit key without the value", "-", "6", 6},
        {"64-bit key without the value", "5", "-", 5},
    };
    for (const Case& c : cases) {
        DeleteRegTree(m_view32.get(), below);
        DeleteRegTree(view64.get(), below);
        for (auto [root, text] : {std::make_pair(m_view32.get(), c.in32), std::make_pair(view64.get(), c.in64)}) {
            if (text && std::string(text) == "-")
                SetRegString(root, below, "Other", "x");
            else if (text)
                SetRegString(root, below, Expected::EXPIRE_DAYS_VALUE, text);
        }
        EXPECT_EQ(c.days, LoadExpireDays()) << c.name;
        const Vardel::CRegistryViewChoice where =
            Vardel::ChooseRegistryView(HKEY_LOCAL_MACHINE, Expected::SETTINGS_KEY, Expected::EXPIRE_DAYS_VALUE);
        EXPECT_TRUE(where.valueFound) << c.name;
        EXPECT_STREQ(c.days == 6 ? "64-bit" : "32-bit", Vardel::RegistryViewName(where.view)) << c.name;
    }
}

TEST_F(ExpireDaysTest, ReadOnlyKeyStillGivesTheConfiguredDays)
{
    SetRegString(HKEY_LOCAL_MACHINE, Expected::SETTINGS_KEY, Expected::EXPIRE_DAYS_VALUE, "7");
    ASSERT_EQ(ERROR_SUCCESS, SetKeyAccess("D:P(A;;KR;;;WD)"));
    struct CRestore {
        ~CRestore() { SetKeyAccess("D:P(A;;KA;;;WD)"); }
    } restore;

    Vardel::CUniqueHKey probe;
    const LONG writable = RegOpenKeyExA(HKEY_LOCAL_MACHINE, Expected::SETTINGS_KEY, 0, 0x2001F, probe.put());
    if (writable == ERROR_SUCCESS)
        GTEST_SKIP() << "this prefix grants write access despite the key's access list";
    EXPECT_EQ(ERROR_ACCESS_DENIED, writable);

    EXPECT_EQ(7, LoadExpireDays());
    CRegistry key(HKEY_LOCAL_MACHINE, Expected::SETTINGS_KEY);
    EXPECT_TRUE(key.IsOpen());
}

TEST(Registry, NoRootOrNoPathOpensNothing)
{
    std::string value = "unchanged";
    CRegistry noRoot(nullptr, Expected::SETTINGS_KEY);
    EXPECT_FALSE(noRoot.IsOpen());
    EXPECT_FALSE(noRoot.GetStringValue(Expected::EXPIRE_DAYS_VALUE, value));
    CRegistry noPath(HKEY_LOCAL_MACHINE, "");
    EXPECT_FALSE(noPath.IsOpen());
    EXPECT_EQ("unchanged", value);
}
