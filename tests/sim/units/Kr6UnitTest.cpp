#include <gtest/gtest.h>

#include "sim/units/Kr6Unit.h"
#include "tests/sim/units/UnitHarness.h"

namespace {

using plat::kNsPerMs;
using simtest::UnitBench;

struct Record {
  uint8_t slot;
  uint16_t value;
  bool operator==(const Record&) const = default;
};

std::vector<Record> Records(const std::vector<uint8_t>& w) {
  std::vector<Record> out;
  for (size_t i = 0; i + 4 <= w.size(); i += 4) out.push_back({w[i], static_cast<uint16_t>(w[i + 1] << 8 | w[i + 2])});
  return out;
}

struct Kr6Fixture : testing::Test {
  Kr6Fixture() {
    unit.Plug(b.bus);
    b.Window(unit, 0x314, 0x318, 256);
  }
  void Enable() {
    b.WriteQuadlet(unit, 0x310, 1);
    b.sched.RunFor(2 * kNsPerMs);
    b.windowWrites.clear();
  }
  UnitBench b;
  sim::Kr6Unit unit{0x00BEEF01};
};

TEST_F(Kr6Fixture, ReportsItselfAsAnExpansionUnitWithItsSerialInTheChipId) {
  EXPECT_EQ(*b.Read(unit, 0x000) >> 16, 1u);
  EXPECT_EQ(b.Read(unit, 0xF0000410), 0x00BEEF01u);
  EXPECT_EQ(unit.Serial(), 0x00BEEF01u);
  b.WriteQuadlet(unit, 0x208, 1);
  b.WriteQuadlet(unit, 0x22C, 0x2000);
  b.WriteQuadlet(unit, 0x220, 1);
  EXPECT_EQ(b.bus.Stats(0).packets, 0u);
}

TEST_F(Kr6Fixture, EnablingTheRecordsSendsFadersTouchAndButtonsAtOnce) {
  unit.MoveFader(4, 300);
  b.WriteQuadlet(unit, 0x310, 1);
  b.sched.RunFor(2 * kNsPerMs);
  ASSERT_EQ(b.windowWrites.size(), 1u);
  auto r = Records(b.windowWrites[0]);
  ASSERT_EQ(r.size(), 20u);
  EXPECT_EQ(r[4], (Record{4, 300}));
  EXPECT_EQ(r[11], (Record{11, 0x1EF}));
  EXPECT_EQ(r[12], (Record{12, 0xFFFF}));
  EXPECT_EQ(b.windowWrites[0][3], 0);
}

TEST_F(Kr6Fixture, ChangesWithinOneScanGoOutInOneWriteInSlotOrder) {
  Enable();
  unit.PressButton(16);  // Solo 1: layout 1 bit id 80, byte 5 bit 0
  unit.MoveFader(0, 1023);
  unit.TurnEncoder(1, -1);
  b.sched.RunFor(2 * kNsPerMs);
  ASSERT_EQ(b.windowWrites.size(), 1u);
  EXPECT_EQ(Records(b.windowWrites[0]),
            (std::vector<Record>{{0, 1023}, {11, 0x1FE}, {14, 0xFEFF}, {21, 0xFFFF}}));
  unit.ReleaseFader(0);
  b.sched.RunFor(2 * kNsPerMs);
  ASSERT_EQ(b.windowWrites.size(), 2u);
  EXPECT_EQ(Records(b.windowWrites[1]), (std::vector<Record>{{11, 0x1FF}}));
  EXPECT_EQ(unit.RecordsSent(), 20u + 5);
}

TEST_F(Kr6Fixture, NothingIsSentWhileTheRecordsAreDisabled) {
  Enable();
  b.WriteQuadlet(unit, 0x310, 0);
  unit.MoveFader(2, 10);
  b.sched.RunFor(5 * kNsPerMs);
  EXPECT_TRUE(b.windowWrites.empty());
}

TEST_F(Kr6Fixture, AMotorMoveIsReportedAndATouchedFaderResistsIt) {
  Enable();
  b.WriteQuadlet(unit, 0x400, 512u << 16 | 6);
  b.sched.RunFor(2 * kNsPerMs);
  ASSERT_EQ(b.windowWrites.size(), 1u);
  EXPECT_EQ(Records(b.windowWrites[0]), (std::vector<Record>{{6, 512}}));
  unit.MoveFader(6, 100);
  b.WriteQuadlet(unit, 0x400, 900u << 16 | 6);
  EXPECT_EQ(unit.GetSurface().FaderPosition(6), 100);
}

TEST_F(Kr6Fixture, AMalformedRecordWriteReachesTheHostWindowAsItIs) {
  const uint8_t odd[5] = {0x0C, 0x12, 0x34, 0, 0x99};
  unit.WriteRawToAsyncWindow(odd);
  b.sched.RunFor(kNsPerMs);
  ASSERT_EQ(b.windowWrites.size(), 1u);
  EXPECT_EQ(b.windowWrites[0].size(), 5u);
}

TEST_F(Kr6Fixture, MidiWorksAsOnTheMainUnit) {
  b.windowWrites.clear();
  b.Window(unit, 0x304, 0x308, 4096);
  b.WriteQuadlet(unit, 0x300, 1);
  const uint8_t cc[] = {0xB0, 0x07, 0x40};
  unit.SendMidiIn(0, cc);
  b.sched.RunFor(kNsPerMs);
  ASSERT_EQ(b.windowWrites.size(), 1u);
  EXPECT_EQ(simtest::Be32(b.windowWrites[0].data()), 0x0BB00740u);
}

}  // namespace
