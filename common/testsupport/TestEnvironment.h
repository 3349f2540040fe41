#pragma once
// The state that tests and benchmarks set up in the prefix and put back:
// registry trees, folders and files, child processes with bounded waits,
// the server executable and its processes. Needs no test framework: every
// failure throws (Vardel::CWin32Error for a failed Win32 call,
// CEnvironmentError otherwise), so a benchmark stops and a test fails.

#include "ComSupport.h"
#include "RegistryTree.h"
#include "Win32Error.h"
#include "testsupport/ExpectedNames.h"

#include <windows.h>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace VardelTest {

class CEnvironmentError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "0x80040110" rather than a signed decimal.
inline std::string HrText(HRESULT hr) { return Vardel::HResultCode(hr); }

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

// The daily log file's path for a local day, and for today.
std::string LogFilePath(const SYSTEMTIME& day);
std::string TodayLogPath();

// This executable's own full path, its folder, and the server beside it.
std::string SelfPath();
std::string BinFolder();
std::string ServerPath();
std::string ShortPathOrLong(const std::string& path);

// Starts a command line; throws when it cannot. The process runs on.
Vardel::CUniqueHandle StartProcess(const std::string& commandLine);
// Waits at most timeoutMs for the process to end and returns its exit
// code; one still running then is killed and the wait throws.
DWORD WaitForProcess(HANDLE process, DWORD timeoutMs, const std::string& what);

// A child process's exit code and its captured output.
struct CRunResult {
    DWORD exitCode = static_cast<DWORD>(-1);
    std::string out, err;
};
// Starts a command line, with standard input fed from input and the output
// captured, and waits at most timeoutMs for it. Throws when it cannot start
// or still runs then (it is killed first).
CRunResult RunCaptured(const std::string& commandLine, const std::string& input = std::string(),
                       DWORD timeoutMs = 60000);
// The same without redirection; returns the exit code.
DWORD RunProcess(const std::string& commandLine, DWORD timeoutMs = 60000);
// Runs the server executable with arguments and returns its exit code.
DWORD RunServer(const std::string& arguments, const std::string& server = ServerPath());

// Server processes that COM started, by image name.
std::vector<DWORD> ServerProcessIds();
// Waits until every server process has ended; kills the rest and returns
// false after timeoutMs.
bool WaitForServersToEnd(DWORD timeoutMs);

// A COM apartment for this thread for the guard's life; throws when COM
// cannot be initialised.
class CComInit {
public:
    explicit CComInit(DWORD model = COINIT_MULTITHREADED);

private:
    Vardel::CComApartment m_apartment;
};

} // namespace VardelTest
