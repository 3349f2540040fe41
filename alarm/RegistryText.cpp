#include "RegistryText.h"

#include "Handles.h"

#include <cstring>
#include <vector>

namespace Vardel {

std::string ReadRegistryText(HKEY root, const char* keyPath, const char* valueName, DWORD* type)
{
    DWORD storedType = REG_NONE, ignored = REG_NONE;
    DWORD& typeOut = type ? *type : ignored;
    typeOut = REG_NONE;
    CUniqueHKey key;
    if (::RegOpenKeyExA(root, keyPath, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
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
