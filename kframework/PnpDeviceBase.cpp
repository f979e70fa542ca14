#include "kframework/PnpDeviceBase.h"

#include <wdm.h>

namespace {
constexpr ULONG kBugCheckRequestCount = 0x0000DEAD;
}  // namespace

void PnpDeviceBase::InitBase(PDEVICE_OBJECT physicalDevice) {
  mPhysicalDevice = physicalDevice;
  mCountsRequests = true;
  ListInit(&mHeldIrps, offsetof(IRP, Tail.Overlay.ListEntry));
  ListInit(&mInterfaces, offsetof(InterfaceRecord, link));
  KeInitializeSpinLock(&mHeldIrpsLock);
}

PnpDeviceBase::PnpDeviceBase(ULONG stamp, PDEVICE_OBJECT physicalDevice, PCWSTR name, DEVICE_TYPE deviceType,
                             const GUID* interfaceClass, ULONG characteristics, ULONG flags)
    : KernelDeviceBase(stamp, name, deviceType, nullptr, characteristics,
                       flags | (physicalDevice->Flags & (DO_POWER_PAGABLE | DO_POWER_INRUSH))) {
  InitBase(physicalDevice);
  if (!NT_SUCCESS(mConstructStatus) || interfaceClass == nullptr) return;
  auto* record = static_cast<InterfaceRecord*>(ExAllocatePoolWithTag(PagedPool, sizeof(InterfaceRecord), kFrameworkPoolTag));
  if (record == nullptr) {
    mConstructStatus = STATUS_INSUFFICIENT_RESOURCES;
    return;
  }
  *record = InterfaceRecord{interfaceClass, {}, {}};
  if (!NT_SUCCESS(IoRegisterDeviceInterface(physicalDevice, interfaceClass, nullptr, &record->linkName))) {
    ExFreePoolWithTag(record, kFrameworkPoolTag);
    mConstructStatus = STATUS_INSUFFICIENT_RESOURCES;
    return;
  }
  ListAppend(&mInterfaces, record);
}

PnpDeviceBase::PnpDeviceBase(ULONG stamp, const DeviceCreation& made, PDEVICE_OBJECT physicalDevice)
    : KernelDeviceBase(stamp, made) {
  InitBase(physicalDevice);
}

PnpDeviceBase::~PnpDeviceBase() {
  mInterfaceLock.Lock();
  while (auto* record = static_cast<InterfaceRecord*>(ListPopFirst(&mInterfaces))) {
    ExFreePool(record->linkName.Buffer);
    ExFreePoolWithTag(record, kFrameworkPoolTag);
  }
  mInterfaceLock.Unlock();
  mPowerEvent.Release();
  mRemovalEvent.Release();
  mIdleEvent.Release();
  mDeviceMutex.Release();
}

// Counting

LONG PnpDeviceBase::PowerThreshold() const {
  if (!(mPowerPolicy & 0x4)) return 0;
  return ((mPowerFlags & 0x1) ? 1 : 0) + (mWaitWakeIrp != nullptr ? 1 : 0);
}

LONG PnpDeviceBase::IncrementRequestCount() {
  LONG n = InterlockedIncrement(&mRequestCount);
  if (n == 2) KeClearEvent(mIdleEvent.Get());
  if (n == PowerThreshold() + 2) KeClearEvent(mPowerEvent.Get());
  return n;
}

LONG PnpDeviceBase::DecrementRequestCount() {
  LONG n = InterlockedDecrement(&mRequestCount);
  // A count released twice would let removal free the device under a request in flight.
  if (n < 0) KeBugCheckEx(kBugCheckRequestCount, reinterpret_cast<ULONG_PTR>(this), 0, 0, 0);
  if (n == PowerThreshold() + 1) KeSetEvent(mPowerEvent.Get(), IO_NO_INCREMENT, FALSE);
  if (n == 1)
    KeSetEvent(mIdleEvent.Get(), IO_NO_INCREMENT, FALSE);
  else if (n == 0)
    KeSetEvent(mRemovalEvent.Get(), IO_NO_INCREMENT, FALSE);
  return n;
}

NTSTATUS PnpDeviceBase::WaitOn(PKEVENT event, LONGLONG timeout) {
  if (KeGetCurrentIrql() > APC_LEVEL) return STATUS_UNSUCCESSFUL;
  LARGE_INTEGER t;
  t.QuadPart = -timeout;
  return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, timeout != 0 ? &t : nullptr);
}

NTSTATUS PnpDeviceBase::WaitForIdle(LONGLONG timeout) { return WaitOn(mIdleEvent.Get(), timeout); }
NTSTATUS PnpDeviceBase::WaitForRemoval(LONGLONG timeout) { return WaitOn(mRemovalEvent.Get(), timeout); }

// Ending an IRP's life here

NTSTATUS PnpDeviceBase::CompleteRequest(PIRP irp, NTSTATUS status) {
  DecrementRequestCount();
  return CompleteKeepingCount(irp, status);
}

NTSTATUS PnpDeviceBase::CompleteKeepingCount(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS PnpDeviceBase::PassDown(PIRP irp) {
  DecrementRequestCount();
  return PassDownKeepingCount(irp);
}

namespace {
// Takes back a skip of the caller's location, so that the IRP completes from this device's own.
void BackToOwnLocation(PIRP irp, PDEVICE_OBJECT self) {
  if (irp->CurrentLocation > irp->StackCount || IoGetCurrentIrpStackLocation(irp)->DeviceObject != self)
    IoSetNextIrpStackLocation(irp);
}
}  // namespace

NTSTATUS PnpDeviceBase::PassDownKeepingCount(PIRP irp) {
  if (mLowerLink == nullptr || mLowerLink->mLowerDevice == nullptr) {
    // Detached by REMOVE: what still arrives ends here and never reaches the old stack.
    BackToOwnLocation(irp, mDeviceObject);
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    bool closing = major == IRP_MJ_CLOSE || major == IRP_MJ_CLEANUP;
    return CompleteKeepingCount(irp, closing ? STATUS_SUCCESS : STATUS_DELETE_PENDING);
  }
  return IoCallDriver(mLowerLink->mLowerDevice, irp);
}

NTSTATUS PnpDeviceBase::PassPowerDown(PIRP irp) {
  DecrementRequestCount();
  if (mLowerLink == nullptr || mLowerLink->mLowerDevice == nullptr) {
    BackToOwnLocation(irp, mDeviceObject);
    return CompleteKeepingCount(irp, STATUS_DELETE_PENDING);
  }
  return PoCallDriver(mLowerLink->mLowerDevice, irp);
}

// Dispatch

NTSTATUS PnpDeviceBase::Dispatch(PIRP irp) { return DispatchByMajorFunction(irp); }

NTSTATUS PnpDeviceBase::DispatchByMajorFunction(PIRP irp) {
  IncrementRequestCount();
  if ((mPowerFlags & 0x8) && mIdleCounter != nullptr) *mIdleCounter = 0;
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  switch (sp->MajorFunction) {
    case IRP_MJ_CREATE: {
      KeWaitForSingleObject(mDeviceMutex.Get(), Executive, KernelMode, FALSE, nullptr);
      if (mPnpState & (kRemoved | kSurpriseRemoved | kRemovePending | kRemoving)) {
        KeReleaseMutex(mDeviceMutex.Get(), FALSE);
        irp->IoStatus.Information = 0;
        return CompleteRequest(irp, STATUS_DELETE_PENDING);
      }
      NTSTATUS status = Create(irp);
      if (NT_SUCCESS(status)) {
        InterlockedIncrement(&mOpenCount);
        if (mDevicePowerState != PowerDeviceD0 && (mPowerPolicy & 0x20))
          RequestDevicePower(IRP_MN_SET_POWER, PowerDeviceD0);
      }
      KeReleaseMutex(mDeviceMutex.Get(), FALSE);
      return status;
    }
    case IRP_MJ_CLOSE: {
      KeWaitForSingleObject(mDeviceMutex.Get(), Executive, KernelMode, FALSE, nullptr);
      NTSTATUS status = Close(irp);
      LONG open = NT_SUCCESS(status) ? InterlockedDecrement(&mOpenCount) : mOpenCount;
      if (open == 0 && (mPnpState & kRemoved) && (mGeneralPolicy & 0x4) && !(mPnpState & kRemoving)) {
        KeReleaseMutex(mDeviceMutex.Get(), FALSE);
        Delete();
        return status;
      }
      if (open == 0 && mDevicePowerState != mIdleDeviceState && (mPowerPolicy & 0x40) && !Gone())
        RequestDevicePower(IRP_MN_SET_POWER, mIdleDeviceState);
      KeReleaseMutex(mDeviceMutex.Get(), FALSE);
      return status;
    }
    case IRP_MJ_CLEANUP:
    case IRP_MJ_SHUTDOWN:
      if (mHoldPolicy & 0x8) CancelHeldIrps(sp->FileObject);
      return DispatchThroughTable(irp);
    case IRP_MJ_POWER:
    case IRP_MJ_SYSTEM_CONTROL:
    case IRP_MJ_PNP: {
      bool removeAfterSurprise = sp->MajorFunction == IRP_MJ_PNP && sp->MinorFunction == IRP_MN_REMOVE_DEVICE &&
                                 !(mPnpState & kRemoved);
      if (!Gone() || removeAfterSurprise) return DispatchThroughTable(irp);
      if (sp->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
      irp->IoStatus.Information = 0;
      return CompleteRequest(irp, STATUS_DELETE_PENDING);
    }
    default:
      break;
  }
  if (Gone() && (mGeneralPolicy & 0x1)) {
    irp->IoStatus.Information = 0;
    return CompleteRequest(irp, STATUS_DELETE_PENDING);
  }
  bool inD0 = mDevicePowerState == PowerDeviceD0;
  bool transition = (mPowerFlags & (0x2 | 0x4)) != 0;
  if ((mPnpState & kStarted) && inD0 && !(mPnpState & (kStopPending | kRemovePending)) && !transition)
    return DispatchThroughTable(irp);
  bool hold = ((mPnpState & kStopPending) && (mHoldPolicy & 0x2)) ||
              ((mPnpState & kRemovePending) && (mHoldPolicy & 0x1)) ||
              (!(mPnpState & kStarted) && (mHoldPolicy & 0x4)) || ((mPowerFlags & 0x4) && (mPowerHoldPolicy & 0x2)) ||
              ((mPowerFlags & 0x2) && (mPowerHoldPolicy & 0x1)) ||
              (!inD0 && mPowerPolicy != 0 &&
               ((mPowerHoldPolicy & (0x4 | 0x8)) || mSystemPowerState != PowerSystemWorking));
  if (hold) {
    DecrementRequestCount();
    return QueueIrp(irp);
  }
  if (!(mPnpState & kStarted) && (mGeneralPolicy & 0x2)) return CompleteRequest(irp, STATUS_UNSUCCESSFUL);
  if (!inD0 && (mPowerPolicy & 0x8)) {
    NTSTATUS status = RequestDevicePower(IRP_MN_SET_POWER, PowerDeviceD0);
    if (!NT_SUCCESS(status)) return CompleteRequest(irp, status);
  }
  return DispatchThroughTable(irp);
}

// Held IRPs

void PnpDeviceBase::HeldIrpCancel(PDEVICE_OBJECT device, PIRP irp) {
  auto* self = static_cast<PnpDeviceBase*>(static_cast<KernelDeviceBase*>(device->DeviceExtension));
  KeAcquireSpinLockAtDpcLevel(&self->mHeldIrpsLock);
  ListRemove(&self->mHeldIrps, irp);
  KeReleaseSpinLockFromDpcLevel(&self->mHeldIrpsLock);
  IoReleaseCancelSpinLock(irp->CancelIrql);
  irp->IoStatus.Information = 0;
  irp->IoStatus.Status = STATUS_CANCELLED;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS PnpDeviceBase::QueueIrp(PIRP irp) {
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  if (irp->Cancel) {
    IoReleaseCancelSpinLock(cancelIrql);
    irp->IoStatus.Information = 0;
    return CompleteKeepingCount(irp, STATUS_CANCELLED);
  }
  KeAcquireSpinLockAtDpcLevel(&mHeldIrpsLock);
  ListAppend(&mHeldIrps, irp);
  KeReleaseSpinLockFromDpcLevel(&mHeldIrpsLock);
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, HeldIrpCancel);
  IoReleaseCancelSpinLock(cancelIrql);
  return STATUS_PENDING;
}

void PnpDeviceBase::TakeHeldIrps(ListHead* taken, bool everyFile, PFILE_OBJECT fileObject) {
  ListInit(taken, mHeldIrps.offset);
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  KeAcquireSpinLockAtDpcLevel(&mHeldIrpsLock);
  PVOID next = nullptr;
  for (PVOID member = ListFirst(&mHeldIrps); member != nullptr; member = next) {
    next = ListNext(&mHeldIrps, member);
    auto* irp = static_cast<PIRP>(member);
    if (!everyFile && IoGetCurrentIrpStackLocation(irp)->FileObject != fileObject) continue;
    // One whose cancel routine is already running is that routine's to complete.
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) continue;
    ListRemove(&mHeldIrps, irp);
    ListAppend(taken, irp);
  }
  KeReleaseSpinLockFromDpcLevel(&mHeldIrpsLock);
  IoReleaseCancelSpinLock(cancelIrql);
}

void PnpDeviceBase::ReleaseQueuedIrps(BOOLEAN flush) {
  // Every held request is taken off the list first, so one that the device's state holds again
  // waits for the next release instead of being popped again by this one.
  ListHead taken;
  TakeHeldIrps(&taken, true, nullptr);
  while (auto* irp = static_cast<PIRP>(ListPopFirst(&taken))) {
    irp->IoStatus.Information = 0;
    if (irp->Cancel)
      CompleteKeepingCount(irp, STATUS_CANCELLED);
    else if (flush)
      CompleteKeepingCount(irp, STATUS_DELETE_PENDING);
    else
      Dispatch(irp);
  }
}

void PnpDeviceBase::CancelHeldIrps(PFILE_OBJECT fileObject) {
  ListHead taken;
  TakeHeldIrps(&taken, false, fileObject);
  while (auto* irp = static_cast<PIRP>(ListPopFirst(&taken))) {
    irp->IoStatus.Information = 0;
    CompleteKeepingCount(irp, STATUS_CANCELLED);
  }
}

namespace {
struct ReleaseWork {
  PIO_WORKITEM item;
  PnpDeviceBase* device;
};
}  // namespace

void PnpDeviceBase::ReleaseHeldIrpsSoon() {
  if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
    ReleaseQueuedIrps(FALSE);
    return;
  }
  // Re-dispatching runs the handlers, which may wait: not at DISPATCH_LEVEL.
  auto* work = static_cast<ReleaseWork*>(KernelAlloc(sizeof(ReleaseWork)));
  if (work == nullptr) return;
  work->item = IoAllocateWorkItem(mDeviceObject);
  if (work->item == nullptr) {
    KernelFree(work);
    return;
  }
  work->device = this;
  IncrementRequestCount();
  IoQueueWorkItem(work->item, [](PDEVICE_OBJECT, PVOID context) {
    auto* w = static_cast<ReleaseWork*>(context);
    PnpDeviceBase* device = w->device;
    IoFreeWorkItem(w->item);
    KernelFree(w);
    device->ReleaseQueuedIrps(FALSE);
    device->DecrementRequestCount();
  }, DelayedWorkQueue, work);
}

void PnpDeviceBase::CompleteCurrentIrp() {
  PIRP irp = mDeviceObject->CurrentIrp;
  if (irp == nullptr) return;
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
  IoReleaseCancelSpinLock(cancelIrql);
  if (routine == nullptr && irp->Cancel) return;
  mDeviceObject->CurrentIrp = nullptr;
  irp->IoStatus.Information = 0;
  CompleteRequest(irp, STATUS_CANCELLED);
}

// PnP

NTSTATUS PnpDeviceBase::Pnp(PIRP irp) {
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: return HandleStart(irp);
    case IRP_MN_QUERY_REMOVE_DEVICE: return HandleQuery(irp, true);
    case IRP_MN_REMOVE_DEVICE: return HandleRemove(irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE: return HandleCancel(irp, true);
    case IRP_MN_STOP_DEVICE: return HandleStop(irp);
    case IRP_MN_QUERY_STOP_DEVICE: return HandleQuery(irp, false);
    case IRP_MN_CANCEL_STOP_DEVICE: return HandleCancel(irp, false);
    case IRP_MN_QUERY_DEVICE_RELATIONS: return OnQueryDeviceRelations(irp);
    case IRP_MN_QUERY_INTERFACE: return OnQueryInterface(irp);
    case IRP_MN_QUERY_CAPABILITIES: return OnQueryCapabilities(irp);
    case IRP_MN_QUERY_RESOURCES: return OnQueryResources(irp);
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS: return OnQueryResourceRequirements(irp);
    case IRP_MN_QUERY_DEVICE_TEXT: return OnQueryDeviceText(irp);
    case IRP_MN_FILTER_RESOURCE_REQUIREMENTS: return OnFilterResourceRequirements(irp);
    case IRP_MN_READ_CONFIG: return OnReadConfig(irp);
    case IRP_MN_WRITE_CONFIG: return OnWriteConfig(irp);
    case IRP_MN_EJECT: return OnEject(irp);
    case IRP_MN_SET_LOCK: return OnSetLock(irp);
    case IRP_MN_QUERY_ID: return OnQueryId(irp);
    case IRP_MN_QUERY_PNP_DEVICE_STATE: return HandleQueryPnpDeviceState(irp);
    case IRP_MN_QUERY_BUS_INFORMATION: return OnQueryBusInformation(irp);
    case IRP_MN_DEVICE_USAGE_NOTIFICATION: return OnDeviceUsageNotification(irp);
    case IRP_MN_SURPRISE_REMOVAL: return HandleSurpriseRemoval(irp);
    case 0x87: return OnPrivatePnp(irp);
    default: return DefaultPnp(irp);
  }
}

NTSTATUS PnpDeviceBase::HandleStart(PIRP irp) {
  PAGED_CODE();
  if ((mForwardPolicy & 0x1) && mLowerLink != nullptr) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    NTSTATUS below = ForwardAndWait(mLowerLink, irp, TRUE, nullptr);
    if (!NT_SUCCESS(below)) return CompleteRequest(irp, below);
  }
  NTSTATUS status = OnStartDevice(irp);
  if (NT_SUCCESS(status)) {
    if ((mPowerPolicy & 0x4) && (mWakePolicy & 0x4)) RequestWaitWake(mCapabilities.SystemWake);
    if (mPowerPolicy & 0x80) QueryCapabilitiesOfStack();
    mPnpState |= kStarted;
    if (mDevicePowerState == PowerDeviceUnspecified) mDevicePowerState = PowerDeviceD0;
  } else {
    mPnpState &= ~kStarted;
  }
  if (mCompletePolicy & 0x1) CompleteRequest(irp, status);
  if (mPnpState & kStarted) {
    if (mGeneralPolicy & 0x40) EnableDeviceInterfaces(nullptr);
    // What arrived before the start and was held runs now.
    ReleaseQueuedIrps(FALSE);
  }
  return status;
}

NTSTATUS PnpDeviceBase::HandleQuery(PIRP irp, bool remove) {
  PAGED_CODE();
  ULONG policy = remove ? mQueryRemovePolicy : mQueryStopPolicy;
  LONGLONG timeout = remove ? mQueryRemoveTimeout : mQueryStopTimeout;
  ULONG pendingBit = remove ? kRemovePending : kStopPending;
  ULONG bit = remove ? 0x20u : 0x8u;
  ULONG completeBit = remove ? 0x4u : 0x8u;
  if (((policy & 0x1) && mOpenCount != 0) || ((policy & 0x2) && mRequestCount > 2))
    return CompleteRequest(irp, STATUS_DEVICE_BUSY);
  NTSTATUS status = remove ? OnQueryRemoveDevice(irp) : OnQueryStopDevice(irp);
  if (NT_SUCCESS(status)) mPnpState |= pendingBit;
  bool released = false;
  if (mPnpState & pendingBit) {
    if (policy & 0x8) CompleteCurrentIrp();
    if (policy & 0x4) CancelFileIrps(&mDeviceObject->DeviceQueue, this, nullptr);
    if ((policy & 0x10) && (mPnpState & kStarted)) {
      DecrementRequestCount();
      released = true;
      // A query never waits without end: with no time-out it only looks whether the device is idle.
      LARGE_INTEGER poll{};
      NTSTATUS waited = timeout != 0 ? WaitForIdle(timeout)
                                     : KeWaitForSingleObject(mIdleEvent.Get(), Executive, KernelMode, FALSE, &poll);
      if (waited == STATUS_TIMEOUT && (policy & 0x40)) {
        CancelHeldIrps(nullptr);
        if (remove) {
          CancelFileIrps(&mDeviceObject->DeviceQueue, this, nullptr);
          CompleteCurrentIrp();
        }
      }
    }
  }
  if ((mForwardPolicy & bit) || (mCompletePolicy & completeBit)) {
    if ((mPnpState & pendingBit) && (mPnpState & kStarted) && mLowerLink != nullptr) {
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      return released ? PassDownKeepingCount(irp) : PassDown(irp);
    }
    return released ? CompleteKeepingCount(irp, status) : CompleteRequest(irp, status);
  }
  return status;
}

NTSTATUS PnpDeviceBase::HandleCancel(PIRP irp, bool remove) {
  PAGED_CODE();
  if ((mForwardPolicy & (remove ? 0x4u : 0x2u)) && mLowerLink != nullptr) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    ForwardAndWait(mLowerLink, irp, TRUE, nullptr);
  }
  NTSTATUS status = remove ? OnCancelRemoveDevice(irp) : OnCancelStopDevice(irp);
  mPnpState &= ~(remove ? kRemovePending : kStopPending);
  if (mHoldPolicy & (remove ? 0x80u : 0x40u)) ReleaseQueuedIrps(FALSE);
  if (mCompletePolicy & (remove ? 0x10u : 0x20u)) CompleteRequest(irp, status);
  return status;
}

NTSTATUS PnpDeviceBase::HandleStop(PIRP irp) {
  PAGED_CODE();
  if (mHoldPolicy & 0x20) CancelHeldIrps(nullptr);
  if (mWakePolicy & 0x8) CancelWaitWake();
  NTSTATUS status = OnStopDevice(irp);
  if ((mForwardPolicy & 0x10) || (mCompletePolicy & 0x2)) {
    if (mLowerLink != nullptr && (mPnpState & kStarted)) {
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      status = PassDown(irp);
    } else {
      status = CompleteRequest(irp, mLowerLink != nullptr ? STATUS_SUCCESS : status);
    }
  }
  mPnpState &= ~(kStopPending | kStarted);
  if (mGeneralPolicy & 0x40) DisableDeviceInterfaces(nullptr);
  return status;
}

NTSTATUS PnpDeviceBase::HandleQueryPnpDeviceState(PIRP irp) {
  NTSTATUS status = OnQueryPnpDeviceState(irp);
  if (!((mForwardPolicy & 0x80) || (mCompletePolicy & 0x80))) return status;
  if (NT_SUCCESS(status) && !(mPnpState & kStopPending) && (mPnpState & kStarted) && mLowerLink != nullptr) {
    IoSkipCurrentIrpStackLocation(irp);
    return PassDown(irp);
  }
  return CompleteRequest(irp, status);
}

NTSTATUS PnpDeviceBase::HandleSurpriseRemoval(PIRP irp) {
  PAGED_CODE();
  mPnpState |= kSurpriseRemoved;
  if (mHoldPolicy & 0x10) ReleaseQueuedIrps(TRUE);
  NTSTATUS status = OnSurpriseRemoval(irp);
  if ((mForwardPolicy & 0x100) || (mCompletePolicy & 0x100)) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    if (mLowerLink != nullptr) {
      IoSkipCurrentIrpStackLocation(irp);
      status = PassDown(irp);
    } else {
      status = CompleteRequest(irp, STATUS_SUCCESS);
    }
  }
  mPnpState &= ~(kStopPending | kRemovePending | kStarted);
  return status;
}

NTSTATUS PnpDeviceBase::HandleRemove(PIRP irp) {
  PAGED_CODE();
  KeWaitForSingleObject(mDeviceMutex.Get(), Executive, KernelMode, FALSE, nullptr);
  mPnpState |= kRemoved | kRemoving;
  // CREATE and CLOSE need the mutex while their counts keep this REMOVE waiting: let them run.
  KeReleaseMutex(mDeviceMutex.Get(), FALSE);
  if (mHoldPolicy & 0x10) ReleaseQueuedIrps(TRUE);
  if (mWakePolicy & 0x10) CancelWaitWake();
  if (mGeneralPolicy & 0x40) DisableDeviceInterfaces(nullptr);
  NTSTATUS status = OnRemoveDevice(irp);
  bool framework = (mForwardPolicy & 0x40) || (mCompletePolicy & 0x40);
  if (framework) DecrementRequestCount();
  if (mGeneralPolicy & 0x8) WaitForIdle(mRemoveTimeout);
  if (framework) {
    if (mLowerLink != nullptr && mLowerLink->mLowerDevice != nullptr) {
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      // The IRP is no longer ours: a lower driver that pends it has marked it pending, and only
      // what it returned may go back up.
      status = IoCallDriver(mLowerLink->mLowerDevice, irp);
    } else {
      CompleteKeepingCount(irp, status);
    }
  }
  if ((mGeneralPolicy & 0x10) && mLowerLink != nullptr) mLowerLink->Detach();
  DecrementRequestCount();
  if (mGeneralPolicy & 0x8) WaitForRemoval(mRemoveTimeout);
  if (mLinkName.Length > 1) {
    IoDeleteSymbolicLink(&mLinkName);
    ClearCountedString(&mLinkName);
  }
  if (mDeviceObject != nullptr) mDeviceObject->Flags &= ~DO_SHUTDOWN_REGISTERED;
  KeWaitForSingleObject(mDeviceMutex.Get(), Executive, KernelMode, FALSE, nullptr);
  if (!(mGeneralPolicy & 0x20)) mDeviceObject = nullptr;
  if ((mGeneralPolicy & 0x4) && mOpenCount == 0) {
    KeReleaseMutex(mDeviceMutex.Get(), FALSE);
    Delete();
    return status;
  }
  mPnpState &= ~(kStopPending | kRemovePending | kStarted | kRemoving);
  KeReleaseMutex(mDeviceMutex.Get(), FALSE);
  return status;
}

void PnpDeviceBase::SetDefaultPnpPolicy() {
  mGeneralPolicy = 0x7F;
  mForwardPolicy = 0x1FF;
  mCompletePolicy = 0x1FF;
  mQueryStopPolicy = 0x1 | 0x2;
  mQueryRemovePolicy = 0x1 | 0x4 | 0x10;
  mHoldPolicy = 0xDF;
}

// Interfaces

namespace {
NTSTATUS SetInterfaces(ListHead* interfaces, PUNICODE_STRING one, BOOLEAN enable) {
  if (one != nullptr) return IoSetDeviceInterfaceState(one, enable);
  NTSTATUS result = STATUS_SUCCESS;
  for (PVOID m = ListFirst(interfaces); m != nullptr; m = ListNext(interfaces, m)) {
    NTSTATUS status = IoSetDeviceInterfaceState(&static_cast<PnpDeviceBase::InterfaceRecord*>(m)->linkName, enable);
    if (!NT_SUCCESS(status)) result = status;
  }
  return result;
}
}  // namespace

NTSTATUS PnpDeviceBase::EnableDeviceInterfaces(PUNICODE_STRING one) {
  mInterfaceLock.Lock();
  NTSTATUS status = SetInterfaces(&mInterfaces, one, TRUE);
  mInterfaceLock.Unlock();
  return status;
}

NTSTATUS PnpDeviceBase::DisableDeviceInterfaces(PUNICODE_STRING one) {
  mInterfaceLock.Lock();
  NTSTATUS status = SetInterfaces(&mInterfaces, one, FALSE);
  mInterfaceLock.Unlock();
  return status;
}

NTSTATUS PnpDeviceBase::QueryCapabilitiesOfStack() {
  PAGED_CODE();
  PDEVICE_OBJECT target = mLowerLink != nullptr && mLowerLink->mLowerDevice != nullptr
                              ? mLowerLink->mLowerDevice
                              : IoGetAttachedDevice(mPhysicalDevice);
  ObReferenceObject(target);
  PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
  if (irp == nullptr) {
    ObDereferenceObject(target);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.Address = ~0u;
  caps.UINumber = ~0u;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = IRP_MJ_PNP;
  sp->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
  sp->Parameters.DeviceCapabilities.Capabilities = &caps;
  IoSetCompletionRoutine(irp, SignalEventCompletion, &done, TRUE, TRUE, TRUE);
  IoCallDriver(target, irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  ObDereferenceObject(target);
  if (NT_SUCCESS(status)) mCapabilities = caps;
  return status;
}

// Default handlers

NTSTATUS PnpDeviceBase::OnStartDevice(PIRP irp) { return (mCompletePolicy & 0x1) ? STATUS_SUCCESS : DefaultPnp(irp); }
NTSTATUS PnpDeviceBase::OnStopDevice(PIRP irp) {
  return ((mCompletePolicy & 0x2) || (mForwardPolicy & 0x10)) ? STATUS_SUCCESS : DefaultPnp(irp);
}
NTSTATUS PnpDeviceBase::OnQueryRemoveDevice(PIRP irp) {
  return ((mCompletePolicy & 0x4) || (mForwardPolicy & 0x20)) ? STATUS_SUCCESS : DefaultPnp(irp);
}
NTSTATUS PnpDeviceBase::OnRemoveDevice(PIRP irp) {
  return ((mCompletePolicy & 0x40) || (mForwardPolicy & 0x40)) ? STATUS_SUCCESS : DefaultPnp(irp);
}
NTSTATUS PnpDeviceBase::OnCancelRemoveDevice(PIRP irp) { return (mCompletePolicy & 0x10) ? STATUS_SUCCESS : DefaultPnp(irp); }
NTSTATUS PnpDeviceBase::OnQueryStopDevice(PIRP irp) {
  return ((mCompletePolicy & 0x8) || (mForwardPolicy & 0x8)) ? STATUS_SUCCESS : DefaultPnp(irp);
}
NTSTATUS PnpDeviceBase::OnCancelStopDevice(PIRP irp) { return (mCompletePolicy & 0x20) ? STATUS_SUCCESS : DefaultPnp(irp); }
NTSTATUS PnpDeviceBase::OnQueryDeviceRelations(PIRP irp) { return DefaultPnp(irp); }
NTSTATUS PnpDeviceBase::OnQueryInterface(PIRP irp) { return DefaultPnp(irp); }
NTSTATUS PnpDeviceBase::OnQueryCapabilities(PIRP irp) { return DefaultPnp(irp); }
NTSTATUS PnpDeviceBase::OnQueryResources(PIRP irp) { return DefaultPnp(irp); }
NTSTATUS PnpDeviceBase::OnQueryResourceRequirements(PIRP irp) { return DefaultPnp(irp); }
NTSTATUS PnpDeviceBase::OnReadConfig(PIRP irp) { return DefaultPnp(irp); }
NTSTATUS PnpDeviceBase::OnWriteConfig(PIRP irp) { return DefaultPnp(irp); }
NTSTATUS PnpDeviceBase::OnEject(PIRP irp) { return DefaultPnp(irp); }
NTSTATUS PnpDeviceBase::OnSetLock(PIRP irp) { return DefaultPnp(irp); }
NTSTATUS PnpDeviceBase::OnQueryId(PIRP irp) { return DefaultPnp(irp); }
NTSTATUS PnpDeviceBase::OnQueryPnpDeviceState(PIRP irp) {
  return ((mCompletePolicy & 0x80) || (mForwardPolicy & 0x80)) ? STATUS_SUCCESS : DefaultPnp(irp);
}
NTSTATUS PnpDeviceBase::OnQueryBusInformation(PIRP irp) { return DefaultPnp(irp); }
NTSTATUS PnpDeviceBase::OnWaitWake(PIRP irp) { return (mPowerMinorPolicy & 0x4) ? STATUS_SUCCESS : DefaultPower(irp); }
NTSTATUS PnpDeviceBase::OnPowerSequence(PIRP irp) { return (mPowerMinorPolicy & 0x8) ? STATUS_SUCCESS : DefaultPower(irp); }
NTSTATUS PnpDeviceBase::OnSetPower(PIRP irp) { return (mPowerMinorPolicy & 0x1) ? STATUS_SUCCESS : DefaultPower(irp); }
NTSTATUS PnpDeviceBase::OnQueryPower(PIRP irp) { return (mPowerMinorPolicy & 0x2) ? STATUS_SUCCESS : DefaultPower(irp); }
NTSTATUS PnpDeviceBase::OnQueryDeviceText(PIRP irp) { return DefaultPnp(irp); }
NTSTATUS PnpDeviceBase::OnFilterResourceRequirements(PIRP irp) { return DefaultPnp(irp); }
NTSTATUS PnpDeviceBase::OnDeviceUsageNotification(PIRP irp) { return DefaultPnp(irp); }
NTSTATUS PnpDeviceBase::OnSurpriseRemoval(PIRP irp) {
  return ((mCompletePolicy & 0x100) || (mForwardPolicy & 0x100)) ? STATUS_SUCCESS : DefaultPnp(irp);
}
NTSTATUS PnpDeviceBase::OnPrivatePnp(PIRP irp) { return DefaultPnp(irp); }
void PnpDeviceBase::OnDevicePowerUp(PIRP) {}
void PnpDeviceBase::OnDevicePowerDown(PIRP) {}
void PnpDeviceBase::OnSystemPowerUp(PIRP, ULONG) {}
void PnpDeviceBase::OnSystemPowerDown(PIRP, ULONG) {}

DEVICE_POWER_STATE PnpDeviceBase::DevicePowerStateFor(SYSTEM_POWER_STATE systemState) {
  // Only the seven entries of the table exist.
  if (systemState < PowerSystemUnspecified || systemState >= PowerSystemMaximum) return mDevicePowerState;
  DEVICE_POWER_STATE d = mCapabilities.DeviceState[systemState];
  return (d >= PowerDeviceD0 && d <= PowerDeviceD3) ? d : mDevicePowerState;
}
