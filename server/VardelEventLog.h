#pragma once
// CVardelEventLog: the one object that every client of the server shares.
// It lives by value inside the class factory from server start to server
// end; AddRef and Release on any of its interfaces only move the server
// lock count, and no reference count of its own decides its life. It runs
// on the server's single-threaded apartment (the main thread); the log
// writer thread calls only its AddRef and Release.

#include "ComSupport.h"
#include "VardelEventLogger.h"

#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <ocidl.h>

namespace VardelEventLogger {
class CVardelEventLogImpl;
}

namespace VardelServer {

class CVardelEventLog : public IVardelEventLog,
                        public ISupportErrorInfo,
                        public IConnectionPointContainer,
                        private boost::noncopyable {
public:
    // Creates the logging service and starts it; throws if the service cannot
    // be created, while a failing start is not reported.
    CVardelEventLog();
    virtual ~CVardelEventLog();

    // Stops the logging service (it writes what it accepted first) and
    // drops it; later LogEvent calls fail with RPC_E_DISCONNECTED.
    void StopService() noexcept;
    IUnknown* Identity() noexcept { return static_cast<IVardelEventLog*>(this); }

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IDispatch, served from the registered type library
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* exception, UINT* badArgument) override;

    // IVardelEventLog
    STDMETHODIMP LogEvent(eTType type, int nLevel, BSTR bstrSource, ULONG dwtime, BSTR bstrMessage) override;

    // ISupportErrorInfo
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override;

    // IConnectionPointContainer: there are no connection points.
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** points) override;
    STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** point) override;

private:
    // The type information of IVardelEventLog, loaded on first use.
    HRESULT LoadTypeInfo(LCID lcid) noexcept;

    boost::shared_ptr<VardelEventLogger::CVardelEventLogImpl> m_service;
    Vardel::CComOwner<ITypeInfo> m_typeInfo;
};

} // namespace VardelServer
