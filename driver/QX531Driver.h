// The unit driver's class: plug and play loads the driver once and adds one function device for
// every unit on the bus, main unit and expansion units alike.
#pragma once

#include <wdm.h>

#include "kframework/KernelDriverBase.h"

class QX531Driver : public KernelDriverBase {
 public:
  // The function device objects' name stem; the device's number follows it in decimal.
  static constexpr WCHAR kDeviceNameStem[] = L"Qx531Device";

  NTSTATUS DriverEntry(PUNICODE_STRING registryPath) override;
  void Unload() override;
  NTSTATUS AddDevice(PDEVICE_OBJECT physicalDevice) override;

  // Read from the service key's "Parameters" at entry; nothing acts on it.
  ULONG mBreakOnEntry = 0;
  // Devices added since load; a device whose construction failed is not counted.
  ULONG mDevicesAdded = 0;
};
