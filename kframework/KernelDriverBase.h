// The driver class behind the driver's entry point: one object per loaded driver, reached
// through DriverInstance, that receives add-device, unload and every IRP.
#pragma once

#include "kframework/KernelUtil.h"

class KernelDeviceBase;

class KernelDriverBase {
 public:
  virtual ~KernelDriverBase();
  virtual NTSTATUS DriverEntry(PUNICODE_STRING registryPath);
  virtual void Unload();
  virtual NTSTATUS AddDevice(PDEVICE_OBJECT physicalDevice);
  virtual NTSTATUS DispatchToDevice(KernelDeviceBase* device, PIRP irp, PDRIVER_DISPATCH entry);

  PDRIVER_OBJECT mDriverObject = nullptr;
  CountedString mRegistryPath{};
  BOOLEAN mDevicesAtEntry = FALSE;
};

extern KernelDriverBase* DriverInstance;
extern BOOLEAN UseDosDevicesPrefix;

// How a deliverable's driver class is made, and whether the framework installs its dispatch
// routine (the audio adapter's port driver installs its own).
struct DriverClassInfo {
  SIZE_T size;
  KernelDriverBase* (*construct)(PVOID memory);
  bool installDispatch;
};

template <class Driver, bool InstallDispatch = true>
const DriverClassInfo* DriverClassOf() {
  static const DriverClassInfo info{sizeof(Driver), [](PVOID memory) -> KernelDriverBase* {
                                      return new (memory) Driver();
                                    }, InstallDispatch};
  return &info;
}

NTSTATUS FrameworkDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath, const DriverClassInfo* info);
template <class Driver, bool InstallDispatch = true>
NTSTATUS FrameworkDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
  return FrameworkDriverEntry(driverObject, registryPath, DriverClassOf<Driver, InstallDispatch>());
}

NTSTATUS CreateDriverObject(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath, const DriverClassInfo* info);
NTSTATUS DispatchIrp(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS DispatchAddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDevice);
void DriverUnloadRoutine(PDRIVER_OBJECT driverObject);
void DeleteDeviceChain(PDEVICE_OBJECT deviceObject);

// Static construction and destruction of a driver image: constructors registered at load run at
// entry; destructors they register run, newest first, when the entry fails and at unload.
using StaticConstructor = NTSTATUS (*)();
struct StaticInit {
  explicit StaticInit(StaticConstructor constructor);
  StaticConstructor constructor;
  StaticInit* next;
};
NTSTATUS RegisterStaticDestructor(void (*destructor)());
NTSTATUS RunStaticConstructors();
void RunStaticDestructors();
