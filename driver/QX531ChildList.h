// The children of one unit's function device: the list that plug and play's bus relations are
// built from, the function device's device power state that the children's power follows, and the
// count of children holding a wait-wake request.
#pragma once

#include <wdm.h>

#include "kframework/KernelUtil.h"

class PnpDeviceBase;
class QX531PdoBase;

class QX531ChildList {
 public:
  explicit QX531ChildList(PnpDeviceBase* owner);
  virtual ~QX531ChildList() = default;
  QX531ChildList(const QX531ChildList&) = delete;
  QX531ChildList& operator=(const QX531ChildList&) = delete;

  // A child's device power state changed (its SET_POWER, not yet completed): the function device
  // follows the highest-powered child. Completes the request, now or when the parent's is done.
  virtual NTSTATUS ChildPowerChanged(QX531PdoBase* child, PIRP irp);
  // Completes the first child wait-wake request that can still be taken, with success.
  virtual void CompleteChildWake();

  void AddChild(QX531PdoBase* child);
  void RemoveChild(QX531PdoBase* child);
  // The answer to IRP_MN_QUERY_DEVICE_RELATIONS for bus relations; other types are left alone.
  NTSTATUS QueryBusRelations(PIRP irp);
  // The highest-powered (numerically smallest) device power state of the children; D3 for none.
  DEVICE_POWER_STATE LowestChildPowerState();
  // At the function device's removal: every child goes now, but one that plug and play has
  // surprise-removed and still owes its removal, which then deletes it.
  void RemoveAllChildren();
  // At the function device's surprise removal: the children are gone from the bus.
  void MarkChildrenMissing();
  // The first child, or null; plug and play serialises the starts and removals that change it.
  QX531PdoBase* FirstChild();
  LONG Count();

  void SetDevicePowerState(DEVICE_POWER_STATE state) { InterlockedExchange(&mDevicePowerState, state); }
  DEVICE_POWER_STATE DevicePowerState() const { return static_cast<DEVICE_POWER_STATE>(mDevicePowerState); }

  // Wait-wake bookkeeping: children whose wait-wake request is held.
  void WakeArmed() { InterlockedIncrement(&mArmedWakes); }
  void WakeDisarmed() { InterlockedDecrement(&mArmedWakes); }
  LONG ArmedWakes() const { return mArmedWakes; }

  PnpDeviceBase* mOwner;

 private:
  QX531PdoBase* PopChild();

  FAST_MUTEX mMutex;
  ListHead mChildren{};
  LONG mCount = 0;
  volatile LONG mDevicePowerState = PowerDeviceD0;
  volatile LONG mArmedWakes = 0;
};
