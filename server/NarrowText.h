#pragma once
// UTF-16 text from the component interface into the narrow text that the
// rest of the server works with.

#include <windows.h>
#include <oleauto.h>
#include <string>

namespace VardelServer {

// The characters of text up to its first NUL or its length, whichever comes
// first, converted to codePage (no flags, the code page's default character
// for characters without a mapping). The buffer is sized by the conversion
// itself, so code pages with three or more bytes per UTF-16 unit fit.
// Throws CWin32Error when the conversion fails, bad_alloc without memory.
std::string NarrowText(const wchar_t* text, size_t length, UINT codePage = CP_ACP);

// A BSTR as above; a null BSTR is the empty string.
std::string NarrowFromBstr(BSTR text, UINT codePage = CP_ACP);

} // namespace VardelServer
