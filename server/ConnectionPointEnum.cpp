#include "ConnectionPointEnum.h"

#include "ServerLock.h"

#include <new>

namespace VardelServer {

CEmptyConnectionPointEnum::CEmptyConnectionPointEnum() noexcept
{
    LockServer();
}

CEmptyConnectionPointEnum::~CEmptyConnectionPointEnum()
{
    UnlockServer();
}

HRESULT CEmptyConnectionPointEnum::Create(IEnumConnectionPoints** enumerator) noexcept
{
    if (!enumerator)
        return E_POINTER;
    *enumerator = new (std::nothrow) CEmptyConnectionPointEnum();
    return *enumerator ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CEmptyConnectionPointEnum::QueryInterface(REFIID iid, void** object)
{
    if (!object)
        return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IEnumConnectionPoints)) {
        *object = static_cast<IEnumConnectionPoints*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CEmptyConnectionPointEnum::AddRef()
{
    return static_cast<ULONG>(InterlockedIncrement(&m_references));
}

STDMETHODIMP_(ULONG) CEmptyConnectionPointEnum::Release()
{
    LONG left = InterlockedDecrement(&m_references);
    if (left == 0)
        delete this;
    return static_cast<ULONG>(left);
}

STDMETHODIMP CEmptyConnectionPointEnum::Next(ULONG count, IConnectionPoint** points, ULONG* fetched)
{
    // The usual enumerator contract: without fetched only one may be asked for.
    if ((count && !points) || (count != 1 && !fetched))
        return E_POINTER;
    if (fetched)
        *fetched = 0;
    return count == 0 ? S_OK : S_FALSE;
}

STDMETHODIMP CEmptyConnectionPointEnum::Skip(ULONG count)
{
    return count == 0 ? S_OK : S_FALSE;
}

STDMETHODIMP CEmptyConnectionPointEnum::Reset()
{
    return S_OK;
}

STDMETHODIMP CEmptyConnectionPointEnum::Clone(IEnumConnectionPoints** enumerator)
{
    return Create(enumerator);
}

} // namespace VardelServer
