#include "asio/CClassFactory.h"

namespace {
LONG gLockCount = 0;
}  // namespace

LONG ServerLockCount() { return gLockCount; }

HRESULT STDMETHODCALLTYPE CClassFactory::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
  *out = static_cast<IClassFactory*>(this);
  AddRef();
  return S_OK;
}

ULONG STDMETHODCALLTYPE CClassFactory::AddRef() { return static_cast<ULONG>(++mRef); }

ULONG STDMETHODCALLTYPE CClassFactory::Release() {
  if (--mRef == 0) {
    delete this;
    return 0;
  }
  return static_cast<ULONG>(mRef);
}

HRESULT STDMETHODCALLTYPE CClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  // An aggregating outer object may only ask for the inner object's own IUnknown.
  if (outer != nullptr && iid != IID_IUnknown) return E_NOINTERFACE;
  HRESULT hr = S_OK;
  CUnknown* object = mTemplate->m_lpfnNew(outer, &hr);
  if (object == nullptr) return E_OUTOFMEMORY;
  if (FAILED(hr)) {
    delete object;
    return hr;
  }
  // Held across the query, so that an object nobody takes is destroyed again.
  object->NonDelegatingAddRef();
  hr = object->NonDelegatingQueryInterface(iid, out);
  object->NonDelegatingRelease();
  return hr;
}

HRESULT STDMETHODCALLTYPE CClassFactory::LockServer(BOOL lock) {
  if (lock)
    ++gLockCount;
  else
    --gLockCount;
  return S_OK;
}
