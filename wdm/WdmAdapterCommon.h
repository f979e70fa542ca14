// The adapter-common object every port's Init gets: it knows the device, serialises the wave
// streams' state changes to the unit driver, and tears the device down when the last holder
// lets it go.
#pragma once

#include <portcls.h>
#include <stdunk.h>

#include "wdm/WdmPoolObject.h"

class WdmDevice;

DEFINE_GUID(IID_IAdapterCommon, 0x7EDA2950, 0xBF9F, 0x11D0, 0x87, 0x1F, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);

struct IAdapterCommon : IUnknown {
  virtual NTSTATUS Init(PRESOURCELIST resourceList, WdmDevice* device) = 0;

 protected:
  ~IAdapterCommon() = default;
};
using PADAPTERCOMMON = IAdapterCommon*;

class WdmAdapterCommon final : public CUnknown, public IAdapterCommon, public WdmPoolObject {
 public:
  explicit WdmAdapterCommon(PUNKNOWN outerUnknown);
  ~WdmAdapterCommon() override;
  DECLARE_STD_UNKNOWN()

  NTSTATUS Init(PRESOURCELIST resourceList, WdmDevice* device) override;

  WdmDevice* Device() const { return mDevice; }
  // Sends a wave pin's state to the unit driver, one caller at a time. PASSIVE_LEVEL.
  void SetStreamState(ULONG pair, BOOLEAN capture, ULONG state);

 private:
  WdmDevice* mDevice = nullptr;
  KMUTEX mStateMutex;
};

// A referenced adapter-common object in `unknown` (its non-delegating IUnknown).
NTSTATUS CreateAdapterCommon(PUNKNOWN* unknown, PUNKNOWN outerUnknown, POOL_TYPE poolType);
