#pragma once
// Reads one registry value as text. Missing keys, missing values and every
// other failure give empty text; the value's registry type is not checked
// here but reported to callers that need it.

#include <windows.h>
#include <string>

namespace Vardel {

// The value's bytes up to the first NUL, or all of them when none is stored.
// Starts with a 256-byte buffer and doubles it while the value does not fit.
// The stored type goes to *type when given (REG_NONE on failure).
std::string ReadRegistryText(HKEY root, const char* keyPath, const char* valueName, DWORD* type = nullptr);

} // namespace Vardel
