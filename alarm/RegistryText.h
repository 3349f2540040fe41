#pragma once
// Reads one registry value as text. Missing keys, missing values and every
// other failure give empty text; the value's registry type is not checked
// here but reported to callers that need it.
//
// The settings this server reads are written by programs that are mostly
// 32-bit (the monitoring product, installers, scripts run from 32-bit
// shells), and on 64-bit Windows those land in the 32-bit registry view. So
// each setting is looked up in the 32-bit view first and, where the key or
// the value is absent there, in the 64-bit view: the x86 and the x64 build
// read the same values. On 32-bit Windows both flags name the one view.

#include <windows.h>
#include <string>

namespace Vardel {

// Where one setting is read: view is KEY_WOW64_32KEY or KEY_WOW64_64KEY.
// valueFound: the value exists in that view. keyFound: the key does.
// With the value in neither view, the view of the key (32-bit first); with
// the key in neither, the 32-bit view, where a missing key is created.
struct CRegistryViewChoice {
    REGSAM view = KEY_WOW64_32KEY;
    bool keyFound = false;
    bool valueFound = false;
};
CRegistryViewChoice ChooseRegistryView(HKEY root, const char* keyPath, const char* valueName);

// "32-bit" or "64-bit", for messages about a CRegistryViewChoice.
const char* RegistryViewName(REGSAM view);

// The value's bytes up to the first NUL, or all of them when none is stored.
// Starts with a 256-byte buffer and doubles it while the value does not fit.
// The stored type goes to *type when given (REG_NONE on failure). view is
// OR-ed into the key's access (0: the process's own view).
std::string ReadRegistryText(HKEY root, const char* keyPath, const char* valueName, DWORD* type = nullptr,
                             REGSAM view = 0);

// ReadRegistryText from the view that ChooseRegistryView names.
std::string ReadSettingText(HKEY root, const char* keyPath, const char* valueName, DWORD* type = nullptr);

} // namespace Vardel
