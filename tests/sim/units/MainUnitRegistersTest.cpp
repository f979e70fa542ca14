#include <gtest/gtest.h>

#include "sim/units/MainUnit.h"
#include "tests/sim/units/UnitHarness.h"

namespace {

using sim::AsyncStatus;
using sim::MainUnit;
using simtest::UnitBench;

struct MainUnitFixture : testing::Test {
  MainUnitFixture() { unit.Plug(b.bus); }
  UnitBench b;
  MainUnit unit{0x0050C2A1'12345678ull, {0x14, 0x0107, 0x0203, 0x00020000}};
};

TEST_F(MainUnitFixture, VersionAndChipIdRegistersReadBigEndian) {
  const std::pair<uint32_t, uint32_t> cases[] = {
      {0x000, 0x14}, {0x004, 0x0107}, {0x008, 0x0203}, {0x00C, 0x00020000},
      {0xF000040C, 0x0050C2A1}, {0xF0000410, 0x12345678},
  };
  for (auto [offset, value] : cases) EXPECT_EQ(b.Read(unit, offset), value) << std::hex << offset;
}

TEST_F(MainUnitFixture, WrittenRegistersReadBackAndLandInTheWriteLog) {
  const uint32_t offsets[] = {0x200, 0x204, 0x20C, 0x214, 0x218, 0x21C, 0x228, 0x230, 0x408, 0x410};
  for (uint32_t off : offsets) {
    ASSERT_EQ(b.WriteQuadlet(unit, off, 0x100 + off), AsyncStatus::Complete) << std::hex << off;
    EXPECT_EQ(b.Read(unit, off), 0x100 + off) << std::hex << off;
  }
  ASSERT_EQ(unit.WriteLog().size(), std::size(offsets));
  EXPECT_EQ(unit.WriteLog().back().offset, 0x410u);
  EXPECT_EQ(unit.WriteLog().back().value, 0x510u);
  EXPECT_EQ(unit.WriteLog().back().length, 4u);
}

TEST_F(MainUnitFixture, BadAccessesAreAnsweredWithErrors) {
  EXPECT_EQ(b.WriteQuadlet(unit, 0x000, 1), AsyncStatus::TypeError);
  EXPECT_EQ(b.WriteQuadlet(unit, 0xF0000410, 1), AsyncStatus::TypeError);
  EXPECT_EQ(b.WriteQuadlet(unit, 0x234, 1), AsyncStatus::AddressError);
  EXPECT_EQ(b.Read(unit, 0x3FC), std::nullopt);
  EXPECT_EQ(b.Read(unit, 0x200, 8), std::nullopt);
  auto block = simtest::Be({1, 2});
  EXPECT_EQ(b.Write(unit, 0x200, block), AsyncStatus::TypeError);
  std::vector<uint8_t> past(8, 0);
  EXPECT_EQ(b.Write(unit, 0x8000 + 8188, past), AsyncStatus::AddressError);
  EXPECT_EQ(b.Read(unit, 0x000), 0x14u);
  EXPECT_TRUE(unit.WriteLog().empty());
}

TEST_F(MainUnitFixture, ControlBitsAreCommandWordsAndReadBackAsSwitchBits) {
  struct Case {
    uint32_t word;
    uint32_t switches;  // after this word, starting from those of the row before
  };
  const Case cases[] = {
      {0x2000, 0x20},                 // streaming on
      {0x2001000, 0x01000030},        // monitoring 1:6: bit 4 and bit 24
      {0x4001000, 0x30},              // monitoring 1:8: bit 24 cleared
      {0x840800, 0x38},               // optical: analog outputs (3 set; 2 and 7 cleared)
      {0x48800, 0xB8},                // optical: analog inputs (3 and 7 set, 2 cleared)
      {0x200000, 0x98},               // streaming off
      {0x100000, 0x88},               // monitoring 1:2
      {0x0, 0x88},                    // no switch named
      {0x00FF, 0x88},                 // bits 0-7 name nothing
      {0x10100, 0x88},                // bit 0 both set and cleared: the clear wins
      {0x100, 0x89},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(b.WriteQuadlet(unit, 0x22C, c.word), AsyncStatus::Complete);
    EXPECT_EQ(b.Read(unit, 0x22C), c.switches) << std::hex << c.word;
  }
}

TEST_F(MainUnitFixture, LampWritesSetLampStatesByHardwareNumber) {
  b.WriteQuadlet(unit, 0x404, 127u << 16 | 142);
  b.WriteQuadlet(unit, 0x404, 1u << 16 | 242);
  EXPECT_EQ(unit.GetSurface().Lamp(142), 127);
  EXPECT_EQ(unit.GetSurface().Lamp(242), 1);
  EXPECT_EQ(unit.GetSurface().LampById(4), 1);  // layout 2: lamp id 4 is hardware lamp 242
  b.WriteQuadlet(unit, 0x404, 242);
  EXPECT_EQ(unit.GetSurface().Lamp(242), 0);
}

TEST_F(MainUnitFixture, MotorWritesMoveAFaderUnlessItIsTouched) {
  b.WriteQuadlet(unit, 0x400, 700u << 16 | 3);
  EXPECT_EQ(unit.GetSurface().FaderPosition(3), 700);
  unit.MoveFader(3, 100);
  b.WriteQuadlet(unit, 0x400, 900u << 16 | 3);
  EXPECT_EQ(unit.GetSurface().FaderPosition(3), 100);
  unit.ReleaseFader(3);
  b.WriteQuadlet(unit, 0x400, 5000u << 16 | 8);
  EXPECT_EQ(unit.GetSurface().FaderPosition(8), 1023);
  b.WriteQuadlet(unit, 0x400, 500u << 16 | 9);
  EXPECT_EQ(unit.Counters().faderWritesIgnored, 2u);
}

TEST_F(MainUnitFixture, AnUnpluggedUnitDepartsAndComesBackUnderANewGeneration) {
  uint32_t generation = b.host.Generation();
  uint8_t id = unit.NodeId();
  unit.Unplug();
  sim::AsyncStatus got = AsyncStatus::Complete;
  b.host.Read(id, MainUnit::kRegisterBase, 4, b.host.Generation(), [&](AsyncStatus s, auto) { got = s; });
  b.sched.RunFor(plat::kNsPerCycle);
  EXPECT_EQ(got, AsyncStatus::Departed);
  unit.Plug(b.bus);
  EXPECT_EQ(b.host.Generation(), generation + 2);
  EXPECT_EQ(b.host.NodeIdOf(unit.Guid()), unit.NodeId());
  EXPECT_EQ(b.Read(unit, 0x000), 0x14u);
}

}  // namespace
