#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/unit/UnitDouble.h"
#include "unit/SampleConverters.h"

namespace {

uint32_t Wire(uint32_t block, uint32_t quadlet) { return 0x80000000u ^ block << 12 ^ quadlet * 0x01010101u; }

// Two chunks of blocks in wire order; the second run starts mid-buffer as a split packet would.
struct WireBuffer {
  std::vector<uint8_t> bytes;
  BufferDescriptor descriptor{};

  WireBuffer(uint32_t quadlets, uint32_t firstRun, uint32_t secondRun) : bytes((firstRun + secondRun + 1) * quadlets * 4) {
    for (uint32_t b = 0; b < firstRun + secondRun + 1; ++b) {
      for (uint32_t q = 0; q < quadlets; ++q) {
        const uint32_t v = Wire(b, q);
        const uint8_t be[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
        std::memcpy(&bytes[(b * quadlets + q) * 4], be, 4);
      }
    }
    descriptor.mChunks = 3;
    descriptor.mChunkData[0] = bytes.data();
    descriptor.mChunkFrames[0] = firstRun;
    descriptor.mChunkData[1] = bytes.data() + firstRun * quadlets * 4;
    descriptor.mChunkFrames[1] = 0;
    descriptor.mChunkData[2] = bytes.data() + firstRun * quadlets * 4;
    descriptor.mChunkFrames[2] = secondRun;
    descriptor.mFrames = firstRun + secondRun;
  }
};

TEST(SampleConverters, InputRoutineOfEveryWidthSplitsBlocksIntoHostOrderArrays) {
  for (uint32_t channels = 0; channels <= 18; ++channels) {
    const uint32_t quadlets = channels + 2;
    WireBuffer buffer(quadlets, 5, 7);
    std::vector<std::vector<uint32_t>> arrays(kInputArrays, std::vector<uint32_t>(16, 0xDEADBEEF));
    uint32_t* table[kInputArrays];
    for (uint32_t k = 0; k < kInputArrays; ++k) table[k] = arrays[k].data();
    SelectInputConverter(channels)(buffer.descriptor, table);
    for (uint32_t k = 0; k < kInputArrays; ++k) {
      for (uint32_t b = 0; b < 16; ++b) {
        const uint32_t expected = k < quadlets && b < 12 ? Wire(b, k) : 0xDEADBEEF;
        ASSERT_EQ(arrays[k][b], expected) << channels << " channels, array " << k << ", block " << b;
      }
    }
  }
}

TEST(SampleConverters, OutputRoutineOfEveryWidthFillsExactlyTheChunks) {
  for (uint32_t channels = 0; channels <= 18; ++channels) {
    const uint32_t quadlets = channels == 0 ? 1 : channels;
    WireBuffer buffer(quadlets, 3, 4);
    const std::vector<uint8_t> before = buffer.bytes;
    std::vector<std::vector<uint32_t>> arrays(kOutputArrays, std::vector<uint32_t>(8));
    const uint32_t* table[kOutputArrays];
    for (uint32_t k = 0; k < kOutputArrays; ++k) {
      for (uint32_t b = 0; b < 8; ++b) arrays[k][b] = 0x01020304u * (k + 1) + b;
      table[k] = arrays[k].data();
    }
    SelectOutputConverter(channels)(buffer.descriptor, table);
    if (channels == 0) {
      EXPECT_EQ(buffer.bytes, before) << "no output channels: the blocks are left as built";
      continue;
    }
    for (uint32_t b = 0; b < 8; ++b) {
      for (uint32_t k = 0; k < channels; ++k) {
        const uint8_t* p = &buffer.bytes[(b * channels + k) * 4];
        const uint32_t wire = uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
        ASSERT_EQ(wire, b < 7 ? arrays[k][b] : Wire(b, k)) << channels << " channels, block " << b;
      }
    }
  }
}

// The engine's own conversion, with no client: the status quadlets reach the status words and
// playback channels play zeros.
class EngineConversion : public UnitDouble {
 public:
  uint32_t Frames() const { return mBufferFrames; }
};

TEST(SampleConverters, WithoutClientsRecordGoesToStatusAndPlaybackIsSilent) {
  EngineConversion unit;
  unit.SetInputChannelMask(0x3);
  unit.SetOutputChannelMask(0xFFFFF);  // 20 bits: the lowest 18 stream
  const uint32_t frames = unit.Frames();
  WireBuffer record(4, frames - 100, 100);
  for (uint32_t b = 0; b < frames; ++b) {
    uint8_t* block = &record.bytes[b * 16];
    block[3] = static_cast<uint8_t>(0x40 | (b % 64));  // index: only the low 6 bits count
    const uint32_t value = 0xA0000000u | b;
    const uint8_t be[4] = {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)};
    std::memcpy(block + 12, be, 4);
  }
  record.descriptor.mChannelMask = 0x3;
  record.descriptor.mChannelCount = 2;
  WireBuffer playback(18, frames - 1, 1);
  playback.descriptor.mChannelMask = 0x3FFFF;
  playback.descriptor.mChannelCount = 18;

  unit.ConvertBufferPair(0, &record.descriptor, &playback.descriptor);
  for (uint32_t word = 0; word < 64; ++word) {
    EXPECT_EQ(unit.Status().mWords[word], 0xA0000000u | (frames - 64 + word)) << word;
  }
  const std::size_t played = std::size_t{frames} * 18 * 4;
  EXPECT_TRUE(std::all_of(playback.bytes.begin(), playback.bytes.begin() + played, [](uint8_t b) { return b == 0; }));

  record.descriptor.mChannelCount = 3;  // made for other masks: not converted
  playback.bytes.assign(playback.bytes.size(), 0xEE);
  unit.ConvertBufferPair(0, &record.descriptor, &playback.descriptor);
  EXPECT_EQ(playback.bytes[0], 0xEE);
}

}  // namespace
