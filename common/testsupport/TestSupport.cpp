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

struct CRegistryKeyGuard::Node {
    struct Value {
        std::string name;
        DWORD type;
        std::vector<BYTE> data;
    };
    std::vector<Value> values;
    std::vector<std::pair<std::string, std::unique_ptr<Node>>> children;
};

namespace {

std::unique_ptr<CRegistryKeyGuard::Node> SaveKey(HKEY key)
{
    auto node = std::make_unique<CRegistryKeyGuard::Node>();
    for (DWORD i = 0;; ++i) {
        char name[16384];
        DWORD nameLen = sizeof name;
        DWORD type = 0, size = 0;
        if (RegEnumValueA(key, i, name, &nameLen, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            break;
        std::vector<BYTE> data(size);
        nameLen = sizeof name;
        RegEnumValueA(key, i, name, &nameLen, nullptr, &type, data.data(), &size);
        data.resize(size);
        node->values.push_back({name, type, data});
    }
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD nameLen = sizeof name;
        if (RegEnumKeyExA(key, i, name, &nameLen, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        Vardel::CUniqueHKey child;
        if (RegOpenKeyExA(key, name, 0, KEY_READ, child.put()) == ERROR_SUCCESS)
            node->children.emplace_back(name, SaveKey(child.get()));
    }
    return node;
}

void RestoreKey(HKEY parent, const std::string& path, const CRegistryKeyGuard::Node& node)
{
    Vardel::CUniqueHKey key;
    if (RegCreateKeyExA(parent, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr) != ERROR_SUCCESS)
        return;
    for (const auto& v : node.values)
        RegSetValueExA(key.get(), v.name.c_str(), 0, v.type, v.data.data(), static_cast<DWORD>(v.data.size()));
    for (const auto& c : node.children)
        RestoreKey(key.get(), c.first, *c.second);
}

Vardel::CUniqueHKey CreateKey(HKEY root, const std::string& path)
{
    Vardel::CUniqueHKey key;
    LONG rc = RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr);
    EXPECT_EQ(ERROR_SUCCESS, rc) << "creating " << path;
    return key;
}

} // namespace

CRegistryKeyGuard::CRegistryKeyGuard(HKEY root, const std::string& path) : m_root(root), m_path(path)
{
    Vardel::CUniqueHKey key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS)
        m_saved = SaveKey(key.get());
    key.reset();
    DeleteRegTree(root, path);
}

CRegistryKeyGuard::~CRegistryKeyGuard()
{
    DeleteRegTree(m_root, m_path);
    if (m_saved)
        RestoreKey(m_root, m_path, *m_saved);
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
    Vardel::CUniqueHKey key;
    return RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
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
    Vardel::CUniqueHKey key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_ALL_ACCESS, key.put()) != ERROR_SUCCESS)
        return;
    for (;;) {
        char name[256];
        DWORD nameLen = sizeof name;
        if (RegEnumKeyExA(key.get(), 0, name, &nameLen, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        std::string child = path + "\\" + name;
        DeleteRegTree(root, child);
        if (RegKeyExists(root, child))
            break; // could not delete; avoid looping for ever
    }
    key.reset();
    RegDeleteKeyA(root, path.c_str());
}

void CollectRegistryTree(HKEY key, const std::string& path, std::vector<std::string>& lines)
{
    bool anyValue = false;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD nameLength = sizeof name, type = 0;
        BYTE data[2048];
        DWORD size = sizeof data;
        if (RegEnumValueA(key, i, name, &nameLength, nullptr, &type, data, &size) != ERROR_SUCCESS)
            break;
        anyValue = true;
        std::string text = type == REG_SZ ? std::string(reinterpret_cast<char*>(data), size ? size - 1 : 0)
                                          : "<type " + std::to_string(type) + ">";
        lines.push_back(path + " " + (nameLength ? std::string(name, nameLength) : "@") + "=" + text);
    }
    if (!anyValue)
        lines.push_back(path);
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD length = sizeof name;
        if (RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        Vardel::CUniqueHKey child;
        if (RegOpenKeyExA(key, name, 0, KEY_READ, child.put()) == ERROR_SUCCESS)
            CollectRegistryTree(child.get(), path.empty() ? name : path + "\\" + name, lines);
    }
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
