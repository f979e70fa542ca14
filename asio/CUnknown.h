// The COM base of the driver's objects: a live-object count for the module, and aggregatable
// objects whose own (non-delegating) IUnknown is apart from the one they expose, which forwards to
// the controlling unknown: the outer object's when aggregated, else their own.
#pragma once

#include <objbase.h>
#include <windows.h>

// The module's count of live objects; the DLL may unload only when it is 0.
void IncrementObjectCount();
void DecrementObjectCount();
LONG ObjectCount();

// Hands `iface` out through `out` with a reference added.
HRESULT ReturnInterface(IUnknown* iface, void** out);

class CBaseObject {
 public:
  explicit CBaseObject(const WCHAR* name);
  ~CBaseObject();
  CBaseObject(const CBaseObject&) = delete;
  CBaseObject& operator=(const CBaseObject&) = delete;
};

struct INonDelegatingUnknown {
  virtual HRESULT NonDelegatingQueryInterface(REFIID iid, void** out) = 0;
  virtual ULONG NonDelegatingAddRef() = 0;
  virtual ULONG NonDelegatingRelease() = 0;

 protected:
  ~INonDelegatingUnknown() = default;
};

class CUnknown : public INonDelegatingUnknown, public CBaseObject {
 public:
  CUnknown(const WCHAR* name, IUnknown* outer);
  virtual ~CUnknown();

  HRESULT NonDelegatingQueryInterface(REFIID iid, void** out) override;
  ULONG NonDelegatingAddRef() override;
  ULONG NonDelegatingRelease() override;

  // The object's own IUnknown, whose calls are the non-delegating ones.
  IUnknown* NonDelegatingUnknown() { return &mInner; }
  // Where the interfaces the object exposes send their IUnknown calls.
  IUnknown* GetOwner() const { return mOwner; }

 private:
  struct Inner : IUnknown {
    explicit Inner(CUnknown* object) : mObject(object) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
      return mObject->NonDelegatingQueryInterface(iid, out);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return mObject->NonDelegatingAddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return mObject->NonDelegatingRelease(); }
    CUnknown* mObject;
  };

  Inner mInner{this};
  IUnknown* mOwner;
  volatile LONG mRef = 0;
};
