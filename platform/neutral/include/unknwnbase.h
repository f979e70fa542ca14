// IUnknown as both modes see it: the kernel's port class objects and user-mode COM objects share
// the three first slots. A kernel caller reads the QueryInterface result as an NTSTATUS, a
// user-mode one as an HRESULT; both are 32-bit, negative on failure.
#pragma once

#include "guiddef.h"

using HRESULT = int32_t;

// COM interfaces have no virtual destructor: an object goes by its last Release.
struct IUnknown {
  virtual HRESULT QueryInterface(REFIID iid, void** object) = 0;
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;

 protected:
  ~IUnknown() = default;
};
using PUNKNOWN = IUnknown*;
using LPUNKNOWN = IUnknown*;

inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
