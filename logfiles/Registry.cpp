#include "Registry.h"

#include "Handles.h"
#include "RegistryText.h"

#include <clocale>
#include <cstdlib>
#include <cstring>

namespace {

// KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY |
// KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY | READ_CONTROL
constexpr REGSAM SETTINGS_ACCESS = 0x2001F;
constexpr DWORD VALUE_BUFFER_SIZE = 200;

// Switches the whole process to the "C" locale for the lifetime of the
// object and then restores every category as it was.
class CClassicLocale : private boost::noncopyable {
public:
    CClassicLocale()
    {
        const char* current = std::setlocale(LC_ALL, nullptr);
        if (current) {
            m_saved = current;
            m_restore = true;
        }
        std::setlocale(LC_ALL, "C");
    }
    ~CClassicLocale()
    {
        if (m_restore)
            std::setlocale(LC_ALL, m_saved.c_str());
    }

private:
    std::string m_saved;
    bool m_restore = false;
};

} // namespace

template <int N>
class CRegistryT<N>::CRegistryTData {
public:
    virtual ~CRegistryTData() = default;

    HKEY m_hRoot = nullptr;
    std::string m_strKey;
    Vardel::CUniqueHKey m_hKey;
};

template <int N>
CRegistryT<N>::CRegistryT(HKEY root, const std::string& subKey, REGSAM view) : m_pData(new CRegistryTData)
{
    m_pData->m_hRoot = root;
    m_pData->m_strKey = subKey;
    if (!root || subKey.empty())
        return;
    const char* path = subKey.c_str();
    if (::RegOpenKeyExA(root, path, 0, SETTINGS_ACCESS | view, m_pData->m_hKey.put()) == ERROR_SUCCESS)
        return;
    if (::RegCreateKeyExA(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, SETTINGS_ACCESS | view, nullptr,
                          m_pData->m_hKey.put(), nullptr) == ERROR_SUCCESS)
        return;
    // A process without write rights on the key can still read what an
    // administrator configured there.
    if (::RegOpenKeyExA(root, path, 0, KEY_READ | view, m_pData->m_hKey.put()) != ERROR_SUCCESS)
        m_pData->m_hKey.reset();
}

template <int N>
CRegistryT<N>::~CRegistryT()
{
    delete m_pData;
}

template <int N>
bool CRegistryT<N>::IsOpen() const
{
    return static_cast<bool>(m_pData->m_hKey);
}

template <int N>
bool CRegistryT<N>::GetStringValue(const std::string& name, std::string& value) const
{
    if (!m_pData->m_hKey)
        return false;
    char buffer[VALUE_BUFFER_SIZE] = {};
    DWORD size = sizeof buffer;
    if (::RegQueryValueExA(m_pData->m_hKey.get(), name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(buffer),
                           &size) != ERROR_SUCCESS)
        return false;
    // A value stored without its NUL may fill the buffer exactly.
    if (size > sizeof buffer)
        size = sizeof buffer;
    const void* nul = std::memchr(buffer, '\0', size);
    value.assign(buffer, nul ? static_cast<const char*>(nul) - buffer : size);
    return true;
}

template <int N>
bool CRegistryT<N>::GetNumberValue(const std::string& name, DWORD& value) const
{
    if (!m_pData->m_hKey)
        return false;
    DWORD type = REG_NONE, number = 0, size = sizeof number;
    if (::RegQueryValueExA(m_pData->m_hKey.get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&number),
                           &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof number)
        return false;
    value = number;
    return true;
}

template class CRegistryT<0>;

std::int32_t LoadExpireDays()
{
    std::int32_t days = DEFAULT_EXPIRE_DAYS;
    const Vardel::CRegistryViewChoice where =
        Vardel::ChooseRegistryView(HKEY_LOCAL_MACHINE, SETTINGS_KEY, EXPIRE_DAYS_VALUE);
    CRegistry key(HKEY_LOCAL_MACHINE, SETTINGS_KEY, where.view);
    std::string text;
    DWORD number = 0;
    if (key.GetNumberValue(EXPIRE_DAYS_VALUE, number)) {
        days = number > static_cast<DWORD>(INT32_MAX) ? INT32_MAX : static_cast<std::int32_t>(number);
    } else if (key.GetStringValue(EXPIRE_DAYS_VALUE, text)) {
        CClassicLocale classic;
        days = static_cast<std::int32_t>(std::atol(text.c_str()));
    }
    return days;
}
