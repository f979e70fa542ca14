#include "driver/QX531ChildList.h"

#include "driver/QX531PdoBase.h"
#include "kframework/PnpDeviceBase.h"

namespace {

// What a child's power-up waits on: the function device's own power-up.
struct PowerUpWait {
  QX531PdoBase* child;
  PIRP irp;
};

// The function device's stack is back in D0 (or refused): the child's request ends with it.
void ParentPoweredUp(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status) {
  auto* wait = static_cast<PowerUpWait*>(context);
  QX531PdoBase* child = wait->child;
  PIRP irp = wait->irp;
  ExFreePoolWithTag(wait, DerivedPoolTag);
  PoStartNextPowerIrp(irp);
  child->CompleteRequest(irp, status->Status);
}

QX531PdoBase* ChildOf(PVOID entry) {
  return entry != nullptr ? static_cast<QX531PdoBase::ListEntry*>(entry)->child : nullptr;
}

}  // namespace

QX531ChildList::QX531ChildList(PnpDeviceBase* owner) : mOwner(owner) {
  ExInitializeFastMutex(&mMutex);
  ListInit(&mChildren, offsetof(QX531PdoBase::ListEntry, link));
}

void QX531ChildList::AddChild(QX531PdoBase* child) {
  PAGED_CODE();
  ExAcquireFastMutex(&mMutex);
  ListAppend(&mChildren, &child->mEntry);
  ++mCount;
  ExReleaseFastMutex(&mMutex);
}

void QX531ChildList::RemoveChild(QX531PdoBase* child) {
  PAGED_CODE();
  ExAcquireFastMutex(&mMutex);
  if (child->mList == this) {
    ListRemove(&mChildren, &child->mEntry);
    child->mList = nullptr;
    --mCount;
  }
  ExReleaseFastMutex(&mMutex);
}

// Under the mutex. The child leaves the list and the count with it.
QX531PdoBase* QX531ChildList::PopChild() {
  QX531PdoBase* child = ChildOf(ListPopFirst(&mChildren));
  if (child != nullptr) {
    child->mList = nullptr;
    --mCount;
  }
  return child;
}

QX531PdoBase* QX531ChildList::FirstChild() {
  PAGED_CODE();
  ExAcquireFastMutex(&mMutex);
  QX531PdoBase* child = ChildOf(ListFirst(&mChildren));
  ExReleaseFastMutex(&mMutex);
  return child;
}

LONG QX531ChildList::Count() {
  PAGED_CODE();
  ExAcquireFastMutex(&mMutex);
  const LONG count = mCount;
  ExReleaseFastMutex(&mMutex);
  return count;
}

NTSTATUS QX531ChildList::QueryBusRelations(PIRP irp) {
  PAGED_CODE();
  if (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDeviceRelations.Type != BusRelations) return STATUS_SUCCESS;
  ExAcquireFastMutex(&mMutex);
  auto* existing = reinterpret_cast<PDEVICE_RELATIONS>(irp->IoStatus.Information);
  // A driver above has answered and there is nothing of ours to add.
  if (existing != nullptr && mCount == 0) {
    ExReleaseFastMutex(&mMutex);
    return STATUS_SUCCESS;
  }
  ULONG present = 0;
  for (PVOID m = ListFirst(&mChildren); m != nullptr; m = ListNext(&mChildren, m))
    if (ChildOf(m)->mChildPresent) ++present;
  const ULONG kept = existing != nullptr ? existing->Count : 0;
  const ULONG entries = kept + present;
  const SIZE_T bytes = offsetof(DEVICE_RELATIONS, Objects) + (entries != 0 ? entries : 1) * sizeof(PDEVICE_OBJECT);
  auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, bytes, DerivedPoolTag));
  if (relations == nullptr) {
    ExReleaseFastMutex(&mMutex);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  relations->Count = 0;
  for (ULONG i = 0; i < kept; ++i) relations->Objects[relations->Count++] = existing->Objects[i];
  for (PVOID m = ListFirst(&mChildren); m != nullptr; m = ListNext(&mChildren, m)) {
    auto* child = ChildOf(m);
    if (!child->mChildPresent) {
      child->mReportedMissing = 1;
      continue;
    }
    ObReferenceObject(child->mDeviceObject);
    relations->Objects[relations->Count++] = child->mDeviceObject;
  }
  if (existing != nullptr) ExFreePool(existing);
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
  irp->IoStatus.Status = STATUS_SUCCESS;
  ExReleaseFastMutex(&mMutex);
  return STATUS_SUCCESS;
}

DEVICE_POWER_STATE QX531ChildList::LowestChildPowerState() {
  PAGED_CODE();
  LONG lowest = PowerDeviceD3;
  ExAcquireFastMutex(&mMutex);
  for (PVOID m = ListFirst(&mChildren); m != nullptr; m = ListNext(&mChildren, m)) {
    const LONG state = ChildOf(m)->mChildPowerState;
    if (state < lowest) lowest = state;
  }
  ExReleaseFastMutex(&mMutex);
  return static_cast<DEVICE_POWER_STATE>(lowest);
}

void QX531ChildList::RemoveAllChildren() {
  PAGED_CODE();
  for (;;) {
    ExAcquireFastMutex(&mMutex);
    QX531PdoBase* child = PopChild();
    ExReleaseFastMutex(&mMutex);
    if (child == nullptr) return;
    child->mReportedMissing = 1;
    // A surprise-removed child's own removal is still to come, and deletes it then.
    const bool removalOwed = (child->mPnpState & PnpDeviceBase::kSurpriseRemoved) && !child->mRemovedWhilePresent;
    if (!removalOwed) child->DeleteChild(this);
  }
}

void QX531ChildList::MarkChildrenMissing() {
  PAGED_CODE();
  for (;;) {
    ExAcquireFastMutex(&mMutex);
    QX531PdoBase* child = PopChild();
    ExReleaseFastMutex(&mMutex);
    if (child == nullptr) return;
    child->mReportedMissing = 1;
    // Plug and play may have removed the child before its parent: no removal deletes it then.
    if (child->mRemovedWhilePresent) child->DeleteChild(this);
  }
}

NTSTATUS QX531ChildList::ChildPowerChanged(QX531PdoBase* child, PIRP irp) {
  PAGED_CODE();
  const DEVICE_POWER_STATE lowest = LowestChildPowerState();
  const DEVICE_POWER_STATE parent = DevicePowerState();
  POWER_STATE wanted;
  wanted.DeviceState = lowest;
  if (lowest == PowerDeviceD0 && parent != PowerDeviceD0) {
    auto* wait = static_cast<PowerUpWait*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(PowerUpWait), DerivedPoolTag));
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (wait != nullptr) {
      *wait = PowerUpWait{child, irp};
      IoMarkIrpPending(irp);
      status = PoRequestPowerIrp(mOwner->mPhysicalDevice, IRP_MN_SET_POWER, wanted, ParentPoweredUp, wait, nullptr);
      if (status == STATUS_PENDING) return STATUS_PENDING;
      ExFreePoolWithTag(wait, DerivedPoolTag);
      PoStartNextPowerIrp(irp);
      child->CompleteRequest(irp, status);
      return STATUS_PENDING;
    }
    PoStartNextPowerIrp(irp);
    return child->CompleteRequest(irp, status);
  }
  if (lowest != PowerDeviceD0 && parent == PowerDeviceD0)
    PoRequestPowerIrp(mOwner->mPhysicalDevice, IRP_MN_SET_POWER, wanted, nullptr, nullptr, nullptr);
  PoStartNextPowerIrp(irp);
  return child->CompleteRequest(irp, STATUS_SUCCESS);
}

void QX531ChildList::CompleteChildWake() {
  PAGED_CODE();
  PIRP wake = nullptr;
  QX531PdoBase* owner = nullptr;
  ExAcquireFastMutex(&mMutex);
  for (PVOID m = ListFirst(&mChildren); m != nullptr && wake == nullptr; m = ListNext(&mChildren, m)) {
    owner = ChildOf(m);
    wake = owner->TakeWaitWake();
  }
  ExReleaseFastMutex(&mMutex);
  if (wake == nullptr) return;
  WakeDisarmed();
  PoStartNextPowerIrp(wake);
  wake->IoStatus.Information = 0;
  owner->CompleteRequest(wake, STATUS_SUCCESS);
}
