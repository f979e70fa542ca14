#include "wdm/WdmDriver.h"

#include <portcls.h>

#include "kframework/RegistryKey.h"
#include "wdm/WdmDevice.h"

ULONG PreventAppSRChange = 0;

NTSTATUS WdmDriver::DriverEntry(PUNICODE_STRING registryPath) {
  PAGED_CODE();
  NTSTATUS status = PcInitializeAdapterDriver(mDriverObject, registryPath, DispatchAddDevice);
  // Port class's dispatch stays for everything but PnP, which passes through the adapter device
  // first so that the device goes with its removal.
  if (NT_SUCCESS(status)) mDriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  DerivedPoolTag = kEntryPoolTag;
  mBreakOnEntry = 0;
  if (mRegistryPath.Buffer != nullptr) {
    RegistryKey parameters(mRegistryPath.Buffer, L"Parameters", KEY_READ, OBJ_CASE_INSENSITIVE, FALSE, 0);
    if (NT_SUCCESS(parameters.mStatus)) {
      parameters.QueryDwordValue(L"PreventAppSRChange", &PreventAppSRChange);
      parameters.QueryDwordValue(L"BreakOnEntry", &mBreakOnEntry);
    }
    parameters.Close();
  }
  mDeviceCounter = 0;
  return status;
}

// Every adapter device went with its removal.
void WdmDriver::Unload() {
  PAGED_CODE();
  KernelDriverBase::Unload();
}

NTSTATUS WdmDriver::AddDevice(PDEVICE_OBJECT physicalDevice) {
  PAGED_CODE();
  PDEVICE_OBJECT lower = IoGetAttachedDeviceReference(physicalDevice);
  // The adapter's own device first: port class's device, once attached, cannot be taken back.
  WdmDevice* device = nullptr;
  NTSTATUS status = WdmDevice::Create(physicalDevice, lower, mDeviceCounter, &device);
  ObDereferenceObject(lower);
  if (!NT_SUCCESS(status)) return status;
  status = PcAddAdapterDevice(mDriverObject, physicalDevice, WdmDevice::StartDeviceThunk, kMaxSubdevices,
                              WdmDevice::kPortClsExtensionSize);
  if (!NT_SUCCESS(status)) {
    device->Delete();
    return status;
  }
  device->BindPortClsDevice();
  ++mDeviceCounter;
  return status;
}

NTSTATUS WdmDriver::DispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp) {
  WdmDevice* device = WdmDevice::FromPortClsDevice(deviceObject);
  if (device == nullptr) return PcDispatchIrp(deviceObject, irp);
  return device->Pnp(irp);
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  return FrameworkDriverEntry<WdmDriver, false>(DriverObject, RegistryPath);
}
