#include "ClassFactory.h"

#include "ServerLock.h"

namespace VardelServer {

CVardelEventLogFactory::CVardelEventLogFactory() = default;

CVardelEventLogFactory::~CVardelEventLogFactory()
{
    // Clients first, so that no call reaches a service that is stopping.
    CoDisconnectObject(m_object.Identity(), 0);
    m_object.StopService();
}

STDMETHODIMP CVardelEventLogFactory::QueryInterface(REFIID iid, void** object)
{
    if (!object)
        return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
        *object = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CVardelEventLogFactory::AddRef()
{
    return static_cast<ULONG>(InterlockedIncrement(&m_references));
}

STDMETHODIMP_(ULONG) CVardelEventLogFactory::Release()
{
    LONG left = InterlockedDecrement(&m_references);
    if (left == 0)
        delete this;
    return static_cast<ULONG>(left);
}

STDMETHODIMP CVardelEventLogFactory::CreateInstance(IUnknown* outer, REFIID iid, void** object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    return m_object.QueryInterface(iid, object);
}

STDMETHODIMP CVardelEventLogFactory::LockServer(BOOL lock)
{
    if (lock)
        VardelServer::LockServer();
    else
        UnlockServer();
    return S_OK;
}

} // namespace VardelServer
