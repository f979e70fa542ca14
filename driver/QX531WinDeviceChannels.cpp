#include <algorithm>
#include <iterator>
#include <cstring>

#include "driver/QX531WinDevice.h"
#include "unit/ChannelRows.h"

namespace {

// Record channels take rows 0-17 of the block, playback channels rows 18-35.
constexpr ULONG kPlaybackFirstRow = kClientChannels;
constexpr ULONG kChannelRows = 2 * kClientChannels;
static_assert(kChannelRows <= kMaxStaggeredRows);

// Whole pages, so that the pages of a half mapped into a process hold channel buffers only.
constexpr SIZE_T ChannelBlockBytes(SIZE_T halfBytes) {
  const SIZE_T bytes = ChannelRowsBytes(kChannelRows, 2 * halfBytes);
  return (bytes + PAGE_SIZE - 1) / PAGE_SIZE * PAGE_SIZE;
}

}  // namespace

// PASSIVE_LEVEL. The buffers outlive a stop of the device: a start that finds them keeps them
// with everything attached to them.
NTSTATUS QX531WinDevice::AllocateChannelBuffers() {
  PAGED_CODE();
  if (mChannelBlock != nullptr) return STATUS_SUCCESS;
  const SIZE_T bytes = ChannelBlockBytes(kChannelHalfBytes);
  auto* block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, bytes, kFrameworkPoolTag));
  if (block == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(block, 0, bytes);
  mChannelBlock = block;
  for (ULONG c = 0; c < kClientChannels; ++c) {
    for (ULONG h = 0; h < 2; ++h) {
      mRecordChannelHalves[c][h] = reinterpret_cast<PLONG>(block + ChannelHalfOffset(c, h, kChannelHalfBytes));
      mPlaybackChannelHalves[c][h] =
          reinterpret_cast<PLONG>(block + ChannelHalfOffset(kPlaybackFirstRow + c, h, kChannelHalfBytes));
      mActiveRecordHalves[c][h] = nullptr;
      mActivePlaybackHalves[c][h] = nullptr;
      mRecordHalves[c][h] = mRecordChannelHalves[c][h];
      mPlaybackHalves[c][h] = mPlaybackChannelHalves[c][h];
    }
    mRecordAttachCount[c] = 0;
    mPlaybackAttachCount[c] = 0;
  }
  mAppliedContinuousInputs = 0;
  mAppliedContinuousOutputs = 0;
  mAsio.mActive = 0;
  mAsio.mFirstBuffer = 1;
  mAsio.mResetRequest = 0;
  mAsio.mEvent = nullptr;
  mAsio.mIndexCell = nullptr;
  mAsio.mOutputMask = 0;
  std::memset(mAsio.mRecordList, 0, sizeof mAsio.mRecordList);
  std::memset(mAsio.mPlaybackList, 0, sizeof mAsio.mPlaybackList);
  std::memset(mAsio.mRecordMappings, 0, sizeof mAsio.mRecordMappings);
  std::memset(mAsio.mPlaybackMappings, 0, sizeof mAsio.mPlaybackMappings);
  InterlockedExchange64(&mAsio.mDeferred.mWord, 0);
  // No channel attached yet: the status words and silence, as the unit's masks say.
  for (ULONG h = 0; h < 2; ++h) {
    std::fill(std::begin(mRecordTable[h]), std::end(mRecordTable[h]), ConverterScratch());
    mRecordTable[h][0] = mStatusIndex;
    mRecordTable[h][1] = mStatusValue;
    std::fill(std::begin(mPlaybackTable[h]), std::end(mPlaybackTable[h]), SilentOutputArrays()[0]);
  }
  return STATUS_SUCCESS;
}

// PASSIVE_LEVEL, at removal. Pages a process still maps are never given back: its CLEANUP undoes
// the mappings before the device can be removed.
void QX531WinDevice::FreeChannelBuffers() {
  PAGED_CODE();
  EndAsioSignalling();
  if (mAsio.mEvent != nullptr) {
    ObDereferenceObject(mAsio.mEvent);
    mAsio.mEvent = nullptr;
  }
  if (mChannelBlock == nullptr) return;
  bool mapped = mAsio.mIndexMdl != nullptr;
  for (ULONG c = 0; c < kClientChannels; ++c)
    for (ULONG h = 0; h < 2; ++h)
      mapped = mapped || mAsio.mRecordMappings[c][h].mMdl != nullptr || mAsio.mPlaybackMappings[c][h].mMdl != nullptr;
  if (mapped) return;
  for (ULONG c = 0; c < kClientChannels; ++c) {
    for (ULONG h = 0; h < 2; ++h) {
      mRecordChannelHalves[c][h] = mPlaybackChannelHalves[c][h] = nullptr;
      mActiveRecordHalves[c][h] = mActivePlaybackHalves[c][h] = nullptr;
      mRecordHalves[c][h] = mPlaybackHalves[c][h] = nullptr;
    }
    mRecordAttachCount[c] = mPlaybackAttachCount[c] = 0;
  }
  ExFreePoolWithTag(mChannelBlock, kFrameworkPoolTag);
  mChannelBlock = nullptr;
}

// Up to DISPATCH_LEVEL. The first attach publishes the channel's halves, the last detach takes
// them back; a detach of a channel nobody attached changes nothing.
void QX531WinDevice::AttachRecordChannel(ULONG channel, BOOLEAN attach) {
  if (channel >= kClientChannels || mChannelBlock == nullptr) return;
  if (attach) {
    if (mRecordAttachCount[channel]++ == 0) {
      mActiveRecordHalves[channel][0] = mRecordChannelHalves[channel][0];
      mActiveRecordHalves[channel][1] = mRecordChannelHalves[channel][1];
    }
  } else if (mRecordAttachCount[channel] > 0 && --mRecordAttachCount[channel] == 0) {
    mActiveRecordHalves[channel][0] = mActiveRecordHalves[channel][1] = nullptr;
  }
}

void QX531WinDevice::AttachPlaybackChannel(ULONG channel, BOOLEAN attach) {
  if (channel >= kClientChannels || mChannelBlock == nullptr) return;
  if (attach) {
    if (mPlaybackAttachCount[channel]++ == 0) {
      mActivePlaybackHalves[channel][0] = mPlaybackChannelHalves[channel][0];
      mActivePlaybackHalves[channel][1] = mPlaybackChannelHalves[channel][1];
    }
  } else if (mPlaybackAttachCount[channel] > 0 && --mPlaybackAttachCount[channel] == 0) {
    mActivePlaybackHalves[channel][0] = mActivePlaybackHalves[channel][1] = nullptr;
  }
}

void QX531WinDevice::AttachClientRecordChannel(ULONG channel, BOOLEAN attach) {
  AttachRecordChannel(channel, attach);
  mAsio.mMapsChanged = 1;
}

void QX531WinDevice::AttachClientPlaybackChannel(ULONG channel, BOOLEAN attach) {
  AttachPlaybackChannel(channel, attach);
  mAsio.mMapsChanged = 1;
}
