#include "NarrowText.h"

#include "Win32Error.h"

#include <climits>
#include <cwchar>
#include <oleauto.h>

namespace VardelServer {

std::string NarrowText(const wchar_t* text, size_t length, UINT codePage)
{
    if (!text)
        return std::string();
    length = wcsnlen(text, length);
    if (length == 0)
        return std::string();
    if (length > static_cast<size_t>(INT_MAX))
        throw Vardel::CWin32Error(ERROR_ARITHMETIC_OVERFLOW, "text too long to convert");
    const int units = static_cast<int>(length);
    int bytes = WideCharToMultiByte(codePage, 0, text, units, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        throw Vardel::CWin32Error(GetLastError(), "WideCharToMultiByte");
    std::string narrow(static_cast<size_t>(bytes), '\0');
    bytes = WideCharToMultiByte(codePage, 0, text, units, &narrow[0], bytes, nullptr, nullptr);
    if (bytes <= 0)
        throw Vardel::CWin32Error(GetLastError(), "WideCharToMultiByte");
    narrow.resize(static_cast<size_t>(bytes));
    return narrow;
}

std::string NarrowFromBstr(BSTR text, UINT codePage)
{
    return text ? NarrowText(text, SysStringLen(text), codePage) : std::string();
}

} // namespace VardelServer
