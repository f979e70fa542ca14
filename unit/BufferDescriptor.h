#pragma once

#include <cstddef>
#include <cstdint>

// One client buffer's worth of data blocks, as runs (chunks) inside the packets of a list.
struct BufferDescriptor {
  static constexpr uint32_t kMaxChunks = 412;

  // First word: the platform compares it to tell whether a kept descriptor has been reused.
  uint32_t mUseCount;
  uint32_t mChunks;
  uint32_t mFrames;
  uint32_t mTargetFrames;
  uint32_t mChannelMask;
  uint32_t mChannelCount;
  uint8_t* mChunkData[kMaxChunks];  // first data block of each run
  uint32_t mChunkFrames[kMaxChunks];
};

static_assert(offsetof(BufferDescriptor, mUseCount) == 0);
static_assert(offsetof(BufferDescriptor, mChunkData) == 24);
