#include "testsupport/TestEnvironment.h"

#include "Handles.h"
#include "RegistryTree.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace VardelTest {

namespace {

Vardel::CUniqueHKey CreateKey(HKEY root, const std::string& path)
{
    Vardel::CUniqueHKey key;
    const LONG rc = RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr);
    if (rc != ERROR_SUCCESS)
        throw Vardel::CWin32Error(static_cast<DWORD>(rc), "creating " + path);
    return key;
}

} // namespace

// HKEY_LOCAL_MACHINE is one view or the other by the process's bitness, so
// a guard over it cleans a different view in each build; the caller names
// the view (CSoftwareView, CBothViewsKeyGuard).
static HKEY ViewNamedRoot(HKEY root)
{
    if (root == HKEY_LOCAL_MACHINE)
        throw CEnvironmentError("registry guard: name the view (KEY_WOW64_32KEY or KEY_WOW64_64KEY), "
                                "not HKEY_LOCAL_MACHINE");
    return root;
}

CRegistryKeyGuard::CRegistryKeyGuard(HKEY root, const std::string& path)
    : m_root(ViewNamedRoot(root)), m_path(path), m_saved(Vardel::CKeySnapshot::Take(root, path))
{
    DeleteRegTree(root, path);
}

CRegistryKeyGuard::~CRegistryKeyGuard()
{
    // A destructor cannot throw: a tree that cannot be put back is reported
    // on stderr, where the failing test's output shows it.
    LONG rc = Vardel::DeleteRegistryTree(m_root, m_path);
    if (rc == ERROR_SUCCESS && m_saved)
        rc = m_saved->Restore(m_root, m_path);
    if (rc != ERROR_SUCCESS)
        std::fprintf(stderr, "registry guard: cannot put back %s: error %ld\n", m_path.c_str(), rc);
}

void SetRegRaw(HKEY root, const std::string& path, const std::string& name, DWORD type, const void* data, DWORD size)
{
    auto key = CreateKey(root, path);
    const LONG rc = RegSetValueExA(key.get(), name.empty() ? nullptr : name.c_str(), 0, type,
                                   static_cast<const BYTE*>(data), size);
    if (rc != ERROR_SUCCESS)
        throw Vardel::CWin32Error(static_cast<DWORD>(rc), "setting " + path + " " + name);
}

void SetRegString(HKEY root, const std::string& path, const std::string& name, const std::string& value)
{
    SetRegRaw(root, path, name, REG_SZ, value.c_str(), static_cast<DWORD>(value.size() + 1));
}

void SetRegDword(HKEY root, const std::string& path, const std::string& name, DWORD value)
{
    SetRegRaw(root, path, name, REG_DWORD, &value, sizeof value);
}

bool RegKeyExists(HKEY root, const std::string& path)
{
    return Vardel::RegistryKeyExists(root, path);
}

bool RegGetString(HKEY root, const std::string& path, const std::string& name, std::string& value)
{
    Vardel::CUniqueHKey key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return false;
    Vardel::CRegistryValue read;
    if (!Vardel::ReadRegistryValue(key.get(), name, read) || read.type != REG_SZ)
        return false;
    value.assign(read.data.begin(), read.data.end());
    while (!value.empty() && value.back() == '\0')
        value.pop_back();
    return true;
}

void DeleteRegTree(HKEY root, const std::string& path)
{
    const LONG rc = Vardel::DeleteRegistryTree(root, path);
    if (rc != ERROR_SUCCESS)
        throw Vardel::CWin32Error(static_cast<DWORD>(rc), "deleting " + path);
}

void CollectRegistryTree(HKEY key, const std::string& path, std::vector<std::string>& lines)
{
    if (auto tree = Vardel::CKeySnapshot::Take(key, std::string()))
        tree->List(path, lines);
}

void RemoveTree(const std::string& path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        for (const auto& name : ListFolder(path))
            RemoveTree(path + "\\" + name);
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        RemoveDirectoryA(path.c_str());
    } else {
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path.c_str());
    }
}

void MakeEmptyFolder(const std::string& path)
{
    RemoveTree(path);
    for (size_t pos = path.find('\\', 3); pos != std::string::npos; pos = path.find('\\', pos + 1))
        CreateDirectoryA(path.substr(0, pos).c_str(), nullptr);
    CreateDirectoryA(path.c_str(), nullptr);
    if (!FileExists(path))
        throw Vardel::CWin32Error(GetLastError(), "creating the folder " + path);
}

bool FileExists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteWholeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out.good())
        throw CEnvironmentError("cannot write " + path);
}

std::vector<std::string> ListFolder(const std::string& folder)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    Vardel::CUniqueFind find(FindFirstFileA((folder + "\\*").c_str(), &data));
    if (!find)
        return names;
    do {
        std::string name = data.cFileName;
        if (name != "." && name != "..")
            names.push_back(name);
    } while (FindNextFileA(find.get(), &data));
    std::sort(names.begin(), names.end());
    return names;
}

std::string LogFilePath(const SYSTEMTIME& day)
{
    char name[64];
    std::snprintf(name, sizeof name, "\\Log_%04u_%02u_%02u.log", day.wYear, day.wMonth, day.wDay);
    return Expected::LOG_FOLDER + std::string(name);
}

std::string TodayLogPath()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    return LogFilePath(now);
}

std::string SelfPath()
{
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return std::string(path, n);
}

std::string BinFolder()
{
    const std::string self = SelfPath();
    return self.substr(0, self.find_last_of('\\'));
}

std::string ServerPath()
{
    return BinFolder() + "\\VardelEventLogger.exe";
}

std::string ShortPathOrLong(const std::string& path)
{
    char shortPath[MAX_PATH * 2];
    const DWORD n = GetShortPathNameA(path.c_str(), shortPath, sizeof shortPath);
    return n && n < sizeof shortPath ? std::string(shortPath, n) : path;
}

namespace {

Vardel::CUniqueHandle Start(const std::string& commandLine, STARTUPINFOA& si, BOOL inherit)
{
    PROCESS_INFORMATION pi = {};
    std::string command = commandLine;
    VARDEL_THROW_IF_WIN32_FALSE(
        CreateProcessA(nullptr, &command[0], nullptr, nullptr, inherit, 0, nullptr, nullptr, &si, &pi));
    const Vardel::CUniqueHandle thread(pi.hThread);
    return Vardel::CUniqueHandle(pi.hProcess);
}

Vardel::CUniqueHandle TempFile(std::string& path)
{
    char folder[MAX_PATH], name[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    if (!GetTempFileNameA(folder, "vsl", 0, name))
        throw Vardel::CWin32Error(GetLastError(), "GetTempFileNameA");
    path = name;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    Vardel::CUniqueFileHandle file(CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                               &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr));
    if (!file)
        throw Vardel::CWin32Error(GetLastError(), "creating " + path);
    return Vardel::CUniqueHandle(file.release());
}

std::string Lower(std::string text)
{
    CharLowerA(&text[0]);
    return text;
}

std::string FileNamePart(const std::string& path)
{
    return path.substr(path.find_last_of('\\') + 1);
}

} // namespace

Vardel::CUniqueHandle StartProcess(const std::string& commandLine)
{
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    return Start(commandLine, si, FALSE);
}

DWORD WaitForProcess(HANDLE process, DWORD timeoutMs, const std::string& what)
{
    if (WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, 10000);
        throw CEnvironmentError(what + " still ran after " + std::to_string(timeoutMs) + " ms; killed");
    }
    DWORD code = 0;
    VARDEL_THROW_IF_WIN32_FALSE(GetExitCodeProcess(process, &code));
    return code;
}

DWORD RunProcess(const std::string& commandLine, DWORD timeoutMs)
{
    const Vardel::CUniqueHandle process = StartProcess(commandLine);
    return WaitForProcess(process.get(), timeoutMs, commandLine);
}

DWORD RunServer(const std::string& arguments, const std::string& server)
{
    return RunProcess("\"" + server + "\" " + arguments, 60000);
}

CRunResult RunCaptured(const std::string& commandLine, const std::string& input, DWORD timeoutMs)
{
    std::string inPath, outPath, errPath;
    const auto remove = Vardel::ScopeExit([&] {
        for (const std::string* path : {&inPath, &outPath, &errPath})
            if (!path->empty())
                DeleteFileA(path->c_str());
    });
    Vardel::CUniqueHandle in = TempFile(inPath), out = TempFile(outPath), err = TempFile(errPath);
    DWORD written = 0;
    VARDEL_THROW_IF_WIN32_FALSE(WriteFile(in.get(), input.data(), static_cast<DWORD>(input.size()), &written, nullptr));
    SetFilePointer(in.get(), 0, nullptr, FILE_BEGIN);

    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in.get();
    si.hStdOutput = out.get();
    si.hStdError = err.get();
    CRunResult result;
    {
        const Vardel::CUniqueHandle process = Start(commandLine, si, TRUE);
        result.exitCode = WaitForProcess(process.get(), timeoutMs, commandLine);
    }
    in.reset();
    out.reset();
    err.reset();
    result.out = ReadWholeFile(outPath);
    result.err = ReadWholeFile(errPath);
    return result;
}

std::vector<DWORD> ServerProcessIds()
{
    // COM starts the server by its short path, and the process may carry either name.
    const std::string longName = Lower(FileNamePart(ServerPath()));
    const std::string shortName = Lower(FileNamePart(ShortPathOrLong(ServerPath())));
    std::vector<DWORD> ids;
    Vardel::CUniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        throw Vardel::CWin32Error(GetLastError(), "CreateToolhelp32Snapshot");
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot.get(), &entry); more; more = Process32Next(snapshot.get(), &entry)) {
        const std::string name = Lower(FileNamePart(entry.szExeFile));
        if (name == longName || name == shortName)
            ids.push_back(entry.th32ProcessID);
    }
    return ids;
}

bool WaitForServersToEnd(DWORD timeoutMs)
{
    std::vector<Vardel::CUniqueHandle> processes;
    std::vector<HANDLE> handles;
    for (DWORD id : ServerProcessIds()) {
        HANDLE h = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE, id);
        if (h) {
            processes.emplace_back(h);
            handles.push_back(h);
        }
    }
    if (handles.empty())
        return true;
    const DWORD count = static_cast<DWORD>(handles.size());
    if (WaitForMultipleObjects(count, handles.data(), TRUE, timeoutMs) < WAIT_OBJECT_0 + count)
        return true;
    for (HANDLE h : handles)
        TerminateProcess(h, 1);
    WaitForMultipleObjects(count, handles.data(), TRUE, 10000);
    return false;
}

CComInit::CComInit(DWORD model) : m_apartment(model)
{
    if (FAILED(m_apartment.Result()))
        throw CEnvironmentError("CoInitializeEx failed: " + HrText(m_apartment.Result()));
}

} // namespace VardelTest
