#include <cstring>

#include "driver/BusRequests.h"
#include "driver/QX531WinDevice.h"
#include "kframework/PnpDeviceBase.h"

namespace {

constexpr int32_t kFailure = 99;
// Every record is on the bus: the write is not sent and its item stays due.
constexpr int32_t kNoRecordFree = 2;

constexpr ULONG kQueuedWriteTag = PoolTag("QxWr");
// What the bus driver answers for a unit that has left the bus.
constexpr NTSTATUS kStatusNodeDeparted = static_cast<NTSTATUS>(0xC0120090);
// The longest block a record carries: the engine's largest, a block of MIDI-out events.
constexpr ULONG kQueuedWriteBytes = QX531Device::kMidiOutBlockBytes;

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

// Bits of a queued write record's state.
constexpr LONG kRecordSending = 0x1;  // a write has it until its completion has run
constexpr LONG kRecordRetired = 0x2;  // released: no write takes it again

}  // namespace

// A queued write's record: taken by a write and given back by its completion. The data go from
// the record's own cell, so the caller's storage is never altered nor needed after the call.
struct QX531WinDevice::QueuedWrite {
  IRB mIrb;
  PIRP mIrp;
  // Describes all of mData once; a write names how much of it goes.
  PMDL mMdl;
  QX531WinDevice* mUnit;
  WriteCompletion mCompletion;
  void* mContext;
  volatile LONG mState;
  UCHAR mData[kQueuedWriteBytes];
};

// DISPATCH_LEVEL or below, on a record no write holds.
void QX531WinDevice::QueuedWrites::FreeRecord(QueuedWrite* write) {
  if (write->mIrp != nullptr) IoFreeIrp(write->mIrp);
  if (write->mMdl != nullptr) IoFreeMdl(write->mMdl);
  ExFreePoolWithTag(write, kQueuedWriteTag);
}

QX531WinDevice::QueuedWrites::~QueuedWrites() { Release(); }

// PASSIVE_LEVEL, once the engine sends nothing more on its handles.
void QX531WinDevice::QueuedWrites::Release() {
  PAGED_CODE();
  for (QueuedWrite*& write : mRecords) {
    if (write == nullptr) continue;
    if ((InterlockedOr(&write->mState, kRecordRetired) & kRecordSending) == 0) FreeRecord(write);
    write = nullptr;
  }
}

// PASSIVE_LEVEL. All or nothing: a unit short of one record has none.
bool QX531WinDevice::MakeQueuedWrites() {
  PAGED_CODE();
  if (mQueuedWrites.mRecords[0] != nullptr) return true;
  const CHAR stackSize = GetLowerDeviceLink()->mLowerDevice->StackSize;
  for (QueuedWrite*& write : mQueuedWrites.mRecords) {
    write = static_cast<QueuedWrite*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(QueuedWrite), kQueuedWriteTag));
    if (write != nullptr) {
      std::memset(write, 0, sizeof *write);
      write->mUnit = this;
      write->mIrp = IoAllocateIrp(stackSize, FALSE);
      write->mMdl = DescribeBuffer(write->mData, sizeof write->mData);
    }
    if (write == nullptr || write->mIrp == nullptr || write->mMdl == nullptr) {
      mQueuedWrites.Release();
      return false;
    }
  }
  return true;
}

// DISPATCH_LEVEL or below; null when every record is on the bus.
QX531WinDevice::QueuedWrite* QX531WinDevice::TakeQueuedWrite() {
  for (QueuedWrite* write : mQueuedWrites.mRecords) {
    if (write != nullptr && InterlockedCompareExchange(&write->mState, kRecordSending, 0) == 0) return write;
  }
  return nullptr;
}

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
  if (status == kStatusNodeDeparted) mReachable = 0;
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

  // Only a unit whose every id was read, and that has the records its queued writes go in, is
  // reachable again.
  if (!MakeQueuedWrites()) return kFailure;
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

// Every access addresses the unit through its device object, so a handle only keeps the queued
// writes' records: the last one closed, at unplug, releases them (PASSIVE_LEVEL).
int32_t QX531WinDevice::OpenAddressHandle(PlatformHandle* handle, uint32_t, uint32_t, uint32_t) {
  PAGED_CODE();
  ++mQueuedWrites.mOpenHandles;
  *handle = &mQueuedWrites;
  return 0;
}

int32_t QX531WinDevice::CloseAddressHandle(PlatformHandle) {
  PAGED_CODE();
  if (mQueuedWrites.mOpenHandles == 0) return 0;
  if (--mQueuedWrites.mOpenHandles == 0) mQueuedWrites.Release();
  return 0;
}

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

// DISPATCH_LEVEL or below with a completion: the write goes in a free record and its own IRP,
// so nothing is allocated. Without one it is made at once (PASSIVE_LEVEL).
int32_t QX531WinDevice::QueueRegisterWrite(uint32_t offset, const void* data, ULONG length, const uint32_t* quadlet,
                                           WriteCompletion completion, void* context) {
  if (completion == nullptr) {
    PAGED_CODE();
    const uint32_t cell = quadlet != nullptr ? SwapQuadlet(*quadlet) : 0;
    SendRegisterWrite(offset, quadlet != nullptr ? &cell : data, length);
    return 0;
  }
  // No writer queues a longer block; it would never fit, so it is refused as a failure.
  if (length > kQueuedWriteBytes) return kFailure;
  QueuedWrite* write = TakeQueuedWrite();
  if (write == nullptr) return kNoRecordFree;
  if (quadlet != nullptr) {
    const uint32_t cell = SwapQuadlet(*quadlet);
    std::memcpy(write->mData, &cell, sizeof cell);
  } else {
    std::memcpy(write->mData, data, length);
  }
  write->mCompletion = completion;
  write->mContext = context;
  BuildRegisterIrb(&write->mIrb, REQUEST_ASYNC_WRITE, offset, length, write->mMdl);
  mPnpDevice->IncrementRequestCount();
  NoteAccessStatus(SubmitIrbInIrp(GetLowerDeviceLink(), &write->mIrb, write->mIrp, QueuedWriteDone, write));
  return 0;
}

// DISPATCH_LEVEL. The record is given back before the writer hears of it, so the writer's next
// write, often sent from its completion, finds it free; the IRP stays the record's.
NTSTATUS QX531WinDevice::QueuedWriteDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* write = static_cast<QueuedWrite*>(context);
  QX531WinDevice* unit = write->mUnit;
  const NTSTATUS status = irp->IoStatus.Status;
  const WriteCompletion completion = write->mCompletion;
  void* const writerContext = write->mContext;
  unit->NoteAccessStatus(status);
  const LONG state = InterlockedAnd(&write->mState, ~kRecordSending);
  completion(writerContext, static_cast<uint32_t>(status));
  // Released while on the bus: nobody else frees it, and its IRP is still the record's.
  if (state & kRecordRetired) QueuedWrites::FreeRecord(write);
  // Last: once the count drops, removal may go on and take the unit with it.
  unit->mPnpDevice->DecrementRequestCount();
  return STATUS_MORE_PROCESSING_REQUIRED;
}
