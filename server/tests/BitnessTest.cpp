// Both bitnesses: 32-bit and 64-bit clients against the x64 and the x86
// server, the settings each server reads from either registry view, and
// registration moving from one build to the other. Where this machine cannot
// run 32-bit programs, the cases that need one skip and say why.

#include "ServerHarness.h"
#include "testsupport/RegistryViews.h"

#include <cstdlib>
#include <string>

using namespace VardelTest;

namespace {

// The two builds' executables, side by side in the source tree.
std::string BuildBin(bool x86)
{
    return x86 ? VARDEL_X86_BIN : VARDEL_X64_BIN;
}

// 32-bit processes see the 64-bit system folder as "sysnative".
std::string CscriptPath(bool x86)
{
    if (x86)
        return "C:\\windows\\syswow64\\cscript.exe";
    return sizeof(void*) == 8 ? "C:\\windows\\system32\\cscript.exe" : "C:\\windows\\sysnative\\cscript.exe";
}

// Empty when a 32-bit program runs here; else why not. The launcher's
// answer (cmake/wine-run: no 32-bit Wine, a kernel that refuses them, or
// VARDEL_NO_32BIT=1) comes first: without 32-bit Wine, Wine reports a
// 32-bit start as a success. Then the x86 build's own client is started.
std::string Why32BitProgramsCannotRun()
{
    static const std::string reason = [] {
        if (const char* why = std::getenv("VARDEL_NO_32BIT_REASON"); why && *why)
            return "cannot run 32-bit programs here: " + std::string(why);
        const std::string probe = BuildBin(true) + "\\vardel-log.exe";
        std::string command = "\"" + probe + "\" --help";
        STARTUPINFOA si = {sizeof si};
        si.dwFlags = STARTF_USESTDHANDLES; // no console handles: its output goes nowhere
        PROCESS_INFORMATION pi = {};
        if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si,
                            &pi))
            return "cannot run 32-bit programs here: starting one fails with error " +
                   std::to_string(GetLastError()) + " (no 32-bit Wine, or the kernel's 32-bit emulation is off)";
        Vardel::CUniqueHandle process(pi.hProcess), thread(pi.hThread);
        DWORD code = STILL_ACTIVE;
        if (WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0) {
            TerminateProcess(process.get(), 1);
            return std::string("cannot run 32-bit programs here: the probe did not end within 60 s");
        }
        GetExitCodeProcess(process.get(), &code);
        return code == 0 ? std::string()
                         : "cannot run 32-bit programs here: the probe ended with " + std::to_string(code);
    }();
    return reason;
}

#define VARDEL_REQUIRE_BITNESS(x86)                                          \
    do {                                                                     \
        for (bool build : {false, true})                                     \
            if (!FileExists(BuildBin(build) + "\\VardelEventLogger.exe"))   \
                GTEST_FAIL() << "no " << (build ? "x86" : "x64")             \
                             << " build at " << BuildBin(build)              \
                             << " (the set-up builds both)";                 \
        if ((x86) || sizeof(void*) == 4) {                                   \
            const std::string why = Why32BitProgramsCannotRun();             \
            if (!why.empty())                                                \
                GTEST_SKIP() << why;                                         \
        }                                                                    \
    } while (0)

struct CCombination {
    const char* name;
    bool client32, server32;
};

using Bitness = CServerTest<::testing::TestWithParam<CCombination>>;

// Create by ProgID, call through the vtable (the command-line client) and
// late-bound (the VBScript sample in the script host of the same bitness).
TEST_P(Bitness, ClientReachesTheServerThroughTheVtableAndLateBound)
{
    const CCombination& c = GetParam();
    VARDEL_REQUIRE_BITNESS(c.client32);
    VARDEL_REQUIRE_BITNESS(c.server32);
    const std::string server = BuildBin(c.server32) + "\\VardelEventLogger.exe";
    const std::string vtable = Marker("vtable"), late = Marker("late");
    ASSERT_EQ(0u, RunServer("/RegServer", server));
    {
        CServerSession session;
        auto r = RunCaptured("\"" + BuildBin(c.client32) + "\\vardel-log.exe\" -s " + c.name + " " + vtable);
        EXPECT_EQ(0u, r.exitCode) << r.err;
        r = RunCaptured("\"" + CscriptPath(c.client32) + "\" //nologo \"" VARDEL_SAMPLE_VBS "\" " + late);
        EXPECT_EQ(0u, r.exitCode) << r.out << r.err;
        session.End();
    }
    EXPECT_EQ(0u, RunServer("/UnregServer", server));
    const auto lines = CrLfLines(m_log.Appended());
    ASSERT_EQ(2u, lines.size()) << m_log.Appended();
    EXPECT_EQ(1u, LinesEndingWith({lines[0]}, std::string(",") + c.name + ",\"" + vtable + "\"").size()) << lines[0];
    EXPECT_EQ(1u, LinesEndingWith({lines[1]}, ",sample.vbs,\"" + late + "\"").size()) << lines[1];
}

INSTANTIATE_TEST_SUITE_P(Combinations, Bitness,
                         ::testing::Values(CCombination{"Client64ServerX64", false, false},
                                           CCombination{"Client32ServerX64", true, false},
                                           CCombination{"Client64ServerX86", false, true},
                                           CCombination{"Client32ServerX86", true, true}),
                         [](const ::testing::TestParamInfo<CCombination>& info) { return info.param.name; });

// What each view says about the class: the LocalServer32 path, or "" when
// the view has no class key; and whether it holds the interface's and the
// ProgID's keys.
struct CViewRegistration {
    std::string server32, server64;
    bool interface32 = false, interface64 = false, progId32 = false, progId64 = false;
};

CViewRegistration ReadViews()
{
    CSoftwareView classes32(KEY_WOW64_32KEY, "SOFTWARE\\Classes"), classes64(KEY_WOW64_64KEY, "SOFTWARE\\Classes");
    const std::string server = "CLSID\\" + GuidText(CLSID_VardelEventLog) + "\\LocalServer32";
    const std::string iface = "Interface\\" + GuidText(IID_IVardelEventLog);
    CViewRegistration r;
    RegGetString(classes32.get(), server, "", r.server32);
    RegGetString(classes64.get(), server, "", r.server64);
    r.interface32 = RegKeyExists(classes32.get(), iface);
    r.interface64 = RegKeyExists(classes64.get(), iface);
    r.progId32 = RegKeyExists(classes32.get(), Expected::PROGID);
    r.progId64 = RegKeyExists(classes64.get(), Expected::PROGID);
    return r;
}

class BitnessRegistration : public ::testing::TestWithParam<std::vector<bool>> {
protected:
    CRegistrationGuard m_registration;
};

// Registering either build leaves the class and its interface in both
// views, naming that build's server; moving to the other build
// (/UnregServer of one, /RegServer of the other) leaves exactly that one.
TEST_P(BitnessRegistration, EitherBuildRegistersInBothViewsAndMovingLeavesOne)
{
    if (!HasTwoRegistryViews())
        GTEST_SKIP() << "one registry view on 32-bit Windows";
    for (bool x86 : GetParam())
        VARDEL_REQUIRE_BITNESS(x86);
    for (bool x86 : GetParam()) {
        const std::string server = BuildBin(x86) + "\\VardelEventLogger.exe", name = x86 ? "x86" : "x64";
        ASSERT_EQ(0u, RunServer("/RegServer", server)) << name;
        CViewRegistration r = ReadViews();
        EXPECT_TRUE(r.interface32 && r.interface64 && r.progId32 && r.progId64) << name;
        EXPECT_EQ(ShortPathOrLong(server), r.server32) << name;
        EXPECT_EQ(ShortPathOrLong(server), r.server64) << name;
        ASSERT_EQ(0u, RunServer("/UnregServer", server)) << name;
        r = ReadViews();
        EXPECT_EQ("", r.server32 + r.server64) << name;
        EXPECT_FALSE(r.interface32 || r.interface64 || r.progId32 || r.progId64) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Moves, BitnessRegistration,
                         ::testing::Values(std::vector<bool>{false}, std::vector<bool>{false, true},
                                           std::vector<bool>{true, false}, std::vector<bool>{false, true, false}),
                         [](const ::testing::TestParamInfo<std::vector<bool>>& info) {
                             std::string name;
                             for (bool x86 : info.param)
                                 name += x86 ? "ThenX86" : "ThenX64";
                             return name.substr(4);
                         });

// The log file name of the day that lies days before today.
std::string LogFileDaysAgo(int days)
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER t{{now.dwLowDateTime, now.dwHighDateTime}};
    t.QuadPart -= static_cast<ULONGLONG>(days) * 24 * 3600 * 10000000ULL;
    const FILETIME then{t.LowPart, t.HighPart};
    FILETIME local;
    SYSTEMTIME day;
    FileTimeToLocalFileTime(&then, &local);
    FileTimeToSystemTime(&local, &day);
    char name[64];
    std::snprintf(name, sizeof name, "C:\\Korvane\\VardelLogs\\Log_%04u_%02u_%02u.log", day.wYear, day.wMonth,
                  day.wDay);
    return name;
}

// The peers' keys below HKEY_LOCAL_MACHINE\SOFTWARE.
const std::string CONFIG_BELOW = CSoftwareView::Below(Expected::ALARM_KEY);
const std::string SETTINGS_BELOW = CSoftwareView::Below(Expected::SETTINGS_KEY);

class BitnessSettings : public CServerTest<::testing::TestWithParam<bool>> {
protected:
    CSoftwareView m_view32{KEY_WOW64_32KEY}, m_view64{KEY_WOW64_64KEY};
    CRegistryKeyGuard m_config32{m_view32.get(), CONFIG_BELOW};
    CRegistryKeyGuard m_config64{m_view64.get(), CONFIG_BELOW};
    CRegistryKeyGuard m_pellucor32{m_view32.get(), "Pellucor"};
    CRegistryKeyGuard m_pellucor64{m_view64.get(), "Pellucor"};
};

// The real server reads the alarm path only present in the 32-bit view, the
// instrument name only present in the 64-bit view, and the days to keep
// from the 32-bit view where both views hold a different number.
TEST_P(BitnessSettings, ServerReadsThe32BitViewFirstThenThe64BitView)
{
    const bool x86 = GetParam();
    VARDEL_REQUIRE_BITNESS(x86);
    if (!HasTwoRegistryViews())
        GTEST_SKIP() << "one registry view on 32-bit Windows";
    const std::string folder = "C:\\Korvane\\BitnessTest", alarms = folder + "\\alarms.txt";
    MakeEmptyFolder(folder);
    SetRegString(m_view32.get(), CONFIG_BELOW, Expected::ALARM_FILE_VALUE, alarms);
    SetRegString(m_view64.get(), "Pellucor", Expected::INSTRUMENT_VALUE, "I64");
    SetRegString(m_view32.get(), SETTINGS_BELOW, Expected::EXPIRE_DAYS_VALUE, "1");
    SetRegString(m_view64.get(), SETTINGS_BELOW, Expected::EXPIRE_DAYS_VALUE, "30");
    const std::string old = LogFileDaysAgo(5);
    WriteWholeFile(old, "old\r\n");

    const std::string server = BuildBin(x86) + "\\VardelEventLogger.exe", marker = Marker("views");
    ASSERT_EQ(0u, RunServer("/RegServer", server));
    {
        CServerSession session;
        auto r = RunCaptured("\"" + BuildBin(x86) + "\\vardel-log.exe\" -t ERROR -s Views " + marker);
        EXPECT_EQ(0u, r.exitCode) << r.err;
        session.End();
    }
    RunServer("/UnregServer", server);
    const bool oldKept = FileExists(old);
    DeleteFileA(old.c_str());
    EXPECT_FALSE(oldKept) << "ExpireLogsAfter came from the 64-bit view";
    const auto records = CrLfLines(ReadWholeFile(alarms));
    RemoveTree(folder);
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(1u, LinesEndingWith(records, " (I64#) [ERROR] [Views] " + marker).size()) << records[0];
}

INSTANTIATE_TEST_SUITE_P(Servers, BitnessSettings, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "X86" : "X64"; });

} // namespace
