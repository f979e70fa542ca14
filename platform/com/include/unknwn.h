// IUnknown (shared with the kernel's port class stand-in) and the class factory of in-process COM
// servers, as user-mode code includes them.
#pragma once

#include "../../neutral/include/unknwnbase.h"
#include "../../win32/include/wintypes.h"

// The class factory a server's DllGetClassObject hands out; no virtual destructor, as IUnknown.
struct IClassFactory : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
  virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) = 0;

 protected:
  ~IClassFactory() = default;
};
using LPCLASSFACTORY = IClassFactory*;

DEFINE_GUID(IID_IClassFactory, 0x00000001, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
DEFINE_GUID(IID_IDispatch, 0x00020400, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
