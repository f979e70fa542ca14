#include "driver/BusRequests.h"

#include "kframework/LowerDeviceLink.h"

namespace {

void PrepareIrb(PIRP irp, PIRB irb) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_1394_CLASS;
  next->Parameters.Others.Argument1 = irb;
}

}  // namespace

NTSTATUS SubmitIrb(LowerDeviceLink* link, PIRB irb, PIRP irp) {
  PAGED_CODE();
  PDEVICE_OBJECT lower = link->mLowerDevice;
  const bool ownIrp = irp == nullptr;
  if (ownIrp) {
    irp = IoAllocateIrp(lower->StackSize, FALSE);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  }
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PrepareIrb(irp, irb);
  IoSetCompletionRoutine(irp, SignalEventCompletion, &done, TRUE, TRUE, TRUE);
  IoCallDriver(lower, irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  const NTSTATUS status = irp->IoStatus.Status;
  if (ownIrp) {
    IoFreeIrp(irp);
  } else {
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  return status;
}

NTSTATUS SubmitIrbAsync(LowerDeviceLink* link, PIRB irb, BusRequestCompletion completion, PVOID context) {
  PDEVICE_OBJECT lower = link->mLowerDevice;
  auto* freeContext = static_cast<FreeIrpContext*>(KernelAlloc(sizeof(FreeIrpContext)));
  PIRP irp = freeContext != nullptr ? IoAllocateIrp(lower->StackSize, FALSE) : nullptr;
  if (irp == nullptr) {
    KernelFree(freeContext);
    // The caller's routine still runs once, as if the bus driver had refused the request.
    IRP refused{};
    refused.IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
    completion(nullptr, &refused, context);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  freeContext->callback = completion;
  freeContext->userData = context;
  PrepareIrb(irp, irb);
  IoSetCompletionRoutine(irp, FreeIrpCompletion, freeContext, TRUE, TRUE, TRUE);
  return IoCallDriver(lower, irp);
}

NTSTATUS SubmitIrbInIrp(LowerDeviceLink* link, PIRB irb, PIRP irp, PIO_COMPLETION_ROUTINE completion, PVOID context) {
  IoReuseIrp(irp, STATUS_SUCCESS);
  PrepareIrb(irp, irb);
  IoSetCompletionRoutine(irp, completion, context, TRUE, TRUE, TRUE);
  return IoCallDriver(link->mLowerDevice, irp);
}
