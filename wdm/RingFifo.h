// A fixed ring of elements guarded by its own spin lock; one slot always stays empty, so equal
// indices mean empty. A ring whose buffer could not be had does nothing and holds nothing.
#pragma once

#include <wdm.h>

#include "wdm/WdmPoolObject.h"

class RingFifo : public WdmPoolObject {
 public:
  RingFifo(ULONG elementSize, ULONG capacity, POOL_TYPE poolType);
  ~RingFifo();
  RingFifo(const RingFifo&) = delete;
  RingFifo& operator=(const RingFifo&) = delete;

  // The lock, raising to DISPATCH_LEVEL; released the way the holder's saved level requires.
  void Lock();
  void Unlock();

  // The callers hold the lock; any IRQL up to DISPATCH_LEVEL.
  void FifoClear();
  ULONG FifoWrite(const void* source, ULONG count);
  ULONG FifoRead(void* destination, ULONG count);
  ULONG FifoCount() const;
  ULONG FifoRoom() const;

  ULONG mOwnsBuffer;
  ULONG mElementSize;
  ULONG mReadIndex = 0;
  ULONG mWriteIndex = 0;
  ULONG mSlotCount;
  UCHAR* mBuffer = nullptr;
  PKSPIN_LOCK mLockPointer;
  KSPIN_LOCK mSpinLock = 0;
  KIRQL mSavedIrql = PASSIVE_LEVEL;
};
