#pragma once
// Helpers shared by the test executables: exact HRESULT checks, registry
// and folder state that each test sets up and restores, files read back
// byte for byte, child processes with bounded waits.

#include "RegistryTree.h"

#include <windows.h>
#include <gtest/gtest.h>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace VardelTest {

// "0x80040110" rather than GoogleTest's signed decimal.
std::string HrText(HRESULT hr);

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

// Saves a registry key (values and subkeys) under HKEY_LOCAL_MACHINE or
// HKEY_CLASSES_ROOT, deletes it so the test starts from nothing, and puts the
// saved tree back when destroyed.
class CRegistryKeyGuard {
public:
    CRegistryKeyGuard(HKEY root, const std::string& path);
    ~CRegistryKeyGuard();
    CRegistryKeyGuard(const CRegistryKeyGuard&) = delete;
    CRegistryKeyGuard& operator=(const CRegistryKeyGuard&) = delete;

private:
    HKEY m_root;
    std::string m_path;
    std::optional<Vardel::CKeySnapshot> m_saved;
};

void SetRegString(HKEY root, const std::string& path, const std::string& name, const std::string& value);
void SetRegDword(HKEY root, const std::string& path, const std::string& name, DWORD value);
void SetRegRaw(HKEY root, const std::string& path, const std::string& name, DWORD type, const void* data, DWORD size);
bool RegKeyExists(HKEY root, const std::string& path);
bool RegGetString(HKEY root, const std::string& path, const std::string& name, std::string& value);
void DeleteRegTree(HKEY root, const std::string& path);
// Every key and value below key, one line each ("path name=text", "@" for the
// default value, "<type N>" for non-strings); a key without values is listed
// by its path alone.
void CollectRegistryTree(HKEY key, const std::string& path, std::vector<std::string>& lines);

// Folder helpers over real paths of the prefix.
void RemoveTree(const std::string& path);
void MakeEmptyFolder(const std::string& path); // creates parents as needed
bool FileExists(const std::string& path);
std::string ReadWholeFile(const std::string& path); // binary; "" when absent
void WriteWholeFile(const std::string& path, const std::string& bytes);
std::vector<std::string> ListFolder(const std::string& folder); // bare names, sorted

// This executable's own full path.
std::string SelfPath();

// Starts a command line, waits at most timeoutMs, returns its exit code; a
// process still running then is killed and the test fails.
DWORD RunProcess(const std::string& commandLine, DWORD timeoutMs = 60000);

} // namespace VardelTest
