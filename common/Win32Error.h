#pragma once
// Turns failed Win32 results into exceptions at the boundary where the rest
// of the code prefers exceptions. Only BOOL and DWORD error codes are
// accepted: a bool or an HRESULT passed by mistake does not compile.

#include <windows.h>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace Vardel {

class CWin32Error : public std::runtime_error {
public:
    CWin32Error(DWORD error, const std::string& what)
        : std::runtime_error(what + " (Windows error " + std::to_string(error) + ")"), m_error(error) {}
    DWORD Error() const noexcept { return m_error; }

private:
    DWORD m_error;
};

template <typename R>
inline void ThrowLastErrorIfFalse(R result, const char* expression)
{
    static_assert(std::is_same<R, BOOL>::value, "expects a Win32 BOOL");
    if (!result)
        throw CWin32Error(::GetLastError(), expression);
}

// HRESULT_FROM_WIN32 as a function, for errors that leave through COM.
inline HRESULT HResultFromWin32(DWORD error) noexcept
{
    return error == ERROR_SUCCESS ? S_OK
                                  : static_cast<HRESULT>((error & 0x0000FFFF) | (FACILITY_WIN32 << 16) | 0x80000000);
}

// "0x80040110": an HRESULT as its documentation and headers write it.
inline std::string HResultCode(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

} // namespace Vardel

#define VARDEL_THROW_IF_WIN32_FALSE(expr) ::Vardel::ThrowLastErrorIfFalse((expr), #expr)
