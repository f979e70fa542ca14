// One isochronous resource of the bus driver with its attached descriptor lists, and the stream
// of one direction that a unit runs on it.
#pragma once

#include <wdm.h>
// after <wdm.h>, whose types it uses, as on Windows
#include <1394.h>

#include "kframework/KernelUtil.h"

class LowerDeviceLink;
class PnpDeviceBase;

// The resource handle the bus driver returned and the flags it was allocated with.
struct IsochResourceRecord {
  HANDLE mResource;
  ULONG mFlags;
};

class IsochTransfer;
struct IsochAttachment;

// One asynchronous request of a transfer: its owner, the list it attaches or detaches (if any),
// the IRP it travels in when it has one of its own, and the request itself.
struct IsochRequestBlock {
  IsochTransfer* mOwner;
  IsochAttachment* mAttachment;
  PIRP mIrp;
  IRB mIrb;
};

// The record of one descriptor list, made with the resource and kept until the resource is
// dropped, so that attaching and detaching the list while streaming never allocates: its attach
// and its detach each travel in an IRP of their own, reused every time.
struct IsochAttachment {
  PISOCH_DESCRIPTOR mList;  // bound at the first attach
  IsochTransfer* mOwner;
  UCHAR mDetaching;  // the host itself took the list back
  ListLink mLink;
  IsochRequestBlock mAttachBlock;
  IsochRequestBlock mDetachBlock;
  // The attach request and the list itself, while either is still out. The list is reported
  // once both are back, so that the attach that follows finds its IRP free.
  volatile LONG mOutstanding;
  NTSTATUS mOutcome;  // what the list is reported with
};

// Descriptor bookkeeping kept in descriptor 0 of each list.
enum IsochListSlot : ULONG {
  kListCount = 0,       // descriptors handed to the bus driver
  kListUnit = 2,        // the unit the list belongs to
  kListCompletion = 3,  // the unit's routine for this list
};

// What a finished list is handed to.
using IsochListCompletion = void (*)(PVOID unit, NTSTATUS status, PISOCH_DESCRIPTOR list);

class IsochTransfer {
 public:
  // Request blocks of the listen, talk and stop requests, which are sent at PASSIVE_LEVEL only.
  static constexpr USHORT kRequestBlockDepth = 4;
  // The lists a transfer carries, each with a record of its own.
  static constexpr ULONG kListsPerTransfer = 2;

  explicit IsochTransfer(ULONG stamp);
  virtual void OnListDone(NTSTATUS status, PISOCH_DESCRIPTOR list);
  virtual void OnStreamStarted(NTSTATUS status);
  virtual void OnStreamStopped(NTSTATUS status);
  virtual ~IsochTransfer();

  // PASSIVE_LEVEL. A resource for listening, or for talking with `talk`, on `channel`, and the
  // records of its lists.
  NTSTATUS AllocateTransferResources(BOOLEAN talk, LowerDeviceLink* link, PnpDeviceBase* countOwner, ULONG speed,
                                     ULONG maxBytesPerFrame, ULONG buffers, ULONG maxBufferSize, ULONG channel);
  // PASSIVE_LEVEL. Waits until no request of this transfer is in flight.
  void WaitForRequests();
  // PASSIVE_LEVEL. Forgets the link and the resource and deletes the request blocks and the list
  // records (a record whose list the bus still holds is left allocated); the resource itself is
  // freed by FreeIsochResources first.
  void DropTransferResources();
  NTSTATUS AllocateIsochResources(ULONG speed, ULONG flags, ULONG channel, ULONG maxBytesPerFrame, ULONG buffers,
                                  ULONG maxBufferSize, ULONG quadletsToStrip);
  NTSTATUS FreeIsochResources();
  // PASSIVE_LEVEL. An IRP kept for the requests that give the bus's resources back, made with the
  // link before anything is taken from the bus, so that giving back never waits on pool.
  bool ReserveTeardownIrp();
  void ReleaseTeardownIrp();

  // PASSIVE_LEVEL. Start (or stop) the resource's stream; each completes later.
  NTSTATUS IsochListen(const CYCLE_TIME* start);
  NTSTATUS IsochTalk(const CYCLE_TIME* start);
  NTSTATUS IsochStop();

  // DISPATCH_LEVEL or below. Each list travels in its own record and never allocates; a list
  // that is still out from its last attach is refused with STATUS_DEVICE_BUSY, and one more than
  // the transfer has records for with STATUS_INSUFFICIENT_RESOURCES.
  NTSTATUS AttachIsochBuffers(PISOCH_DESCRIPTOR list);
  NTSTATUS DetachIsochBuffers(PISOCH_DESCRIPTOR list);
  NTSTATUS DetachAllIsochBuffers();

  // Called by the bus driver at DISPATCH_LEVEL when the last descriptor of a list is done.
  static void ListDoneRoutine(PVOID context1, PVOID context2);

  ULONG mSignature;
  IsochResourceRecord* mResourceInUse = nullptr;
  LowerDeviceLink* mLink = nullptr;
  volatile UCHAR mRunning = 0;
  ListHead mAttached{};
  KSPIN_LOCK mAttachedLock = 0;
  KSPIN_LOCK mAttachLock = 0;
  // Request blocks, made once the resource exists.
  NPAGED_LOOKASIDE_LIST mRequestBlocks{};
  BOOLEAN mRequestBlocksMade = FALSE;
  PnpDeviceBase* mCountOwner = nullptr;
  IsochResourceRecord mResource{};
  // Requests sent and not yet completed: each holds a request block and this object.
  volatile LONG mInFlight = 0;
  // Made with the resource; a list takes the first free one at its first attach and keeps it.
  IsochAttachment* mListRecords[kListsPerTransfer] = {};
  PIRP mTeardownIrp = nullptr;

 protected:
  // PASSIVE_LEVEL. A request sent and waited for, in the kept IRP when there is one.
  NTSTATUS SendAndWait(PIRB irb);

 private:
  IsochRequestBlock* TakeRequestBlock();
  void ReturnRequestBlock(IsochRequestBlock* block);
  void BeginRequest();
  void EndRequest();
  NTSTATUS MakeListRecords();
  void FreeListRecords();
  IsochAttachment* RecordFor(PISOCH_DESCRIPTOR list);
  // Takes the record out of the attached list; false when it was no longer there.
  bool Unlink(IsochAttachment* attachment);
  IsochAttachment* FindAttachment(PISOCH_DESCRIPTOR list);
  NTSTATUS StartStream(ULONG function, const CYCLE_TIME* start);
  void SendDetach(IsochAttachment* attachment);
  // Marks `parts` of the list's attach as back; the last one reports the list.
  void FinishParts(IsochAttachment* attachment, LONG parts);
  static ULONG HandedCount(PISOCH_DESCRIPTOR list) { return static_cast<ULONG>(list[0].DeviceReserved[kListCount]); }
  static NTSTATUS AttachDone(PDEVICE_OBJECT device, PIRP irp, PVOID context);
  static NTSTATUS DetachDone(PDEVICE_OBJECT device, PIRP irp, PVOID context);
  static void StartDone(PDEVICE_OBJECT device, PIRP irp, PVOID context);
  static void StopDone(PDEVICE_OBJECT device, PIRP irp, PVOID context);
};

// An MDL over one packet buffer, and whether the table made it.
struct IsochMdlEntry {
  PMDL mMdl;
  UCHAR mOwned;
};

struct IsochMdlTable {
  ULONG mCount;
  IsochMdlEntry mEntries[1];  // mCount of them
};

class IsochStream : public IsochTransfer {
 public:
  static constexpr ULONG kNoChannel = 64;
  static constexpr ULONG kDescriptorsPerList = 412;

  // The bandwidth the bus driver granted.
  struct Bandwidth {
    HANDLE mHandle;
    ULONG mBytesPerFrame;
    ULONG mSpeedSelected;
  };

  IsochStream(ULONG stamp, ULONG direction);
  ~IsochStream() override;
  void OnListDone(NTSTATUS status, PISOCH_DESCRIPTOR list) override;
  void OnStreamStarted(NTSTATUS status) override;
  void OnStreamStopped(NTSTATUS status) override;

  // PASSIVE_LEVEL.
  NTSTATUS AllocateIsochBandwidth(ULONG bytesPerFrame, ULONG speed);
  NTSTATUS FreeIsochBandwidth();
  NTSTATUS AllocateIsochChannel(ULONG requested);
  NTSTATUS FreeIsochChannel();
  // Zeroed descriptor lists and empty MDL tables for both halves; false when any is missing (what
  // was made is freed).
  bool AllocateLists();
  void FreeLists();
  // Describes packet buffer j of one half with an MDL of `length` bytes; false without one.
  bool DescribePacket(ULONG half, ULONG j, PVOID buffer, ULONG length, ULONG flags);

  PISOCH_DESCRIPTOR List(ULONG half) const { return half == 0 ? mListA : mListB; }

  ULONG mDirection;
  ULONG mChannel = kNoChannel;
  Bandwidth mBandwidth{};
  PISOCH_DESCRIPTOR mListA = nullptr;
  PISOCH_DESCRIPTOR mListB = nullptr;
  IsochMdlTable* mMdlTableA = nullptr;
  IsochMdlTable* mMdlTableB = nullptr;
  UCHAR mAllocated = 0;
  UCHAR mStarted = 0;
  // Why the last listen or talk failed; the lists it took back report it.
  NTSTATUS mStartStatus = STATUS_SUCCESS;

 private:
  static void FreeMdlTable(IsochMdlTable* table);
};
