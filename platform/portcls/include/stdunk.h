// CUnknown: the reference count and the outer unknown of a kernel COM object. A class derives
// from it and from its interfaces, puts DECLARE_STD_UNKNOWN() in its body, and answers its own
// interfaces in NonDelegatingQueryInterface; its IUnknown delegates to the outer unknown, which
// is the object's own non-delegating unknown when it is not aggregated.
#pragma once

#include "punknown.h"

class CUnknown : public INonDelegatingUnknown {
 public:
  explicit CUnknown(PUNKNOWN outerUnknown) : mOwn(this), mOuterUnknown(outerUnknown != nullptr ? outerUnknown : &mOwn) {}
  virtual ~CUnknown() = default;
  CUnknown(const CUnknown&) = delete;
  CUnknown& operator=(const CUnknown&) = delete;

  NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* object) override {
    if (IsEqualGUID(iid, IID_IUnknown)) {
      *object = static_cast<PUNKNOWN>(&mOwn);
      NonDelegatingAddRef();
      return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  ULONG NonDelegatingAddRef() override { return static_cast<ULONG>(InterlockedIncrement(&mRefCount)); }
  ULONG NonDelegatingRelease() override {
    LONG left = InterlockedDecrement(&mRefCount);
    if (left == 0) {
      mRefCount = 1;  // a destructor that takes and drops its own interfaces must not come back here
      delete this;
    }
    return static_cast<ULONG>(left);
  }
  PUNKNOWN GetOuterUnknown() const { return mOuterUnknown; }
  // The IUnknown an aggregating outer object holds and queries its inner object through.
  PUNKNOWN NonDelegatingUnknown() { return &mOwn; }

 protected:
  // IUnknown over the non-delegating calls: the object's identity when nobody aggregates it.
  struct OwnUnknown final : IUnknown {
    explicit OwnUnknown(CUnknown* o) : owner(o) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
      return owner->NonDelegatingQueryInterface(iid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return owner->NonDelegatingAddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return owner->NonDelegatingRelease(); }
    CUnknown* owner;
  };

  LONG mRefCount = 0;
  OwnUnknown mOwn;
  PUNKNOWN mOuterUnknown;
};

// IUnknown of a CUnknown-derived class: every call goes to the outer unknown.
#define DECLARE_STD_UNKNOWN()                                                                       \
  NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;                         \
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {                    \
    return mOuterUnknown->QueryInterface(iid, object);                                              \
  }                                                                                                 \
  ULONG STDMETHODCALLTYPE AddRef() override { return mOuterUnknown->AddRef(); }                      \
  ULONG STDMETHODCALLTYPE Release() override { return mOuterUnknown->Release(); }
