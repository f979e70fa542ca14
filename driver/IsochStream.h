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

// One descriptor list handed to the bus driver.
struct IsochAttachment {
  PISOCH_DESCRIPTOR mList;
  IsochTransfer* mOwner;
  UCHAR mDetaching;  // the host itself took the list back
  ListLink mLink;
  PVOID mDetachBlock;
};

class IsochTransfer {
 public:
  explicit IsochTransfer(ULONG stamp);
  virtual void OnListDone(NTSTATUS status, PISOCH_DESCRIPTOR list);
  virtual void OnStreamStarted(NTSTATUS status);
  virtual void OnStreamStopped(NTSTATUS status);
  virtual ~IsochTransfer();

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
};

class IsochStream : public IsochTransfer {
 public:
  static constexpr ULONG kNoChannel = 64;

  // The bandwidth the bus driver granted.
  struct Bandwidth {
    HANDLE mHandle;
    ULONG mBytesPerFrame;
    ULONG mSpeedSelected;
  };

  IsochStream(ULONG stamp, ULONG direction);

  ULONG mDirection;
  ULONG mChannel = kNoChannel;
  Bandwidth mBandwidth{};
  PISOCH_DESCRIPTOR mListA = nullptr;
  PISOCH_DESCRIPTOR mListB = nullptr;
  PVOID mMdlTableA = nullptr;
  PVOID mMdlTableB = nullptr;
  UCHAR mAllocated = 0;
  UCHAR mStarted = 0;
};
