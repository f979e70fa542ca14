#include "kframework/AddressRange.h"

#include <cstring>

#include "kframework/LowerDeviceLink.h"

AddressRange::AddressRange(ULONG stamp) : mSignature(stamp), mRange{nullptr, 0, nullptr, STATUS_SUCCESS} {
  InitializeSListHead(&mReceiveBuffers);
  KeInitializeSpinLock(&mReceiveLock);
}

AddressRange::~AddressRange() = default;

void AddressRange::OnReadRequest(PVOID, PMDL, PVOID*, PULONG, PKEVENT*) {}
void AddressRange::OnRead(PMDL, ULONG, ULONG) {}
void AddressRange::OnWriteRequest(PVOID, PMDL, PVOID*, PULONG, PKEVENT*) {}
void AddressRange::OnWrite(PMDL, ULONG, ULONG, PADDRESS_FIFO) {}
void AddressRange::OnLockRequest(PVOID, PMDL, PVOID*, PULONG, PKEVENT*) {}
void AddressRange::OnLock(PMDL, ULONG, ULONG) {}
void AddressRange::OnAllocated(NTSTATUS) {}

AddressRangeAllocation* BuildAllocateAddressRange(AddressRange* owner, ULONG length, ULONG accessType,
                                                  ULONG notificationOptions, const ADDRESS_OFFSET* requiredOffset,
                                                  PMDL mdl, ULONG flags, ULONG maxSegmentSize,
                                                  PSLIST_HEADER fifoListHead, PKSPIN_LOCK fifoSpinLock,
                                                  AddressRangeRecord* record) {
  ULONG entries = requiredOffset != nullptr || (mdl == nullptr && fifoListHead == nullptr) ? 1 : (length + 4095) / 4096 + 1;
  record->mAddresses = static_cast<PADDRESS_RANGE>(KernelAlloc(entries * sizeof(ADDRESS_RANGE)));
  auto* block = record->mAddresses != nullptr
                    ? static_cast<AddressRangeAllocation*>(KernelAlloc(sizeof(AddressRangeAllocation)))
                    : nullptr;
  if (block == nullptr) {
    KernelFree(record->mAddresses);
    record->mAddresses = nullptr;
    record->mAllocationStatus = STATUS_INSUFFICIENT_RESOURCES;
    owner->OnAllocated(STATUS_INSUFFICIENT_RESOURCES);
    return nullptr;
  }
  record->mRangeHandle = nullptr;
  record->mAddressCount = 0;
  record->mAllocationStatus = STATUS_PENDING;

  std::memset(&block->mIrb, 0, sizeof(IRB));
  IRB& irb = block->mIrb;
  irb.FunctionNumber = REQUEST_ALLOCATE_ADDRESS_RANGE;
  irb.Flags = 0;
  auto& request = irb.u.AllocateAddressRange;
  request.Mdl = mdl;
  request.fulFlags = flags;
  request.nLength = length;
  request.MaxSegmentSize = maxSegmentSize;
  request.fulAccessType = accessType;
  request.fulNotificationOptions = notificationOptions;
  request.Callback = AddressRangeNotification;
  request.Context = owner;
  if (requiredOffset != nullptr) request.Required1394Offset = *requiredOffset;
  request.FifoSListHead = fifoListHead;
  request.FifoSpinLock = fifoSpinLock;
  request.AddressesReturned = 0;
  request.p1394AddressRange = record->mAddresses;
  request.hAddressRange = nullptr;
  block->mOwner = owner;
  block->mRecord = record;
  return block;
}

void AddressRangeAllocated(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* block = static_cast<AddressRangeAllocation*>(context);
  AddressRangeRecord* record = block->mRecord;
  record->mRangeHandle = block->mIrb.u.AllocateAddressRange.hAddressRange;
  record->mAddressCount = block->mIrb.u.AllocateAddressRange.AddressesReturned;
  NTSTATUS status = irp != nullptr ? irp->IoStatus.Status : STATUS_SUCCESS;
  // Before the owner hears it, so that whoever waits for the address sees the outcome either way.
  record->mAllocationStatus = status;
  block->mOwner->OnAllocated(status);
  KernelFree(block);
}

// A write that arrives with a FIFO element goes to the MDL form with the element's buffer, so the
// owner can put the element back on its list.
void AddressRangeNotification(PNOTIFICATION_INFO n) {
  auto* owner = static_cast<AddressRange*>(n->Context);
  switch (n->fulNotificationOptions) {
    case NOTIFY_FLAGS_AFTER_READ:
      if (n->Mdl != nullptr)
        owner->OnRead(n->Mdl, n->ulOffset, n->nLength);
      else
        owner->OnReadRequest(n->RequestPacket, n->ResponseMdl, n->ResponsePacket, n->ResponseLength, n->ResponseEvent);
      break;
    case NOTIFY_FLAGS_AFTER_WRITE:
      if (n->Fifo != nullptr)
        owner->OnWrite(n->Fifo->FifoMdl, n->ulOffset, n->nLength, n->Fifo);
      else if (n->Mdl != nullptr)
        owner->OnWrite(n->Mdl, n->ulOffset, n->nLength, nullptr);
      else
        owner->OnWriteRequest(n->RequestPacket, n->ResponseMdl, n->ResponsePacket, n->ResponseLength, n->ResponseEvent);
      break;
    case NOTIFY_FLAGS_AFTER_LOCK:
      if (n->Mdl != nullptr)
        owner->OnLock(n->Mdl, n->ulOffset, n->nLength);
      else
        owner->OnLockRequest(n->RequestPacket, n->ResponseMdl, n->ResponsePacket, n->ResponseLength, n->ResponseEvent);
      break;
    default:
      break;
  }
}

namespace {

// Sends an IRB down the link and waits for it.
NTSTATUS SubmitIrbAndWait(LowerDeviceLink* link, PIRB irb) {
  PAGED_CODE();
  PIRP irp = IoAllocateIrp(link->mLowerDevice->StackSize, FALSE);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_1394_CLASS;
  next->Parameters.Others.Argument1 = irb;
  IoSetCompletionRoutine(irp, SignalEventCompletion, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(link->mLowerDevice, irp) == STATUS_PENDING)
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return status;
}

}  // namespace

NTSTATUS FreeAddressRange(LowerDeviceLink* link, AddressRangeRecord* record) {
  PAGED_CODE();
  NTSTATUS status = STATUS_SUCCESS;
  if (record->mRangeHandle != nullptr) {
    IRB irb;
    std::memset(&irb, 0, sizeof irb);
    irb.FunctionNumber = REQUEST_FREE_ADDRESS_RANGE;
    irb.u.FreeAddressRange.nAddressesToFree = record->mAddressCount;
    irb.u.FreeAddressRange.p1394AddressRange = record->mAddresses;
    irb.u.FreeAddressRange.pAddressRange = &record->mRangeHandle;
    status = SubmitIrbAndWait(link, &irb);
    record->mRangeHandle = nullptr;
    record->mAddressCount = 0;
  }
  KernelFree(record->mAddresses);
  record->mAddresses = nullptr;
  return status;
}

NTSTATUS AllocateReceiveBuffer(PADDRESS_FIFO record, ULONG size) {
  if (record->FifoMdl != nullptr) FreeReceiveBuffer(record);
  if (size == 0) return STATUS_INSUFFICIENT_RESOURCES;
  PVOID buffer = KernelAlloc(size);
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  PMDL mdl = IoAllocateMdl(buffer, size, FALSE, FALSE, nullptr);
  if (mdl == nullptr) {
    KernelFree(buffer);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  MmBuildMdlForNonPagedPool(mdl);
  record->FifoMdl = mdl;
  return STATUS_SUCCESS;
}

void FreeReceiveBuffer(PADDRESS_FIFO record) {
  PMDL mdl = record->FifoMdl;
  if (mdl == nullptr) return;
  KernelFree(MmGetMdlVirtualAddress(mdl));
  IoFreeMdl(mdl);
  record->FifoMdl = nullptr;
}
