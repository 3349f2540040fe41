#include "RegistryTree.h"

#include "Handles.h"
#include "Win32Error.h"

#include <algorithm>

namespace Vardel {

namespace {

LONG OpenKey(HKEY root, const std::string& path, REGSAM access, REGSAM view, CUniqueHKey& key) noexcept
{
    return RegOpenKeyExA(root, path.c_str(), 0, access | view, key.put());
}

const char* ValueName(const std::string& name)
{
    return name.empty() ? nullptr : name.c_str();
}

void ThrowIfFailed(LONG rc, const std::string& what)
{
    if (rc != ERROR_SUCCESS)
        throw CWin32Error(static_cast<DWORD>(rc), what);
}

void TakeKey(HKEY key, const std::string& path, REGSAM view, CKeySnapshot& snapshot)
{
    DWORD subkeys = 0, longestSubkey = 0, values = 0, longestValueName = 0;
    ThrowIfFailed(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, &longestSubkey, nullptr, &values,
                                   &longestValueName, nullptr, nullptr, nullptr),
                  "querying " + path);
    std::vector<char> name(std::max(longestSubkey, longestValueName) + 2);
    for (DWORD i = 0; i < values; ++i) {
        DWORD length = static_cast<DWORD>(name.size());
        LONG rc = RegEnumValueA(key, i, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        ThrowIfFailed(rc, "listing the values of " + path);
        CRegistryValue value;
        if (!ReadRegistryValue(key, std::string(name.data(), length), value))
            throw CWin32Error(ERROR_CANTREAD, "reading a value of " + path);
        snapshot.values.push_back(std::move(value));
    }
    for (DWORD i = 0; i < subkeys; ++i) {
        DWORD length = static_cast<DWORD>(name.size());
        LONG rc = RegEnumKeyExA(key, i, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        ThrowIfFailed(rc, "listing the subkeys of " + path);
        CKeySnapshot child;
        child.name.assign(name.data(), length);
        CUniqueHKey childKey;
        ThrowIfFailed(OpenKey(key, child.name, KEY_READ, view, childKey), "opening " + path + "\\" + child.name);
        TakeKey(childKey.get(), path + "\\" + child.name, view, child);
        snapshot.children.push_back(std::move(child));
    }
}

LONG RestoreKey(HKEY parent, const std::string& path, REGSAM view, const CKeySnapshot& snapshot) noexcept
{
    CUniqueHKey key;
    LONG rc = RegCreateKeyExA(parent, path.c_str(), 0, nullptr, 0, KEY_WRITE | view, nullptr, key.put(), nullptr);
    if (rc != ERROR_SUCCESS)
        return rc;
    LONG first = ERROR_SUCCESS;
    for (const auto& v : snapshot.values) {
        rc = RegSetValueExA(key.get(), ValueName(v.name), 0, v.type, v.data.data(), static_cast<DWORD>(v.data.size()));
        if (first == ERROR_SUCCESS)
            first = rc;
    }
    for (const auto& child : snapshot.children) {
        rc = RestoreKey(key.get(), child.name, view, child);
        if (first == ERROR_SUCCESS)
            first = rc;
    }
    return first;
}

std::string ValueText(const CRegistryValue& value)
{
    if (value.type != REG_SZ)
        return "<type " + std::to_string(value.type) + ">";
    std::string text(value.data.begin(), value.data.end());
    if (!text.empty() && text.back() == '\0')
        text.pop_back();
    return text;
}

} // namespace

std::optional<CKeySnapshot> CKeySnapshot::Take(HKEY root, const std::string& path, REGSAM view)
{
    CUniqueHKey key;
    LONG rc = OpenKey(root, path, KEY_READ, view, key);
    if (rc == ERROR_FILE_NOT_FOUND)
        return std::nullopt;
    ThrowIfFailed(rc, "opening " + path);
    CKeySnapshot snapshot;
    TakeKey(key.get(), path, view, snapshot);
    return snapshot;
}

LONG CKeySnapshot::Restore(HKEY root, const std::string& path, REGSAM view) const noexcept
{
    return RestoreKey(root, path, view, *this);
}

void CKeySnapshot::List(const std::string& path, std::vector<std::string>& lines) const
{
    for (const auto& value : values)
        lines.push_back(path + " " + (value.name.empty() ? "@" : value.name) + "=" + ValueText(value));
    if (values.empty())
        lines.push_back(path);
    for (const auto& child : children)
        child.List(path.empty() ? child.name : path + "\\" + child.name, lines);
}

bool RegistryKeyExists(HKEY root, const std::string& path, REGSAM view) noexcept
{
    CUniqueHKey key;
    return OpenKey(root, path, KEY_READ, view, key) == ERROR_SUCCESS;
}

bool ReadRegistryValue(HKEY key, const std::string& name, CRegistryValue& value)
{
    for (;;) {
        DWORD size = 0;
        if (RegQueryValueExA(key, ValueName(name), nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS)
            return false;
        value.name = name;
        value.data.resize(size);
        LONG rc = RegQueryValueExA(key, ValueName(name), nullptr, &value.type, value.data.data(), &size);
        if (rc == ERROR_MORE_DATA)
            continue; // it grew in between
        value.data.resize(size);
        return rc == ERROR_SUCCESS;
    }
}

LONG DeleteRegistryTree(HKEY root, const std::string& path, REGSAM view) noexcept
{
    if (path.empty())
        return ERROR_INVALID_PARAMETER; // never the root itself
    CUniqueHKey key;
    LONG rc = OpenKey(root, path, KEY_ALL_ACCESS, view, key);
    if (rc == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS)
        return rc;
    // Empties the key; the key itself goes through the parent, in the view asked for.
    rc = RegDeleteTreeA(key.get(), nullptr);
    key.reset();
    if (rc == ERROR_SUCCESS)
        rc = RegDeleteKeyExA(root, path.c_str(), view, 0);
    return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

} // namespace Vardel
