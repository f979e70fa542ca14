// The device class of every plug-and-play device: it counts requests in flight, refuses, holds
// or passes each IRP by the PnP and power state and its policy words, turns each PnP and power
// minor code into one virtual operation, runs the framework's share of start, stop and removal,
// keeps the device interfaces, and follows device and system power states.
#pragma once

#include "kframework/KernelDeviceBase.h"
#include "kframework/LowerDeviceLink.h"

class PnpDeviceBase : public KernelDeviceBase {
 public:
  // PnP states
  static constexpr ULONG kStopPending = 0x1, kRemovePending = 0x2, kRemoved = 0x4, kStarted = 0x8,
                         kRemoving = 0x10, kSurpriseRemoved = 0x20;
  // How long a system sleep waits for requests in flight when the class set no time-out of its
  // own (100-ns units): 1 s.
  static constexpr LONGLONG kSleepDrainTimeout = 10'000'000;

  PnpDeviceBase(ULONG stamp, PDEVICE_OBJECT physicalDevice, PCWSTR name, DEVICE_TYPE deviceType,
                const GUID* interfaceClass, ULONG characteristics, ULONG flags);
  PnpDeviceBase(ULONG stamp, const DeviceCreation& made, PDEVICE_OBJECT physicalDevice);
  ~PnpDeviceBase() override;

  NTSTATUS Dispatch(PIRP irp) override;
  NTSTATUS Power(PIRP irp) override;
  NTSTATUS Pnp(PIRP irp) override;

  virtual NTSTATUS OnStartDevice(PIRP irp);
  virtual NTSTATUS OnStopDevice(PIRP irp);
  virtual NTSTATUS OnQueryRemoveDevice(PIRP irp);
  virtual NTSTATUS OnRemoveDevice(PIRP irp);
  virtual NTSTATUS OnCancelRemoveDevice(PIRP irp);
  virtual NTSTATUS OnQueryStopDevice(PIRP irp);
  virtual NTSTATUS OnCancelStopDevice(PIRP irp);
  virtual NTSTATUS OnQueryDeviceRelations(PIRP irp);
  virtual NTSTATUS OnQueryInterface(PIRP irp);
  virtual NTSTATUS OnQueryCapabilities(PIRP irp);
  virtual NTSTATUS OnQueryResources(PIRP irp);
  virtual NTSTATUS OnQueryResourceRequirements(PIRP irp);
  virtual NTSTATUS OnReadConfig(PIRP irp);
  virtual NTSTATUS OnWriteConfig(PIRP irp);
  virtual NTSTATUS OnEject(PIRP irp);
  virtual NTSTATUS OnSetLock(PIRP irp);
  virtual NTSTATUS OnQueryId(PIRP irp);
  virtual NTSTATUS OnQueryPnpDeviceState(PIRP irp);
  virtual NTSTATUS OnQueryBusInformation(PIRP irp);
  virtual NTSTATUS OnWaitWake(PIRP irp);
  virtual NTSTATUS OnPowerSequence(PIRP irp);
  virtual NTSTATUS OnSetPower(PIRP irp);
  virtual NTSTATUS OnQueryPower(PIRP irp);
  virtual NTSTATUS OnQueryDeviceText(PIRP irp);
  virtual NTSTATUS OnFilterResourceRequirements(PIRP irp);
  virtual NTSTATUS OnDeviceUsageNotification(PIRP irp);
  virtual NTSTATUS OnSurpriseRemoval(PIRP irp);
  virtual NTSTATUS OnPrivatePnp(PIRP irp);
  virtual void SetDefaultPnpPolicy();
  virtual NTSTATUS DefaultPnp(PIRP irp) = 0;
  virtual NTSTATUS DefaultPower(PIRP irp) = 0;
  virtual NTSTATUS QueueIrp(PIRP irp);
  virtual void ReleaseQueuedIrps(BOOLEAN flush);
  virtual NTSTATUS WaitForIdle(LONGLONG timeout);
  virtual NTSTATUS WaitForRemoval(LONGLONG timeout);
  virtual void OnDevicePowerUp(PIRP irp);
  virtual void OnDevicePowerDown(PIRP irp);
  virtual void OnSystemPowerUp(PIRP irp, ULONG policy);
  virtual void OnSystemPowerDown(PIRP irp, ULONG policy);
  virtual DEVICE_POWER_STATE DevicePowerStateFor(SYSTEM_POWER_STATE systemState);
  virtual void SetDefaultPowerPolicy(BOOLEAN wake);

  LONG IncrementRequestCount();
  LONG DecrementRequestCount();
  NTSTATUS EnableDeviceInterfaces(PUNICODE_STRING one);
  NTSTATUS DisableDeviceInterfaces(PUNICODE_STRING one);
  void CancelHeldIrps(PFILE_OBJECT fileObject);
  NTSTATUS QueryCapabilitiesOfStack();
  // Asks the power manager for a device power IRP on the physical device and waits for it.
  NTSTATUS RequestDevicePower(UCHAR minor, DEVICE_POWER_STATE state);
  // Asks for the wait-wake IRP without waiting; STATUS_DEVICE_BUSY when one is already out.
  NTSTATUS RequestWaitWake(SYSTEM_POWER_STATE systemWake);
  void CancelWaitWake();
  NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status);
  NTSTATUS PassDown(PIRP irp);
  NTSTATUS PassPowerDown(PIRP irp);
  NTSTATUS DispatchByMajorFunction(PIRP irp);

  struct NoLock {
    void Lock() {}
    void Unlock() {}
  };

  struct InterfaceRecord {
    const GUID* interfaceClass;
    UNICODE_STRING linkName;
    ListLink link;
  };

  LowerDeviceLink* mLowerLink = nullptr;
  PDEVICE_OBJECT mPhysicalDevice = nullptr;
  volatile LONG mRequestCount = 1;
  volatile LONG mOpenCount = 0;
  MutexHolder mDeviceMutex{1};
  EventHolder mIdleEvent{SynchronizationEvent, FALSE};
  EventHolder mRemovalEvent{SynchronizationEvent, FALSE};
  ListHead mHeldIrps{};
  KSPIN_LOCK mHeldIrpsLock = 0;
  KIRQL mHeldIrpsIrql = 0;
  ULONG mPnpState = 0;
  ULONG mGeneralPolicy = 0;
  LONGLONG mRemoveTimeout = 0;
  ULONG mQueryStopPolicy = 0;
  LONGLONG mQueryStopTimeout = 0;
  ULONG mQueryRemovePolicy = 0;
  LONGLONG mQueryRemoveTimeout = 0;
  ULONG mHoldPolicy = 0;
  ULONG mForwardPolicy = 0;
  ULONG mCompletePolicy = 0;
  PULONG mIdleCounter = nullptr;
  ULONG mPowerFlags = 0;
  ULONG mPowerPolicy = 0;
  DEVICE_POWER_STATE mIdleDeviceState = PowerDeviceD3;
  ULONG mSystemQueryPolicy = 0;
  LONGLONG mSystemQueryTimeout = 0;
  ULONG mPowerHoldPolicy = 0;
  LONGLONG mPowerDownTimeout = 0;
  ULONG mPowerMinorPolicy = 0;
  ULONG mPowerDownPolicy = 0;
  ULONG mWakePolicy = 0;
  ULONG mSequenceD1 = 0, mSequenceD2 = 0, mSequenceD3 = 0;
  DEVICE_CAPABILITIES mCapabilities{};
  DEVICE_POWER_STATE mDevicePowerState = PowerDeviceUnspecified;
  SYSTEM_POWER_STATE mSystemPowerState = PowerSystemWorking;
  PIRP mWaitWakeIrp = nullptr;
  EventHolder mPowerEvent{SynchronizationEvent, FALSE};
  NoLock mInterfaceLock;
  ListHead mInterfaces{};

 private:
  void InitBase(PDEVICE_OBJECT physicalDevice);
  bool Gone() const { return (mPnpState & (kRemoved | kSurpriseRemoved)) != 0; }
  LONG PowerThreshold() const;
  NTSTATUS WaitOn(PKEVENT event, LONGLONG timeout);
  NTSTATUS CompleteKeepingCount(PIRP irp, NTSTATUS status);
  // Moves the held IRPs of the file object (or of every file) into `taken`, clearing their
  // cancel routines; one whose cancel routine already runs stays for that routine to complete.
  void TakeHeldIrps(ListHead* taken, bool everyFile, PFILE_OBJECT fileObject);
  NTSTATUS PassDownKeepingCount(PIRP irp);
  void CompleteCurrentIrp();
  void ReleaseHeldIrpsSoon();
  NTSTATUS HandleStart(PIRP irp);
  NTSTATUS HandleQuery(PIRP irp, bool remove);
  NTSTATUS HandleCancel(PIRP irp, bool remove);
  NTSTATUS HandleStop(PIRP irp);
  NTSTATUS HandleQueryPnpDeviceState(PIRP irp);
  NTSTATUS HandleSurpriseRemoval(PIRP irp);
  NTSTATUS HandleRemove(PIRP irp);
  NTSTATUS PowerRoad(PIRP irp);
  NTSTATUS DeviceSetPower(PIRP irp);
  NTSTATUS SystemSetPower(PIRP irp);
  NTSTATUS QueryPowerRoad(PIRP irp);
  NTSTATUS WaitWakeRoad(PIRP irp);
  NTSTATUS ReadPowerSequence();
  static void HeldIrpCancel(PDEVICE_OBJECT device, PIRP irp);
  static NTSTATUS DevicePowerUpDone(PDEVICE_OBJECT device, PIRP irp, PVOID context);
  static NTSTATUS SystemPowerUpDone(PDEVICE_OBJECT device, PIRP irp, PVOID context);
  static NTSTATUS WaitWakeDone(PDEVICE_OBJECT device, PIRP irp, PVOID context);
  friend struct PowerRequestContext;
};
