#include <gtest/gtest.h>

#include "sim/units/MainUnit.h"
#include "sim/units/MidiPacketizer.h"
#include "tests/sim/units/UnitHarness.h"

namespace {

using simtest::Be32;
using simtest::UnitBench;

struct PacketizerCase {
  const char* name;
  std::vector<uint8_t> bytes;
  std::vector<uint32_t> packets;
};

TEST(MidiPacketizer, BytesBecomeEventPacketsOfTheirCable) {
  const PacketizerCase cases[] = {
      {"note on", {0x90, 0x3C, 0x64}, {0x29903C64}},
      {"running status", {0x90, 0x3C, 0x64, 0x3E, 0x00}, {0x29903C64, 0x29903E00}},
      {"program change", {0xC5, 0x07}, {0x2CC50700}},
      {"clock inside a message", {0xB0, 0x07, 0xF8, 0x40}, {0x2FF80000, 0x2BB00740}},
      {"song position", {0xF2, 0x01, 0x02}, {0x23F20102}},
      {"quarter frame, no running status after", {0xF1, 0x10, 0x20}, {0x22F11000}},
      {"tune request", {0xF6}, {0x25F60000}},
      {"short sysex", {0xF0, 0x7E, 0xF7}, {0x27F07EF7}},
      {"long sysex", {0xF0, 1, 2, 3, 4, 0xF7}, {0x24F00102, 0x270304F7}},
      {"sysex cut by a status", {0xF0, 1, 0x90, 0x3C, 0x64}, {0x27F001F7, 0x29903C64}},
      {"stray data and undefined statuses", {0x40, 0xF4, 0x41, 0xF5}, {}},
  };
  for (const auto& c : cases) {
    sim::MidiPacketizer m(2);
    std::vector<uint32_t> out;
    for (uint8_t b : c.bytes) m.Feed(b, out);
    EXPECT_EQ(out, c.packets) << c.name;
  }
}

struct MidiFixture : testing::Test {
  MidiFixture() {
    unit.Plug(b.bus);
    b.Window(unit, 0x304, 0x308, 4096);
  }
  UnitBench b;
  sim::MainUnit unit;
};

TEST_F(MidiFixture, MidiAtAPortIsWrittenAsEightByteRecordsWhileEnabled) {
  const uint8_t note[] = {0x90, 0x3C, 0x64, 0x80, 0x3C, 0x00};
  unit.SendMidiIn(1, note);
  b.sched.RunFor(plat::kNsPerMs);
  EXPECT_TRUE(b.windowWrites.empty());
  EXPECT_EQ(unit.Counters().midiInDropped, 2u);

  b.WriteQuadlet(unit, 0x300, 1);
  unit.SendMidiIn(1, note);
  unit.SendMidiInPacket(0x0CC50700);
  b.sched.RunFor(plat::kNsPerMs);
  ASSERT_EQ(b.windowWrites.size(), 1u);
  const auto& w = b.windowWrites[0];
  ASSERT_EQ(w.size(), 24u);
  EXPECT_EQ(Be32(&w[0]), 0x19903C64u);
  EXPECT_EQ(Be32(&w[4]), 0u);
  EXPECT_EQ(Be32(&w[8]), 0x18803C00u);
  EXPECT_EQ(Be32(&w[16]), 0x0CC50700u);
  EXPECT_EQ(unit.Counters().midiRecordsSent, 3u);
}

TEST_F(MidiFixture, ManyEventsAreSplitIntoWritesOfAtMostSixtyFourRecords) {
  b.WriteQuadlet(unit, 0x300, 1);
  for (int i = 0; i < 100; ++i) unit.SendMidiInPacket(0x0FF80000);
  b.sched.RunFor(plat::kNsPerMs);
  ASSERT_EQ(b.windowWrites.size(), 2u);
  EXPECT_EQ(b.windowWrites[0].size(), 64u * 8);
  EXPECT_EQ(b.windowWrites[1].size(), 36u * 8);
}

TEST_F(MidiFixture, RecordsToAStaleHostNodeAreLost) {
  b.WriteQuadlet(unit, 0x300, 1);
  b.WriteQuadlet(unit, 0x304, (0xFFC0u | 0x3E) << 16);
  unit.SendMidiInPacket(0x0FF80000);
  b.sched.RunFor(plat::kNsPerMs);
  EXPECT_TRUE(b.windowWrites.empty());
  EXPECT_EQ(unit.Counters().hostWritesFailed, 1u);
}

TEST_F(MidiFixture, RecordWritesRefusedOrAnsweredWithAnErrorAreCounted) {
  b.WriteQuadlet(unit, 0x300, 1);
  struct Case {
    const char* what;
    sim::Steering steering;
    uint64_t addressErrors;
  };
  const Case cases[] = {
      {"refused", {sim::TransactionMode::Refuse}, 0},
      {"busy", {sim::TransactionMode::Fail, sim::AsyncStatus::Busy}, 0},
      {"address error", {sim::TransactionMode::Fail, sim::AsyncStatus::AddressError}, 1},
  };
  uint64_t failed = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const uint64_t addressErrors = unit.Counters().hostWritesAddressError;
    b.bus.Steer(c.steering, 1, b.host.Guid());
    unit.SendMidiInPacket(0x0FF80000);
    b.sched.RunFor(plat::kNsPerMs);
    EXPECT_EQ(unit.Counters().hostWritesFailed, ++failed);
    EXPECT_EQ(unit.Counters().hostWritesAddressError - addressErrors, c.addressErrors);
  }
  EXPECT_TRUE(b.windowWrites.empty());
}

TEST_F(MidiFixture, AMalformedRecordWriteReachesTheHostWindowAsItIs) {
  const uint8_t twelve[12] = {0x19, 0x90, 0x3C, 0x64};
  unit.WriteRawToMidiWindow(twelve);
  b.sched.RunFor(plat::kNsPerCycle);
  ASSERT_EQ(b.windowWrites.size(), 1u);
  EXPECT_EQ(b.windowWrites[0].size(), 12u);
}

TEST_F(MidiFixture, BlocksWrittenToTheMidiWindowAreKeptPerCable) {
  auto block = simtest::Be({0x09903C64, 0x2CC50700, 0x0B807F00, 0x5FF80000});
  block.push_back(0x99);  // a stray byte that is no whole packet
  EXPECT_EQ(b.Write(unit, 0x4000, block), sim::AsyncStatus::Complete);
  EXPECT_EQ(unit.MidiOutPackets(0), (std::vector<uint32_t>{0x09903C64, 0x0B807F00}));
  EXPECT_EQ(unit.MidiOutBytes(0), (std::vector<uint8_t>{0x90, 0x3C, 0x64, 0x80, 0x7F, 0x00}));
  EXPECT_EQ(unit.MidiOutBytes(2), (std::vector<uint8_t>{0xC5, 0x07}));
  EXPECT_EQ(unit.MidiOutBytes(5), (std::vector<uint8_t>{0xF8}));
  EXPECT_EQ(unit.Counters().midiOutTailBytes, 1u);
  EXPECT_EQ(unit.WriteLog().back().offset, 0x4000u);
  EXPECT_EQ(unit.WriteLog().back().length, 17u);
  unit.ClearMidiOut();
  EXPECT_TRUE(unit.MidiOutPackets(0).empty());
}

}  // namespace
