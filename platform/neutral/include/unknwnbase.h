// IUnknown as both modes see it: the kernel's port class objects and user-mode COM objects share
// the three first slots. A kernel caller reads the QueryInterface result as an NTSTATUS, a
// user-mode one as an HRESULT; both are 32-bit, negative on failure.
#pragma once

#include "guiddef.h"

using HRESULT = int32_t;
using ULONG = uint32_t;

// COM methods' calling convention: __stdcall on 32-bit Windows; the x64 ABI has one convention, and
// so has this machine.
#define STDMETHODCALLTYPE
#define STDAPICALLTYPE

// COM interfaces have no virtual destructor: an object goes by its last Release.
struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;

 protected:
  ~IUnknown() = default;
};
using PUNKNOWN = IUnknown*;
using LPUNKNOWN = IUnknown*;

// Declared, as Windows declares it: an image's GUID unit (or the platform's) defines it.
DEFINE_GUID(IID_IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
