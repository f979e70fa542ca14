// The standard IUnknown base of port class drivers. On Windows it comes as a static library with
// port class; MinGW-w64 declares the class and ships none, so the Windows build links this one.
#include <portcls.h>
#include <stdunk.h>

CUnknown::CUnknown(PUNKNOWN pUnknownOuter)
    : m_ref_count(0),
      m_outer_unknown(pUnknownOuter != nullptr ? pUnknownOuter
                                               : reinterpret_cast<PUNKNOWN>(static_cast<INonDelegatingUnknown*>(this))) {}

CUnknown::~CUnknown() {}

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingAddRef() { return InterlockedIncrement(&m_ref_count); }

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingRelease() {
  const LONG left = InterlockedDecrement(&m_ref_count);
  if (left == 0) {
    m_ref_count = 1;  // a QueryInterface from the destructor must not free it twice
    delete this;
  }
  return left;
}

STDMETHODIMP_(NTSTATUS) CUnknown::NonDelegatingQueryInterface(REFIID rIID, PVOID* ppVoid) {
  if (IsEqualGUIDAligned(rIID, IID_IUnknown)) {
    *ppVoid = reinterpret_cast<PVOID>(static_cast<INonDelegatingUnknown*>(this));
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }
  *ppVoid = nullptr;
  return STATUS_INVALID_PARAMETER;
}
