#include "kframework/LowerDeviceLink.h"

#include "kframework/KernelDeviceBase.h"
#include "kframework/PnpDeviceBase.h"

NTSTATUS LowerDeviceLink::AttachToStack(KernelDeviceBase* device, PDEVICE_OBJECT physicalDevice) {
  PAGED_CODE();
  mLowerDevice = IoAttachDeviceToDeviceStack(device->mDeviceObject, physicalDevice);
  if (mLowerDevice == nullptr) {
    mStatus = STATUS_NO_SUCH_DEVICE;
    mAttachedTo = nullptr;
    return mStatus;
  }
  mAttachedTo = physicalDevice;
  return mStatus;
}

NTSTATUS LowerDeviceLink::LinkToLowerDevice(PDEVICE_OBJECT lowerDevice, PDEVICE_OBJECT physicalDevice) {
  mLowerDevice = lowerDevice;
  if (lowerDevice == nullptr) {
    mStatus = STATUS_NO_SUCH_DEVICE;
    mAttachedTo = nullptr;
    return mStatus;
  }
  mAttachedTo = physicalDevice;
  return mStatus;
}

void LowerDeviceLink::Detach() {
  if (mLowerDevice == nullptr) return;
  if (mAttachedTo != nullptr) IoDetachDevice(mLowerDevice);
  if (mReferenced) ObDereferenceObject(mLowerDevice);
  mLowerDevice = nullptr;
  mAttachedTo = nullptr;
  mReferenced = FALSE;
}

namespace {

struct ForwardContext {
  KEVENT event;
  PIO_COMPLETION_ROUTINE savedRoutine;
  PVOID savedContext;
  UCHAR savedControl;
  NTSTATUS status;
  ULONG_PTR information;
  BOOLEAN keep;
};

NTSTATUS ForwardCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID p) {
  auto* ctx = static_cast<ForwardContext*>(p);
  NTSTATUS result;
  if (ctx->savedRoutine != nullptr) {
    result = ctx->savedRoutine(device, irp, ctx->savedContext);
  } else if (ctx->keep) {
    result = STATUS_MORE_PROCESSING_REQUIRED;
  } else {
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    result = STATUS_SUCCESS;
  }
  ctx->status = irp->IoStatus.Status;
  ctx->information = irp->IoStatus.Information;
  // Last: the waiter's stack holds the context.
  KeSetEvent(&ctx->event, IO_NO_INCREMENT, FALSE);
  return result;
}

NTSTATUS Forward(LowerDeviceLink* link, PIRP irp, BOOLEAN keep, ULONG_PTR* information, bool power) {
  PAGED_CODE();
  ForwardContext ctx{};
  KeInitializeEvent(&ctx.event, NotificationEvent, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  ctx.savedRoutine = next->CompletionRoutine;
  ctx.savedContext = next->Context;
  ctx.keep = keep;
  next->CompletionRoutine = ForwardCompletion;
  next->Context = &ctx;
  next->Control = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
  if (power)
    PoCallDriver(link->mLowerDevice, irp);
  else
    IoCallDriver(link->mLowerDevice, irp);
  KeWaitForSingleObject(&ctx.event, Executive, KernelMode, FALSE, nullptr);
  if (information != nullptr) *information = ctx.information;
  return ctx.status;
}

}  // namespace

NTSTATUS ForwardAndWait(LowerDeviceLink* link, PIRP irp, BOOLEAN keep, ULONG_PTR* information) {
  return Forward(link, irp, keep, information, false);
}

NTSTATUS ForwardPowerAndWait(LowerDeviceLink* link, PIRP irp, BOOLEAN keep, ULONG_PTR* information) {
  return Forward(link, irp, keep, information, true);
}

NTSTATUS SignalEventCompletion(PDEVICE_OBJECT, PIRP, PVOID event) {
  KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS FreeIrpCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* ctx = static_cast<FreeIrpContext*>(context);
  if (ctx->callback != nullptr) ctx->callback(device, irp, ctx->userData);
  IoFreeIrp(irp);
  KernelFree(ctx);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

namespace {

NTSTATUS ParentForwardCompletion(PDEVICE_OBJECT, PIRP copy, PVOID failIfUnsupported) {
  // The copy's first location carries the child's IRP and the top of the parent's stack.
  PIO_STACK_LOCATION carrier = IoGetCurrentIrpStackLocation(copy);
  auto* childIrp = static_cast<PIRP>(carrier->Parameters.Others.Argument1);
  auto* top = static_cast<PDEVICE_OBJECT>(carrier->Parameters.Others.Argument2);
  auto* child = static_cast<PnpDeviceBase*>(carrier->Parameters.Others.Argument3);
  ObDereferenceObject(top);
  if (copy->IoStatus.Status != STATUS_NOT_SUPPORTED) {
    childIrp->IoStatus = copy->IoStatus;
  } else if (failIfUnsupported != nullptr) {
    childIrp->IoStatus.Status = STATUS_UNSUCCESSFUL;
  }
  IoFreeIrp(copy);
  child->DecrementRequestCount();
  IoCompleteRequest(childIrp, IO_NO_INCREMENT);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS ForwardToParentStack(PnpDeviceBase* child, PDEVICE_OBJECT parent, PIRP irp, BOOLEAN failIfUnsupported) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(parent);
  PIRP copy = IoAllocateIrp(static_cast<CHAR>(top->StackSize + 1), FALSE);
  if (copy == nullptr) {
    ObDereferenceObject(top);
    return child->CompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES);
  }
  IoSetNextIrpStackLocation(copy);
  PIO_STACK_LOCATION carrier = IoGetCurrentIrpStackLocation(copy);
  carrier->Parameters.Others.Argument1 = irp;
  carrier->Parameters.Others.Argument2 = top;
  carrier->Parameters.Others.Argument3 = child;
  carrier->DeviceObject = top;
  PIO_STACK_LOCATION from = IoGetCurrentIrpStackLocation(irp);
  PIO_STACK_LOCATION to = IoGetNextIrpStackLocation(copy);
  to->MajorFunction = from->MajorFunction;
  to->MinorFunction = from->MinorFunction;
  to->Parameters = from->Parameters;
  to->Control = 0;
  IoSetCompletionRoutine(copy, ParentForwardCompletion, failIfUnsupported ? copy : nullptr, TRUE, TRUE, TRUE);
  copy->IoStatus.Status = STATUS_NOT_SUPPORTED;
  IoMarkIrpPending(irp);
  IoCallDriver(top, copy);
  return STATUS_PENDING;
}

WaitWakeArming::WaitWakeArming(PnpDeviceBase* device, PKMUTEX mutex, WakeOperation wake, PVOID owner)
    : mDevice(device), mMutex(mutex), mWake(wake), mOwner(owner) {}

void WaitWakeArming::RequestLocked() {
  POWER_STATE ps;
  ps.SystemState = mDevice->mCapabilities.SystemWake;
  PIRP irp = nullptr;
  mWaitWakeIrp = reinterpret_cast<PIRP>(~static_cast<ULONG_PTR>(0));  // out, not yet known
  if (PoRequestPowerIrp(mDevice->mPhysicalDevice, IRP_MN_WAIT_WAKE, ps, WaitWakeDone, this, &irp) != STATUS_PENDING) {
    mWaitWakeIrp = nullptr;
    return;
  }
  // Unless it has finished already.
  if (mWaitWakeIrp != nullptr) mWaitWakeIrp = irp;
}

void WaitWakeArming::Arm() {
  PAGED_CODE();
  KeEnterCriticalRegion();
  KeWaitForSingleObject(mMutex, Executive, KernelMode, FALSE, nullptr);
  if (++mArmCount == 1) RequestLocked();
  KeReleaseMutex(mMutex, FALSE);
  KeLeaveCriticalRegion();
}

namespace {
struct ArmingWork {
  PIO_WORKITEM item;
  WaitWakeArming* arming;
  void (*step)(WaitWakeArming* arming);
};
}  // namespace

bool WaitWakeArming::QueueStep(void (*step)(WaitWakeArming* arming)) {
  auto* work = static_cast<ArmingWork*>(KernelAlloc(sizeof(ArmingWork)));
  if (work == nullptr) return false;
  work->item = IoAllocateWorkItem(mDevice->mDeviceObject);
  if (work->item == nullptr) {
    KernelFree(work);
    return false;
  }
  work->arming = this;
  work->step = step;
  IoQueueWorkItem(work->item, [](PDEVICE_OBJECT, PVOID context) {
    auto* w = static_cast<ArmingWork*>(context);
    WaitWakeArming* arming = w->arming;
    auto* step = w->step;
    IoFreeWorkItem(w->item);
    KernelFree(w);
    step(arming);
  }, DelayedWorkQueue, work);
  return true;
}

void WaitWakeArming::WaitWakeDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status) {
  auto* self = static_cast<WaitWakeArming*>(context);
  self->mWaitWakeIrp = nullptr;
  // A cancelled or refused IRP is not a wake: the arm count stays as the disarm left it.
  if (!NT_SUCCESS(status->Status)) return;
  self->QueueStep([](WaitWakeArming* arming) {
    arming->mWake(arming->mOwner);
    KeWaitForSingleObject(arming->mMutex, Executive, KernelMode, FALSE, nullptr);
    LONG was = arming->mArmCount--;
    if (was != 1) arming->RequestLocked();
    KeReleaseMutex(arming->mMutex, FALSE);
  });
}

void WaitWakeArming::Disarm() {
  QueueStep([](WaitWakeArming* arming) {
    KeWaitForSingleObject(arming->mMutex, Executive, KernelMode, FALSE, nullptr);
    LONG was = arming->mArmCount--;
    PIRP out = arming->mWaitWakeIrp;
    KeReleaseMutex(arming->mMutex, FALSE);
    if (was == 1 && out != nullptr) IoCancelIrp(out);
  });
}

void CompleteIrpWithPowerRequest(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status) {
  auto* irp = static_cast<PIRP>(context);
  PoStartNextPowerIrp(irp);
  PDEVICE_OBJECT owner = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
  static_cast<PnpDeviceBase*>(static_cast<KernelDeviceBase*>(owner->DeviceExtension))->DecrementRequestCount();
  irp->IoStatus.Status = status->Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}
