#pragma once
// Registry trees as values: a key's values and subkeys saved, put back,
// deleted and listed. The registrar's undo journal and the tests' registry
// guards share these. Each function takes the registry view to use
// (0 for the process's own, KEY_WOW64_64KEY or KEY_WOW64_32KEY).

#include <windows.h>
#include <optional>
#include <string>
#include <vector>

namespace Vardel {

struct CRegistryValue {
    std::string name; // empty for the default value
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

// A key's values and subkeys, as they were when taken.
struct CKeySnapshot {
    std::string name; // the key's own name; empty for the tree's top
    std::vector<CRegistryValue> values;
    std::vector<CKeySnapshot> children;

    // Empty when the key does not exist; throws CWin32Error for any other
    // failure to read it, so that a partial tree is never taken for the whole.
    static std::optional<CKeySnapshot> Take(HKEY root, const std::string& path, REGSAM view = 0);
    // Creates the key and writes back every value and subkey; what exists
    // there already is left beside them. Returns the first failure, after
    // trying the rest.
    LONG Restore(HKEY root, const std::string& path, REGSAM view = 0) const noexcept;
    // One line per value ("path name=text", "@" for the default value,
    // "<type N>" for data that is not a string) and one per key without
    // values (its path alone), keys in the order taken.
    void List(const std::string& path, std::vector<std::string>& lines) const;
};

bool RegistryKeyExists(HKEY root, const std::string& path, REGSAM view = 0) noexcept;
// Reads one value; false when it does not exist or cannot be read.
bool ReadRegistryValue(HKEY key, const std::string& name, CRegistryValue& value);
// Deletes the key with everything below it; a missing key is no failure,
// an empty path is ERROR_INVALID_PARAMETER.
LONG DeleteRegistryTree(HKEY root, const std::string& path, REGSAM view = 0) noexcept;

} // namespace Vardel
