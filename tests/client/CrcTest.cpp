// The CRC-16 of flash blocks against an independent CRC-16/XMODEM.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "client/Crc16.h"
#include "tests/client/images/ScriptedUnit.h"

namespace {

TEST(Crc16, GivesTheXmodemCrcOfEachWordsBytesFromTheMostSignificant) {
  const uint32_t abcd = 0x61626364;
  EXPECT_EQ(UpdateCrc16(abcd, 0), 0xA836);
  const uint32_t digits[] = {0x31323334, 0x35363738};
  EXPECT_EQ(ComputeCrc16(digits, 2), 0x9015);
  EXPECT_EQ(ComputeCrc16(digits, 0), 0);
  EXPECT_EQ(ComputeCrc16(nullptr, 0), 0);
}

TEST(Crc16, AgreesWithXmodemOverBlocksOfEveryLengthAndAnyRunningValue) {
  std::mt19937 random(5310);
  for (uint32_t count : {1u, 2u, 3u, 7u, 64u, 2048u}) {
    std::vector<uint32_t> words(count);
    for (uint32_t& w : words) w = static_cast<uint32_t>(random());
    EXPECT_EQ(ComputeCrc16(words.data(), count), scripted::Xmodem(0, words.data(), count)) << count;
    auto start = static_cast<uint16_t>(random());
    uint16_t running = start;
    for (uint32_t w : words) running = UpdateCrc16(w, running);
    EXPECT_EQ(running, scripted::Xmodem(start, words.data(), count)) << count;
  }
  for (uint32_t w : {0u, 0xFFFFFFFFu, 0x80000000u, 0x00000001u, 0x10210000u})
    EXPECT_EQ(UpdateCrc16(w, 0xFFFF), scripted::Xmodem(0xFFFF, &w, 1)) << std::hex << w;
}

}  // namespace
