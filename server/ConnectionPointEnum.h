#pragma once
// An enumerator over no connection points. Each one holds a server lock
// for as long as it exists; it is reference counted and deletes itself.

#include <ocidl.h>

namespace VardelServer {

class CEmptyConnectionPointEnum : public IEnumConnectionPoints {
public:
    // Returns E_POINTER, E_OUTOFMEMORY or S_OK with a new enumerator.
    static HRESULT Create(IEnumConnectionPoints** enumerator) noexcept;

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP Next(ULONG count, IConnectionPoint** points, ULONG* fetched) override;
    STDMETHODIMP Skip(ULONG count) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumConnectionPoints** enumerator) override;

private:
    CEmptyConnectionPointEnum() noexcept;
    virtual ~CEmptyConnectionPointEnum();

    LONG m_references = 1;
};

} // namespace VardelServer
