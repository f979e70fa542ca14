#include "sim/units/Surface.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using sim::Surface;
using sim::SurfaceLayout;

TEST(SurfaceLayout, BothLayoutsHaveTheirButtonsAndLampsEachOnADistinctBitOrLamp) {
  struct Case {
    int layout, buttons, lamps;
  };
  for (const Case c : {Case{1, 85, 101}, Case{2, 87, 112}}) {
    const SurfaceLayout& l = SurfaceLayout::Get(c.layout);
    std::set<uint8_t> bits, lamps;
    for (uint16_t code = 0; code <= SurfaceLayout::kMaxButtonCode; ++code) {
      if (auto bit = l.ButtonBit(code)) {
        EXPECT_TRUE(bits.insert(*bit).second) << "layout " << c.layout << " bit " << int(*bit);
        EXPECT_EQ(*bit & 8, 0) << "layout " << c.layout << " code " << code;
      }
    }
    for (uint16_t id = 0; id <= SurfaceLayout::kMaxLampId; ++id) {
      if (auto n = l.LampNumber(id)) {
        EXPECT_TRUE(lamps.insert(*n).second) << "layout " << c.layout << " lamp " << id;
      }
    }
    EXPECT_EQ(l.ButtonCount(), c.buttons);
    EXPECT_EQ(static_cast<int>(bits.size()), c.buttons);
    EXPECT_EQ(l.LampCount(), c.lamps);
    EXPECT_EQ(static_cast<int>(lamps.size()), c.lamps);
  }
  EXPECT_EQ(SurfaceLayout::Get(1).ButtonBit(52), std::nullopt);
  EXPECT_EQ(SurfaceLayout::Get(1).ButtonBit(83), std::nullopt);
  EXPECT_EQ(SurfaceLayout::Get(2).ButtonBit(83), 231);
  EXPECT_EQ(SurfaceLayout::Get(1).LampNumber(86), std::nullopt);
  EXPECT_EQ(SurfaceLayout::Get(2).LampNumber(114), 6);
}

TEST(SurfaceLayout, TheHardwareVersionChoosesTheLayout) {
  EXPECT_EQ(SurfaceLayout::ForHardwareVersion(0x0000FFFF), 1);
  EXPECT_EQ(SurfaceLayout::ForHardwareVersion(0xFF00FFFF), 1);
  EXPECT_EQ(SurfaceLayout::ForHardwareVersion(0x00010000), 2);
}

TEST(Surface, AHeldButtonClearsItsBitInTheButtonBytes) {
  struct Case {
    int layout;
    uint16_t code;
    int word;
    uint32_t bit;
  };
  const Case cases[] = {
      {1, 12, 7, 19},   // Play: bit id 99, byte 6 bit 3
      {1, 40, 9, 8},    // Pan: bit id 208, byte 13 bit 0
      {2, 13, 9, 31},   // Record: bit id 247, byte 15 bit 7
      {2, 85, 7, 8},    // Aux 5: bit id 80, byte 5 bit 0
  };
  for (const auto& c : cases) {
    Surface s(c.layout);
    ASSERT_TRUE(s.PressButton(c.code));
    for (int w = 6; w <= 9; ++w) {
      uint32_t expected = w == c.word ? ~(1u << c.bit) : 0xFFFFFFFFu;
      EXPECT_EQ(s.Word(w), expected) << "layout " << c.layout << " code " << c.code << " word " << w;
    }
    s.ReleaseButton(c.code);
    EXPECT_EQ(s.Word(c.word), 0xFFFFFFFFu);
  }
  EXPECT_FALSE(Surface(1).PressButton(52));
}

TEST(Surface, FadersTouchAndEncodersFillTheirSlots) {
  Surface s(1);
  EXPECT_EQ(s.Word(5), 0x01FFu << 16);
  s.MoveFader(8, 2000);
  EXPECT_EQ(s.FaderPosition(8), 1023);
  EXPECT_TRUE(s.Touched(8));
  EXPECT_EQ(s.Word(5), 0x00FFu << 16);
  EXPECT_FALSE(s.DriveFader(8, 5));
  s.Touch(8, false);
  EXPECT_TRUE(s.DriveFader(8, 5));
  EXPECT_EQ(s.Word(4), 5u);
  s.TurnEncoder(Surface::kDataWheel, 0x8000);
  s.TurnEncoder(Surface::kDataWheel, 0x8001);
  EXPECT_EQ(s.EncoderCount(Surface::kDataWheel), 1);
  EXPECT_EQ(s.TakeChanged(), 1u << 8 | 1u << 11 | 1u << 31);
  EXPECT_EQ(s.TakeChanged(), 0u);
}

}  // namespace
