#include "asio/CUnknown.h"

namespace {
volatile LONG gObjectCount = 0;
}  // namespace

void IncrementObjectCount() { InterlockedIncrement(&gObjectCount); }
void DecrementObjectCount() { InterlockedDecrement(&gObjectCount); }
LONG ObjectCount() { return gObjectCount; }

HRESULT ReturnInterface(IUnknown* iface, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = iface;
  iface->AddRef();
  return S_OK;
}

CBaseObject::CBaseObject(const WCHAR*) { IncrementObjectCount(); }
CBaseObject::~CBaseObject() { DecrementObjectCount(); }

CUnknown::CUnknown(const WCHAR* name, IUnknown* outer)
    : CBaseObject(name), mOwner(outer != nullptr ? outer : &mInner) {}

CUnknown::~CUnknown() = default;

HRESULT CUnknown::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (iid == IID_IUnknown) return ReturnInterface(&mInner, out);
  *out = nullptr;
  return E_NOINTERFACE;
}

ULONG CUnknown::NonDelegatingAddRef() {
  const LONG count = InterlockedIncrement(&mRef);
  return static_cast<ULONG>(count > 1 ? count : 1);
}

ULONG CUnknown::NonDelegatingRelease() {
  const LONG count = InterlockedDecrement(&mRef);
  if (count == 0) {
    // Releases made while the object is being destroyed must not destroy it again.
    mRef = 1;
    delete this;
    return 0;
  }
  return static_cast<ULONG>(count > 1 ? count : 1);
}
