#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <functional>
#include <utility>
#include <vector>

#include "sim/units/MainUnit.h"
#include "sim/units/Wav.h"
#include "tests/sim/units/UnitHarness.h"

namespace {

using plat::kNsPerCycle;
using sim::MainUnit;
using sim::PlaybackStats;
using simtest::UnitBench;

constexpr uint32_t kChannel = 7;

struct PlaybackFixture : testing::Test {
  PlaybackFixture() {
    unit.Plug(b.bus);
    b.WriteQuadlet(unit, 0x20C, kChannel);
    b.WriteQuadlet(unit, 0x218, 0b101);  // outputs 1 and 3
    b.WriteQuadlet(unit, 0x210, 1);
  }

  // A packet as the host builds it: SID, DBS, DBC; EOH 1, FMT 0x3E; blocks of two samples.
  std::vector<uint8_t> Packet(uint32_t blocks, uint32_t firstSample) {
    std::vector<uint8_t> p = simtest::Be({static_cast<uint32_t>(b.host.NodeId()) << 24 |
                                              (blocks ? 2u : 0u) << 16 | dbc, 0xBE000000});
    for (uint32_t k = 0; k < blocks; ++k) {
      auto s = simtest::Be({firstSample + 2 * k, firstSample + 2 * k + 1});
      p.insert(p.end(), s.begin(), s.end());
    }
    dbc = static_cast<uint8_t>(dbc + blocks);
    return p;
  }
  void Send(const std::vector<uint8_t>& p) {
    b.bus.Transmit(b.host, kChannel, p);
    b.sched.RunFor(kNsPerCycle);
  }

  UnitBench b;
  MainUnit unit;
  uint8_t dbc = 0x80;
};

TEST_F(PlaybackFixture, SamplesOfEveryOutputChannelAreCapturedInOrder) {
  Send(Packet(6, 100));
  Send(Packet(0, 0));
  Send(Packet(5, 200));
  const PlaybackStats& st = unit.Playback().Stats();
  EXPECT_EQ(st.packets, 3u);
  EXPECT_EQ(st.emptyPackets, 1u);
  EXPECT_EQ(st.frames, 11u);
  EXPECT_EQ(st.Errors(), 0u);
  const auto& out1 = unit.Playback().Captured(0);
  const auto& out3 = unit.Playback().Captured(2);
  ASSERT_EQ(out1.size(), 11u);
  EXPECT_EQ(out1[0], 100);
  EXPECT_EQ(out3[0], 101);
  EXPECT_EQ(out1[6], 200);
  EXPECT_EQ(out3[10], 209);
  EXPECT_TRUE(unit.Playback().Captured(1).empty());
}

// Keeps what a sink is handed.
struct SinkLog : sim::PlaybackSink {
  void Played(const int32_t* samples, uint32_t frames, uint32_t channels) override {
    calls.push_back({frames, channels});
    this->samples.insert(this->samples.end(), samples, samples + frames * std::popcount(channels));
  }
  std::vector<std::pair<uint32_t, uint32_t>> calls;  // frames and channels of each
  std::vector<int32_t> samples;
};

TEST_F(PlaybackFixture, ASinkIsHandedEveryDataPacketsFramesInsteadOfTheirBeingKept) {
  SinkLog sink;
  unit.Playback().SetCapture(false, 0);
  unit.Playback().SetSink(&sink);
  Send(Packet(3, 100));
  Send(Packet(0, 0));
  Send(Packet(2, 200));
  unit.Playback().SetSink(nullptr);
  Send(Packet(1, 300));
  EXPECT_EQ(sink.calls, (std::vector<std::pair<uint32_t, uint32_t>>{{3, 0b101}, {2, 0b101}}));
  EXPECT_EQ(sink.samples, (std::vector<int32_t>{100, 101, 102, 103, 104, 105, 200, 201, 202, 203}));
  EXPECT_TRUE(unit.Playback().Captured(0).empty());
  EXPECT_EQ(unit.Playback().Stats().frames, 6u);
}

TEST_F(PlaybackFixture, BadPacketsAreCountedByWhatIsWrongWithThem) {
  struct Case {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> spoil;
    std::function<void()> fault;
    uint64_t PlaybackStats::*counter;
    uint8_t dbcAfter;  // where the unit's expected DBC stands after the bad packet, from before it
  };
  const Case cases[] = {
      {"source node", [](auto& p) { p[0] ^= 0x01; }, nullptr, &PlaybackStats::sidErrors, 0},
      {"second quadlet", [](auto& p) { p[4] = 0x90; }, nullptr, &PlaybackStats::formatErrors, 0},
      {"dbs", [](auto& p) { p[1] = 3; }, nullptr, &PlaybackStats::dbsErrors, 0},
      {"dbs of an empty packet", [](auto& p) { p.resize(8); }, nullptr, &PlaybackStats::dbsErrors, 0},
      {"length rule", [](auto& p) { p.resize(p.size() - 4); }, nullptr, &PlaybackStats::lengthErrors, 0},
      {"dbc", [](auto& p) { p[3] += 1; }, nullptr, &PlaybackStats::dbcErrors, 7},
      {"header length", nullptr, [this] { b.bus.InjectIsoFault(kChannel, sim::IsoFault::CorruptLength); },
       &PlaybackStats::lengthErrors, 0},
  };
  Send(Packet(6, 0));
  for (const auto& c : cases) {
    PlaybackStats before = unit.Playback().Stats();
    uint8_t original = dbc;
    auto p = Packet(6, 0);
    if (c.spoil) c.spoil(p);
    if (c.fault) c.fault();
    Send(p);
    dbc = static_cast<uint8_t>(original + c.dbcAfter);
    Send(Packet(6, 0));
    PlaybackStats after = unit.Playback().Stats();
    EXPECT_EQ(after.*c.counter - before.*c.counter, 1u) << c.name;
    EXPECT_EQ(after.Errors() - before.Errors(), 1u) << c.name;
  }
}

// With no output channel a block has no quadlet: the host still counts its blocks in the DBC, but
// nothing in a packet shows how many it carried.
TEST_F(PlaybackFixture, TheDbcIsFollowedOnlyWhileChannelsStream) {
  b.WriteQuadlet(unit, 0x218, 0);
  const uint32_t node = static_cast<uint32_t>(b.host.NodeId()) << 24;
  for (uint32_t blocks : {6u, 5u, 6u, 0u, 5u, 6u}) {
    Send(simtest::Be({node | dbc, 0xBE000000}));
    dbc = static_cast<uint8_t>(dbc + blocks);
  }
  EXPECT_EQ(unit.Playback().Stats().Errors(), 0u);
  Send(simtest::Be({node | dbc, 0xBE000000, 0, 0}));
  EXPECT_EQ(unit.Playback().Stats().lengthErrors, 1u) << "a packet of no channel has nothing after its header";

  b.WriteQuadlet(unit, 0x218, 0b101);
  dbc = static_cast<uint8_t>(dbc + 11);
  Send(Packet(6, 0));
  Send(Packet(0, 0));
  Send(Packet(5, 0));
  const PlaybackStats& st = unit.Playback().Stats();
  EXPECT_EQ(st.dbcErrors, 0u);
  EXPECT_EQ(st.frames, 11u);
  auto p = Packet(6, 0);
  p[3] += 1;
  Send(p);
  EXPECT_EQ(st.dbcErrors, 1u) << "the DBC is checked again once channels stream";
}

TEST_F(PlaybackFixture, NothingIsConsumedWhilePlaybackIsDisabled) {
  b.WriteQuadlet(unit, 0x210, 0);
  Send(Packet(6, 0));
  EXPECT_EQ(unit.Playback().Stats().packets, 0u);
  b.WriteQuadlet(unit, 0x210, 1);
  dbc = 0x11;  // a new run seeds the DBC again
  Send(Packet(6, 0));
  EXPECT_EQ(unit.Playback().Stats().packets, 1u);
  EXPECT_EQ(unit.Playback().Stats().Errors(), 0u);
}

TEST_F(PlaybackFixture, CapturedPlaybackIsWrittenAsAWavFile) {
  Send(Packet(6, 0x10000));
  std::string path = testing::TempDir() + "playback.wav";
  ASSERT_TRUE(unit.Playback().SaveWav(path, 48000, 0b101));
  auto wav = sim::WavFile::Read(path);
  std::remove(path.c_str());
  ASSERT_TRUE(wav.has_value());
  EXPECT_EQ(wav->rate, 48000u);
  EXPECT_EQ(wav->channels, 2);
  ASSERT_EQ(wav->Frames(), 6u);
  EXPECT_EQ(wav->samples[0], 0x10000);
  EXPECT_EQ(wav->samples[11], 0x1000B);
}

}  // namespace
