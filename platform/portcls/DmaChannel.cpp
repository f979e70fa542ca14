#include "platform/portcls/DmaChannel.h"

#include <cstring>

#include "platform/kernel/Verifier.h"

namespace plat::pc {

namespace {

// Contiguous memory that has run short: buffers larger than gShortAbove fail, gShortTimes more.
ULONG gShortAbove = 0;
ULONG gShortTimes = 0;
// The one channel that is short: its wave port and ordinal, the size above which it fails, and
// how many more times.
ULONG gTargetPort = kNoWavePort;
ULONG gTargetOrdinal = kNoWavePort;
ULONG gTargetAbove = 0;
ULONG gTargetTimes = 0;

}  // namespace

void FailDmaBuffersAbove(ULONG bytes, ULONG times) {
  gShortAbove = bytes;
  gShortTimes = times;
}

void FailWaveDmaBuffersAbove(ULONG wavePort, ULONG ordinal, ULONG bytes, ULONG times) {
  gTargetPort = wavePort;
  gTargetOrdinal = ordinal;
  gTargetAbove = bytes;
  gTargetTimes = times;
}

DmaChannel::DmaChannel(PUNKNOWN outer, PDMA_ADAPTER adapter, ULONG maximumLength, ULONG wavePort, ULONG ordinal)
    : CUnknown(outer), mAdapter(adapter), mMaximumLength(maximumLength), mWavePort(wavePort), mOrdinal(ordinal) {}

DmaChannel::~DmaChannel() {
  FreeBuffer();
  mAdapter->DmaOperations->PutDmaAdapter(mAdapter);
}

NTSTATUS DmaChannel::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (IsEqualGUID(iid, IID_IDmaChannel)) {
    *object = static_cast<IDmaChannel*>(this);
    AddRef();
    return STATUS_SUCCESS;
  }
  return CUnknown::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS DmaChannel::AllocateBuffer(ULONG bufferSize, PPHYSICAL_ADDRESS) {
  PAGED_CODE();
  if (mBuffer != nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  if (bufferSize == 0 || bufferSize > mMaximumLength) return STATUS_INVALID_PARAMETER;
  if (gShortTimes != 0 && bufferSize > gShortAbove) {
    --gShortTimes;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (gTargetTimes != 0 && mWavePort != kNoWavePort && mWavePort == gTargetPort && mOrdinal == gTargetOrdinal &&
      bufferSize > gTargetAbove) {
    --gTargetTimes;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  mBuffer = mAdapter->DmaOperations->AllocateCommonBuffer(mAdapter, bufferSize, &mLogical, FALSE);
  if (mBuffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  mAllocated = mBufferSize = bufferSize;
  return STATUS_SUCCESS;
}

void DmaChannel::FreeBuffer() {
  if (mBuffer == nullptr) return;
  mAdapter->DmaOperations->FreeCommonBuffer(mAdapter, mAllocated, mLogical, mBuffer, FALSE);
  mBuffer = nullptr;
  mAllocated = mBufferSize = 0;
}

void DmaChannel::SetBufferSize(ULONG bufferSize) {
  if (bufferSize > mAllocated) Violation("IDmaChannel::SetBufferSize: larger than the allocated buffer");
  mBufferSize = bufferSize;
}

void DmaChannel::CopyTo(PVOID destination, PVOID source, ULONG byteCount) { std::memcpy(destination, source, byteCount); }
void DmaChannel::CopyFrom(PVOID destination, PVOID source, ULONG byteCount) { std::memcpy(destination, source, byteCount); }

NTSTATUS NewMasterDmaChannel(PDEVICE_OBJECT pdo, PDMACHANNEL* out, PUNKNOWN outer, ULONG maximumLength,
                             BOOLEAN dma32, BOOLEAN dma64, DMA_WIDTH width, DMA_SPEED speed, ULONG wavePort,
                             ULONG ordinal) {
  PAGED_CODE();
  *out = nullptr;
  DEVICE_DESCRIPTION description{};
  description.Version = DEVICE_DESCRIPTION_VERSION1;
  description.Master = TRUE;
  description.ScatterGather = FALSE;
  description.Dma32BitAddresses = dma32;
  description.Dma64BitAddresses = dma64;
  description.InterfaceType = PNPBus;
  description.DmaWidth = width;
  description.DmaSpeed = speed;
  description.MaximumLength = maximumLength;
  ULONG mapRegisters = 0;
  PDMA_ADAPTER adapter = IoGetDmaAdapter(pdo, &description, &mapRegisters);
  if (adapter == nullptr) return STATUS_DEVICE_CONFIGURATION_ERROR;
  auto* channel = new (NonPagedPool) DmaChannel(outer, adapter, maximumLength, wavePort, ordinal);
  if (channel == nullptr) {
    adapter->DmaOperations->PutDmaAdapter(adapter);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  channel->NonDelegatingAddRef();
  *out = channel;
  return STATUS_SUCCESS;
}

}  // namespace plat::pc
