#pragma once
// The class factory of VardelEventLog. It holds the one shared object by
// value: building the factory builds the object (and starts the logging
// service); destroying it disconnects every client of the object, then
// stops the service. Its own references are counted here and are not
// server locks; it deletes itself when the last one goes.

#include "VardelEventLog.h"

#include <unknwn.h>

namespace VardelServer {

class CVardelEventLogFactory : public IClassFactory, private boost::noncopyable {
public:
    // Starts with one reference, the caller's. Throws if the shared object
    // cannot be built.
    CVardelEventLogFactory();

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // Every successful call hands out the shared object.
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
    STDMETHODIMP LockServer(BOOL lock) override;

private:
    virtual ~CVardelEventLogFactory();

    LONG m_references = 1;
    CVardelEventLog m_object;
};

} // namespace VardelServer
