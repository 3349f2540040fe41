#pragma once
// HKEY_LOCAL_MACHINE\SOFTWARE (or a key below it, such as SOFTWARE\Classes)
// opened in one registry view, so that the helpers of TestSupport.h, which
// take a root and a path below it, set and guard keys where 32-bit or 64-bit
// programs keep them.

#include "Handles.h"
#include "testsupport/TestEnvironment.h"

#include <windows.h>
#include <string>

namespace VardelTest {

class CSoftwareView {
public:
    explicit CSoftwareView(REGSAM view, const char* path = "SOFTWARE")
    {
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS | view, m_key.put());
    }
    HKEY get() const { return m_key.get(); }
    // "SOFTWARE\Pellucor\..." as a path below this root: "Pellucor\...".
    static std::string Below(const std::string& path) { return path.substr(path.find('\\') + 1); }

private:
    Vardel::CUniqueHKey m_key;
};

// False for a 32-bit process on 32-bit Windows, which has one view only.
inline bool HasTwoRegistryViews()
{
    BOOL wow64 = FALSE;
    return sizeof(void*) == 8 || (IsWow64Process(GetCurrentProcess(), &wow64) && wow64);
}

// Guards a key below HKLM\SOFTWARE ("SOFTWARE\Pellucor\...") in both registry
// views by name, whatever the bitness of the test: a test that writes either
// view leaves nothing behind for the next one. (HKEY_LOCAL_MACHINE alone is
// the 32-bit view in a 32-bit process.)
class CBothViewsKeyGuard {
public:
    explicit CBothViewsKeyGuard(const std::string& softwarePath)
        : m_guard32(m_view32.get(), Trimmed(softwarePath)), m_guard64(m_view64.get(), Trimmed(softwarePath))
    {
    }

private:
    static std::string Trimmed(const std::string& path)
    {
        std::string below = CSoftwareView::Below(path);
        while (!below.empty() && below.back() == '\\')
            below.pop_back();
        return below;
    }
    CSoftwareView m_view32{KEY_WOW64_32KEY}, m_view64{KEY_WOW64_64KEY};
    CRegistryKeyGuard m_guard32, m_guard64;
};

} // namespace VardelTest
