#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "unit/DebugLog.h"
#include "unit/OvrTable.h"
#include "unit/PreferencesBlock.h"
#include "unit/SurfaceEmulator.h"
#include "unit/UnitNameRecord.h"

namespace {

TEST(Records, OvrLevelsFollowTheirFormula) {
  for (uint32_t i = 0; i < kOvrLevels.size(); ++i) {
    EXPECT_EQ(kOvrLevels[i], std::lround(32767 * std::pow(10.0, -static_cast<double>(i) / 200))) << i;
  }
}

TEST(Records, OvrIndexAboveTheTableUsesItsLastLevel) {
  EXPECT_EQ(OvrLevel(50), 18426);
  EXPECT_EQ(OvrLevel(51), 18426);
  EXPECT_EQ(OvrLevel(0xFFFFFFFF), 18426);
}

TEST(Records, NearestOvrIndexTakesTheLowerIndexOnATie) {
  struct Case {
    uint32_t level;
    uint32_t index;
  } const cases[] = {
      {32767, 0}, {40000, 0}, {0, 50}, {31838, 2},  // 31838 lies exactly between entries 2 and 3
      {31839, 2}, {31837, 3}, {18426, 50},
  };
  for (const Case& c : cases) EXPECT_EQ(NearestOvrIndex(c.level), c.index) << c.level;
}

TEST(Records, PreferencesDefaultsAndMagicReadQ531Backwards) {
  const PreferencesBlock block = PreferencesBlock::Defaults();
  char stored[4];
  std::memcpy(stored, &block.mMagic, 4);
  EXPECT_EQ(std::string(stored, 4), "135Q");
  const uint32_t expected[][2] = {
      {4, 7},  {8, 1},  {12, 44100}, {16, 1}, {20, 4}, {24, 1}, {28, 1}, {32, 0},    {36, 0},    {40, 1},
      {44, 25}, {48, 1}, {52, 1},    {56, 1}, {60, 1}, {64, 1}, {68, 0}, {72, 0}, {76, 0}, {1164, 0},
  };
  for (const auto& [id, value] : expected) EXPECT_EQ(block.Word(id), value) << id;
}

TEST(Records, ValidSetsOfTheCheckedSettings) {
  struct Case {
    uint32_t id;
    uint32_t value;
    bool valid;
  } const cases[] = {
      {8, 0, false},     {8, 1, true},       {8, 4, true},       {8, 5, false},
      {12, 44100, true}, {12, 48000, true},  {12, 88200, true},  {12, 96000, true},  {12, 32000, false},
      {16, 0, false},    {16, 3, true},      {16, 4, false},     {20, 0, false},     {20, 7, true},
      {20, 8, false},    {40, 2, true},      {40, 3, false},     {48, 4, true},      {48, 5, false},
      {52, 2, true},     {52, 3, false},     {56, 0, false},     {56, 2, true},      {60, 5, true},
      {60, 6, false},    {44, 51, true},     {24, 0xFFFF, true}, {1164, 7, true},
  };
  for (const Case& c : cases) EXPECT_EQ(PreferencesBlock::IsValidValue(c.id, c.value), c.valid) << c.id << "=" << c.value;
}

TEST(Records, InvalidStoredSettingsTakeTheirDefaultsAlone) {
  PreferencesBlock block = PreferencesBlock::Defaults();
  block.mClockSource = 9;
  block.mSampleRate = 48000;
  block.mBufferSizeIndex = 12;
  block.mControlProtocol = 0;
  block.mOvrThreshold = 40;
  block.DefaultInvalidSettings();
  EXPECT_EQ(block.mClockSource, 1u);
  EXPECT_EQ(block.mSampleRate, 48000u);
  EXPECT_EQ(block.mBufferSizeIndex, 4u);
  EXPECT_EQ(block.mControlProtocol, 1u);
  EXPECT_EQ(block.mOvrThreshold, 40u);
}

TEST(Records, DefaultUnitNameIsKr6AndTheSerialInDecimal) {
  const UnitNameRecord record = UnitNameRecord::Default(4294967295u);
  EXPECT_EQ(record.mSerial, 4294967295u);
  EXPECT_STREQ(record.mName, "KR-6 4294967295");
  EXPECT_STREQ(UnitNameRecord::Default(7).mName, "KR-6 7");
}

TEST(Records, LampMapsGiveEachLayoutItsHardwareLamps) {
  struct Case {
    const SurfaceLayout& layout;
    uint32_t lampId;
    uint8_t code;
  } const cases[] = {
      {kSurfaceLayout1, 4, 110},  {kSurfaceLayout1, 89, 169}, {kSurfaceLayout1, 25, 135}, {kSurfaceLayout1, 58, 0},
      {kSurfaceLayout1, 86, 0xFF}, {kSurfaceLayout1, 0, 0xFF}, {kSurfaceLayout1, 114, 14},
      {kSurfaceLayout2, 4, 242},  {kSurfaceLayout2, 89, 142}, {kSurfaceLayout2, 58, 0},   {kSurfaceLayout2, 102, 0xFF},
  };
  SurfaceEmulator surface;
  for (const Case& c : cases) {
    surface.InitSurfaceEngine(c.layout);
    EXPECT_EQ(surface.mLampCodes[c.lampId], c.code) << c.lampId;
  }
  for (const auto& [layout, lamps] : {std::pair{&kSurfaceLayout1, 101}, std::pair{&kSurfaceLayout2, 112}}) {
    surface.InitSurfaceEngine(*layout);
    int mapped = 0;
    for (uint8_t code : surface.mLampCodes) mapped += code != SurfaceEmulator::kNoLamp;
    EXPECT_EQ(mapped, lamps);
  }
  EXPECT_EQ(&SurfaceLayoutForHardware(0xFF00FFFF), &kSurfaceLayout1);
  EXPECT_EQ(&SurfaceLayoutForHardware(0x00010000), &kSurfaceLayout2);
}

std::string Hex(uint32_t value) {
  char out[11];
  DebugLog::FormatHex(value, out);
  return out;
}

std::string Decimal(int32_t value) {
  char out[11];
  DebugLog::FormatDecimal(value, out);
  return out;
}

TEST(Records, LogNumberFormats) {
  EXPECT_EQ(Hex(0xAB), "0x000000AB");
  EXPECT_EQ(Hex(0xDEADBEEF), "0xDEADBEEF");
  EXPECT_EQ(Decimal(0), " 0000000");
  EXPECT_EQ(Decimal(-5), "-0000005");
  EXPECT_EQ(Decimal(9999999), " 9999999");
  EXPECT_EQ(Decimal(10000000), " *******\n");
  EXPECT_EQ(Decimal(-10000000), "-*******\n");
  EXPECT_EQ(Decimal(INT32_MIN), "-*******\n");
}

std::string DrainAll(DebugLog& log) {
  std::string text(DebugLog::kCapacity, '\0');
  text.resize(log.Drain(reinterpret_cast<uint8_t*>(text.data()), DebugLog::kCapacity));
  return text;
}

TEST(Records, LogThatLapsItsReaderKeepsTheNewestTextInOrder) {
  DebugLog log;
  std::string written;
  for (int line = 0; line < 1000; ++line) {
    const std::string text = "line " + std::to_string(line) + "\n";
    log.Append(text.c_str());
    written += text;
  }
  const std::string drained = DrainAll(log);
  EXPECT_EQ(drained.size(), DebugLog::kCapacity - 1);
  EXPECT_EQ(drained, written.substr(written.size() - drained.size()));
  EXPECT_EQ(DrainAll(log), "");
}

TEST(Records, LogDrainsInPiecesAndAppendStopsAtItsBound) {
  DebugLog log;
  log.Append("abcdef", 4);
  uint8_t out[3];
  ASSERT_EQ(log.Drain(out, 3), 3u);
  EXPECT_EQ(std::string(out, out + 3), "abc");
  EXPECT_EQ(DrainAll(log), "d");
}

}  // namespace
