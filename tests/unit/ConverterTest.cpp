#include <gtest/gtest.h>

#include <cstring>
#include <random>
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

TEST(SampleConverters, TheInstalledRoutinesAreThoseOfTheFastestPathThatRunsHere) {
  const ConverterPath best = BestConverterPath();
  EXPECT_TRUE(ConverterPathRuns(ConverterPath::Scalar));
  EXPECT_EQ(best, ConverterPathRuns(ConverterPath::Ssse3) ? ConverterPath::Ssse3 : ConverterPath::Scalar);
  for (uint32_t channels = 0; channels <= 20; ++channels) {
    EXPECT_EQ(SelectInputConverter(channels), SelectInputConverter(channels, best)) << channels;
    EXPECT_EQ(SelectOutputConverter(channels), SelectOutputConverter(channels, best)) << channels;
  }
  EXPECT_EQ(SelectInputConverter(20, ConverterPath::Scalar), SelectInputConverter(18, ConverterPath::Scalar));
}

// Packets as the bus leaves them: runs of 0 to 15 blocks of random bytes, or of a stream's packet
// size and one more, each after a gap of 1 to 3 quadlets, so the runs start at every alignment.
struct RandomRuns {
  std::vector<uint32_t> words;
  BufferDescriptor descriptor{};

  RandomRuns(std::mt19937& rng, uint32_t quadlets, uint32_t frames, uint32_t packetBlocks) {
    std::vector<std::pair<std::size_t, uint32_t>> runs;  // first word, blocks
    std::size_t at = 0;
    for (uint32_t left = frames; left != 0 || runs.empty();) {
      const uint32_t size = packetBlocks == 0 ? rng() % 16 : packetBlocks + rng() % 2;
      const uint32_t blocks = std::min<uint32_t>(left, size);
      at += 1 + rng() % 3;
      runs.emplace_back(at, blocks);
      at += std::size_t{blocks} * quadlets;
      left -= blocks;
    }
    words.resize(at + 4);
    for (uint32_t& w : words) w = static_cast<uint32_t>(rng());
    descriptor.mChunks = static_cast<uint32_t>(runs.size());
    descriptor.mFrames = frames;
    for (std::size_t c = 0; c < runs.size(); ++c) {
      descriptor.mChunkData[c] = reinterpret_cast<uint8_t*>(words.data() + runs[c].first);
      descriptor.mChunkFrames[c] = runs[c].second;
    }
  }
};

// Channel arrays at random alignments, filled with random words.
struct RandomArrays {
  std::vector<std::vector<uint32_t>> storage;
  uint32_t* table[kInputArrays];

  RandomArrays(std::mt19937& rng, uint32_t entries) : storage(kInputArrays, std::vector<uint32_t>(entries + 4)) {
    for (uint32_t k = 0; k < kInputArrays; ++k) {
      for (uint32_t& w : storage[k]) w = static_cast<uint32_t>(rng());
      table[k] = storage[k].data() + rng() % 4;
    }
  }
};

struct PathCase {
  uint32_t frames;
  bool sharedScratch;     // every channel recorded into one array, as channels without a client are
  uint32_t packetBlocks;  // 0 for runs of any length; else packets of this many blocks or one more
};

constexpr PathCase kPathCases[] = {
    {1, false, 0},   {3, false, 0},    {4, false, 0}, {7, false, 0},    {33, false, 0},    {64, false, 0},
    {257, false, 0}, {2048, false, 0}, {5, true, 0},  {64, true, 0},    {2048, true, 0},
    // As a stream cuts them: 5 or 6 blocks a packet at 44.1 kHz, 11 or 12 at 88.2 kHz.
    {32, false, 5},  {2048, false, 5}, {64, true, 5}, {128, false, 11}, {2048, false, 11},
};

TEST(SampleConverters, VectorAndScalarInputWriteTheSameBitsForEveryWidth) {
  if (!ConverterPathRuns(ConverterPath::Ssse3)) GTEST_SKIP() << "no SSSE3 here";
  std::mt19937 rng(11);
  for (const PathCase& c : kPathCases) {
    for (uint32_t channels = 0; channels <= 18; ++channels) {
      const RandomRuns buffer(rng, channels + 2, c.frames, c.packetBlocks);
      RandomArrays scalar(rng, c.frames);
      if (c.sharedScratch) std::fill(scalar.table + 1, scalar.table + channels + 1, scalar.table[kInputArrays - 1]);
      RandomArrays vector = scalar;
      for (uint32_t k = 0; k < kInputArrays; ++k) {
        vector.table[k] = vector.storage[k].data() + (scalar.table[k] - scalar.storage[k].data());
      }
      if (c.sharedScratch) std::fill(vector.table + 1, vector.table + channels + 1, vector.table[kInputArrays - 1]);
      SelectInputConverter(channels, ConverterPath::Scalar)(buffer.descriptor, scalar.table);
      SelectInputConverter(channels, ConverterPath::Ssse3)(buffer.descriptor, vector.table);
      ASSERT_EQ(scalar.storage, vector.storage)
          << channels << " channels, " << c.frames << " frames, packets of " << c.packetBlocks;
    }
  }
}

TEST(SampleConverters, VectorAndScalarOutputWriteTheSameBitsForEveryWidth) {
  if (!ConverterPathRuns(ConverterPath::Ssse3)) GTEST_SKIP() << "no SSSE3 here";
  std::mt19937 rng(12);
  for (const PathCase& c : kPathCases) {
    for (uint32_t channels = 0; channels <= 18; ++channels) {
      const RandomArrays sources(rng, c.frames);
      const uint32_t* table[kOutputArrays];
      std::copy(sources.table, sources.table + kOutputArrays, table);
      if (c.sharedScratch) std::fill(table, table + kOutputArrays, SilentOutputArrays()[0]);
      const RandomRuns scalar(rng, channels, c.frames, c.packetBlocks);
      RandomRuns vector = scalar;
      for (uint32_t r = 0; r < scalar.descriptor.mChunks; ++r) {
        vector.descriptor.mChunkData[r] =
            reinterpret_cast<uint8_t*>(vector.words.data()) +
            (scalar.descriptor.mChunkData[r] - reinterpret_cast<const uint8_t*>(scalar.words.data()));
      }
      SelectOutputConverter(channels, ConverterPath::Scalar)(scalar.descriptor, table);
      SelectOutputConverter(channels, ConverterPath::Ssse3)(vector.descriptor, table);
      ASSERT_EQ(scalar.words, vector.words)
          << channels << " channels, " << c.frames << " frames, packets of " << c.packetBlocks;
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
