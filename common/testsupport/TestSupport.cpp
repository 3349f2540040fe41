#include "testsupport/TestSupport.h"

#include "Handles.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace VardelTest {

std::string HrText(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

std::string CurrentZoneName()
{
    TIME_ZONE_INFORMATION tz = {};
    GetTimeZoneInformation(&tz);
    char name[64] = {};
    WideCharToMultiByte(CP_ACP, 0, tz.StandardName, -1, name, sizeof name, nullptr, nullptr);
    return name;
}

namespace {

Vardel::CUniqueHKey CreateKey(HKEY root, const std::string& path)
{
    Vardel::CUniqueHKey key;
    LONG rc = RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr);
    EXPECT_EQ(ERROR_SUCCESS, rc) << "creating " << path;
    return key;
}

} // namespace

CRegistryKeyGuard::CRegistryKeyGuard(HKEY root, const std::string& path)
    : m_root(root), m_path(path), m_saved(Vardel::CKeySnapshot::Take(root, path))
{
    DeleteRegTree(root, path);
}

CRegistryKeyGuard::~CRegistryKeyGuard()
{
    DeleteRegTree(m_root, m_path);
    if (m_saved)
        EXPECT_EQ(ERROR_SUCCESS, m_saved->Restore(m_root, m_path)) << "restoring " << m_path;
}

void SetRegRaw(HKEY root, const std::string& path, const std::string& name, DWORD type, const void* data, DWORD size)
{
    auto key = CreateKey(root, path);
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key.get(), name.empty() ? nullptr : name.c_str(), 0, type,
                                            static_cast<const BYTE*>(data), size));
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
    char buffer[4096];
    DWORD size = sizeof buffer, type = 0;
    if (RegQueryValueExA(key.get(), name.empty() ? nullptr : name.c_str(), nullptr, &type,
                         reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS || type != REG_SZ)
        return false;
    value.assign(buffer, size && buffer[size - 1] == '\0' ? size - 1 : size);
    return true;
}

void DeleteRegTree(HKEY root, const std::string& path)
{
    EXPECT_EQ(ERROR_SUCCESS, Vardel::DeleteRegistryTree(root, path)) << "deleting " << path;
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
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(path.c_str())) << path;
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
    ASSERT_TRUE(out.good()) << path;
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

std::string SelfPath()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return std::string(path, n);
}

DWORD RunProcess(const std::string& commandLine, DWORD timeoutMs)
{
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    std::vector<char> cmd(commandLine.begin(), commandLine.end());
    cmd.push_back('\0');
    if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        ADD_FAILURE() << "cannot start " << commandLine << ": error " << GetLastError();
        return static_cast<DWORD>(-1);
    }
    Vardel::CUniqueHandle process(pi.hProcess), thread(pi.hThread);
    if (WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 1);
        ADD_FAILURE() << commandLine << " still ran after " << timeoutMs << " ms";
        return static_cast<DWORD>(-1);
    }
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    return code;
}

} // namespace VardelTest
