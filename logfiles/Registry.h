#pragma once
// The one setting of the log files, ExpireLogsAfter, and the small registry
// key class that reads it.

#include "FixedNames.h"

#include <windows.h>
#include <boost/noncopyable.hpp>
#include <cstdint>
#include <string>

using Vardel::SETTINGS_KEY;
using Vardel::EXPIRE_DAYS_VALUE;
constexpr std::int32_t DEFAULT_EXPIRE_DAYS = 2;

// A sub-key opened (or, when absent, created empty) with read, set-value and
// create-sub-key rights; where the process may not have those, opened for
// reading only. view (KEY_WOW64_32KEY, KEY_WOW64_64KEY or 0 for the
// process's own) picks the registry view. Closed by the destructor. The
// system uses CRegistryT<0>.
template <int N>
class CRegistryT : private boost::noncopyable {
public:
    CRegistryT(HKEY root, const std::string& subKey, REGSAM view = 0);
    virtual ~CRegistryT();

    bool IsOpen() const;
    // The value's bytes up to the first NUL, whatever its registry type;
    // false when the key is not open or the value is absent or does not
    // fit 200 bytes.
    bool GetStringValue(const std::string& name, std::string& value) const;
    // The value when it is stored as a 32-bit number (REG_DWORD); false for
    // every other type.
    bool GetNumberValue(const std::string& name, DWORD& value) const;

private:
    class CRegistryTData;
    CRegistryTData* m_pData;
};

using CRegistry = CRegistryT<0>;

// The days to keep: ExpireLogsAfter read as a decimal number in the "C"
// locale (no digits give 0), 2 when the key or value cannot be read. A
// value stored as a 32-bit number is taken as that number (at most
// INT32_MAX): read through its bytes, 7 would mean 0 days and delete
// every earlier log file.
// Read from the view that Vardel::ChooseRegistryView names: the 32-bit view
// first, then the 64-bit one. Creates the key, empty, in the 32-bit view
// when it is absent from both and creatable.
std::int32_t LoadExpireDays();
