// The link to the next-lower device of a stack and the ways an IRP is handed down.
#pragma once

#include "kframework/KernelUtil.h"

class KernelDeviceBase;
class PnpDeviceBase;

class LowerDeviceLink {
 public:
  LowerDeviceLink() = default;
  NTSTATUS AttachToStack(KernelDeviceBase* device, PDEVICE_OBJECT physicalDevice);
  // Records an attachment made elsewhere.
  NTSTATUS LinkToLowerDevice(PDEVICE_OBJECT lowerDevice, PDEVICE_OBJECT physicalDevice);
  // Detaches from the stack when this link attached; drops a reference only when it took one.
  void Detach();

  NTSTATUS mStatus = STATUS_SUCCESS;
  PDEVICE_OBJECT mLowerDevice = nullptr;
  BOOLEAN mReferenced = FALSE;
  PDEVICE_OBJECT mAttachedTo = nullptr;
};

// Sends an IRP whose next location the caller has prepared to the lower device and waits for it
// (PASSIVE_LEVEL). With `keep` the IRP stays with the caller, who completes it.
NTSTATUS ForwardAndWait(LowerDeviceLink* link, PIRP irp, BOOLEAN keep, ULONG_PTR* information);
NTSTATUS ForwardPowerAndWait(LowerDeviceLink* link, PIRP irp, BOOLEAN keep, ULONG_PTR* information);

// Sends a copy of the child's IRP to the top of the parent's stack and completes the child's IRP
// with the copy's answer; returns STATUS_PENDING.
NTSTATUS ForwardToParentStack(PnpDeviceBase* child, PDEVICE_OBJECT parent, PIRP irp, BOOLEAN failIfUnsupported);

// Completion routines for IRPs the framework sends itself.
NTSTATUS SignalEventCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID event);
using FreeIrpCallback = void (*)(PDEVICE_OBJECT device, PIRP irp, PVOID userData);
struct FreeIrpContext {
  FreeIrpCallback callback;
  PVOID userData;
};
// Context: a FreeIrpContext from KernelAlloc; the IRP and the context are freed after the callback.
NTSTATUS FreeIrpCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context);

// Keeps one wait-wake IRP armed for an owner that counts its arm requests under its mutex (a
// child list arms once per child that wants wake).
class WaitWakeArming {
 public:
  using WakeOperation = void (*)(PVOID owner);
  WaitWakeArming(PnpDeviceBase* device, PKMUTEX mutex, WakeOperation wake, PVOID owner);
  // PASSIVE_LEVEL. The first arm asks for the wait-wake IRP.
  void Arm();
  // From a work item: the last disarm cancels the IRP that is out.
  void Disarm();

  PnpDeviceBase* mDevice;
  PKMUTEX mMutex;
  WakeOperation mWake;
  PVOID mOwner;
  LONG mArmCount = 0;
  PIRP mWaitWakeIrp = nullptr;

 private:
  void RequestLocked();
  static void WaitWakeDone(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                           PIO_STATUS_BLOCK status);
  bool QueueStep(void (*step)(WaitWakeArming* arming));
};

// A power-request completion for a request made on behalf of an IRP (context): it starts the next
// power IRP, releases the count of the device the IRP's location names, and completes the IRP with
// the request's status.
void CompleteIrpWithPowerRequest(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                                 PIO_STATUS_BLOCK status);
