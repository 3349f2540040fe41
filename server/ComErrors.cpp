#include "ComErrors.h"

#include "Win32Error.h"

#include <new>

namespace VardelServer {

HRESULT HResultFromCurrentException() noexcept
{
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const Vardel::CWin32Error& error) {
        return error.Error() == ERROR_SUCCESS ? E_FAIL : Vardel::HResultFromWin32(error.Error());
    } catch (...) {
        return E_FAIL;
    }
}

} // namespace VardelServer
