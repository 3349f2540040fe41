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

// A BSTR of the text read in the ANSI code page; null only when out of memory.
inline CBstrOwner BstrFromText(const std::string& text)
{
    const int units = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    CBstrOwner bstr(::SysAllocStringLen(nullptr, static_cast<UINT>(units)));
    if (bstr)
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), bstr.get(), units);
    return bstr;
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
