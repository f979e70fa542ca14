#include "unit/ChannelRows.h"

#include <gtest/gtest.h>

#include <memory>

#include "tests/unit/StreamDouble.h"

namespace {

// Distance of two addresses in the 4 KiB window that L1 sets and store-to-load checks look at.
size_t AliasDistance(size_t a, size_t b) { return (a > b ? a - b : b - a) % kAliasingStrideBytes; }

struct RowCase {
  size_t rowBytes;
  uint32_t rows;
};

// Rows of one buffer half at every buffer size, whole client rows, and sizes around 4 KiB.
constexpr RowCase kRowCases[] = {
    {32 * 4, 64},   {64 * 4, 64},   {256 * 4, 64},  {1024 * 4, 64}, {2048 * 4, 64},
    {2 * 8192, 64}, {4096 - 64, 64}, {4096 + 4, 64}, {12, 64},       {0, 64},
};

TEST(ChannelRows, NoTwoOfSixtyFourRowsAreAMultipleOf4KiBApart) {
  for (const RowCase& c : kRowCases) {
    const size_t pitch = ChannelRowPitch(c.rowBytes);
    EXPECT_GE(pitch, c.rowBytes) << c.rowBytes;
    EXPECT_LT(pitch, c.rowBytes + 2 * kCacheLineBytes) << c.rowBytes << ": at most a line and a bit more";
    EXPECT_EQ(ChannelRowsBytes(c.rows, c.rowBytes), c.rows * pitch);
    for (uint32_t i = 0; i < c.rows; ++i) {
      EXPECT_EQ(ChannelRowOffset(i, c.rowBytes) % kCacheLineBytes, 0u);
      for (uint32_t j = i + 1; j < c.rows; ++j) {
        const size_t d = AliasDistance(ChannelRowOffset(i, c.rowBytes), ChannelRowOffset(j, c.rowBytes));
        ASSERT_GE(d, kCacheLineBytes) << c.rowBytes << " bytes, rows " << i << " and " << j;
        ASSERT_LE(d, kAliasingStrideBytes - kCacheLineBytes) << c.rowBytes << " bytes, rows " << i << " and " << j;
      }
    }
  }
}

TEST(ChannelRows, RowsSixtyFourApartAliasSoOneCompletionTouchesFewer) {
  EXPECT_EQ(AliasDistance(ChannelRowOffset(0, 8192), ChannelRowOffset(kMaxStaggeredRows, 8192)), 0u);
}

// A client's 18 record and 18 playback channels of two 8 KiB halves, as the driver allocates them:
// the 36 halves the stream touches in one completion are staggered, and no half overlaps another.
TEST(ChannelRows, TheHalvesOfAClientsThirtySixChannelsAreStaggered) {
  constexpr size_t kHalf = 8192;
  constexpr uint32_t kChannels = 36;
  for (uint32_t half = 0; half < 2; ++half) {
    for (uint32_t i = 0; i < kChannels; ++i) {
      const size_t a = ChannelHalfOffset(i, half, kHalf);
      EXPECT_EQ(a % kCacheLineBytes, 0u);
      EXPECT_LE(a + kHalf, ChannelRowsBytes(kChannels, 2 * kHalf));
      EXPECT_GE(ChannelHalfOffset(i, 1, kHalf), ChannelHalfOffset(i, 0, kHalf) + kHalf);
      if (i + 1 < kChannels) {
        EXPECT_GE(ChannelHalfOffset(i + 1, 0, kHalf), ChannelHalfOffset(i, 1, kHalf) + kHalf);
      }
      for (uint32_t j = i + 1; j < kChannels; ++j) {
        const size_t d = AliasDistance(a, ChannelHalfOffset(j, half, kHalf));
        ASSERT_GE(d, kCacheLineBytes) << "half " << half << ", channels " << i << " and " << j;
        ASSERT_LE(d, kAliasingStrideBytes - kCacheLineBytes) << "half " << half << ", channels " << i << " and " << j;
      }
    }
  }
}

// The engine's own arrays that the record converter writes every frame follow the rule too.
TEST(ChannelRows, TheEnginesStatusIndexAndValueArraysAreStaggered) {
  auto unit = std::make_unique<StreamDouble>();
  const auto index = reinterpret_cast<uintptr_t>(unit->StatusIndexArray());
  const auto value = reinterpret_cast<uintptr_t>(unit->StatusValueArray());
  EXPECT_EQ(value - index, ChannelRowPitch(kChannelArrayEntries * sizeof(uint32_t)));
  EXPECT_NE((value - index) % kAliasingStrideBytes, 0u);
}

}  // namespace
