#include <cstring>

#include "driver/BusRequests.h"
#include "driver/QX531WinDevice.h"
#include "kframework/PnpDeviceBase.h"

namespace {

constexpr int32_t kFailure = 99;
constexpr int32_t kOutOfMemory = 2;

// Registers lie at this offset high in the unit's address space.
constexpr USHORT kRegisterOffsetHigh = 0xFFFF;
// The largest asynchronous payload at S400: a longer block goes in several writes.
constexpr ULONG kLargestPayload = 2048;

// Registers are big-endian on the bus.
uint32_t SwapQuadlet(uint32_t v) { return __builtin_bswap32(v); }

// An MDL over non-paged memory, ready for the bus driver; null when none can be had.
PMDL DescribeBuffer(const void* buffer, ULONG length) {
  PMDL mdl = IoAllocateMdl(const_cast<PVOID>(buffer), length, FALSE, FALSE, nullptr);
  if (mdl == nullptr) return nullptr;
  if (!(mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL)))
    MmBuildMdlForNonPagedPool(mdl);
  return mdl;
}

}  // namespace

// A write queued with a completion: everything it needs until the bus driver hands it back.
struct QX531WinDevice::QueuedWrite {
  IRB mIrb;
  QX531WinDevice* mUnit;
  PMDL mMdl;
  WriteCompletion mCompletion;
  void* mContext;
  // A quadlet in bus order, so the caller's storage is never altered.
  uint32_t mQuadlet;
};

void QX531WinDevice::BuildRegisterIrb(IRB* irb, ULONG function, uint32_t offset, ULONG length, PMDL mdl) const {
  std::memset(irb, 0, sizeof *irb);
  irb->FunctionNumber = function;
  // The read and write records share their layout; the bus driver fills in the node.
  auto& request = irb->u.AsyncWrite;
  request.DestinationAddress.IA_Destination_Offset.Off_High = kRegisterOffsetHigh;
  request.DestinationAddress.IA_Destination_Offset.Off_Low = mRegBaseAddress + offset;
  request.nNumberOfBytesToWrite = length;
  request.nBlockSize = 0;
  request.fulFlags = 0;
  request.Mdl = mdl;
  request.ulGeneration = mGenerationNumber;
}

void QX531WinDevice::NoteAccessStatus(NTSTATUS status) {
  if (status == STATUS_IO_DEVICE_ERROR_1394_DEPARTED) mReachable = 0;
}

int32_t QX531WinDevice::ExtractNodeAndGenerationIDs() {
  PAGED_CODE();
  LowerDeviceLink* link = GetLowerDeviceLink();
  IRB irb;
  std::memset(&irb, 0, sizeof irb);
  irb.FunctionNumber = REQUEST_GET_GENERATION_COUNT;
  if (!NT_SUCCESS(SubmitIrb(link, &irb, nullptr))) return kFailure;
  mGenerationNumber = irb.u.GetGenerationCount.GenerationCount;

  std::memset(&irb, 0, sizeof irb);
  irb.FunctionNumber = REQUEST_GET_ADDR_FROM_DEVICE_OBJECT;
  irb.u.Get1394AddressFromDeviceObject.fulFlags = USE_LOCAL_NODE;
  if (!NT_SUCCESS(SubmitIrb(link, &irb, nullptr))) return kFailure;
  mlocalNodeNum = irb.u.Get1394AddressFromDeviceObject.NodeAddress.NA_Node_Number;

  std::memset(&irb, 0, sizeof irb);
  irb.FunctionNumber = REQUEST_GET_ADDR_FROM_DEVICE_OBJECT;
  irb.u.Get1394AddressFromDeviceObject.fulFlags = 0;
  if (!NT_SUCCESS(SubmitIrb(link, &irb, nullptr))) return kFailure;
  mNodeNum = irb.u.Get1394AddressFromDeviceObject.NodeAddress.NA_Node_Number;

  // Only a unit whose every id was read is reachable again.
  mReachable = 1;
  TraceLabelHex("ExtractNodeAndGenerationIDs       qx531NodeNum           ", mNodeNum);
  TraceLabelHex("ExtractNodeAndGenerationIDs       generationNumber       ", mGenerationNumber);
  TraceLabelHex("ExtractNodeAndGenerationIDs       localNodeNum           ", mlocalNodeNum);
  return 0;
}

int32_t QX531WinDevice::GetRegisterBase() {
  mRegBaseAddress = 0;
  return 0;
}

// Every access addresses the unit through its device object, so a handle carries nothing.
int32_t QX531WinDevice::OpenAddressHandle(PlatformHandle* handle, uint32_t, uint32_t, uint32_t) {
  *handle = nullptr;
  return 0;
}

int32_t QX531WinDevice::CloseAddressHandle(PlatformHandle) { return 0; }

uint32_t QX531WinDevice::ReadQuadlet(PlatformHandle, uint32_t offset) {
  PAGED_CODE();
  if (!mReachable) return 0;
  uint32_t cell = 0;
  PMDL mdl = DescribeBuffer(&cell, sizeof cell);
  if (mdl == nullptr) return 0;
  IRB irb;
  BuildRegisterIrb(&irb, REQUEST_ASYNC_READ, offset, sizeof cell, mdl);
  const NTSTATUS status = SubmitIrb(GetLowerDeviceLink(), &irb, nullptr);
  IoFreeMdl(mdl);
  NoteAccessStatus(status);
  return NT_SUCCESS(status) ? SwapQuadlet(cell) : 0;
}

NTSTATUS QX531WinDevice::SendRegisterWrite(uint32_t offset, const void* data, ULONG length) {
  PMDL mdl = DescribeBuffer(data, length);
  if (mdl == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  IRB irb;
  BuildRegisterIrb(&irb, REQUEST_ASYNC_WRITE, offset, length, mdl);
  const NTSTATUS status = SubmitIrb(GetLowerDeviceLink(), &irb, nullptr);
  IoFreeMdl(mdl);
  NoteAccessStatus(status);
  return status;
}

int32_t QX531WinDevice::WriteQuadlet(PlatformHandle, uint32_t offset, uint32_t value) {
  PAGED_CODE();
  if (!mReachable) return 0;
  const uint32_t cell = SwapQuadlet(value);
  SendRegisterWrite(offset, &cell, sizeof cell);
  return 0;
}

// The block is in bus order already. The bus driver carries a block longer than one write in
// pieces and stops at the first that fails; only such a block reports its failure.
int32_t QX531WinDevice::WriteBlock(PlatformHandle, uint32_t offset, const void* data, uint32_t length) {
  PAGED_CODE();
  if (length == 0) return 0;
  const bool pieces = length > kLargestPayload;
  if (!mReachable) return pieces ? kFailure : 0;
  const NTSTATUS status = SendRegisterWrite(offset, data, length);
  return pieces && !NT_SUCCESS(status) ? kFailure : 0;
}

int32_t QX531WinDevice::WriteQuadletAsync(PlatformHandle, uint32_t offset, const uint32_t* value,
                                          WriteCompletion completion, void* context) {
  if (!mReachable) return kFailure;
  return QueueRegisterWrite(offset, nullptr, sizeof *value, value, completion, context);
}

int32_t QX531WinDevice::WriteBlockAsync(PlatformHandle, uint32_t offset, const void* data, uint32_t length,
                                        WriteCompletion completion, void* context) {
  if (!mReachable) return kFailure;
  return QueueRegisterWrite(offset, data, length, nullptr, completion, context);
}

// A quadlet is sent from the write's own cell, swapped once; a block from the caller's storage,
// which stays valid until the completion has run.
int32_t QX531WinDevice::QueueRegisterWrite(uint32_t offset, const void* data, ULONG length, const uint32_t* quadlet,
                                           WriteCompletion completion, void* context) {
  if (completion == nullptr) {
    PAGED_CODE();
    const uint32_t cell = quadlet != nullptr ? SwapQuadlet(*quadlet) : 0;
    SendRegisterWrite(offset, quadlet != nullptr ? &cell : data, length);
    return 0;
  }
  auto* write = static_cast<QueuedWrite*>(KernelAlloc(sizeof(QueuedWrite)));
  if (write == nullptr) return kOutOfMemory;
  std::memset(write, 0, sizeof *write);
  if (quadlet != nullptr) write->mQuadlet = SwapQuadlet(*quadlet);
  write->mMdl = DescribeBuffer(quadlet != nullptr ? &write->mQuadlet : data, length);
  if (write->mMdl == nullptr) {
    KernelFree(write);
    return kOutOfMemory;
  }
  write->mUnit = this;
  write->mCompletion = completion;
  write->mContext = context;
  BuildRegisterIrb(&write->mIrb, REQUEST_ASYNC_WRITE, offset, length, write->mMdl);
  mPnpDevice->IncrementRequestCount();
  NoteAccessStatus(SubmitIrbAsync(GetLowerDeviceLink(), &write->mIrb, QueuedWriteDone, write));
  return 0;
}

void QX531WinDevice::QueuedWriteDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* write = static_cast<QueuedWrite*>(context);
  QX531WinDevice* unit = write->mUnit;
  unit->NoteAccessStatus(irp->IoStatus.Status);
  write->mCompletion(write->mContext, static_cast<uint32_t>(irp->IoStatus.Status));
  PnpDeviceBase* device = unit->mPnpDevice;
  IoFreeMdl(write->mMdl);
  KernelFree(write);
  // Last: once the count drops, removal may go on and take the unit with it.
  device->DecrementRequestCount();
}
