// The main unit's topology: for each wave pair a render path through a volume node to an output
// connector and a capture path from an input connector through a mute node. The controls are
// nominal: volume reads 0 dB and mute reads off; settings are accepted and change nothing.
#pragma once

#include <portcls.h>
#include <stdunk.h>

#include "wdm/WdmAdapterCommon.h"
#include "wdm/WdmPoolObject.h"

class WdmMiniportTopology final : public CUnknown, public IMiniportTopology, public WdmPoolObject {
 public:
  explicit WdmMiniportTopology(PUNKNOWN outerUnknown) : CUnknown(outerUnknown) {}
  ~WdmMiniportTopology() override;
  DECLARE_STD_UNKNOWN()

  NTSTATUS GetDescription(PPCFILTER_DESCRIPTOR* description) override;
  NTSTATUS DataRangeIntersection(ULONG pin, PKSDATARANGE dataRange, PKSDATARANGE matchingDataRange,
                                 ULONG outputBufferLength, PVOID resultantFormat, PULONG resultantFormatLength) override;
  NTSTATUS Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList, PPORTTOPOLOGY port) override;

  // A miniport whose subdevice could not be registered lets go of its port, so that the port,
  // which holds the miniport, can go with its last reference.
  void DropPort();

  static NTSTATUS VolumeHandler(PPCPROPERTY_REQUEST request);
  static NTSTATUS MuteHandler(PPCPROPERTY_REQUEST request);
  static NTSTATUS CpuResourcesHandler(PPCPROPERTY_REQUEST request);

 private:
  PADAPTERCOMMON mAdapterCommon = nullptr;
  PPORTTOPOLOGY mPort = nullptr;
};

NTSTATUS CreateMiniportTopology(PUNKNOWN* unknown, PUNKNOWN outerUnknown, POOL_TYPE poolType);
