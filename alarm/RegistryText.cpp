#include "RegistryText.h"

#include "Handles.h"

#include <cstring>
#include <vector>

namespace Vardel {

namespace {

// ERROR_SUCCESS when the key opens in the view; *present tells whether it
// holds the value (of any type and size).
LONG ProbeKey(HKEY root, const char* keyPath, const char* valueName, REGSAM view, bool* present)
{
    CUniqueHKey key;
    const LONG rc = ::RegOpenKeyExA(root, keyPath, 0, KEY_QUERY_VALUE | view, key.put());
    *present = rc == ERROR_SUCCESS &&
               ::RegQueryValueExA(key.get(), valueName, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    return rc;
}

} // namespace

CRegistryViewChoice ChooseRegistryView(HKEY root, const char* keyPath, const char* valueName)
{
    CRegistryViewChoice choice;
    bool value32 = false, value64 = false;
    const bool key32 = ProbeKey(root, keyPath, valueName, KEY_WOW64_32KEY, &value32) == ERROR_SUCCESS;
    if (value32) {
        choice.keyFound = choice.valueFound = true;
        return choice;
    }
    const bool key64 = ProbeKey(root, keyPath, valueName, KEY_WOW64_64KEY, &value64) == ERROR_SUCCESS;
    if (value64 || (key64 && !key32))
        choice.view = KEY_WOW64_64KEY;
    choice.keyFound = key32 || key64;
    choice.valueFound = value64;
    return choice;
}

const char* RegistryViewName(REGSAM view)
{
    return (view & KEY_WOW64_64KEY) ? "64-bit" : "32-bit";
}

std::string ReadSettingText(HKEY root, const char* keyPath, const char* valueName, DWORD* type)
{
    return ReadRegistryText(root, keyPath, valueName, type, ChooseRegistryView(root, keyPath, valueName).view);
}

std::string ReadRegistryText(HKEY root, const char* keyPath, const char* valueName, DWORD* type, REGSAM view)
{
    DWORD storedType = REG_NONE, ignored = REG_NONE;
    DWORD& typeOut = type ? *type : ignored;
    typeOut = REG_NONE;
    CUniqueHKey key;
    if (::RegOpenKeyExA(root, keyPath, 0, KEY_READ | view, key.put()) != ERROR_SUCCESS)
        return std::string();

    std::vector<char> buffer(256);
    DWORD size = 0;
    LONG rc;
    for (;;) {
        size = static_cast<DWORD>(buffer.size());
        rc = ::RegQueryValueExA(key.get(), valueName, nullptr, &storedType, reinterpret_cast<BYTE*>(buffer.data()),
                                &size);
        if (rc != ERROR_MORE_DATA)
            break;
        buffer.resize(buffer.size() * 2);
    }
    if (rc != ERROR_SUCCESS)
        return std::string();
    typeOut = storedType;
    // A value stored without its NUL may fill the buffer exactly: never read
    // past the bytes the query returned.
    size = size < buffer.size() ? size : static_cast<DWORD>(buffer.size());
    const char* text = buffer.data();
    const void* nul = std::memchr(text, '\0', size);
    return std::string(text, nul ? static_cast<const char*>(nul) - text : size);
}

} // namespace Vardel
