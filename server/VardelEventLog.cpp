#include "VardelEventLog.h"

#include "ComErrors.h"
#include "ConnectionPointEnum.h"
#include "NarrowText.h"
#include "ServerLock.h"
#include "VardelEventLogImpl.h"

#include <olectl.h>

namespace VardelServer {

CVardelEventLog::CVardelEventLog()
{
    m_service.reset(new VardelEventLogger::CVardelEventLogImpl(Identity()));
    try {
        m_service->StartLog();
    } catch (...) {
        // Starting always counts as done; the service retries with the first event.
    }
}

CVardelEventLog::~CVardelEventLog() = default;

void CVardelEventLog::StopService() noexcept
{
    // Taken out first: the shutdown serves calls while it drains, and a
    // LogEvent that reaches this object then fails as disconnected.
    boost::shared_ptr<VardelEventLogger::CVardelEventLogImpl> service;
    service.swap(m_service);
    if (!service)
        return;
    try {
        service->ShutdownLog();
    } catch (...) {
        // Nothing is left to report it to; the service is dropped all the same.
    }
}

STDMETHODIMP CVardelEventLog::QueryInterface(REFIID iid, void** object)
{
    if (!object)
        return E_POINTER;
    if (IsEqualIID(iid, IID_IVardelEventLog) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, IID_IUnknown))
        *object = static_cast<IVardelEventLog*>(this);
    else if (IsEqualIID(iid, IID_ISupportErrorInfo))
        *object = static_cast<ISupportErrorInfo*>(this);
    else if (IsEqualIID(iid, IID_IConnectionPointContainer))
        *object = static_cast<IConnectionPointContainer*>(this);
    else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CVardelEventLog::AddRef()
{
    return static_cast<ULONG>(LockServer());
}

STDMETHODIMP_(ULONG) CVardelEventLog::Release()
{
    return static_cast<ULONG>(UnlockServer());
}

HRESULT CVardelEventLog::LoadTypeInfo(LCID lcid) noexcept
{
    if (m_typeInfo)
        return S_OK;
    Vardel::CComOwner<ITypeLib> library;
    HRESULT hr = LoadRegTypeLib(LIBID_VARDELEVENTLOGGERLib, 1, 0, lcid, library.put());
    if (FAILED(hr))
        return hr;
    return library.get()->GetTypeInfoOfGuid(IID_IVardelEventLog, m_typeInfo.put());
}

STDMETHODIMP CVardelEventLog::GetTypeInfoCount(UINT* count)
{
    if (!count)
        return E_POINTER;
    *count = 1;
    return S_OK;
}

STDMETHODIMP CVardelEventLog::GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info)
{
    if (!info)
        return E_POINTER;
    *info = nullptr;
    if (index != 0)
        return DISP_E_BADINDEX;
    HRESULT hr = LoadTypeInfo(lcid);
    if (FAILED(hr))
        return hr;
    m_typeInfo.get()->AddRef();
    *info = m_typeInfo.get();
    return S_OK;
}

STDMETHODIMP CVardelEventLog::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids)
{
    if (!IsEqualIID(iid, IID_NULL))
        return DISP_E_UNKNOWNINTERFACE;
    HRESULT hr = LoadTypeInfo(lcid);
    return FAILED(hr) ? hr : m_typeInfo.get()->GetIDsOfNames(names, count, ids);
}

STDMETHODIMP CVardelEventLog::Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* exception, UINT* badArgument)
{
    if (!IsEqualIID(iid, IID_NULL))
        return DISP_E_UNKNOWNINTERFACE;
    HRESULT hr = LoadTypeInfo(lcid);
    if (FAILED(hr))
        return hr;
    return m_typeInfo.get()->Invoke(static_cast<IVardelEventLog*>(this), id, flags, params, result, exception,
                              badArgument);
}

STDMETHODIMP CVardelEventLog::LogEvent(eTType type, int nLevel, BSTR bstrSource, ULONG dwtime, BSTR bstrMessage)
{
    try {
        if (!m_service)
            return RPC_E_DISCONNECTED;
        std::string source = NarrowFromBstr(bstrSource);
        std::string message = NarrowFromBstr(bstrMessage);
        m_service->LogEvent(type, nLevel, std::move(source), dwtime, std::move(message));
        return S_OK;
    } catch (...) {
        return HResultFromCurrentException();
    }
}

STDMETHODIMP CVardelEventLog::InterfaceSupportsErrorInfo(REFIID iid)
{
    return IsEqualIID(iid, IID_IVardelEventLog) ? S_OK : S_FALSE;
}

STDMETHODIMP CVardelEventLog::EnumConnectionPoints(IEnumConnectionPoints** points)
{
    return CEmptyConnectionPointEnum::Create(points);
}

STDMETHODIMP CVardelEventLog::FindConnectionPoint(REFIID, IConnectionPoint** point)
{
    if (!point)
        return E_POINTER;
    *point = nullptr;
    return CONNECT_E_NOCONNECTION;
}

} // namespace VardelServer
