// The audio adapter's driver class: port class owns the dispatch table; the driver reads its
// parameters at entry and adds one adapter device for every audio child device of a unit.
#pragma once

#include <wdm.h>

#include "kframework/KernelDriverBase.h"

// "PreventAppSRChange" from the service key's "Parameters": set, the wave streams never ask the
// unit for their sample rate.
extern ULONG PreventAppSRChange;

class WdmDriver : public KernelDriverBase {
 public:
  // The adapter devices' own device objects: "\Device\" and this stem, then the device counter.
  static constexpr WCHAR kDeviceNameStem[] = L"QX5310Wdm";
  // Seven MIDI ports, nine wave pairs and the topology.
  static constexpr ULONG kMaxSubdevices = 17;

  NTSTATUS DriverEntry(PUNICODE_STRING registryPath) override;
  void Unload() override;
  NTSTATUS AddDevice(PDEVICE_OBJECT physicalDevice) override;

  // Read at entry; nothing acts on it.
  ULONG mBreakOnEntry = 0;
  // The number of the next adapter device; a device whose construction failed uses none.
  ULONG mDeviceCounter = 0;

 private:
  static NTSTATUS DispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp);
};
