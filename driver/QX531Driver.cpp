#include "driver/QX531Driver.h"

#include "driver/QX531KernelInterface.h"
#include "driver/QX531PnpDevice.h"
#include "driver/UnitInstanceTable.h"
#include "kframework/RegistryKey.h"

NTSTATUS QX531Driver::DriverEntry(PUNICODE_STRING) {
  PAGED_CODE();
  DerivedPoolTag = kEntryPoolTag;
  mBreakOnEntry = 0;
  if (mRegistryPath.Buffer != nullptr) {
    RegistryKey parameters(mRegistryPath.Buffer, L"Parameters", KEY_READ, OBJ_CASE_INSENSITIVE, TRUE, 0);
    if (NT_SUCCESS(parameters.mStatus)) parameters.QueryDwordValue(L"BreakOnEntry", &mBreakOnEntry);
    parameters.Close();
  }
  mDevicesAdded = 0;
  return STATUS_SUCCESS;
}

// A plug-and-play driver's devices go at their removal; only devices made at entry remain here,
// and the command objects kernel clients kept after their unit went.
void QX531Driver::Unload() {
  PAGED_CODE();
  FreeDetachedKernelInterfaces();
  KernelDriverBase::Unload();
}

NTSTATUS QX531Driver::AddDevice(PDEVICE_OBJECT physicalDevice) {
  PAGED_CODE();
  auto* device = KernelNew<QX531PnpDevice>(NonPagedPool, physicalDevice, mDevicesAdded);
  if (device == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  const NTSTATUS status = device->mConstructStatus;
  if (!NT_SUCCESS(status)) {
    device->Delete();
    return status;
  }
  if (mDevicesAdded == 0) UnregisterUnitInstance(0, TRUE);
  ++mDevicesAdded;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  return FrameworkDriverEntry<QX531Driver>(DriverObject, RegistryPath);
}
