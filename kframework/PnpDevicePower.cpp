#include "kframework/PnpDeviceBase.h"

#include <wdm.h>

struct PowerRequestContext {
  PnpDeviceBase* device;
  KEVENT event;
  NTSTATUS status;
  bool done;
  PIRP systemIrp;    // a system IRP that waits for this device request
  bool countReleased;
  bool requesterGone;  // the requester has returned: the callback frees the context
};

namespace {

bool Managed(const PnpDeviceBase* d) { return (d->mPowerPolicy & 0x1) != 0; }
bool WakeArmed(const PnpDeviceBase* d) { return (d->mPowerPolicy & 0x4) != 0; }

PnpDeviceBase* Self(PDEVICE_OBJECT device) {
  return static_cast<PnpDeviceBase*>(static_cast<KernelDeviceBase*>(device->DeviceExtension));
}

ULONG TransitionFlag(DEVICE_POWER_STATE d) {
  if (d == PowerDeviceD3) return 0x2;
  if (d == PowerDeviceD1 || d == PowerDeviceD2) return 0x4;
  return 0;
}

void RequestDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status) {
  auto* ctx = static_cast<PowerRequestContext*>(context);
  ctx->status = status->Status;
  ctx->done = true;
  KeSetEvent(&ctx->event, IO_NO_INCREMENT, FALSE);
}

void D0AfterWakeDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK) { KernelFree(context); }

void WaitWakeRequestDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status) {
  auto* ctx = static_cast<PowerRequestContext*>(context);
  PnpDeviceBase* device = ctx->device;
  device->mWaitWakeIrp = nullptr;
  if (NT_SUCCESS(status->Status)) {
    // The device woke the system: bring it back to D0 without waiting here.
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    auto* again = static_cast<PowerRequestContext*>(KernelAlloc(sizeof(PowerRequestContext)));
    if (again != nullptr && PoRequestPowerIrp(device->mPhysicalDevice, IRP_MN_SET_POWER, d0, D0AfterWakeDone, again,
                                              nullptr) != STATUS_PENDING)
      KernelFree(again);
  }
  if (ctx->requesterGone)
    KernelFree(ctx);
  else
    ctx->done = true;
}

}  // namespace

NTSTATUS PnpDeviceBase::RequestDevicePower(UCHAR minor, DEVICE_POWER_STATE state) {
  if (KeGetCurrentIrql() > APC_LEVEL) return STATUS_UNSUCCESSFUL;
  auto* ctx = static_cast<PowerRequestContext*>(KernelAlloc(sizeof(PowerRequestContext)));
  if (ctx == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  *ctx = PowerRequestContext{this, {}, STATUS_SUCCESS, false, nullptr, false, false};
  KeInitializeEvent(&ctx->event, NotificationEvent, FALSE);
  POWER_STATE ps;
  ps.DeviceState = state;
  NTSTATUS status = PoRequestPowerIrp(mPhysicalDevice, minor, ps, RequestDone, ctx, nullptr);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&ctx->event, Executive, KernelMode, FALSE, nullptr);
    status = ctx->status;
  }
  KernelFree(ctx);
  return status;
}

NTSTATUS PnpDeviceBase::RequestWaitWake(SYSTEM_POWER_STATE systemWake) {
  if (mWaitWakeIrp != nullptr) return STATUS_DEVICE_BUSY;
  auto* ctx = static_cast<PowerRequestContext*>(KernelAlloc(sizeof(PowerRequestContext)));
  if (ctx == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  *ctx = PowerRequestContext{this, {}, STATUS_SUCCESS, false, nullptr, false, false};
  POWER_STATE ps;
  ps.SystemState = systemWake;
  PIRP irp = nullptr;
  NTSTATUS status = PoRequestPowerIrp(mPhysicalDevice, IRP_MN_WAIT_WAKE, ps, WaitWakeRequestDone, ctx, &irp);
  if (status != STATUS_PENDING) {
    KernelFree(ctx);
    return status;
  }
  if (ctx->done) {
    // Finished already, before the request returned.
    KernelFree(ctx);
    return status;
  }
  ctx->requesterGone = true;
  mWaitWakeIrp = irp;
  return status;
}

void PnpDeviceBase::CancelWaitWake() {
  if (mWaitWakeIrp != nullptr) IoCancelIrp(mWaitWakeIrp);
}

void PnpDeviceBase::SetDefaultPowerPolicy(BOOLEAN wake) {
  mSystemQueryPolicy |= 0x7F;
  mPowerDownPolicy |= 0x7F;
  mIdleDeviceState = PowerDeviceD3;
  mPowerPolicy = 0x1 | 0x8 | 0x20 | 0x80 | (wake ? 0x4 : 0);
  mPowerHoldPolicy = 0x1 | 0x2 | 0x20 | 0x40;
  mPowerMinorPolicy = 0x1 | 0x2 | (wake ? 0x4 : 0);
  mWakePolicy = wake ? 0x3B : 0;
}

NTSTATUS PnpDeviceBase::ReadPowerSequence() {
  if (KeGetCurrentIrql() > APC_LEVEL) return STATUS_NOT_SUPPORTED;
  if (mLowerLink == nullptr || mLowerLink->mLowerDevice == nullptr) return STATUS_NOT_SUPPORTED;
  PDEVICE_OBJECT lower = mLowerLink->mLowerDevice;
  PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  POWER_SEQUENCE sequence{};
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = IRP_MJ_POWER;
  sp->MinorFunction = IRP_MN_POWER_SEQUENCE;
  sp->Parameters.PowerSequence.PowerSequence = &sequence;
  IoSetCompletionRoutine(irp, SignalEventCompletion, &done, TRUE, TRUE, TRUE);
  PoCallDriver(lower, irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  if (NT_SUCCESS(status)) {
    mSequenceD1 = sequence.SequenceD1;
    mSequenceD2 = sequence.SequenceD2;
    mSequenceD3 = sequence.SequenceD3;
  }
  return status;
}

// The IRP_MJ_POWER slot

NTSTATUS PnpDeviceBase::Power(PIRP irp) {
  if (Gone()) {
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Information = 0;
    return CompleteRequest(irp, STATUS_DELETE_PENDING);
  }
  return PowerRoad(irp);
}

NTSTATUS PnpDeviceBase::PowerRoad(PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  switch (sp->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
      return WaitWakeRoad(irp);
    case IRP_MN_POWER_SEQUENCE: {
      NTSTATUS status = OnPowerSequence(irp);
      if (!(mPowerMinorPolicy & 0x8)) return status;
      if (NT_SUCCESS(status)) {
        *sp->Parameters.PowerSequence.PowerSequence = POWER_SEQUENCE{mSequenceD1, mSequenceD2, mSequenceD3};
        irp->IoStatus.Information = 0;
      }
      PoStartNextPowerIrp(irp);
      return CompleteRequest(irp, status);
    }
    case IRP_MN_SET_POWER: {
      NTSTATUS status = OnSetPower(irp);
      if (!Managed(this) || !(mPowerMinorPolicy & 0x1)) return status;
      if (!NT_SUCCESS(status)) {
        PoStartNextPowerIrp(irp);
        return CompleteRequest(irp, status);
      }
      if (sp->Parameters.Power.Type == DevicePowerState) return DeviceSetPower(irp);
      return SystemSetPower(irp);
    }
    case IRP_MN_QUERY_POWER: {
      NTSTATUS status = OnQueryPower(irp);
      if (!Managed(this) || !(mPowerMinorPolicy & 0x2)) return status;
      if (!NT_SUCCESS(status)) {
        PoStartNextPowerIrp(irp);
        return CompleteRequest(irp, status);
      }
      return QueryPowerRoad(irp);
    }
    default:
      return DefaultPower(irp);
  }
}

NTSTATUS PnpDeviceBase::WaitWakeDone(PDEVICE_OBJECT device, PIRP irp, PVOID) {
  PnpDeviceBase* self = Self(device);
  self->mPowerFlags &= ~0x1u;
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  PoStartNextPowerIrp(irp);
  self->DecrementRequestCount();
  return STATUS_SUCCESS;
}

NTSTATUS PnpDeviceBase::WaitWakeRoad(PIRP irp) {
  NTSTATUS status = OnWaitWake(irp);
  if (!Managed(this) || !(mPowerMinorPolicy & 0x4)) return status;
  NTSTATUS refusal = STATUS_NOT_SUPPORTED;
  if (WakeArmed(this) && mLowerLink != nullptr && mLowerLink->mLowerDevice != nullptr) {
    SYSTEM_POWER_STATE s = IoGetCurrentIrpStackLocation(irp)->Parameters.WaitWake.PowerState;
    DEVICE_POWER_STATE fromState =
        (s >= PowerSystemUnspecified && s < PowerSystemMaximum) ? mCapabilities.DeviceState[s] : PowerDeviceUnspecified;
    if (mPnpState & kStopPending) {
      refusal = STATUS_DEVICE_BUSY;
    } else if (fromState >= mDevicePowerState && mCapabilities.DeviceWake >= mDevicePowerState) {
      // Marked before the IRP goes down: its completion may run before PoCallDriver returns.
      mPowerFlags |= 0x1;
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, WaitWakeDone, nullptr, TRUE, TRUE, TRUE);
      return PoCallDriver(mLowerLink->mLowerDevice, irp);
    } else {
      refusal = STATUS_INVALID_DEVICE_STATE;
    }
  }
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Information = 0;
  return CompleteRequest(irp, refusal);
}

NTSTATUS PnpDeviceBase::DevicePowerUpDone(PDEVICE_OBJECT device, PIRP irp, PVOID) {
  PnpDeviceBase* self = Self(device);
  DEVICE_POWER_STATE state = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.DeviceState;
  self->OnDevicePowerUp(irp);
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  POWER_STATE ps;
  ps.DeviceState = state;
  PoSetPowerState(device, DevicePowerState, ps);
  self->mPowerFlags &= ~(0x2u | 0x4u);
  self->mDevicePowerState = state;
  if ((self->mPowerHoldPolicy & 0x20) && state == PowerDeviceD0) self->ReleaseHeldIrpsSoon();
  if (self->mPowerPolicy & 0x2) self->mPowerFlags |= 0x20;
  PoStartNextPowerIrp(irp);
  self->DecrementRequestCount();
  return STATUS_SUCCESS;
}

NTSTATUS PnpDeviceBase::DeviceSetPower(PIRP irp) {
  DEVICE_POWER_STATE state = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.DeviceState;
  bool hasLower = mLowerLink != nullptr && mLowerLink->mLowerDevice != nullptr;
  if (state == mDevicePowerState) {
    mPowerFlags &= ~(0x2u | 0x4u);
    IoCopyCurrentIrpStackLocationToNext(irp);
    PoStartNextPowerIrp(irp);
    if (!hasLower) return CompleteRequest(irp, STATUS_SUCCESS);
    return PassPowerDown(irp);
  }
  if (state < mDevicePowerState || mDevicePowerState == PowerDeviceUnspecified) {
    if (!hasLower) {
      // The bottom of the stack: the device is up as soon as it says so.
      irp->IoStatus.Status = STATUS_SUCCESS;
      DevicePowerUpDone(mDeviceObject, irp, nullptr);
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_SUCCESS;
    }
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, DevicePowerUpDone, nullptr, TRUE, TRUE, TRUE);
    return PoCallDriver(mLowerLink->mLowerDevice, irp);
  }
  POWER_STATE ps;
  ps.DeviceState = state;
  PoSetPowerState(mDeviceObject, DevicePowerState, ps);
  mPowerFlags &= ~(0x2u | 0x4u);
  mDevicePowerState = state;
  OnDevicePowerDown(irp);
  if (mPowerPolicy & 0x2) ReadPowerSequence();
  if (state == PowerDeviceD3 && (mPowerHoldPolicy & 0x10)) CancelHeldIrps(nullptr);
  if (WakeArmed(this) && (mWakePolicy & 0x20) && (mPowerFlags & 0x1) && state > mCapabilities.DeviceWake)
    CancelWaitWake();
  if (mPowerDownPolicy & 0x8) CompleteCurrentIrp();
  if (mPowerDownPolicy & 0x4) CancelFileIrps(&mDeviceObject->DeviceQueue, this, nullptr);
  if (WakeArmed(this) && (mWakePolicy & 0x1) && !(mPowerFlags & 0x1) && mCapabilities.DeviceWake >= state)
    RequestWaitWake(mCapabilities.SystemWake);
  IoCopyCurrentIrpStackLocationToNext(irp);
  PoStartNextPowerIrp(irp);
  if (!hasLower) return CompleteRequest(irp, STATUS_SUCCESS);
  return PassPowerDown(irp);
}

namespace {

void SystemUpDeviceDone(PDEVICE_OBJECT, UCHAR, POWER_STATE state, PVOID context, PIO_STATUS_BLOCK status) {
  auto* ctx = static_cast<PowerRequestContext*>(context);
  PnpDeviceBase* device = ctx->device;
  PIRP systemIrp = ctx->systemIrp;
  KernelFree(ctx);
  if (NT_SUCCESS(status->Status) && state.DeviceState == PowerDeviceD0) device->mPowerFlags &= ~(0x2u | 0x4u);
  systemIrp->IoStatus.Status = status->Status;
  PoStartNextPowerIrp(systemIrp);
  device->DecrementRequestCount();
  IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
}

void SystemDownDeviceDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status) {
  auto* ctx = static_cast<PowerRequestContext*>(context);
  PnpDeviceBase* device = ctx->device;
  PIRP systemIrp = ctx->systemIrp;
  bool released = ctx->countReleased;
  KernelFree(ctx);
  PoStartNextPowerIrp(systemIrp);
  if (!released) device->DecrementRequestCount();
  if (!NT_SUCCESS(status->Status)) {
    systemIrp->IoStatus.Status = status->Status;
    IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
    return;
  }
  IoCopyCurrentIrpStackLocationToNext(systemIrp);
  if (device->mLowerLink != nullptr && device->mLowerLink->mLowerDevice != nullptr) {
    PoCallDriver(device->mLowerLink->mLowerDevice, systemIrp);
  } else {
    systemIrp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
  }
}

}  // namespace

NTSTATUS PnpDeviceBase::SystemPowerUpDone(PDEVICE_OBJECT device, PIRP irp, PVOID) {
  PnpDeviceBase* self = Self(device);
  if (NT_SUCCESS(irp->IoStatus.Status)) {
    self->mSystemPowerState = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.SystemState;
    if ((self->mPowerPolicy & 0x10) || !ListIsEmpty(&self->mHeldIrps)) {
      auto* ctx = static_cast<PowerRequestContext*>(KernelAlloc(sizeof(PowerRequestContext)));
      if (ctx != nullptr) {
        *ctx = PowerRequestContext{self, {}, STATUS_SUCCESS, false, irp, false, false};
        POWER_STATE ps;
        ps.DeviceState = self->DevicePowerStateFor(PowerSystemWorking);
        if (PoRequestPowerIrp(self->mPhysicalDevice, IRP_MN_SET_POWER, ps, SystemUpDeviceDone, ctx, nullptr) ==
            STATUS_PENDING)
          return STATUS_MORE_PROCESSING_REQUIRED;
        KernelFree(ctx);
      }
    }
  }
  PoStartNextPowerIrp(irp);
  self->DecrementRequestCount();
  return STATUS_SUCCESS;
}

NTSTATUS PnpDeviceBase::SystemSetPower(PIRP irp) {
  SYSTEM_POWER_STATE state = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.SystemState;
  bool hasLower = mLowerLink != nullptr && mLowerLink->mLowerDevice != nullptr;
  auto passSame = [&] {
    mPowerFlags &= ~(0x2u | 0x4u);
    IoCopyCurrentIrpStackLocationToNext(irp);
    PoStartNextPowerIrp(irp);
    if (!hasLower) return CompleteRequest(irp, STATUS_SUCCESS);
    return PassPowerDown(irp);
  };
  if (state == mSystemPowerState) {
    bool release = state == PowerSystemWorking && mDevicePowerState == PowerDeviceD0 && (mPowerFlags & (0x2 | 0x4)) &&
                   (mPowerHoldPolicy & (0x1 | 0x2));
    // Cleared first: a request re-dispatched while the transition is still marked is held again, for ever.
    mPowerFlags &= ~(0x2u | 0x4u);
    if (release) ReleaseQueuedIrps(FALSE);
    return passSame();
  }
  if (state < mSystemPowerState) {
    OnSystemPowerUp(irp, mPowerPolicy);
    IoMarkIrpPending(irp);
    if (!hasLower) {
      irp->IoStatus.Status = STATUS_SUCCESS;
      if (SystemPowerUpDone(mDeviceObject, irp, nullptr) != STATUS_MORE_PROCESSING_REQUIRED)
        IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_PENDING;
    }
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SystemPowerUpDone, nullptr, TRUE, TRUE, TRUE);
    PoCallDriver(mLowerLink->mLowerDevice, irp);
    return STATUS_PENDING;
  }
  OnSystemPowerDown(irp, mPowerPolicy);
  mSystemPowerState = state;
  DEVICE_POWER_STATE target = DevicePowerStateFor(state);
  if (target == mDevicePowerState) return passSame();
  mPowerFlags |= TransitionFlag(target);
  bool released = false;
  if ((mPowerDownPolicy & 0x10) && mDevicePowerState == PowerDeviceD0) {
    DecrementRequestCount();
    released = true;
    // A request that never ends must not keep the machine awake: the wait is bounded even when
    // the class set no time-out. At the limit the sleep goes on, as a system SET_POWER may not
    // fail: held and queued requests are cancelled when the policy asks, and what the driver
    // itself still holds stays with it, to be ended by its power-down hooks or on return.
    LARGE_INTEGER t;
    t.QuadPart = -(mPowerDownTimeout != 0 ? mPowerDownTimeout : kSleepDrainTimeout);
    NTSTATUS waited = KeWaitForSingleObject(mPowerEvent.Get(), Executive, KernelMode, FALSE, &t);
    if (waited == STATUS_TIMEOUT && (mPowerDownPolicy & 0x40)) {
      CancelHeldIrps(nullptr);
      CancelFileIrps(&mDeviceObject->DeviceQueue, this, nullptr);
    }
  }
  if (mPowerDownPolicy & 0x8) CompleteCurrentIrp();
  if (mPowerDownPolicy & 0x4) CancelFileIrps(&mDeviceObject->DeviceQueue, this, nullptr);
  if (WakeArmed(this) && (mWakePolicy & 0x2)) {
    bool canWake = mCapabilities.DeviceWake >= target && mCapabilities.SystemWake >= state;
    if (canWake && mWaitWakeIrp == nullptr) RequestWaitWake(mCapabilities.SystemWake);
    if (!canWake) CancelWaitWake();
  }
  auto* ctx = static_cast<PowerRequestContext*>(KernelAlloc(sizeof(PowerRequestContext)));
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  bool marked = ctx != nullptr;
  if (ctx != nullptr) {
    *ctx = PowerRequestContext{this, {}, STATUS_SUCCESS, false, irp, released, false};
    IoMarkIrpPending(irp);
    POWER_STATE ps;
    ps.DeviceState = target;
    status = PoRequestPowerIrp(mPhysicalDevice, IRP_MN_SET_POWER, ps, SystemDownDeviceDone, ctx, nullptr);
    if (status == STATUS_PENDING) return STATUS_PENDING;
    KernelFree(ctx);
  }
  PoStartNextPowerIrp(irp);
  NTSTATUS completed = released ? CompleteKeepingCount(irp, status) : CompleteRequest(irp, status);
  // An IRP marked pending must be answered with STATUS_PENDING.
  return marked ? STATUS_PENDING : completed;
}

NTSTATUS PnpDeviceBase::QueryPowerRoad(PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  bool hasLower = mLowerLink != nullptr && mLowerLink->mLowerDevice != nullptr;
  NTSTATUS refusal = STATUS_SUCCESS;
  bool released = false;
  if (sp->Parameters.Power.Type == DevicePowerState) {
    DEVICE_POWER_STATE d = sp->Parameters.Power.State.DeviceState;
    if (d > mDevicePowerState)
      mPowerFlags |= TransitionFlag(d);
    else
      mPowerFlags &= ~(0x2u | 0x4u);
  } else {
    SYSTEM_POWER_STATE s = sp->Parameters.Power.State.SystemState;
    if (s > mSystemPowerState) {
      if (WakeArmed(this) && (mPowerFlags & 0x1) && mCapabilities.SystemWake < s) {
        refusal = STATUS_INVALID_DEVICE_STATE;
      } else if (((mSystemQueryPolicy & 0x1) && mOpenCount != 0) || ((mSystemQueryPolicy & 0x2) && mRequestCount > 2)) {
        refusal = STATUS_DEVICE_BUSY;
      } else {
        mPowerFlags |= TransitionFlag(DevicePowerStateFor(s));
        if ((mSystemQueryPolicy & 0x10) && mDevicePowerState == PowerDeviceD0) {
          DecrementRequestCount();
          released = true;
          LARGE_INTEGER t;
          t.QuadPart = -mSystemQueryTimeout;
          NTSTATUS waited = KeWaitForSingleObject(mPowerEvent.Get(), Executive, KernelMode, FALSE,
                                                  mSystemQueryTimeout != 0 ? &t : nullptr);
          if (waited == STATUS_TIMEOUT && (mSystemQueryPolicy & 0x40)) {
            CancelHeldIrps(nullptr);
            CancelFileIrps(&mDeviceObject->DeviceQueue, this, nullptr);
          }
        }
      }
    }
  }
  PoStartNextPowerIrp(irp);
  if (refusal != STATUS_SUCCESS) {
    irp->IoStatus.Information = 0;
    return CompleteRequest(irp, refusal);
  }
  IoCopyCurrentIrpStackLocationToNext(irp);
  if (!hasLower) return released ? CompleteKeepingCount(irp, STATUS_SUCCESS) : CompleteRequest(irp, STATUS_SUCCESS);
  if (released) return PoCallDriver(mLowerLink->mLowerDevice, irp);
  return PassPowerDown(irp);
}
