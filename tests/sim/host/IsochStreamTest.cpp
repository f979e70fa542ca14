// The unit engine streaming against the simulated main unit through the platform double: lock,
// record halves, the unit's ramp through the client buffers and back into the unit's capture.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "sim/bus/Bus.h"
#include "sim/bus/HostNode.h"
#include "sim/host/EnginePlatformDouble.h"
#include "sim/units/MainUnit.h"
#include "unit/PreferencesBlock.h"

namespace {

using plat::kNsPerMs;
using plat::kNsPerSecond;
using sim::EnginePlatformDouble;

constexpr uint32_t kAllChannels = 0x3FFFF;
constexpr uint32_t kChannels = 18;

uint32_t Ramp(uint32_t channel, uint64_t frame) { return channel << 24 | static_cast<uint32_t>(frame & 0xFFFFFF); }

// Block counts of the data packets on the record and the playback channel, as the bus carries them.
class BlockTap : public sim::Node {
 public:
  BlockTap() : Node(0x7AB) {}
  void Watch(sim::Bus& bus, uint32_t record, uint32_t playback) {
    channels_[0] = record;
    channels_[1] = playback;
    bus.Listen(*this, record);
    bus.Listen(*this, playback);
  }
  void OnIsoPacket(const sim::IsoPacket& p) override {
    if (p.payloadLength <= 8) return;
    const uint32_t dbs = p.payload[1];
    if (dbs == 0) return;
    (p.channel == channels_[0] ? record : playback).push_back((p.payloadLength - 8) / (dbs * 4));
  }
  std::vector<uint32_t> record;
  std::vector<uint32_t> playback;

 private:
  uint32_t channels_[2] = {};
};

// What the client sees of the record halves: every half's frame count, and whether each channel's
// ramp runs on from the half before.
struct HalfWatch {
  uint64_t halves = 0;
  uint64_t wrongFrames = 0;
  uint64_t rampBreaks = 0;
  uint64_t unlockedHalves = 0;  // halves converted while the lock state was below 2, once locked
  bool haveFrame = false;
  uint32_t nextFrame = 0;
};

class StreamOnSimulatedUnit : public testing::Test {
 protected:
  StreamOnSimulatedUnit() {
    bus.Attach(host);
    bus.Attach(tap);
    unit.Plug(bus);
    sched.RunUntilIdle();
    engine = std::make_unique<EnginePlatformDouble>(host, unit.Guid(), store);
    EXPECT_EQ(engine->HandlePlugIn(), 0);
    sched.RunFor(5 * kNsPerMs);
  }
  ~StreamOnSimulatedUnit() override {
    if (engine->IsPluggedIn()) engine->HandleUnPlug();
    sched.RunUntilIdle();
    engine.reset();
  }

  // Sets rate and frames as the panel does, loops every record channel into its playback channel
  // in the client buffers, and starts streaming.
  void Start(uint32_t rate, uint32_t frames) {
    engine->SetPreference(PreferencesBlock::kParamSampleRate, rate);
    engine->SetPreference(PreferencesBlock::kParamBufferSizeIndex, BufferSizeIndexOf(frames));
    sched.RunFor(5 * kNsPerMs);
    engine->SetInputChannelMask(kAllChannels);
    engine->SetOutputChannelMask(kAllChannels);
    for (uint32_t half = 0; half < 2; ++half) {
      std::array<uint32_t*, kChannels> record{};
      std::array<const uint32_t*, kChannels> playback{};
      for (uint32_t k = 0; k < kChannels; ++k) playback[k] = record[k] = engine->ClientRow(k, half);
      engine->AttachClientBuffers(half, record, playback);
    }
    engine->SetHalfCallback([this](uint32_t half, uint32_t frames) { Watch(half, frames); });
    ASSERT_EQ(engine->StartAudioStreams(), 0);
    tap.Watch(bus, engine->RecordChannel(), engine->PlaybackChannel());
    tap.record.clear();
  }

  bool Locked() const { return engine->IsStreamValid() && engine->LockState() == 2; }
  bool RunUntilLocked(plat::VTime limit) {
    return sched.RunUntil([this] { return Locked(); }, sched.Now() + limit);
  }

  void Watch(uint32_t half, uint32_t frames) {
    ++watch.halves;
    if (frames != engine->BufferFrames()) ++watch.wrongFrames;
    if (watched && engine->LockState() != 2) ++watch.unlockedHalves;
    const uint32_t* rows[kChannels];
    for (uint32_t k = 0; k < kChannels; ++k) rows[k] = engine->ClientRow(k, half);
    for (uint32_t f = 0; f < frames; ++f) {
      const uint32_t frame = rows[0][f] & 0xFFFFFF;
      if (watch.haveFrame && frame != watch.nextFrame) ++watch.rampBreaks;
      watch.haveFrame = true;
      watch.nextFrame = (frame + 1) & 0xFFFFFF;
      for (uint32_t k = 0; k < kChannels; ++k) watch.rampBreaks += rows[k][f] != Ramp(k, frame);
    }
  }

  std::string Log() {
    std::vector<char> text(4096);
    uint32_t bytes = 0;
    engine->HandleControlRequest(0, text.data(), 0, static_cast<uint32_t>(text.size()), &bytes);
    return std::string(text.data(), bytes);
  }

  // Samples of the unit's capture that do not continue the ramp of their channel.
  uint64_t CaptureBreaks(uint64_t* frames) const {
    uint64_t breaks = 0;
    *frames = unit.Playback().Captured(0).size();
    for (uint32_t k = 0; k < kChannels; ++k) {
      const std::vector<int32_t>& got = unit.Playback().Captured(static_cast<int>(k));
      if (got.size() != *frames) ++breaks;
      if (got.empty()) continue;
      const uint32_t first = static_cast<uint32_t>(got[0]) & 0xFFFFFF;
      for (size_t i = 0; i < got.size(); ++i) breaks += static_cast<uint32_t>(got[i]) != Ramp(k, first + i);
    }
    return breaks;
  }

  plat::Scheduler sched;
  sim::Bus bus{sched};
  sim::HostNode host;
  BlockTap tap;
  sim::MainUnit unit;
  sim::DoubleSettingsStore store;
  std::unique_ptr<EnginePlatformDouble> engine;
  HalfWatch watch;
  bool watched = false;
};

struct Setting {
  uint32_t rate;
  uint32_t frames;
};

// The whole road at every rate and size: lock, record halves of exactly the buffer frames whose
// ramp runs on, playback packets whose DBC runs on at the unit and that replay the record block
// counts, and the loop arriving bit-exact.
TEST_F(StreamOnSimulatedUnit, LocksAndLoopsBitExactAtEveryRateAndSize) {
  const Setting cases[] = {
      {44100, 64}, {44100, 256}, {44100, 2048}, {48000, 64}, {48000, 256}, {48000, 2048},
      {88200, 64}, {88200, 256}, {88200, 2048}, {96000, 64}, {96000, 256}, {96000, 2048},
  };
  for (const Setting& c : cases) {
    SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.frames) + " frames");
    Start(c.rate, c.frames);
    ASSERT_TRUE(RunUntilLocked(5 * kNsPerSecond));
    unit.Playback().ClearCapture();
    const sim::PlaybackStats before = unit.Playback().Stats();
    const sim::StreamCounters counters = engine->Streams();
    watch = {};
    watched = true;
    tap.playback.clear();
    sched.RunFor(kNsPerSecond);

    EXPECT_TRUE(Locked());
    EXPECT_EQ(engine->SharedState().mInputLocked, 1);
    EXPECT_GE(watch.halves, c.rate / c.frames - 2);
    EXPECT_EQ(watch.wrongFrames, 0u);
    EXPECT_EQ(watch.rampBreaks, 0u);
    EXPECT_EQ(watch.unlockedHalves, 0u);
    EXPECT_EQ(engine->Streams().badHalves, counters.badHalves);
    EXPECT_EQ(engine->Streams().playbackSkipped, counters.playbackSkipped);
    EXPECT_EQ(engine->Streams().attachRefused, 0u);
    const sim::PlaybackStats& after = unit.Playback().Stats();
    EXPECT_EQ(after.dbcErrors, before.dbcErrors);
    EXPECT_EQ(after.Errors(), before.Errors());
    uint64_t frames = 0;
    EXPECT_EQ(CaptureBreaks(&frames), 0u);
    EXPECT_GE(frames, c.rate - 2 * c.frames);
    EXPECT_NEAR(engine->MeasuredRate(), c.rate, 1);
    ASSERT_GT(tap.playback.size(), 100u);
    EXPECT_NE(std::search(tap.record.begin(), tap.record.end(), tap.playback.begin(), tap.playback.end()),
              tap.record.end())
        << "playback block counts are a run of the record block counts";
    const std::string log = Log();
    EXPECT_EQ(log.find("Callback"), std::string::npos) << log;

    ASSERT_EQ(engine->StopAudioStreams(), 0);
    watched = false;
  }
}

TEST_F(StreamOnSimulatedUnit, StaysLockedWithTheUnitClock300PpmOff) {
  for (const double ppm : {300.0, -300.0}) {
    SCOPED_TRACE(std::to_string(ppm) + " ppm");
    unit.SetClockOffsetPpm(ppm);
    Start(48000, 256);
    ASSERT_TRUE(RunUntilLocked(5 * kNsPerSecond));
    unit.Playback().ClearCapture();
    const sim::PlaybackStats before = unit.Playback().Stats();
    watch = {};
    watched = true;
    sched.RunFor(4 * kNsPerSecond);
    EXPECT_TRUE(Locked());
    EXPECT_EQ(watch.unlockedHalves, 0u);
    EXPECT_EQ(watch.rampBreaks, 0u);
    EXPECT_EQ(unit.Playback().Stats().Errors(), before.Errors());
    uint64_t frames = 0;
    EXPECT_EQ(CaptureBreaks(&frames), 0u);
    EXPECT_NEAR(engine->MeasuredRate(), 48000 * (1 + ppm / 1e6), 1);
    ASSERT_EQ(engine->StopAudioStreams(), 0);
    watched = false;
  }
}

TEST_F(StreamOnSimulatedUnit, StopAndUnplugHandEveryListBackOnceAndReturnChannelsAndBandwidth) {
  struct Case {
    const char* road;
    bool unplug;
  };
  const uint32_t bandwidth = bus.BandwidthAvailable();
  for (const Case& c : {Case{"stop", false}, Case{"unplug", true}}) {
    SCOPED_TRACE(c.road);
    Start(48000, 256);
    ASSERT_TRUE(RunUntilLocked(5 * kNsPerSecond));
    const uint32_t recordChannel = engine->RecordChannel();
    const uint32_t playbackChannel = engine->PlaybackChannel();
    EXPECT_TRUE(bus.ChannelAllocated(recordChannel));
    EXPECT_TRUE(bus.ChannelAllocated(playbackChannel));
    EXPECT_LT(bus.BandwidthAvailable(), bandwidth);

    const uint64_t halves = watch.halves;
    ASSERT_EQ(c.unplug ? engine->HandleUnPlug() : engine->StopAudioStreams(), 0);
    const sim::StreamCounters& done = engine->Streams();
    EXPECT_EQ(done.listsDone[0], done.listsDone[2]);
    EXPECT_EQ(done.listsDone[1], done.listsDone[3]);
    EXPECT_EQ(watch.halves, halves) << "no half reaches the clients after the stop";
    const uint64_t received = unit.Playback().Stats().packets;
    const uint64_t listsDone = done.listsDone[0];
    sched.RunFor(100 * kNsPerMs);
    EXPECT_EQ(unit.Playback().Stats().packets, received);
    EXPECT_EQ(engine->Streams().listsDone[0], listsDone);
    EXPECT_FALSE(bus.ChannelAllocated(recordChannel));
    EXPECT_FALSE(bus.ChannelAllocated(playbackChannel));
    EXPECT_EQ(bus.BandwidthAvailable(), bandwidth);
    if (!c.unplug) {
      const std::string log = Log();
      EXPECT_EQ(log.find("Callback"), std::string::npos) << log;
    }
  }
}

TEST_F(StreamOnSimulatedUnit, WithoutAFreeChannelStartFailsAndKeepsNothing) {
  while (host.AllocateChannel()) {
  }
  const uint32_t bandwidth = bus.BandwidthAvailable();
  engine->SetInputChannelMask(kAllChannels);
  engine->SetOutputChannelMask(kAllChannels);
  EXPECT_EQ(engine->StartAudioStreams(), 99);
  EXPECT_FALSE(engine->IsStreaming());
  EXPECT_EQ(bus.BandwidthAvailable(), bandwidth);
  const std::string log = Log();
  EXPECT_NE(log.find("   *** Failed isoch channel allocation "), std::string::npos) << log;
  sched.RunFor(100 * kNsPerMs);
  EXPECT_EQ(unit.Playback().Stats().packets, 0u);
}

}  // namespace
