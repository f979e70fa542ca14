// IUnknown for kernel code, and the non-delegating unknown of an object that can be aggregated:
// it answers for the object itself while its IUnknown delegates to the outer unknown.
#pragma once

#include "../../kernel/include/wdm.h"

#include "../../neutral/include/unknwnbase.h"

struct INonDelegatingUnknown {
  virtual NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* object) = 0;
  virtual ULONG NonDelegatingAddRef() = 0;
  virtual ULONG NonDelegatingRelease() = 0;

 protected:
  ~INonDelegatingUnknown() = default;
};
using PNONDELEGATINGUNKNOWN = INonDelegatingUnknown*;
