// A child device of a unit: a physical device object with no device below it. It completes the
// PnP and power requests it serves itself, sends those only its parent's stack can answer up to
// the parent, and holds a wait-wake request until it is cancelled or the child wakes.
#pragma once

#include <wdm.h>

#include "kframework/PnpDeviceBase.h"

class QX531ChildList;

class QX531PdoBase : public PnpDeviceBase {
 public:
  QX531PdoBase(ULONG stamp, const DeviceCreation& made, QX531ChildList* list);
  ~QX531PdoBase() override;

  NTSTATUS SystemControl(PIRP irp) override;
  NTSTATUS Pnp(PIRP irp) override;
  NTSTATUS OnStartDevice(PIRP irp) override;
  NTSTATUS OnStopDevice(PIRP irp) override;
  NTSTATUS OnQueryRemoveDevice(PIRP irp) override;
  NTSTATUS OnRemoveDevice(PIRP irp) override;
  NTSTATUS OnCancelRemoveDevice(PIRP irp) override;
  NTSTATUS OnQueryStopDevice(PIRP irp) override;
  NTSTATUS OnCancelStopDevice(PIRP irp) override;
  NTSTATUS OnQueryDeviceRelations(PIRP irp) override;
  NTSTATUS OnQueryInterface(PIRP irp) override;
  NTSTATUS OnQueryCapabilities(PIRP irp) override;
  NTSTATUS OnQueryResources(PIRP irp) override;
  NTSTATUS OnQueryResourceRequirements(PIRP irp) override;
  NTSTATUS OnReadConfig(PIRP irp) override;
  NTSTATUS OnWriteConfig(PIRP irp) override;
  NTSTATUS OnEject(PIRP irp) override;
  NTSTATUS OnSetLock(PIRP irp) override;
  NTSTATUS OnQueryId(PIRP irp) override;
  NTSTATUS OnQueryPnpDeviceState(PIRP irp) override;
  NTSTATUS OnQueryBusInformation(PIRP irp) override;
  NTSTATUS OnWaitWake(PIRP irp) override;
  NTSTATUS OnSetPower(PIRP irp) override;
  NTSTATUS OnQueryPower(PIRP irp) override;
  NTSTATUS OnQueryDeviceText(PIRP irp) override;
  NTSTATUS OnFilterResourceRequirements(PIRP irp) override;
  NTSTATUS OnDeviceUsageNotification(PIRP irp) override;
  NTSTATUS OnSurpriseRemoval(PIRP irp) override;
  void SetDefaultPnpPolicy() override;
  NTSTATUS DefaultPnp(PIRP irp) override;
  NTSTATUS DefaultPower(PIRP irp) override;
  void SetDefaultPowerPolicy(BOOLEAN wake) override;

  // Completes the request with the status it already has.
  NTSTATUS KeepStatus(PIRP irp);
  // Sends a copy of the request to the top of the parent's stack and completes this one with its
  // answer; a parent stack that does not support it leaves the status as it was, or with
  // `unsuccessfulWhenNotSupported` makes it STATUS_UNSUCCESSFUL.
  NTSTATUS ForwardToParent(PIRP irp, bool unsuccessfulWhenNotSupported);
  // Takes the held wait-wake request back from its cancel routine; null when there is none or its
  // cancellation already runs.
  PIRP TakeWaitWake();
  // Deletes the child, ending a wait-wake request it still holds (counted in `list`).
  void DeleteChild(QX531ChildList* list);

  // The device of the function device whose child this is.
  PnpDeviceBase* Parent() const;

  // The child's place in its list.
  struct ListEntry {
    ListLink link;
    QX531PdoBase* child;
  };
  ListEntry mEntry{{}, this};
  QX531ChildList* mList;
  // Present on the bus: a child without it is left out of the bus relations.
  UCHAR mChildPresent = 1;
  // Left out of the relations, or its parent went away: its next removal deletes it.
  UCHAR mReportedMissing = 0;
  // Plug and play removed it while it was present; cleared when it starts again.
  UCHAR mRemovedWhilePresent = 0;
  PIRP mPendingWake = nullptr;
  KSPIN_LOCK mWakeLock = 0;
  KIRQL mWakeIrql = 0;
  volatile LONG mChildPowerState = PowerDeviceD0;

 private:
  static void WaitWakeCancel(PDEVICE_OBJECT device, PIRP irp);
  static NTSTATUS ForwardDone(PDEVICE_OBJECT device, PIRP irp, PVOID context);
  NTSTATUS Succeed(PIRP irp);
};
