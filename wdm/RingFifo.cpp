#include "wdm/RingFifo.h"

#include <cstring>

#include "kframework/KernelUtil.h"

RingFifo::RingFifo(ULONG elementSize, ULONG capacity, POOL_TYPE poolType)
    : mOwnsBuffer(0), mElementSize(elementSize), mSlotCount(capacity + 1), mLockPointer(&mSpinLock) {
  KeInitializeSpinLock(&mSpinLock);
  const SIZE_T bytes = static_cast<SIZE_T>(mSlotCount) * elementSize;
  mBuffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(poolType, bytes, kFrameworkPoolTag));
  if (mBuffer == nullptr) return;
  std::memset(mBuffer, 0, bytes);
  mOwnsBuffer = 1;
}

RingFifo::~RingFifo() {
  if (mOwnsBuffer != 0) ExFreePoolWithTag(mBuffer, kFrameworkPoolTag);
}

void RingFifo::Lock() {
  const KIRQL irql = KeAcquireSpinLockRaiseToDpc(mLockPointer);
  mSavedIrql = irql;
}

void RingFifo::Unlock() {
  const KIRQL irql = mSavedIrql;
  if (irql == DISPATCH_LEVEL)
    KeReleaseSpinLockFromDpcLevel(mLockPointer);
  else
    KeReleaseSpinLock(mLockPointer, irql);
}

void RingFifo::FifoClear() {
  mReadIndex = 0;
  mWriteIndex = 0;
}

ULONG RingFifo::FifoCount() const {
  if (mBuffer == nullptr || mReadIndex == mWriteIndex) return 0;
  if (mReadIndex < mWriteIndex) return mWriteIndex - mReadIndex;
  return mWriteIndex + mSlotCount - mReadIndex;
}

ULONG RingFifo::FifoRoom() const { return mBuffer == nullptr ? 0 : mSlotCount - 1 - FifoCount(); }

ULONG RingFifo::FifoWrite(const void* source, ULONG count) {
  const ULONG n = count < FifoRoom() ? count : FifoRoom();
  if (n == 0) return 0;
  const auto* from = static_cast<const UCHAR*>(source);
  const ULONG first = n < mSlotCount - mWriteIndex ? n : mSlotCount - mWriteIndex;
  std::memcpy(mBuffer + mWriteIndex * mElementSize, from, static_cast<SIZE_T>(first) * mElementSize);
  std::memcpy(mBuffer, from + first * mElementSize, static_cast<SIZE_T>(n - first) * mElementSize);
  mWriteIndex = (mWriteIndex + n) % mSlotCount;
  return n;
}

ULONG RingFifo::FifoRead(void* destination, ULONG count) {
  const ULONG held = FifoCount();
  const ULONG n = count < held ? count : held;
  if (n == 0) return 0;
  auto* to = static_cast<UCHAR*>(destination);
  const ULONG first = n < mSlotCount - mReadIndex ? n : mSlotCount - mReadIndex;
  std::memcpy(to, mBuffer + mReadIndex * mElementSize, static_cast<SIZE_T>(first) * mElementSize);
  std::memcpy(to + first * mElementSize, mBuffer, static_cast<SIZE_T>(n - first) * mElementSize);
  mReadIndex = (mReadIndex + n) % mSlotCount;
  return n;
}
