// Device classes bound one-to-one to device objects: the device object's extension pointer
// always points at the class object, and every IRP is routed to the virtual operation of its
// major function.
#pragma once

#include "kframework/KernelUtil.h"

// The `name` argument that asks the system to generate a device name.
inline const PCWSTR kGeneratedDeviceName = reinterpret_cast<PCWSTR>(~static_cast<ULONG_PTR>(0));

class DeviceObjectHolder {
 public:
  virtual void Delete();
  virtual ~DeviceObjectHolder();

  PDEVICE_OBJECT mDeviceObject = nullptr;

 protected:
  DeviceObjectHolder() = default;
};

// What creating a device object, its name and its link produced.
struct DeviceCreation {
  PDEVICE_OBJECT device;
  CountedString deviceName;
  CountedString linkName;
  NTSTATUS status;
};

class KernelDeviceBase : public DeviceObjectHolder {
 public:
  // Creates its own device object (no extension) and binds it; the result is in mConstructStatus.
  KernelDeviceBase(ULONG stamp, PCWSTR name, DEVICE_TYPE deviceType, PCWSTR linkName, ULONG characteristics,
                   ULONG flags);
  // For an object placed in the extension of a device object that CreateDeviceObject made: it
  // keeps that device object only when `stamp` says the object lives there.
  KernelDeviceBase(ULONG stamp, const DeviceCreation& made);

  // A device object whose extension holds `extensionSize` bytes for the class object; returns the
  // extension, where the caller constructs the class with kExtensionObjectStamp and `made`.
  static PVOID CreateDeviceObject(ULONG extensionSize, PCWSTR name, DEVICE_TYPE deviceType, PCWSTR linkName,
                                  ULONG characteristics, ULONG flags, DeviceCreation* made);
  // The common step: on failure nothing is left to delete and `made->device` is null.
  static void CreateDeviceObjectCore(KernelDeviceBase* object, ULONG extensionSize, PCWSTR name,
                                     DEVICE_TYPE deviceType, PCWSTR linkName, ULONG characteristics, ULONG flags,
                                     DeviceCreation* made);

  void Delete() override;
  ~KernelDeviceBase() override;
  virtual NTSTATUS Dispatch(PIRP irp);
  virtual NTSTATUS Create(PIRP irp);
  virtual NTSTATUS Spare1(PIRP irp);
  virtual NTSTATUS CreateNamedPipe(PIRP irp);
  virtual NTSTATUS Close(PIRP irp);
  virtual NTSTATUS Read(PIRP irp);
  virtual NTSTATUS Spare2(PIRP irp);
  virtual NTSTATUS Write(PIRP irp);
  virtual NTSTATUS QueryInformation(PIRP irp);
  virtual NTSTATUS SetInformation(PIRP irp);
  virtual NTSTATUS QueryEa(PIRP irp);
  virtual NTSTATUS SetEa(PIRP irp);
  virtual NTSTATUS FlushBuffers(PIRP irp);
  virtual NTSTATUS QueryVolumeInformation(PIRP irp);
  virtual NTSTATUS SetVolumeInformation(PIRP irp);
  virtual NTSTATUS DirectoryControl(PIRP irp);
  virtual NTSTATUS FileSystemControl(PIRP irp);
  virtual NTSTATUS DeviceControl(PIRP irp);
  virtual NTSTATUS InternalDeviceControl(PIRP irp);
  virtual NTSTATUS Shutdown(PIRP irp);
  virtual NTSTATUS LockControl(PIRP irp);
  virtual NTSTATUS CleanUp(PIRP irp);
  virtual NTSTATUS CreateMailslot(PIRP irp);
  virtual NTSTATUS QuerySecurity(PIRP irp);
  virtual NTSTATUS SetSecurity(PIRP irp);
  virtual NTSTATUS Power(PIRP irp);
  virtual NTSTATUS SystemControl(PIRP irp);
  virtual NTSTATUS DeviceChange(PIRP irp);
  virtual NTSTATUS QueryQuota(PIRP irp);
  virtual NTSTATUS SetQuota(PIRP irp);
  virtual NTSTATUS Pnp(PIRP irp);
  virtual void Hook();

  // Answers a major function the class does not serve: STATUS_NOT_IMPLEMENTED.
  NTSTATUS DefaultDispatch(PIRP irp);
  // Calls the slot of the IRP's major function; a major function beyond the table is not served.
  NTSTATUS DispatchThroughTable(PIRP irp);

  ULONG mSignature;
  // Set by PnpDeviceBase, whose every dispatched IRP holds an outstanding-request count.
  bool mCountsRequests = false;
  CountedString mDeviceName;
  CountedString mLinkName;
  NTSTATUS mConstructStatus;

 private:
  void Bind(const DeviceCreation& made);
};

using MajorFunctionThunk = NTSTATUS (KernelDeviceBase::*)(PIRP);
extern const MajorFunctionThunk MajorFunctionThunks[IRP_MJ_MAXIMUM_FUNCTION + 1];
