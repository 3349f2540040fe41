// Installer packages under Wine: each test runs in a fresh prefix of its own
// (run-package-test.sh), with the package paths and the architecture in the
// environment:
//   VARDEL_MSI, VARDEL_OLD_MSI  the package and a lower version of it
//   VARDEL_OTHER_MSI            the same version for the other architecture
//   VARDEL_ARCH                 x64 or x86
//   VARDEL_VERSION              the package's version, as the build names it
//   VARDEL_NO_32BIT_REASON      why 32-bit programs cannot run here; empty where they can
//   VARDEL_X86_CLIENT           the x86 build's client, for the 64-bit package's 32-bit client
// A part that needs 32-bit programs where none can run is left out, the
// package is removed all the same, and the test then skips naming that part.
#include "testsupport/TestSupport.h"

#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <gtest/gtest.h>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

using namespace VardelTest;

namespace {

std::string Env(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

bool Is64() { return Env("VARDEL_ARCH") == "x64"; }
std::string No32() { return Env("VARDEL_NO_32BIT_REASON"); }

std::string InstallDir()
{
    char path[MAX_PATH];
    DWORD n = ExpandEnvironmentStringsA(Is64() ? "%ProgramW6432%" : "%ProgramFiles(x86)%", path, MAX_PATH);
    return std::string(path, n ? n - 1 : 0) + "\\Pellucor\\VardelEventLogger";
}
std::string InstalledServer() { return InstallDir() + "\\VardelEventLogger.exe"; }
std::string InstalledClient() { return InstallDir() + "\\vardel-log.exe"; }

DWORD Msiexec(const std::string& arguments)
{
    const std::string command = "C:\\windows\\system32\\msiexec.exe " + arguments + " /qn";
    try {
        return RunProcess(command, 300000);
    } catch (const Vardel::CWin32Error& e) {
        // Wine in a just-copied prefix has once failed to start a process
        // with ERROR_INTERNAL_ERROR; that start, not msiexec, is tried again.
        if (e.Error() != ERROR_INTERNAL_ERROR)
            throw;
        std::cerr << "msiexec did not start (" << e.what() << "); starting it again\n";
        return RunProcess(command, 300000);
    }
}

// The keys that the server copies into the other registry view.
const char* const VIEW_KEYS[] = {
    "CLSID\\{A07AD29E-F42B-4A77-B5B1-C49EAAD25853}",
    Expected::PROGID,
    Expected::VERSIONED_PROGID,
    "Interface\\{E53CB34B-4D58-4693-AEB3-C1D59AF782A1}",
    "Interface\\{24F8ACF8-C8F0-476A-9552-1AD3E0D4DC8D}",
};
// The keys both views share.
const char* const SHARED_KEYS[] = {
    "AppID\\{DFC77DFF-0CE4-456B-B8F7-CC9DD5D78C32}",
    "AppID\\VardelEventLogger.EXE",
    "TypeLib\\{26806345-5455-4EA1-80CB-065B6D1E0653}",
};

// The key's subtree in one view, a line per key and per value; none when absent.
std::vector<std::string> ViewTree(HKEY root, const std::string& path, REGSAM view)
{
    std::vector<std::string> tree;
    if (auto snapshot = Vardel::CKeySnapshot::Take(root, path, view))
        snapshot->List(path, tree);
    return tree;
}

// Every key this system registers or sets, in both registry views.
std::vector<std::string> OurEntries()
{
    std::vector<std::string> lines;
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        const std::string prefix = view == KEY_WOW64_64KEY ? "64 " : "32 ";
        std::vector<std::string> paths(std::begin(VIEW_KEYS), std::end(VIEW_KEYS));
        paths.insert(paths.end(), std::begin(SHARED_KEYS), std::end(SHARED_KEYS));
        for (const auto& path : paths)
            for (const auto& line : ViewTree(HKEY_CLASSES_ROOT, path, view))
                lines.push_back(prefix + line);
        // The server opens the settings key for itself (creating it); only a value is ours.
        for (const auto& line : ViewTree(HKEY_LOCAL_MACHINE, Expected::SETTINGS_KEY, view))
            if (line.find('=') != std::string::npos)
                lines.push_back(prefix + line);
    }
    return lines;
}

// A string value in one registry view; "<absent>" when there is none.
std::string ViewText(HKEY root, REGSAM view, const std::string& path, const char* name = "")
{
    Vardel::CUniqueHKey key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | view, key.put()) != ERROR_SUCCESS)
        return "<absent>";
    char data[1024] = {};
    DWORD size = sizeof data - 1;
    const LONG rc = RegGetValueA(key.get(), nullptr, name, RRF_RT_REG_SZ, nullptr, data, &size);
    return rc == ERROR_SUCCESS ? data : "<absent>";
}

// The installed programs' entries whose name is this product's: their
// versions, or (names) their names.
std::vector<std::string> ProductEntries(bool names = false)
{
    std::vector<std::string> versions;
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        Vardel::CUniqueHKey uninstall;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall", 0,
                          KEY_READ | view, uninstall.put()) != ERROR_SUCCESS)
            continue;
        char name[256];
        for (DWORD i = 0;; ++i) {
            DWORD length = sizeof name;
            if (RegEnumKeyExA(uninstall.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                break;
            char display[256] = {}, version[64] = {};
            DWORD size = sizeof display - 1;
            if (RegGetValueA(uninstall.get(), name, "DisplayName", RRF_RT_REG_SZ, nullptr, display, &size) != ERROR_SUCCESS ||
                std::string(display).rfind("VardelEventLogger", 0) != 0)
                continue;
            size = sizeof version - 1;
            RegGetValueA(uninstall.get(), name, "DisplayVersion", RRF_RT_REG_SZ, nullptr, version, &size);
            versions.push_back(names ? display : version);
        }
    }
    return versions;
}

// The host product's event: the server lives only while it exists.
struct CHost {
    Vardel::CUniqueHandle event{CreateEventA(nullptr, TRUE, FALSE, Expected::HOST_EVENT)};
};

std::string LogFolderFile(const SYSTEMTIME& day) { return LogFilePath(day); }

struct CMsiClose { void operator()(MSIHANDLE h) const noexcept { MsiCloseHandle(h); } };
using CMsiHandle = Vardel::CUniqueResource<MSIHANDLE, CMsiClose, 0>;

// The package's launch condition whose message names the property.
std::string LaunchCondition(MSIHANDLE package, const std::string& property)
{
    CMsiHandle database(MsiGetActiveDatabase(package)), view, record;
    if (!database || MsiDatabaseOpenViewA(database.get(), "SELECT `Condition`, `Description` FROM `LaunchCondition`",
                                          view.put()) != ERROR_SUCCESS ||
        MsiViewExecute(view.get(), 0) != ERROR_SUCCESS)
        return "";
    while (MsiViewFetch(view.get(), record.put()) == ERROR_SUCCESS) {
        char text[2][1024];
        for (UINT field : {1u, 2u}) {
            DWORD size = sizeof text[0];
            if (MsiRecordGetStringA(record.get(), field, text[field - 1], &size) != ERROR_SUCCESS)
                text[field - 1][0] = '\0';
        }
        if (std::string(text[1]).rfind(property, 0) == 0)
            return text[0];
    }
    return "";
}

class Package : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (Env("VARDEL_MSI").empty())
            GTEST_SKIP() << "run through run-package-test.sh, which names the package";
        ASSERT_TRUE(OurEntries().empty()) << "the prefix is not fresh";
    }
    void TearDown() override
    {
        WaitForServersToEnd(30000);
        // A test that stopped half-way leaves no product behind for the next
        // one in this prefix.
        for (const char* msi : {"VARDEL_MSI", "VARDEL_OTHER_MSI"})
            if (!ProductEntries().empty() && !Env(msi).empty())
                Msiexec("/x " + Env(msi));
    }

    // Where 32-bit programs cannot run, a part that needs them is named
    // here instead of run; SkipLeftOutParts() ends the test with them.
    bool CanRun32(const std::string& part)
    {
        if (No32().empty())
            return true;
        m_leftOut += (m_leftOut.empty() ? "" : "; ") + part;
        return false;
    }
    void SkipLeftOutParts()
    {
        if (!m_leftOut.empty())
            GTEST_SKIP() << "left out (" << No32() << "): " << m_leftOut;
    }
    std::string m_leftOut;

    void Install(const std::string& properties = std::string())
    {
        ASSERT_EQ(0u, Msiexec("/i " + Env("VARDEL_MSI") + " " + properties));
    }
    DWORD LogThroughClient(const std::string& client, const std::string& message)
    {
        return RunProcess("\"" + client + "\" -s package " + message, 120000);
    }
};

TEST_F(Package, InstallRegisterRemove)
{
    Install();
    EXPECT_TRUE(FileExists(InstalledServer()));
    EXPECT_TRUE(FileExists(InstalledClient()));
    const DWORD folder = GetFileAttributesA(Expected::LOG_FOLDER);
    EXPECT_TRUE(folder != INVALID_FILE_ATTRIBUTES && (folder & FILE_ATTRIBUTE_DIRECTORY));

    const auto installed = OurEntries();
    const REGSAM view = Is64() ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
    const std::string clsid = "CLSID\\{A07AD29E-F42B-4A77-B5B1-C49EAAD25853}";
    EXPECT_EQ(ShortPathOrLong(InstalledServer()), ViewText(HKEY_CLASSES_ROOT, view, clsid + "\\LocalServer32"));
    for (const char* path : VIEW_KEYS) { // clients of either bitness find the class
        const auto tree = ViewTree(HKEY_CLASSES_ROOT, path, KEY_WOW64_64KEY);
        EXPECT_FALSE(tree.empty()) << path;
        EXPECT_EQ(tree, ViewTree(HKEY_CLASSES_ROOT, path, KEY_WOW64_32KEY)) << path;
    }
    for (const auto& line : installed) // no setting without EXPIRELOGSAFTER
        EXPECT_EQ(std::string::npos, line.find(Expected::EXPIRE_DAYS_VALUE)) << line;

    if (Is64() || CanRun32("the server's /RegServer comparison and the clients")) {
        // The server's own registration leaves exactly what the package wrote,
        // and its unregistration exactly what removing the package leaves.
        ASSERT_EQ(0u, RunServer("/UnregServer", InstalledServer()));
        EXPECT_EQ(std::vector<std::string>{}, OurEntries());
        ASSERT_EQ(0u, RunServer("/RegServer", InstalledServer()));
        EXPECT_EQ(installed, OurEntries());

        {
            CHost host; // gone at the end of the block: the server then ends, its queue written
            ASSERT_EQ(0u, LogThroughClient(InstalledClient(), "installed-64-bit-client"));
        }
        ASSERT_TRUE(WaitForServersToEnd(60000));
        EXPECT_NE(std::string::npos, ReadWholeFile(TodayLogPath()).find("installed-64-bit-client"));
    }
    if (Is64() && CanRun32("a 32-bit client of the 64-bit package")) {
        const std::string client32 = Env("VARDEL_X86_CLIENT");
        ASSERT_TRUE(FileExists(client32)) << "no x86 client at '" << client32 << "' (the set-up builds it)";
        {
            CHost host;
            ASSERT_EQ(0u, LogThroughClient(client32, "installed-32-bit-client"));
        }
        ASSERT_TRUE(WaitForServersToEnd(60000));
        EXPECT_NE(std::string::npos, ReadWholeFile(TodayLogPath()).find("installed-32-bit-client"));
    }

    SYSTEMTIME now;
    GetLocalTime(&now);
    const std::string kept = LogFolderFile(now);
    if (!FileExists(kept))
        WriteWholeFile(kept, "kept\n");
    ASSERT_EQ(0u, Msiexec("/x " + Env("VARDEL_MSI")));
    EXPECT_EQ(std::vector<std::string>{}, OurEntries());
    EXPECT_FALSE(FileExists(InstalledServer()));
    EXPECT_FALSE(FileExists(InstalledClient()));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(InstallDir().c_str()));
    EXPECT_TRUE(FileExists(kept));
    EXPECT_TRUE(ProductEntries().empty());
    for (const char* path : VIEW_KEYS) // what the server copied into the other view goes too
        for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY})
            EXPECT_EQ(std::vector<std::string>{}, ViewTree(HKEY_CLASSES_ROOT, path, view)) << path << " " << view;
    SkipLeftOutParts();
}

TEST_F(Package, UpgradeAndDowngrade)
{
    ASSERT_EQ(0u, Msiexec("/i " + Env("VARDEL_OLD_MSI")));
    EXPECT_EQ(std::vector<std::string>{"0.9.0"}, ProductEntries());
    const auto older = OurEntries();

    Install();
    const auto entries = ProductEntries();
    ASSERT_FALSE(Env("VARDEL_VERSION").empty());
    EXPECT_EQ(std::vector<std::string>{Env("VARDEL_VERSION")}, entries) << "one entry among the installed programs";
    EXPECT_EQ(older, OurEntries()) << "one registration, pointing at the same installed files";
    EXPECT_TRUE(FileExists(InstalledServer()));

    // A lower version refuses (ERROR_INSTALL_FAILURE) and changes nothing.
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSTALL_FAILURE), Msiexec("/i " + Env("VARDEL_OLD_MSI")));
    EXPECT_EQ(entries, ProductEntries());
    EXPECT_EQ(older, OurEntries());

    ASSERT_EQ(0u, Msiexec("/x " + Env("VARDEL_MSI")));
    EXPECT_EQ(std::vector<std::string>{}, OurEntries());
    EXPECT_TRUE(ProductEntries().empty());
}

// Both packages register the same class: installing one where the other is
// installed replaces it, and removing the survivor leaves nothing.
TEST_F(Package, ReplacesTheOtherArchitecture)
{
    ASSERT_EQ(0u, Msiexec("/i " + Env("VARDEL_OTHER_MSI")));
    const std::string ours = Is64() ? "VardelEventLogger (64-bit)" : "VardelEventLogger (32-bit)";
    Install();
    EXPECT_EQ(std::vector<std::string>{ours}, ProductEntries(true));
    const std::string clsid = "CLSID\\{A07AD29E-F42B-4A77-B5B1-C49EAAD25853}\\LocalServer32";
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY})
        EXPECT_EQ(ShortPathOrLong(InstalledServer()), ViewText(HKEY_CLASSES_ROOT, view, clsid)) << view;
    if (Is64() || CanRun32("the survivor serving a client")) {
        {
            CHost host;
            ASSERT_EQ(0u, LogThroughClient(InstalledClient(), "survivor"));
        }
        ASSERT_TRUE(WaitForServersToEnd(60000));
        EXPECT_NE(std::string::npos, ReadWholeFile(TodayLogPath()).find("survivor"));
    }
    ASSERT_EQ(0u, Msiexec("/x " + Env("VARDEL_MSI")));
    EXPECT_EQ(std::vector<std::string>{}, OurEntries());
    EXPECT_TRUE(ProductEntries().empty());
    SkipLeftOutParts();
}

TEST_F(Package, ExpirySetting)
{
    Install("EXPIRELOGSAFTER=0");
    // Where the server reads it first: the 32-bit view, as given.
    EXPECT_EQ("0", ViewText(HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY, Expected::SETTINGS_KEY, Expected::EXPIRE_DAYS_VALUE));
    EXPECT_EQ("<absent>", ViewText(HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY, Expected::SETTINGS_KEY, Expected::EXPIRE_DAYS_VALUE));
    if (Is64() || CanRun32("the installed server keeping 0 days")) {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        ULARGE_INTEGER t{{now.dwLowDateTime, now.dwHighDateTime}};
        t.QuadPart -= 24ull * 3600 * 10000000;
        FILETIME utc{t.LowPart, t.HighPart}, local;
        SYSTEMTIME yesterday;
        FileTimeToLocalFileTime(&utc, &local);
        FileTimeToSystemTime(&local, &yesterday);
        const std::string old = LogFolderFile(yesterday);
        WriteWholeFile(old, "yesterday\n");

        {
            CHost host;
            ASSERT_EQ(0u, LogThroughClient(InstalledClient(), "expiry"));
        }
        ASSERT_TRUE(WaitForServersToEnd(60000));
        EXPECT_FALSE(FileExists(old)) << "kept 0 days: yesterday's file goes";
    }
    ASSERT_EQ(0u, Msiexec("/x " + Env("VARDEL_MSI")));
    EXPECT_EQ(std::vector<std::string>{}, OurEntries());
    EXPECT_TRUE(ProductEntries().empty());
    SkipLeftOutParts();
}

// The package's conditions as this msi evaluates them, for the values a
// site might type (no install: each msiexec run costs seconds).
TEST_F(Package, ExpirySettingCondition)
{
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    CMsiHandle package;
    ASSERT_EQ(static_cast<UINT>(ERROR_SUCCESS), MsiOpenPackageA(Env("VARDEL_MSI").c_str(), package.put()));
    const struct {
        const char* property;
        bool accepted;
        std::vector<const char*> values;
    } cases[] = {
        // Empty: absent, the default applies. "014": the server reads 14
        // too. Wine's msi wraps digits past 32 bits, "4294967310" to 14,
        // which is also what the server reads from it.
        {"EXPIRELOGSAFTER", true, {"", "0", "14", "014", "32767", "4294967310"}},
        {"EXPIRELOGSAFTER", false, {"32768", "36500", "-5", "-0", "4294967295", "99999999999", "abc", "+5", " 7", "7 ",
                                    "1e3", "0x10", "3days"}},
        {"INSTALLDIR", true, {""}},
        {"INSTALLDIR", false, {"C:\\Elsewhere"}},
    };
    for (const auto& c : cases) {
        const std::string condition = LaunchCondition(package.get(), c.property);
        ASSERT_FALSE(condition.empty()) << "no launch condition names " << c.property;
        for (const char* value : c.values) {
            ASSERT_EQ(static_cast<UINT>(ERROR_SUCCESS), MsiSetPropertyA(package.get(), c.property, value));
            EXPECT_EQ(c.accepted ? MSICONDITION_TRUE : MSICONDITION_FALSE,
                      MsiEvaluateConditionA(package.get(), condition.c_str()))
                << c.property << "='" << value << "'";
        }
        MsiSetPropertyA(package.get(), c.property, "");
    }
}

// Refused before anything changes: Windows Installer's failure code, no
// files, no product, no setting in either view. An accepted value is written
// as given.
TEST_F(Package, ExpirySettingRefused)
{
    const char* const refused[] = {
        "EXPIRELOGSAFTER=abc", "EXPIRELOGSAFTER=-5", "EXPIRELOGSAFTER=4294967295", "EXPIRELOGSAFTER=99999999999",
        "INSTALLDIR=C:\\Elsewhere",
    };
    for (const char* property : refused) {
        EXPECT_EQ(static_cast<DWORD>(ERROR_INSTALL_FAILURE), Msiexec("/i " + Env("VARDEL_MSI") + " " + property))
            << property;
        EXPECT_EQ(std::vector<std::string>{}, OurEntries()) << property;
        for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY})
            EXPECT_EQ("<absent>",
                      ViewText(HKEY_LOCAL_MACHINE, view, Expected::SETTINGS_KEY, Expected::EXPIRE_DAYS_VALUE))
                << property << " view " << view;
        EXPECT_TRUE(ProductEntries().empty()) << property;
        EXPECT_FALSE(FileExists(InstalledServer())) << property;
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA("C:\\Elsewhere")) << property;
    }

    Install("EXPIRELOGSAFTER=14");
    EXPECT_EQ("14", ViewText(HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY, Expected::SETTINGS_KEY, Expected::EXPIRE_DAYS_VALUE));
    ASSERT_EQ(0u, Msiexec("/x " + Env("VARDEL_MSI")));
    EXPECT_EQ(std::vector<std::string>{}, OurEntries());
    EXPECT_TRUE(ProductEntries().empty());
}

} // namespace
