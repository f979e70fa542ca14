#include "kframework/KernelDriverBase.h"

#include <cstring>

#include "kframework/KernelDeviceBase.h"
#include "kframework/RegistryKey.h"

KernelDriverBase* DriverInstance = nullptr;
BOOLEAN UseDosDevicesPrefix = FALSE;

namespace {

StaticInit* gStaticInits = nullptr;

struct StaticDestructor {
  void (*destructor)();
  StaticDestructor* next;
};
StaticDestructor* gStaticDestructors = nullptr;

bool IsError(NTSTATUS status) { return static_cast<ULONG>(status) >= 0xC0000000u; }

}  // namespace

StaticInit::StaticInit(StaticConstructor c) : constructor(c), next(nullptr) {
  StaticInit** p = &gStaticInits;
  while (*p != nullptr) p = &(*p)->next;
  *p = this;
}

NTSTATUS RegisterStaticDestructor(void (*destructor)()) {
  auto* record = static_cast<StaticDestructor*>(ExAllocatePoolWithTag(NonPagedPool, 16, kFrameworkPoolTag));
  if (record == nullptr) {
    destructor();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  *record = StaticDestructor{destructor, gStaticDestructors};
  gStaticDestructors = record;
  return STATUS_SUCCESS;
}

NTSTATUS RunStaticConstructors() {
  NTSTATUS result = STATUS_SUCCESS;
  for (StaticInit* s = gStaticInits; s != nullptr; s = s->next) {
    NTSTATUS status = s->constructor();
    if (IsError(status)) result = status;
  }
  return result;
}

void RunStaticDestructors() {
  while (gStaticDestructors != nullptr) {
    StaticDestructor* record = gStaticDestructors;
    gStaticDestructors = record->next;
    record->destructor();
    ExFreePoolWithTag(record, kFrameworkPoolTag);
  }
}

KernelDriverBase::~KernelDriverBase() { ClearCountedString(&mRegistryPath); }

NTSTATUS KernelDriverBase::DriverEntry(PUNICODE_STRING) { return STATUS_SUCCESS; }

void KernelDriverBase::Unload() {
  PAGED_CODE();
  if (!mDevicesAtEntry) return;
  PDEVICE_OBJECT first = mDriverObject->DeviceObject;
  if (first == nullptr) return;
  DeleteDeviceChain(first->NextDevice);
  static_cast<KernelDeviceBase*>(first->DeviceExtension)->Delete();
}

NTSTATUS KernelDriverBase::AddDevice(PDEVICE_OBJECT) { return STATUS_SUCCESS; }

NTSTATUS KernelDriverBase::DispatchToDevice(KernelDeviceBase* device, PIRP irp, PDRIVER_DISPATCH) {
  return device->Dispatch(irp);
}

void DeleteDeviceChain(PDEVICE_OBJECT deviceObject) {
  if (deviceObject == nullptr) return;
  DeleteDeviceChain(deviceObject->NextDevice);
  static_cast<KernelDeviceBase*>(deviceObject->DeviceExtension)->Delete();
}

namespace {
void DeleteDriverClass() {
  KernelDriverBase* driver = DriverInstance;
  DriverInstance = nullptr;
  driver->~KernelDriverBase();
  ExFreePoolWithTag(driver, kFrameworkPoolTag);
}
}  // namespace

NTSTATUS CreateDriverObject(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath, const DriverClassInfo* info) {
  PAGED_CODE();
  PVOID memory = ExAllocatePoolWithTag(NonPagedPool, info->size, kFrameworkPoolTag);
  if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(memory, 0, info->size);
  KernelDriverBase* driver = info->construct(memory);
  DriverInstance = driver;
  driver->mDriverObject = driverObject;
  ULONG chars = registryPath->Length / sizeof(WCHAR);
  // A copy whose terminator would not fit the 16-bit maximum length is not made.
  ULONG bytes = (chars + 1) * sizeof(WCHAR);
  auto* copy = bytes <= 0xFFFF ? static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, bytes, kFrameworkPoolTag)) : nullptr;
  if (copy != nullptr) {
    std::memcpy(copy, registryPath->Buffer, chars * sizeof(WCHAR));
    copy[chars] = 0;
    driver->mRegistryPath.Buffer = copy;
    driver->mRegistryPath.Length = static_cast<USHORT>(chars * sizeof(WCHAR));
    driver->mRegistryPath.MaximumLength = static_cast<USHORT>(bytes);
    driver->mRegistryPath.mOwnsBuffer = TRUE;
  }
  if (info->installDispatch) {
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_INTERNAL_DEVICE_CONTROL,
                        IRP_MJ_CLEANUP, IRP_MJ_POWER, IRP_MJ_PNP})
      driverObject->MajorFunction[major] = DispatchIrp;
  }
  driverObject->DriverUnload = DriverUnloadRoutine;
  driverObject->DriverExtension->AddDevice = DispatchAddDevice;
  NTSTATUS status = driver->DriverEntry(registryPath);
  driver->mDevicesAtEntry = driverObject->DeviceObject != nullptr ? TRUE : FALSE;
  return status;
}

NTSTATUS FrameworkDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath, const DriverClassInfo* info) {
  PAGED_CODE();
  NTSTATUS status = RunStaticConstructors();
  if (IsError(status)) {
    RunStaticDestructors();
    return status;
  }
  RegistryKey control(2, L"Class", KEY_READ, OBJ_CASE_INSENSITIVE, FALSE, 0);
  RegistryKey services(1, L"Class", KEY_READ, OBJ_CASE_INSENSITIVE, FALSE, 0);
  UseDosDevicesPrefix = !NT_SUCCESS(control.mStatus) && NT_SUCCESS(services.mStatus);
  status = CreateDriverObject(driverObject, registryPath, info);
  // Any failure, warnings too, unloads the driver without its unload routine: nothing may stay.
  if (!NT_SUCCESS(status)) {
    if (DriverInstance != nullptr) DeleteDriverClass();
    RunStaticDestructors();
  }
  control.Close();
  services.Close();
  return status;
}

NTSTATUS DispatchIrp(PDEVICE_OBJECT deviceObject, PIRP irp) {
  auto* device = static_cast<KernelDeviceBase*>(deviceObject->DeviceExtension);
  return device->Dispatch(irp);
}

NTSTATUS DispatchAddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDevice) {
  PAGED_CODE();
  NTSTATUS status = DriverInstance->AddDevice(physicalDevice);
  if (NT_SUCCESS(status)) {
    for (PDEVICE_OBJECT d = driverObject->DeviceObject; d != nullptr; d = d->NextDevice)
      d->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  return status;
}

void DriverUnloadRoutine(PDRIVER_OBJECT) {
  PAGED_CODE();
  DriverInstance->Unload();
  DeleteDriverClass();
  RunStaticDestructors();
}
