#include "driver/QX531PdoBase.h"

#include "driver/QX531ChildList.h"

namespace {

// The framework's state bits a removal of a present child clears, so that it can start again.
constexpr ULONG kRestartableMask = PnpDeviceBase::kStopPending | PnpDeviceBase::kRemovePending |
                                   PnpDeviceBase::kStarted | PnpDeviceBase::kRemoving;

// The general policy of a child: refuse requests once it is gone, wait for requests in flight at
// removal, and delete the device object with the child.
constexpr ULONG kChildRefuseWhenGone = 0x1;
constexpr ULONG kChildDeleteAtRemoval = 0x4;
constexpr ULONG kChildWaitAtRemoval = 0x8;
constexpr ULONG kChildKeepDeviceObject = 0x20;

struct Forwarded {
  QX531PdoBase* child;
  PIRP childIrp;
  PDEVICE_OBJECT target;
  bool unsuccessfulWhenNotSupported;
};

}  // namespace

QX531PdoBase::QX531PdoBase(ULONG stamp, const DeviceCreation& made, QX531ChildList* list)
    : PnpDeviceBase(stamp, made, made.device), mList(list) {
  KeInitializeSpinLock(&mWakeLock);
  SetDefaultPnpPolicy();
  SetDefaultPowerPolicy(FALSE);
}

QX531PdoBase::~QX531PdoBase() = default;

PnpDeviceBase* QX531PdoBase::Parent() const { return mList != nullptr ? mList->mOwner : nullptr; }

// The child completes every request it serves itself: no policy bit lets the framework complete
// or forward one a second time, and there is no device below it to forward to.
void QX531PdoBase::SetDefaultPnpPolicy() {
  mGeneralPolicy = kChildRefuseWhenGone | kChildDeleteAtRemoval | kChildWaitAtRemoval | kChildKeepDeviceObject;
  mForwardPolicy = 0;
  mCompletePolicy = 0;
  mQueryStopPolicy = 0;
  mQueryRemovePolicy = 0;
  mHoldPolicy = 0;
}

// The child's power requests are all its own: the framework's power road is left out.
void QX531PdoBase::SetDefaultPowerPolicy(BOOLEAN) {
  mPowerPolicy = 0;
  mPowerMinorPolicy = 0;
  mPowerHoldPolicy = 0;
  mPowerDownPolicy = 0;
  mSystemQueryPolicy = 0;
  mWakePolicy = 0;
}

NTSTATUS QX531PdoBase::Succeed(PIRP irp) {
  irp->IoStatus.Information = 0;
  return CompleteRequest(irp, STATUS_SUCCESS);
}

NTSTATUS QX531PdoBase::KeepStatus(PIRP irp) { return CompleteRequest(irp, irp->IoStatus.Status); }

NTSTATUS QX531PdoBase::DefaultPnp(PIRP irp) { return KeepStatus(irp); }

NTSTATUS QX531PdoBase::DefaultPower(PIRP irp) {
  PoStartNextPowerIrp(irp);
  return KeepStatus(irp);
}

NTSTATUS QX531PdoBase::SystemControl(PIRP irp) { return KeepStatus(irp); }

// A removal of a child that is still present leaves its device object for a later start.
NTSTATUS QX531PdoBase::Pnp(PIRP irp) {
  PAGED_CODE();
  if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE && !mReportedMissing) {
    mPnpState &= ~kRestartableMask;
    mRemovedWhilePresent = 1;
    return OnRemoveDevice(irp);
  }
  return PnpDeviceBase::Pnp(irp);
}

NTSTATUS QX531PdoBase::OnStartDevice(PIRP irp) {
  PAGED_CODE();
  mRemovedWhilePresent = 0;
  return Succeed(irp);
}

NTSTATUS QX531PdoBase::OnStopDevice(PIRP irp) { return Succeed(irp); }
NTSTATUS QX531PdoBase::OnQueryRemoveDevice(PIRP irp) { return Succeed(irp); }
NTSTATUS QX531PdoBase::OnCancelRemoveDevice(PIRP irp) { return Succeed(irp); }
NTSTATUS QX531PdoBase::OnQueryStopDevice(PIRP irp) { return Succeed(irp); }
NTSTATUS QX531PdoBase::OnCancelStopDevice(PIRP irp) { return Succeed(irp); }
NTSTATUS QX531PdoBase::OnSurpriseRemoval(PIRP irp) { return Succeed(irp); }

// A removed device wakes nothing: a held wait-wake request ends with it. A missing child leaves
// its list; the framework then deletes it.
NTSTATUS QX531PdoBase::OnRemoveDevice(PIRP irp) {
  PAGED_CODE();
  if (PIRP wake = TakeWaitWake()) {
    if (mList != nullptr) mList->WakeDisarmed();
    PoStartNextPowerIrp(wake);
    wake->IoStatus.Information = 0;
    CompleteRequest(wake, STATUS_CANCELLED);
  }
  if (mReportedMissing) {
    if (mList != nullptr) mList->RemoveChild(this);
    mPnpState |= kRemoved | kSurpriseRemoved;
  }
  return Succeed(irp);
}

NTSTATUS QX531PdoBase::OnQueryDeviceRelations(PIRP irp) {
  PAGED_CODE();
  if (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation)
    return KeepStatus(irp);
  auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), DerivedPoolTag));
  if (relations == nullptr) return CompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES);
  relations->Count = 1;
  relations->Objects[0] = mDeviceObject;
  ObReferenceObject(mDeviceObject);
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
  return CompleteRequest(irp, STATUS_SUCCESS);
}

NTSTATUS QX531PdoBase::OnQueryInterface(PIRP irp) { return KeepStatus(irp); }
NTSTATUS QX531PdoBase::OnQueryCapabilities(PIRP irp) { return ForwardToParent(irp, false); }
NTSTATUS QX531PdoBase::OnQueryResources(PIRP irp) { return KeepStatus(irp); }
NTSTATUS QX531PdoBase::OnQueryResourceRequirements(PIRP irp) { return KeepStatus(irp); }
NTSTATUS QX531PdoBase::OnReadConfig(PIRP irp) { return ForwardToParent(irp, true); }
NTSTATUS QX531PdoBase::OnWriteConfig(PIRP irp) { return ForwardToParent(irp, true); }
NTSTATUS QX531PdoBase::OnEject(PIRP irp) { return ForwardToParent(irp, true); }
NTSTATUS QX531PdoBase::OnSetLock(PIRP irp) { return ForwardToParent(irp, true); }
NTSTATUS QX531PdoBase::OnQueryId(PIRP irp) { return KeepStatus(irp); }
NTSTATUS QX531PdoBase::OnQueryPnpDeviceState(PIRP irp) { return ForwardToParent(irp, false); }
NTSTATUS QX531PdoBase::OnQueryBusInformation(PIRP irp) { return ForwardToParent(irp, true); }
NTSTATUS QX531PdoBase::OnQueryDeviceText(PIRP irp) { return KeepStatus(irp); }
NTSTATUS QX531PdoBase::OnFilterResourceRequirements(PIRP irp) { return KeepStatus(irp); }
NTSTATUS QX531PdoBase::OnDeviceUsageNotification(PIRP irp) { return ForwardToParent(irp, true); }

// Forwarding

NTSTATUS QX531PdoBase::ForwardToParent(PIRP irp, bool unsuccessfulWhenNotSupported) {
  PAGED_CODE();
  PnpDeviceBase* parent = Parent();
  if (parent == nullptr || parent->mDeviceObject == nullptr) return KeepStatus(irp);
  PDEVICE_OBJECT target = IoGetAttachedDeviceReference(parent->mDeviceObject);
  PIRP copy = IoAllocateIrp(target->StackSize, FALSE);
  auto* context = static_cast<Forwarded*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Forwarded), DerivedPoolTag));
  if (copy == nullptr || context == nullptr) {
    if (copy != nullptr) IoFreeIrp(copy);
    if (context != nullptr) ExFreePoolWithTag(context, DerivedPoolTag);
    ObDereferenceObject(target);
    return CompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES);
  }
  *context = Forwarded{this, irp, target, unsuccessfulWhenNotSupported};
  PIO_STACK_LOCATION mine = IoGetCurrentIrpStackLocation(irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(copy);
  next->MajorFunction = mine->MajorFunction;
  next->MinorFunction = mine->MinorFunction;
  next->Flags = mine->Flags;
  next->Parameters = mine->Parameters;
  next->FileObject = mine->FileObject;
  copy->IoStatus.Status = STATUS_NOT_SUPPORTED;
  copy->IoStatus.Information = 0;
  IoSetCompletionRoutine(copy, ForwardDone, context, TRUE, TRUE, TRUE);
  IoMarkIrpPending(irp);
  IoCallDriver(target, copy);
  return STATUS_PENDING;
}

// Any IRQL up to DISPATCH_LEVEL.
NTSTATUS QX531PdoBase::ForwardDone(PDEVICE_OBJECT, PIRP copy, PVOID context) {
  auto* forwarded = static_cast<Forwarded*>(context);
  QX531PdoBase* child = forwarded->child;
  PIRP irp = forwarded->childIrp;
  ObDereferenceObject(forwarded->target);
  NTSTATUS status = irp->IoStatus.Status;
  if (copy->IoStatus.Status != STATUS_NOT_SUPPORTED) {
    status = copy->IoStatus.Status;
    irp->IoStatus.Information = copy->IoStatus.Information;
  } else if (forwarded->unsuccessfulWhenNotSupported) {
    status = STATUS_UNSUCCESSFUL;
  }
  ExFreePoolWithTag(forwarded, DerivedPoolTag);
  IoFreeIrp(copy);
  child->CompleteRequest(irp, status);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Power

NTSTATUS QX531PdoBase::OnSetPower(PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  if (sp->Parameters.Power.Type != DevicePowerState) {
    PoStartNextPowerIrp(irp);
    return CompleteRequest(irp, STATUS_SUCCESS);
  }
  const DEVICE_POWER_STATE state = sp->Parameters.Power.State.DeviceState;
  InterlockedExchange(&mChildPowerState, state);
  mDevicePowerState = state;
  PoSetPowerState(mDeviceObject, DevicePowerState, sp->Parameters.Power.State);
  irp->IoStatus.Status = STATUS_SUCCESS;
  if (mList == nullptr) {
    PoStartNextPowerIrp(irp);
    return CompleteRequest(irp, STATUS_SUCCESS);
  }
  return mList->ChildPowerChanged(this, irp);
}

NTSTATUS QX531PdoBase::OnQueryPower(PIRP irp) {
  PoStartNextPowerIrp(irp);
  return CompleteRequest(irp, STATUS_SUCCESS);
}

// A wait-wake request is held until it is cancelled, the child wakes or the child goes; one at a
// time.
NTSTATUS QX531PdoBase::OnWaitWake(PIRP irp) {
  KeAcquireSpinLock(&mWakeLock, &mWakeIrql);
  if (mPendingWake != nullptr) {
    KeReleaseSpinLock(&mWakeLock, mWakeIrql);
    PoStartNextPowerIrp(irp);
    return CompleteRequest(irp, STATUS_DEVICE_BUSY);
  }
  IoMarkIrpPending(irp);
  mPendingWake = irp;
  IoSetCancelRoutine(irp, WaitWakeCancel);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    mPendingWake = nullptr;
    KeReleaseSpinLock(&mWakeLock, mWakeIrql);
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Information = 0;
    CompleteRequest(irp, STATUS_CANCELLED);
    return STATUS_PENDING;
  }
  KeReleaseSpinLock(&mWakeLock, mWakeIrql);
  if (mList != nullptr) mList->WakeArmed();
  return STATUS_PENDING;
}

// DISPATCH_LEVEL, holding the cancel spin lock on entry.
void QX531PdoBase::WaitWakeCancel(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  auto* self = static_cast<QX531PdoBase*>(static_cast<KernelDeviceBase*>(device->DeviceExtension));
  KIRQL irql;
  KeAcquireSpinLock(&self->mWakeLock, &irql);
  if (self->mPendingWake == irp) self->mPendingWake = nullptr;
  KeReleaseSpinLock(&self->mWakeLock, irql);
  if (self->mList != nullptr) self->mList->WakeDisarmed();
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Information = 0;
  self->CompleteRequest(irp, STATUS_CANCELLED);
}

PIRP QX531PdoBase::TakeWaitWake() {
  KIRQL irql;
  KeAcquireSpinLock(&mWakeLock, &irql);
  PIRP irp = mPendingWake;
  // A request whose cancel routine is already running is that routine's to complete.
  if (irp != nullptr && IoSetCancelRoutine(irp, nullptr) != nullptr)
    mPendingWake = nullptr;
  else
    irp = nullptr;
  KeReleaseSpinLock(&mWakeLock, irql);
  return irp;
}

void QX531PdoBase::DeleteChild(QX531ChildList* list) {
  PAGED_CODE();
  if (PIRP wake = TakeWaitWake()) {
    list->WakeDisarmed();
    PoStartNextPowerIrp(wake);
    wake->IoStatus.Information = 0;
    CompleteRequest(wake, STATUS_CANCELLED);
  }
  Delete();
}
