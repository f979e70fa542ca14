// A bus-master DMA channel: its buffer is a common buffer of the device's DMA adapter, which the
// PDO's bus hands out through IoGetDmaAdapter.
#pragma once

#include "platform/portcls/PcObject.h"

namespace plat::pc {

class DmaChannel final : public CUnknown, public IDmaChannel, public PoolObject {
 public:
  // `wavePort` and `ordinal` name the channel for fault injection (below); ~0 when it is no wave
  // port's.
  DmaChannel(PUNKNOWN outer, PDMA_ADAPTER adapter, ULONG maximumLength, ULONG wavePort, ULONG ordinal);
  ~DmaChannel() override;
  DECLARE_STD_UNKNOWN()

  NTSTATUS AllocateBuffer(ULONG bufferSize, PPHYSICAL_ADDRESS constraint) override;
  void FreeBuffer() override;
  ULONG TransferCount() override { return mMaximumLength; }
  ULONG MaximumBufferSize() override { return mMaximumLength; }
  ULONG AllocatedBufferSize() override { return mAllocated; }
  ULONG BufferSize() override { return mBufferSize; }
  void SetBufferSize(ULONG bufferSize) override;
  PVOID SystemAddress() override { return mBuffer; }
  PHYSICAL_ADDRESS PhysicalAddress() override { return mLogical; }
  PADAPTER_OBJECT GetAdapterObject() override { return mAdapter; }
  void CopyTo(PVOID destination, PVOID source, ULONG byteCount) override;
  void CopyFrom(PVOID destination, PVOID source, ULONG byteCount) override;

 private:
  PDMA_ADAPTER mAdapter;
  ULONG mMaximumLength;
  PVOID mBuffer = nullptr;
  PHYSICAL_ADDRESS mLogical{};
  ULONG mAllocated = 0;
  ULONG mBufferSize = 0;
  ULONG mWavePort;
  ULONG mOrdinal;
};

// Fault injection: the next `times` common buffers larger than `bytes` cannot be had, as
// contiguous memory runs short for large buffers first. Times 0 ends it.
void FailDmaBuffersAbove(ULONG bytes, ULONG times = 0xFFFFFFFF);

// Fault injection for one channel: the `ordinal`-th master channel (from 0) made by the
// `wavePort`-th wave-cyclic port (from 0, in the order an adapter device's start initialised
// them) gets no buffer larger than `bytes`, `times` more times. An adapter whose wave miniports
// each make one channel per direction names a pair and a direction so. Times 0 ends it.
void FailWaveDmaBuffersAbove(ULONG wavePort, ULONG ordinal, ULONG bytes, ULONG times = 0xFFFFFFFF);

inline constexpr ULONG kNoWavePort = 0xFFFFFFFF;

// A master channel for the device under `deviceObject` (an adapter's port class device).
NTSTATUS NewMasterDmaChannel(PDEVICE_OBJECT pdo, PDMACHANNEL* out, PUNKNOWN outer, ULONG maximumLength,
                             BOOLEAN dma32, BOOLEAN dma64, DMA_WIDTH width, DMA_SPEED speed,
                             ULONG wavePort = kNoWavePort, ULONG ordinal = kNoWavePort);

}  // namespace plat::pc
