#include "driver/IsochStream.h"

#include <cstddef>
#include <cstring>

#include "driver/BusRequests.h"
#include "kframework/LowerDeviceLink.h"
#include "kframework/PnpDeviceBase.h"

namespace {

// Resource flags: packet based, started at a bus cycle, and the direction.
constexpr ULONG kTalkResourceFlags = RESOURCE_USE_PACKET_BASED | RESOURCE_SYNCH_ON_TIME | RESOURCE_USED_IN_TALKING;
constexpr ULONG kListenResourceFlags =
    RESOURCE_USE_PACKET_BASED | RESOURCE_SYNCH_ON_TIME | RESOURCE_USED_IN_LISTENING;
static_assert(kTalkResourceFlags == 0x62 && kListenResourceFlags == 0x61);

// How long a transfer that is being torn down waits for a request of its own still in flight.
constexpr LONGLONG kInFlightWait100ns = -10000;

NTSTATUS StatusOf(PIRP irp) { return irp->IoStatus.Status; }

}  // namespace

IsochTransfer::IsochTransfer(ULONG stamp) : mSignature(stamp) {
  ListInit(&mAttached, offsetof(IsochAttachment, mLink));
  KeInitializeSpinLock(&mAttachedLock);
  KeInitializeSpinLock(&mAttachLock);
}

void IsochTransfer::OnListDone(NTSTATUS, PISOCH_DESCRIPTOR) {}
void IsochTransfer::OnStreamStarted(NTSTATUS) {}
void IsochTransfer::OnStreamStopped(NTSTATUS) {}

IsochTransfer::~IsochTransfer() {
  DropTransferResources();
  ReleaseTeardownIrp();
}

bool IsochTransfer::ReserveTeardownIrp() {
  PAGED_CODE();
  if (mTeardownIrp == nullptr && mLink != nullptr) mTeardownIrp = IoAllocateIrp(mLink->mLowerDevice->StackSize, FALSE);
  return mTeardownIrp != nullptr;
}

void IsochTransfer::ReleaseTeardownIrp() {
  if (mTeardownIrp != nullptr) IoFreeIrp(mTeardownIrp);
  mTeardownIrp = nullptr;
}

NTSTATUS IsochTransfer::SendAndWait(PIRB irb) {
  PAGED_CODE();
  if (mTeardownIrp == nullptr) return SubmitIrb(mLink, irb, nullptr);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  SubmitIrbInIrp(mLink, irb, mTeardownIrp, SignalEventCompletion, &done);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return mTeardownIrp->IoStatus.Status;
}

NTSTATUS IsochTransfer::AllocateTransferResources(BOOLEAN talk, LowerDeviceLink* link, PnpDeviceBase* countOwner,
                                                  ULONG speed, ULONG maxBytesPerFrame, ULONG buffers,
                                                  ULONG maxBufferSize, ULONG channel) {
  PAGED_CODE();
  mLink = link;
  NTSTATUS status = AllocateIsochResources(speed, talk ? kTalkResourceFlags : kListenResourceFlags, channel,
                                           maxBytesPerFrame, buffers, maxBufferSize, 0);
  if (NT_SUCCESS(status)) {
    status = MakeListRecords();
    if (!NT_SUCCESS(status)) {
      FreeListRecords();
      FreeIsochResources();
    }
  }
  if (!NT_SUCCESS(status)) {
    mLink = nullptr;
    return status;
  }
  mCountOwner = countOwner;
  mResourceInUse = &mResource;
  if (mRequestBlocksMade) ExDeleteNPagedLookasideList(&mRequestBlocks);
  ExInitializeNPagedLookasideList(&mRequestBlocks, nullptr, nullptr, 0, sizeof(IsochRequestBlock), kLoadPoolTag,
                                  kRequestBlockDepth);
  mRequestBlocksMade = TRUE;
  return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. Each record's IRPs fit the stack below the link as it is now.
NTSTATUS IsochTransfer::MakeListRecords() {
  PAGED_CODE();
  FreeListRecords();
  const CHAR stackSize = mLink->mLowerDevice->StackSize;
  for (IsochAttachment*& attachment : mListRecords) {
    attachment = static_cast<IsochAttachment*>(KernelAlloc(sizeof(IsochAttachment)));
    if (attachment == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(attachment, 0, sizeof *attachment);
    attachment->mOwner = this;
    for (IsochRequestBlock* block : {&attachment->mAttachBlock, &attachment->mDetachBlock}) {
      block->mOwner = this;
      block->mAttachment = attachment;
      block->mIrp = IoAllocateIrp(stackSize, FALSE);
      if (block->mIrp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  return STATUS_SUCCESS;
}

// PASSIVE_LEVEL, with no request in flight. A record whose list the bus still holds is left
// allocated rather than freed under the bus, and forgotten with its list.
void IsochTransfer::FreeListRecords() {
  PAGED_CODE();
  for (IsochAttachment*& attachment : mListRecords) {
    if (attachment != nullptr && attachment->mOutstanding == 0) {
      for (IsochRequestBlock* block : {&attachment->mAttachBlock, &attachment->mDetachBlock}) {
        if (block->mIrp != nullptr) IoFreeIrp(block->mIrp);
      }
      KernelFree(attachment);
    }
    attachment = nullptr;
  }
  ListInit(&mAttached, offsetof(IsochAttachment, mLink));
}

// The requests still in flight use the request blocks and this object, so they are waited for.
void IsochTransfer::WaitForRequests() {
  PAGED_CODE();
  while (mInFlight != 0) {
    LARGE_INTEGER interval;
    interval.QuadPart = kInFlightWait100ns;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
  }
}

void IsochTransfer::DropTransferResources() {
  PAGED_CODE();
  WaitForRequests();
  FreeListRecords();
  mLink = nullptr;
  mResourceInUse = nullptr;
  if (mRequestBlocksMade) ExDeleteNPagedLookasideList(&mRequestBlocks);
  mRequestBlocksMade = FALSE;
}

NTSTATUS IsochTransfer::AllocateIsochResources(ULONG speed, ULONG flags, ULONG channel, ULONG maxBytesPerFrame,
                                               ULONG buffers, ULONG maxBufferSize, ULONG quadletsToStrip) {
  PAGED_CODE();
  if (mResource.mResource != nullptr || mLink == nullptr) return STATUS_UNSUCCESSFUL;
  if (quadletsToStrip != 0) flags |= RESOURCE_STRIP_ADDITIONAL_QUADLETS;
  IRB irb;
  std::memset(&irb, 0, sizeof irb);
  irb.FunctionNumber = REQUEST_ISOCH_ALLOCATE_RESOURCES;
  auto& request = irb.u.IsochAllocateResources;
  request.fulSpeed = speed;
  request.fulFlags = flags;
  request.nChannel = channel;
  request.nMaxBytesPerFrame = maxBytesPerFrame;
  request.nNumberOfBuffers = buffers;
  request.nMaxBufferSize = maxBufferSize;
  request.nQuadletsToStrip = quadletsToStrip;
  const NTSTATUS status = SendAndWait(&irb);
  if (NT_SUCCESS(status)) mResource = IsochResourceRecord{request.hResource, flags};
  return status;
}

NTSTATUS IsochTransfer::FreeIsochResources() {
  PAGED_CODE();
  if (mResource.mResource == nullptr || mLink == nullptr) return STATUS_SUCCESS;
  IRB irb;
  std::memset(&irb, 0, sizeof irb);
  irb.FunctionNumber = REQUEST_ISOCH_FREE_RESOURCES;
  irb.u.IsochFreeResources.hResource = mResource.mResource;
  const NTSTATUS status = SendAndWait(&irb);
  mResource = IsochResourceRecord{};
  return status;
}

// Every request holds this object and the count owner until its completion has run.
void IsochTransfer::BeginRequest() {
  InterlockedIncrement(&mInFlight);
  if (mCountOwner != nullptr) mCountOwner->IncrementRequestCount();
}

// Last touch of the transfer by a request: after it, teardown may go on.
void IsochTransfer::EndRequest() {
  PnpDeviceBase* owner = mCountOwner;
  if (owner != nullptr) owner->DecrementRequestCount();
  InterlockedDecrement(&mInFlight);
}

IsochRequestBlock* IsochTransfer::TakeRequestBlock() {
  if (!mRequestBlocksMade) return nullptr;
  auto* block = static_cast<IsochRequestBlock*>(ExAllocateFromNPagedLookasideList(&mRequestBlocks));
  if (block == nullptr) return nullptr;
  std::memset(block, 0, sizeof *block);
  block->mOwner = this;
  BeginRequest();
  return block;
}

void IsochTransfer::ReturnRequestBlock(IsochRequestBlock* block) {
  ExFreeToNPagedLookasideList(&mRequestBlocks, block);
  EndRequest();
}

bool IsochTransfer::Unlink(IsochAttachment* attachment) {
  KIRQL irql;
  KeAcquireSpinLock(&mAttachedLock, &irql);
  bool found = false;
  for (auto* a = static_cast<IsochAttachment*>(ListFirst(&mAttached)); a != nullptr;
       a = static_cast<IsochAttachment*>(ListNext(&mAttached, a))) {
    if (a == attachment) {
      found = true;
      break;
    }
  }
  if (found) ListRemove(&mAttached, attachment);
  KeReleaseSpinLock(&mAttachedLock, irql);
  return found;
}

// Called with the attach lock held.
IsochAttachment* IsochTransfer::FindAttachment(PISOCH_DESCRIPTOR list) {
  KIRQL irql;
  KeAcquireSpinLock(&mAttachedLock, &irql);
  IsochAttachment* found = nullptr;
  for (auto* a = static_cast<IsochAttachment*>(ListFirst(&mAttached)); a != nullptr;
       a = static_cast<IsochAttachment*>(ListNext(&mAttached, a))) {
    if (a->mList == list) {
      found = a;
      break;
    }
  }
  KeReleaseSpinLock(&mAttachedLock, irql);
  return found;
}

// Called with the attach lock held: the list's own record, else one no list has taken yet.
IsochAttachment* IsochTransfer::RecordFor(PISOCH_DESCRIPTOR list) {
  IsochAttachment* unbound = nullptr;
  for (IsochAttachment* attachment : mListRecords) {
    if (attachment == nullptr) continue;
    if (attachment->mList == list) return attachment;
    if (attachment->mList == nullptr && unbound == nullptr) unbound = attachment;
  }
  return unbound;
}

// A start is counted as running from the moment it goes out, so that a stop that follows at once
// still reaches the bus; its completion takes it back when the bus refused it.
NTSTATUS IsochTransfer::StartStream(ULONG function, const CYCLE_TIME* start) {
  PAGED_CODE();
  if (mRunning) return STATUS_SUCCESS;
  if (mLink == nullptr || mResourceInUse == nullptr) return STATUS_UNSUCCESSFUL;
  IsochRequestBlock* block = TakeRequestBlock();
  if (block == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  block->mIrb.FunctionNumber = function;
  // Listen and talk share their layout.
  auto& request = block->mIrb.u.IsochTalk;
  request.hResource = mResourceInUse->mResource;
  request.fulFlags = 0;
  if (start != nullptr) request.StartTime = *start;
  mRunning = 1;
  SubmitIrbAsync(mLink, &block->mIrb, StartDone, block);
  return STATUS_SUCCESS;
}

NTSTATUS IsochTransfer::IsochListen(const CYCLE_TIME* start) { return StartStream(REQUEST_ISOCH_LISTEN, start); }

NTSTATUS IsochTransfer::IsochTalk(const CYCLE_TIME* start) { return StartStream(REQUEST_ISOCH_TALK, start); }

// DISPATCH_LEVEL.
void IsochTransfer::StartDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* block = static_cast<IsochRequestBlock*>(context);
  IsochTransfer* self = block->mOwner;
  const NTSTATUS status = StatusOf(irp);
  if (!NT_SUCCESS(status)) self->mRunning = 0;
  self->OnStreamStarted(status);
  self->ReturnRequestBlock(block);
}

NTSTATUS IsochTransfer::IsochStop() {
  PAGED_CODE();
  if (mLink == nullptr || mResourceInUse == nullptr) return STATUS_UNSUCCESSFUL;
  if (!mRunning) return STATUS_SUCCESS;
  IsochRequestBlock* block = TakeRequestBlock();
  if (block == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  block->mIrb.FunctionNumber = REQUEST_ISOCH_STOP;
  block->mIrb.u.IsochStop.hResource = mResourceInUse->mResource;
  block->mIrb.u.IsochStop.fulFlags = 0;
  SubmitIrbAsync(mLink, &block->mIrb, StopDone, block);
  return STATUS_SUCCESS;
}

// DISPATCH_LEVEL.
void IsochTransfer::StopDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* block = static_cast<IsochRequestBlock*>(context);
  IsochTransfer* self = block->mOwner;
  const NTSTATUS status = StatusOf(irp);
  if (NT_SUCCESS(status)) self->mRunning = 0;
  self->OnStreamStopped(status);
  self->ReturnRequestBlock(block);
}

// Fails without calling OnListDone only when the request never reached the bus driver; once it
// has, the list is reported exactly once, by the attach's failure or by its detach.
NTSTATUS IsochTransfer::AttachIsochBuffers(PISOCH_DESCRIPTOR list) {
  if (mLink == nullptr || mResourceInUse == nullptr) return STATUS_UNSUCCESSFUL;
  KIRQL attachIrql;
  KeAcquireSpinLock(&mAttachLock, &attachIrql);
  IsochAttachment* attachment = RecordFor(list);
  const NTSTATUS refusal = attachment == nullptr            ? STATUS_INSUFFICIENT_RESOURCES
                           : attachment->mOutstanding != 0 ? STATUS_DEVICE_BUSY
                                                            : STATUS_SUCCESS;
  if (!NT_SUCCESS(refusal)) {
    KeReleaseSpinLock(&mAttachLock, attachIrql);
    return refusal;
  }
  attachment->mList = list;
  attachment->mDetaching = 0;
  attachment->mOutcome = STATUS_SUCCESS;
  attachment->mOutstanding = 2;

  const ULONG count = HandedCount(list);
  ISOCH_DESCRIPTOR& last = list[count - 1];
  last.Callback = ListDoneRoutine;
  last.Context1 = this;
  last.Context2 = attachment;

  IsochRequestBlock* block = &attachment->mAttachBlock;
  std::memset(&block->mIrb, 0, sizeof block->mIrb);
  block->mIrb.FunctionNumber = REQUEST_ISOCH_ATTACH_BUFFERS;
  auto& request = block->mIrb.u.IsochAttachBuffers;
  request.hResource = mResourceInUse->mResource;
  request.nNumberOfDescriptors = count;
  request.pIsochDescriptor = list;
  BeginRequest();

  KIRQL listIrql;
  KeAcquireSpinLock(&mAttachedLock, &listIrql);
  ListAppend(&mAttached, attachment);
  KeReleaseSpinLock(&mAttachedLock, listIrql);
  KeReleaseSpinLock(&mAttachLock, attachIrql);
  SubmitIrbInIrp(mLink, &block->mIrb, block->mIrp, AttachDone, block);
  return STATUS_SUCCESS;
}

void IsochTransfer::FinishParts(IsochAttachment* attachment, LONG parts) {
  if (InterlockedExchangeAdd(&attachment->mOutstanding, -parts) != parts) return;
  OnListDone(attachment->mOutcome, attachment->mList);
}

// DISPATCH_LEVEL. A refused attach hands its list back; a list already being detached is
// reported by its detach. The IRP stays the record's.
NTSTATUS IsochTransfer::AttachDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* block = static_cast<IsochRequestBlock*>(context);
  IsochTransfer* self = block->mOwner;
  IsochAttachment* attachment = block->mAttachment;
  const NTSTATUS status = StatusOf(irp);
  LONG parts = 1;
  if (!NT_SUCCESS(status) && self->Unlink(attachment)) {
    attachment->mOutcome = status;
    parts = 2;
  }
  self->FinishParts(attachment, parts);
  self->EndRequest();
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void IsochTransfer::SendDetach(IsochAttachment* attachment) {
  IsochRequestBlock* block = &attachment->mDetachBlock;
  std::memset(&block->mIrb, 0, sizeof block->mIrb);
  block->mIrb.FunctionNumber = REQUEST_ISOCH_DETACH_BUFFERS;
  auto& request = block->mIrb.u.IsochDetachBuffers;
  request.hResource = mResourceInUse->mResource;
  request.nNumberOfDescriptors = HandedCount(attachment->mList);
  request.pIsochDescriptor = attachment->mList;
  BeginRequest();
  SubmitIrbInIrp(mLink, &block->mIrb, block->mIrp, DetachDone, block);
}

// DISPATCH_LEVEL, in the bus driver's context.
void IsochTransfer::ListDoneRoutine(PVOID context1, PVOID context2) {
  auto* self = static_cast<IsochTransfer*>(context1);
  auto* attachment = static_cast<IsochAttachment*>(context2);
  if (self->mResource.mFlags & RESOURCE_BUFFERS_CIRCULAR) {
    self->OnListDone(STATUS_SUCCESS, attachment->mList);
    return;
  }
  if (self->mResourceInUse == nullptr || !self->Unlink(attachment)) return;
  // A list the bus driver handed back unfinished (its unit left) counts as taken back.
  const ULONG count = HandedCount(attachment->mList);
  if (attachment->mList[count - 1].status == STATUS_CANCELLED) attachment->mDetaching = 1;
  self->SendDetach(attachment);
}

// DISPATCH_LEVEL. The request stays counted until the list is reported, so teardown waits for
// the report. The IRP stays the record's.
NTSTATUS IsochTransfer::DetachDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* block = static_cast<IsochRequestBlock*>(context);
  IsochTransfer* self = block->mOwner;
  IsochAttachment* attachment = block->mAttachment;
  attachment->mOutcome = attachment->mDetaching ? STATUS_CANCELLED : StatusOf(irp);
  self->FinishParts(attachment, 1);
  self->EndRequest();
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// A list the bus finishes meanwhile is no longer attached: its own detach takes it back, once.
NTSTATUS IsochTransfer::DetachIsochBuffers(PISOCH_DESCRIPTOR list) {
  if (mLink == nullptr || mResourceInUse == nullptr) return STATUS_UNSUCCESSFUL;
  KIRQL irql;
  KeAcquireSpinLock(&mAttachLock, &irql);
  IsochAttachment* attachment = FindAttachment(list);
  const bool taken = attachment != nullptr && Unlink(attachment);
  if (taken) attachment->mDetaching = 1;
  KeReleaseSpinLock(&mAttachLock, irql);
  if (!taken) return STATUS_INVALID_DEVICE_REQUEST;
  SendDetach(attachment);
  return STATUS_SUCCESS;
}

NTSTATUS IsochTransfer::DetachAllIsochBuffers() {
  ListHead taken;
  ListInit(&taken, offsetof(IsochAttachment, mLink));
  KIRQL attachIrql;
  KIRQL listIrql;
  KeAcquireSpinLock(&mAttachLock, &attachIrql);
  KeAcquireSpinLock(&mAttachedLock, &listIrql);
  if (mLink != nullptr && mResourceInUse != nullptr) {
    while (auto* attachment = static_cast<IsochAttachment*>(ListPopFirst(&mAttached))) ListAppend(&taken, attachment);
  }
  const bool allTaken = ListIsEmpty(&mAttached);
  KeReleaseSpinLock(&mAttachedLock, listIrql);
  KeReleaseSpinLock(&mAttachLock, attachIrql);
  while (auto* moved = static_cast<IsochAttachment*>(ListPopFirst(&taken))) {
    moved->mDetaching = 1;
    SendDetach(moved);
  }
  return allTaken ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

IsochStream::IsochStream(ULONG stamp, ULONG direction) : IsochTransfer(stamp), mDirection(direction) {}

IsochStream::~IsochStream() {
  IsochStop();
  DetachAllIsochBuffers();
  DropTransferResources();
}

// The list goes to the unit's routine that descriptor 0 names. Lists taken back because the
// stream could not start carry the start's failure, so the unit sees more than a stop.
void IsochStream::OnListDone(NTSTATUS status, PISOCH_DESCRIPTOR list) {
  if (status == STATUS_CANCELLED && !NT_SUCCESS(mStartStatus)) status = mStartStatus;
  auto completion = reinterpret_cast<IsochListCompletion>(list[0].DeviceReserved[kListCompletion]);
  if (completion != nullptr) completion(reinterpret_cast<PVOID>(list[0].DeviceReserved[kListUnit]), status, list);
}

// A stream that could not start takes its lists back; their routines see them cancelled.
void IsochStream::OnStreamStarted(NTSTATUS status) {
  mStartStatus = status;
  if (!NT_SUCCESS(status)) DetachAllIsochBuffers();
}

void IsochStream::OnStreamStopped(NTSTATUS) {}

NTSTATUS IsochStream::AllocateIsochBandwidth(ULONG bytesPerFrame, ULONG speed) {
  PAGED_CODE();
  IRB irb;
  std::memset(&irb, 0, sizeof irb);
  irb.FunctionNumber = REQUEST_ISOCH_ALLOCATE_BANDWIDTH;
  irb.u.IsochAllocateBandwidth.nMaxBytesPerFrameRequested = bytesPerFrame;
  irb.u.IsochAllocateBandwidth.fulSpeed = speed;
  const NTSTATUS status = SendAndWait(&irb);
  if (NT_SUCCESS(status)) {
    mBandwidth = Bandwidth{irb.u.IsochAllocateBandwidth.hBandwidth, irb.u.IsochAllocateBandwidth.BytesPerFrameAvailable,
                           irb.u.IsochAllocateBandwidth.SpeedSelected};
  }
  return status;
}

NTSTATUS IsochStream::FreeIsochBandwidth() {
  PAGED_CODE();
  if (mBandwidth.mHandle == nullptr) return STATUS_SUCCESS;
  IRB irb;
  std::memset(&irb, 0, sizeof irb);
  irb.FunctionNumber = REQUEST_ISOCH_FREE_BANDWIDTH;
  irb.u.IsochFreeBandwidth.hBandwidth = mBandwidth.mHandle;
  const NTSTATUS status = SendAndWait(&irb);
  mBandwidth = Bandwidth{};
  return status;
}

NTSTATUS IsochStream::AllocateIsochChannel(ULONG requested) {
  PAGED_CODE();
  IRB irb;
  std::memset(&irb, 0, sizeof irb);
  irb.FunctionNumber = REQUEST_ISOCH_ALLOCATE_CHANNEL;
  irb.u.IsochAllocateChannel.nRequestedChannel = requested;
  const NTSTATUS status = SendAndWait(&irb);
  mChannel = NT_SUCCESS(status) ? irb.u.IsochAllocateChannel.Channel : kNoChannel;
  return status;
}

NTSTATUS IsochStream::FreeIsochChannel() {
  PAGED_CODE();
  if (mChannel == kNoChannel) return STATUS_SUCCESS;
  IRB irb;
  std::memset(&irb, 0, sizeof irb);
  irb.FunctionNumber = REQUEST_ISOCH_FREE_CHANNEL;
  irb.u.IsochFreeChannel.nChannel = mChannel;
  const NTSTATUS status = SendAndWait(&irb);
  mChannel = kNoChannel;
  return status;
}

// Each piece is zeroed as soon as it is had, so that a failure part way frees only what was made
// and never reads an MDL table that holds no MDLs yet.
bool IsochStream::AllocateLists() {
  PAGED_CODE();
  constexpr SIZE_T kListBytes = sizeof(ISOCH_DESCRIPTOR) * kDescriptorsPerList;
  constexpr SIZE_T kTableBytes = offsetof(IsochMdlTable, mEntries) + sizeof(IsochMdlEntry) * kDescriptorsPerList;
  for (PISOCH_DESCRIPTOR* list : {&mListA, &mListB}) {
    *list = static_cast<PISOCH_DESCRIPTOR>(KernelAlloc(kListBytes));
    if (*list == nullptr) {
      FreeLists();
      return false;
    }
    std::memset(*list, 0, kListBytes);
    (*list)[0].DeviceReserved[kListCount] = kDescriptorsPerList;
  }
  for (IsochMdlTable** table : {&mMdlTableA, &mMdlTableB}) {
    *table = static_cast<IsochMdlTable*>(KernelAlloc(kTableBytes));
    if (*table == nullptr) {
      FreeLists();
      return false;
    }
    std::memset(*table, 0, kTableBytes);
    (*table)->mCount = kDescriptorsPerList;
  }
  return true;
}

void IsochStream::FreeMdlTable(IsochMdlTable* table) {
  if (table == nullptr) return;
  for (ULONG j = 0; j < table->mCount; ++j) {
    if (table->mEntries[j].mOwned) IoFreeMdl(table->mEntries[j].mMdl);
  }
  KernelFree(table);
}

void IsochStream::FreeLists() {
  PAGED_CODE();
  FreeMdlTable(mMdlTableA);
  FreeMdlTable(mMdlTableB);
  KernelFree(mListA);
  KernelFree(mListB);
  mListA = mListB = nullptr;
  mMdlTableA = mMdlTableB = nullptr;
}

bool IsochStream::DescribePacket(ULONG half, ULONG j, PVOID buffer, ULONG length, ULONG flags) {
  PAGED_CODE();
  IsochMdlTable* table = half == 0 ? mMdlTableA : mMdlTableB;
  IsochMdlEntry& entry = table->mEntries[j];
  if (entry.mOwned) IoFreeMdl(entry.mMdl);
  entry = IsochMdlEntry{};
  PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr);
  if (mdl == nullptr) return false;
  if (!(mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL)))
    MmBuildMdlForNonPagedPool(mdl);
  entry = IsochMdlEntry{mdl, 1};
  ISOCH_DESCRIPTOR& d = List(half)[j];
  d.Mdl = mdl;
  d.ulLength = length;
  d.nMaxBytesPerFrame = length;
  d.fulFlags = flags;
  d.ulSynch = 0;
  d.ulTag = 1;
  return true;
}
