// A range of the host's 1394 address space that a unit writes into. The owner receives the bus
// driver's notifications and the result of the allocation as virtual operations; the helpers
// build the allocation request with its address array, dispatch each notification by its type,
// free the range and describe receive buffers with MDLs.
//
// The allocation request is sent by the caller's bus-request transport with AddressRangeAllocated
// as its completion; the release goes down the owner's device link and waits.
#pragma once

#include <wdm.h>
// after <wdm.h>, whose types it uses, as on Windows
#include <1394.h>

#include "kframework/KernelUtil.h"

class LowerDeviceLink;

// What the owner keeps of its range. The allocation status is STATUS_PENDING while the request is
// out, so a caller waiting for the address also learns when none will come.
struct AddressRangeRecord {
  HANDLE mRangeHandle;
  ULONG mAddressCount;
  PADDRESS_RANGE mAddresses;  // non-paged pool, "Wdm ", 8 bytes an entry
  NTSTATUS mAllocationStatus;
};

class AddressRange {
 public:
  explicit AddressRange(ULONG stamp);

  // Notifications, at up to DISPATCH_LEVEL; none may wait. The request forms are for ranges
  // without an MDL, the others for ranges backed by one (or by a FIFO of receive buffers).
  virtual void OnReadRequest(PVOID requestPacket, PMDL responseMdl, PVOID* responsePacket, PULONG responseLength,
                             PKEVENT* responseEvent);
  virtual void OnRead(PMDL mdl, ULONG offset, ULONG length);
  virtual void OnWriteRequest(PVOID requestPacket, PMDL responseMdl, PVOID* responsePacket, PULONG responseLength,
                              PKEVENT* responseEvent);
  // `fifo` is the receive buffer that took the write, to go back on the owner's list.
  virtual void OnWrite(PMDL mdl, ULONG offset, ULONG length, PADDRESS_FIFO fifo);
  virtual void OnLockRequest(PVOID requestPacket, PMDL responseMdl, PVOID* responsePacket, PULONG responseLength,
                             PKEVENT* responseEvent);
  virtual void OnLock(PMDL mdl, ULONG offset, ULONG length);
  // The allocation request finished, well or not.
  virtual void OnAllocated(NTSTATUS status);
  virtual ~AddressRange();

  ULONG mSignature;
  AddressRangeRecord mRange;
  // Receive buffers of a FIFO-backed range, shared with the bus driver.
  SLIST_HEADER mReceiveBuffers;
  KSPIN_LOCK mReceiveLock;
};

// The allocation request and what its completion needs.
struct AddressRangeAllocation {
  IRB mIrb;
  AddressRange* mOwner;
  AddressRangeRecord* mRecord;
};
static_assert(offsetof(AddressRangeAllocation, mIrb) == 0 && offsetof(AddressRangeAllocation, mOwner) == sizeof(IRB));

// The address array gets one entry when the offset is required or the range has neither an MDL
// nor a FIFO, else one a page the range can span and one more. Null when memory runs out; the
// owner has then heard OnAllocated(STATUS_INSUFFICIENT_RESOURCES).
AddressRangeAllocation* BuildAllocateAddressRange(AddressRange* owner, ULONG length, ULONG accessType,
                                                  ULONG notificationOptions, const ADDRESS_OFFSET* requiredOffset,
                                                  PMDL mdl, ULONG flags, ULONG maxSegmentSize,
                                                  PSLIST_HEADER fifoListHead, PKSPIN_LOCK fifoSpinLock,
                                                  AddressRangeRecord* record);
// The allocation's completion: the record takes the handle and the count, the owner hears the
// status, and the block is freed. `block` is the AddressRangeAllocation.
void AddressRangeAllocated(PDEVICE_OBJECT device, PIRP irp, PVOID block);
// The notification routine given to the bus driver; the context is the owner.
void AddressRangeNotification(PNOTIFICATION_INFO notification);
// PASSIVE_LEVEL. Frees the range when the record holds one (the request goes out once however
// often this is called) and always the address array.
NTSTATUS FreeAddressRange(LowerDeviceLink* link, AddressRangeRecord* record);

// A receive buffer of `size` bytes of non-paged pool described by the element's MDL; a buffer the
// element already held is freed first.
NTSTATUS AllocateReceiveBuffer(PADDRESS_FIFO record, ULONG size);
void FreeReceiveBuffer(PADDRESS_FIFO record);
