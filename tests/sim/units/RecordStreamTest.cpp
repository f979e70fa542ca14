#include <gtest/gtest.h>

#include <map>
#include <set>

#include "sim/units/MainUnit.h"
#include "tests/sim/units/UnitHarness.h"

namespace {

using plat::kNsPerCycle;
using plat::kNsPerSecond;
using sim::MainUnit;
using simtest::Be32;
using simtest::Tap;
using simtest::UnitBench;

constexpr uint32_t kChannel = 5;

struct RecordFixture : testing::Test {
  RecordFixture() { unit.Plug(b.bus); }

  // What the host does to start the record stream: channel, masks and rate, enable, streaming
  // on, restart.
  void Start(uint32_t inputMask, uint32_t rateWord) {
    b.WriteQuadlet(unit, 0x22C, 0x200000);
    b.WriteQuadlet(unit, 0x200, kChannel);
    b.WriteQuadlet(unit, 0x214, inputMask);
    b.WriteQuadlet(unit, 0x228, rateWord);
    b.WriteQuadlet(unit, 0x208, 1);
    b.WriteQuadlet(unit, 0x22C, 0x2000);
    b.WriteQuadlet(unit, 0x220, 1);
  }

  UnitBench b;
  MainUnit unit;
  Tap tap{b.bus, kChannel};
};

struct RateCase {
  uint32_t rateWord;
  uint32_t rate;
  std::set<uint32_t> blocksPerCycle;
};

TEST_F(RecordFixture, PacketsCarryCipHeadersContinuousDbcAndTheNominalRateExactly) {
  const RateCase cases[] = {
      {0x0101, 44100, {5, 6}},
      {0x0201, 48000, {6}},
      {0x8101, 88200, {11, 12}},
      {0x8201, 96000, {12}},
  };
  for (const auto& c : cases) {
    Start(0x3FFFF, c.rateWord);
    tap.packets.clear();
    b.sched.RunFor(kNsPerSecond);
    ASSERT_EQ(tap.packets.size(), 8000u) << c.rate;
    std::set<uint32_t> seen;
    uint32_t total = 0;
    uint8_t expectedDbc = Be32(tap.packets[0].payload.data()) & 0xFF;
    for (const auto& p : tap.packets) {
      const uint8_t* d = p.payload.data();
      uint32_t length = p.header >> 16;
      ASSERT_EQ(length, p.payload.size());
      EXPECT_EQ(p.header & 0xFFFF, (1u << 14) | (kChannel << 8) | 0xA0);  // tag 1, channel, tcode 0xA
      uint32_t q0 = Be32(d);
      EXPECT_EQ(q0 >> 24, unit.NodeId());
      uint32_t dbs = q0 >> 16 & 0xFF;
      ASSERT_EQ(dbs, 20u);
      EXPECT_EQ(q0 >> 8 & 0xFF, 0u);
      EXPECT_EQ(q0 & 0xFF, expectedDbc);
      EXPECT_EQ(Be32(d + 4), 0xBE000000u);
      ASSERT_EQ((length - 8) % (dbs * 4), 0u);
      uint32_t blocks = (length - 8) / (dbs * 4);
      seen.insert(blocks);
      total += blocks;
      expectedDbc = static_cast<uint8_t>(expectedDbc + blocks);
    }
    EXPECT_EQ(seen, c.blocksPerCycle) << c.rate;
    EXPECT_EQ(total, c.rate);
    EXPECT_EQ(unit.SampleRate(), c.rate);
  }
}

TEST_F(RecordFixture, BlocksCarryStatusIndexRampSamplesAndStatusValue) {
  unit.MoveFader(2, 0x155);
  Start(0b1000'0000'0000'0101, 0x0201);  // channels 0, 2 and 15
  b.sched.RunFor(20 * kNsPerCycle);
  uint32_t frame = 0, index = 0;
  std::map<uint32_t, uint32_t> words;
  for (const auto& p : tap.packets) {
    ASSERT_EQ(Be32(p.payload.data()) >> 16 & 0xFF, 5u);
    for (size_t at = 8; at < p.payload.size(); at += 20, ++frame, index = (index + 1) % 64) {
      const uint8_t* blk = &p.payload[at];
      EXPECT_EQ(Be32(blk), index);
      EXPECT_EQ(Be32(blk + 4), 0u << 24 | frame);
      EXPECT_EQ(Be32(blk + 8), 2u << 24 | frame);
      EXPECT_EQ(Be32(blk + 12), 15u << 24 | frame);
      words[Be32(blk)] = Be32(blk + 16);
    }
  }
  EXPECT_EQ(frame, 6u * 21);
  ASSERT_EQ(words.size(), 64u);
  EXPECT_EQ(words[1], 0x155u);             // slot 2: the third fader
  EXPECT_EQ(words[5], 0x01FBu << 16);      // slot 11: touch bits, fader 3 touched
  EXPECT_EQ(words[6], 0xFFFFFFFFu);        // no button held
  EXPECT_EQ(words[52], 0x0201u);           // rate and clock
  EXPECT_EQ(words[53], 0u);
}

TEST_F(RecordFixture, DataFlowsOnlyWhileEnabledSwitchedOnAndArmedAndRestartsAtDbcZero) {
  auto dataPackets = [&] {
    size_t n = 0;
    for (const auto& p : tap.packets) n += p.payload.size() > 8;
    return n;
  };
  auto firstDataDbc = [&](size_t from) {
    while (from < tap.packets.size() && tap.packets[from].payload.size() == 8) ++from;
    return from < tap.packets.size() ? Be32(tap.packets[from].payload.data()) & 0xFF : 0x100;
  };
  b.WriteQuadlet(unit, 0x200, kChannel);
  b.WriteQuadlet(unit, 0x214, 1);
  b.WriteQuadlet(unit, 0x208, 1);
  b.WriteQuadlet(unit, 0x22C, 0x2000);
  b.sched.RunFor(10 * kNsPerCycle);
  EXPECT_EQ(dataPackets(), 0u);
  b.WriteQuadlet(unit, 0x220, 1);
  b.sched.RunFor(10 * kNsPerCycle);
  ASSERT_NE(dataPackets(), 0u);
  EXPECT_EQ(firstDataDbc(0), 0u);
  EXPECT_NE(Be32(tap.packets.back().payload.data()) & 0xFF, 0u);
  b.WriteQuadlet(unit, 0x22C, 0x200000);
  size_t n = dataPackets();
  b.sched.RunFor(10 * kNsPerCycle);
  EXPECT_EQ(dataPackets(), n);
  b.WriteQuadlet(unit, 0x22C, 0x2000);
  b.sched.RunFor(10 * kNsPerCycle);
  EXPECT_EQ(dataPackets(), n);  // disarmed: waits for the restart
  size_t restart = tap.packets.size();
  b.WriteQuadlet(unit, 0x220, 1);
  b.sched.RunFor(2 * kNsPerCycle);
  ASSERT_GT(dataPackets(), n);
  EXPECT_EQ(firstDataDbc(restart), 0u);
  b.WriteQuadlet(unit, 0x208, 0);
  n = tap.packets.size();
  b.sched.RunFor(10 * kNsPerCycle);
  EXPECT_EQ(tap.packets.size(), n);
}

// The host's record lists keep completing while it switches the stream off, programs and restarts.
TEST_F(RecordFixture, EnabledButNotStreamingEachCycleCarriesAnEmptyPacketWithTheCurrentDbc) {
  struct Case {
    const char* state;
    uint32_t controlWord;  // 0x22C
    bool restart;          // 0x220 = 1
    bool empty;
  };
  const Case cases[] = {
      {"switched off", 0x200000, false, true},
      {"switched on, not armed", 0x2000, false, true},
      {"switched on and armed", 0x2000, true, false},
      {"switched off again", 0x200000, false, true},
  };
  b.WriteQuadlet(unit, 0x200, kChannel);
  b.WriteQuadlet(unit, 0x214, 0b111);
  b.WriteQuadlet(unit, 0x228, 0x0201);
  b.WriteQuadlet(unit, 0x208, 1);
  uint8_t dbc = 0;
  for (const Case& c : cases) {
    b.WriteQuadlet(unit, 0x22C, c.controlWord);
    if (c.restart) b.WriteQuadlet(unit, 0x220, 1);
    tap.packets.clear();
    b.sched.RunFor(10 * kNsPerCycle);
    ASSERT_EQ(tap.packets.size(), 10u) << c.state;
    for (const auto& p : tap.packets) {
      const uint8_t* d = p.payload.data();
      EXPECT_EQ(p.header >> 16, p.payload.size());
      EXPECT_EQ(Be32(d) >> 24, unit.NodeId());
      EXPECT_EQ(Be32(d) >> 16 & 0xFF, 5u) << c.state;
      EXPECT_EQ(Be32(d + 4), 0xBE000000u);
      if (c.empty) {
        EXPECT_EQ(p.payload.size(), 8u) << c.state;
        EXPECT_EQ(Be32(d) & 0xFF, dbc) << c.state;
      } else {
        EXPECT_GT(p.payload.size(), 8u) << c.state;
      }
    }
    const auto& last = tap.packets.back().payload;
    dbc = static_cast<uint8_t>((Be32(last.data()) & 0xFF) + (last.size() - 8) / 20);
  }
  EXPECT_NE(dbc, 0u);
  EXPECT_GE(unit.EmptyPacketsSent(), 30u);
  b.WriteQuadlet(unit, 0x208, 0);
  tap.packets.clear();
  b.sched.RunFor(10 * kNsPerCycle);
  EXPECT_TRUE(tap.packets.empty());
}

TEST_F(RecordFixture, AStoppedStreamSendsNothingUntilResumed) {
  Start(0x3, 0x0201);
  b.sched.RunFor(10 * kNsPerCycle);
  unit.StopRecordStream(true);
  size_t n = tap.packets.size();
  b.sched.RunFor(100 * kNsPerCycle);
  EXPECT_EQ(tap.packets.size(), n);
  unit.StopRecordStream(false);
  b.sched.RunFor(10 * kNsPerCycle);
  EXPECT_GT(tap.packets.size(), n);
}

TEST_F(RecordFixture, AClockOffsetDriftsTheBlockCount) {
  unit.SetClockOffsetPpm(100);
  Start(0x1, 0x0201);
  tap.packets.clear();
  b.sched.RunFor(10 * kNsPerSecond);
  uint64_t total = 0;
  std::set<uint32_t> seen;
  for (const auto& p : tap.packets) {
    uint32_t blocks = static_cast<uint32_t>((p.payload.size() - 8) / 12);
    seen.insert(blocks);
    total += blocks;
  }
  EXPECT_EQ(total, 480048u);
  EXPECT_EQ(seen, (std::set<uint32_t>{6, 7}));
}

// The unit's sample clock does not stop for a bus reset: the frames of the cycles the reset took
// are lost, and the next packet's DBC shows the gap.
TEST_F(RecordFixture, TheFramesOfCyclesABusResetTookAreLostAndTheDbcJumpsOverThem) {
  b.bus.SetResetCycles(10);
  Start(0x3FFFF, 0x8200);
  b.sched.RunFor(20 * kNsPerCycle);
  const uint64_t framesBefore = unit.FramesSent();
  const size_t before = tap.packets.size();
  b.bus.Reset();
  b.sched.RunFor(20 * kNsPerCycle);
  ASSERT_GT(tap.packets.size(), before + 1);
  EXPECT_EQ(unit.FramesLost(), 120u);  // 12 frames a cycle at 96 kHz
  EXPECT_EQ(unit.FramesSent() + unit.FramesLost() - framesBefore, 12u * (tap.packets.size() - before + 10));
  const auto& last = tap.packets[before - 1];
  const auto& first = tap.packets[before];
  EXPECT_EQ(first.cycle, last.cycle + 11);
  const uint32_t blocks = static_cast<uint32_t>((last.payload.size() - 8) / ((18 + 2) * 4));
  EXPECT_EQ(Be32(first.payload.data()) & 0xFF, ((Be32(last.payload.data()) & 0xFF) + blocks + 120) & 0xFF);
}

// Switched off and on, the unit has forgotten what the host programmed and sends nothing until
// the host programs it again.
TEST_F(RecordFixture, SwitchedOffAndOnTheUnitComesBackWithItsPowerOnRegisters) {
  Start(0x3FFFF, 0x8200);
  b.WriteQuadlet(unit, 0x404, 0x10005);
  b.WriteQuadlet(unit, 0x300, 1);
  b.sched.RunFor(4 * kNsPerCycle);
  const uint32_t powerOn[][2] = {{0x200, 0}, {0x208, 0}, {0x214, 0}, {0x220, 0}, {0x228, 0x0101},
                                 {0x22C, 0}, {0x300, 0}, {0x404, 0}, {0x230, 24572u << 16 | 0x104}};
  unit.SwitchOff();
  EXPECT_FALSE(unit.Attached());
  ASSERT_TRUE(unit.SwitchOn(b.bus));
  b.sched.RunUntilIdle();
  for (const auto& r : powerOn) EXPECT_EQ(unit.Register(r[0]), r[1]) << std::hex << r[0];
  EXPECT_EQ(unit.GetSurface().Lamp(5), 0);
  EXPECT_EQ(unit.SampleRate(), 44100u);
  const size_t n = tap.packets.size();
  b.sched.RunFor(10 * kNsPerCycle);
  EXPECT_EQ(tap.packets.size(), n);
  Start(0x3, 0x0200);
  b.sched.RunFor(4 * kNsPerCycle);
  ASSERT_GT(tap.packets.size(), n);
  EXPECT_EQ(Be32(tap.packets[n].payload.data()) & 0xFF, 0u) << "a fresh stream starts at DBC 0";
}

TEST_F(RecordFixture, SidFollowsTheUnitsNodeIdAcrossABusReset) {
  Start(0x1, 0x0201);
  b.sched.RunFor(2 * kNsPerCycle);
  b.bus.Reset(sim::Bus::Renumber::Rotate);
  b.sched.RunFor(2 * kNsPerCycle);
  EXPECT_EQ(Be32(tap.packets.back().payload.data()) >> 24, unit.NodeId());
  EXPECT_NE(Be32(tap.packets.front().payload.data()) >> 24, unit.NodeId());
}

TEST_F(RecordFixture, StatusWordsFollowTheSurfaceAndTheUnitsOwnWords) {
  unit.PressButton(12);   // Play: layout 1 bit id 99, byte 6 bit 3
  unit.TurnJogWheel(-2);  // slot 31
  unit.TurnEncoder(0, 5); // slot 20
  unit.SetStatusWord(MainUnit::kSyncWord, 0x40);
  unit.SetProgrammingWord(0x41230001);
  unit.SetStatusWord(MainUnit::kRateWord, 0x8203);
  EXPECT_EQ(unit.StatusWord(7), 0xFFFFFFFFu & ~(1u << (16 + 3)));
  EXPECT_EQ(unit.StatusWord(15), 0xFFFEu << 16);
  EXPECT_EQ(unit.StatusWord(10), 5u);
  EXPECT_EQ(unit.StatusWord(53), 0x40u);
  EXPECT_EQ(unit.StatusWord(56), 0x41230001u);
  EXPECT_EQ(unit.StatusWord(52), 0x8203u);
  unit.ReleaseButton(12);
  EXPECT_EQ(unit.StatusWord(7), 0xFFFFFFFFu);
}

TEST_F(RecordFixture, ReceiveSlotsShowTheRecordPacketAsTheBusDriverStoresIt) {
  std::vector<uint8_t> slot(1220);
  sim::IsoBuffer buf{slot.data(), 1220};
  sim::IsoList list{&buf, 1, std::nullopt, nullptr};
  Start(0x3FFFF, 0x8201);
  b.host.Listen(kChannel);
  b.host.AttachReceive(kChannel, list);
  b.sched.RunFor(kNsPerCycle);
  uint32_t stamp = slot[0] | slot[1] << 8;
  EXPECT_EQ(stamp & 0x1FFF, tap.packets.back().cycle % 8000);
  uint32_t dataLength = slot[6] | slot[7] << 8;
  EXPECT_EQ(dataLength, 8u + 12 * 20 * 4);
  EXPECT_EQ(Be32(&slot[8]) >> 16 & 0xFF, 20u);
  EXPECT_EQ(Be32(&slot[12]), 0xBE000000u);
}

}  // namespace
