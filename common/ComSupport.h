#pragma once
// Owners for COM references and COM or shell allocations, in the manner of
// Handles.h, and the two text conversions that clients of the server share.

#include "Handles.h"

#include <objbase.h>
#include <oleauto.h>
#include <string>

namespace Vardel {

struct CComRelease { void operator()(IUnknown* p) const noexcept { p->Release(); } };
struct CSysFreeString { void operator()(BSTR s) const noexcept { ::SysFreeString(s); } };
struct CLocalFree { void operator()(void* p) const noexcept { ::LocalFree(p); } };

// One counted reference to an interface.
template <typename I>
using CComOwner = CUniqueResource<I*, CComRelease, nullptr>;
using CBstrOwner = CUniqueResource<BSTR, CSysFreeString, nullptr>;
// Memory the system handed out with LocalAlloc (FormatMessage, CommandLineToArgvW).
template <typename T>
using CLocalOwner = CUniqueResource<T*, CLocalFree, nullptr>;

// COM for this thread in the given apartment model while the guard lives.
// Result() tells whether it was initialised; only then is it uninitialised.
class CComApartment {
public:
    explicit CComApartment(DWORD model) noexcept : m_hr(::CoInitializeEx(nullptr, model)) {}
    ~CComApartment()
    {
        if (SUCCEEDED(m_hr))
            ::CoUninitialize();
    }
    CComApartment(const CComApartment&) = delete;
    CComApartment& operator=(const CComApartment&) = delete;
    HRESULT Result() const noexcept { return m_hr; }

private:
    HRESULT m_hr;
};

// A BSTR of the text read in the ANSI code page; null only when out of memory.
inline CBstrOwner BstrFromText(const std::string& text)
{
    const int units = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    CBstrOwner bstr(::SysAllocStringLen(nullptr, static_cast<UINT>(units)));
    if (bstr)
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), bstr.get(), units);
    return bstr;
}

// CLSIDFromProgID for a narrow ProgID; E_OUTOFMEMORY when the text cannot be converted.
inline HRESULT ClsidFromProgId(const char* progId, CLSID* clsid)
{
    const CBstrOwner wide = BstrFromText(progId);
    return wide ? ::CLSIDFromProgID(wide.get(), clsid) : E_OUTOFMEMORY;
}

// The registry form of a GUID: upper case, in braces.
inline std::string GuidText(REFGUID guid)
{
    wchar_t wide[40] = {};
    ::StringFromGUID2(guid, wide, 40);
    char text[40] = {};
    WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, nullptr);
    return text;
}

} // namespace Vardel
