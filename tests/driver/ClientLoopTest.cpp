// The unit engine streaming on the Windows unit object through the 1394 bus driver against the
// simulated main unit, with a client's channel buffers in the test: lock, record halves of exactly
// the buffer frames, the unit's ramp through the client buffers and back bit-exact into the unit's
// capture, a unit clock off by 300 ppm, and everything given back at a stop, an unplug and a start
// that finds no free channel.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/bus1394/Bus1394.h"
#include "tests/driver/EngineUnit.h"
#include "unit/ChannelRows.h"
#include "unit/PreferencesBlock.h"

namespace {

using drivertest::WinDeviceRig;
using plat::kNsPerMs;
using plat::kNsPerSecond;

constexpr uint32_t kAllChannels = 0x3FFFF;
constexpr uint32_t kChannels = 18;

uint32_t Ramp(uint32_t channel, uint64_t frame) { return channel << 24 | static_cast<uint32_t>(frame & 0xFFFFFF); }

// What a client does with each half: its record channels unpacked into rows of its own, the same
// rows packed back as its playback channels, so the unit's record loops to its playback. The rows
// follow the layout rule of the driver's channel buffers.
class LoopingUnit : public drivertest::EngineUnit {
 public:
  LoopingUnit(bus1394test::UnitDevice* device, PnpDeviceBase* counted)
      : EngineUnit(device, counted), rows_(static_cast<uint8_t*>(::operator new[](kRowsBytes, kRowAlignment))) {
    std::memset(rows_, 0, kRowsBytes);
  }
  ~LoopingUnit() override { ::operator delete[](rows_, kRowAlignment); }

  uint32_t* Row(uint32_t channel, uint32_t half) {
    return reinterpret_cast<uint32_t*>(rows_ + ChannelHalfOffset(channel, half, kHalfBytes));
  }
  uint32_t RecordChannel() const { return mRecordChannel; }
  uint32_t PlaybackChannel() const { return mPlaybackChannel; }
  // Runs after each half's record channels reached the rows, before they are played back.
  std::function<void(uint32_t half, uint32_t frames)> onHalf;

  void ConvertBufferPair(uint32_t list, BufferDescriptor* record, BufferDescriptor* playback) override {
    const uint32_t half = list & 1;
    if (!RecordBufferMatches(*record) || !PlaybackBufferMatches(*playback)) return;
    uint32_t* destinations[kInputArrays];
    std::fill(std::begin(destinations), std::end(destinations), ConverterScratch());
    destinations[0] = mStatusIndex;
    for (uint32_t k = 0; k < mInputChannels && k < kChannels; ++k) destinations[k + 1] = Row(k, half);
    destinations[mInputChannels + 1] = mStatusValue;
    UnpackInputChannels(*record, destinations);
    if (onHalf) onHalf(half, record->mFrames);
    const uint32_t* const* silence = SilentOutputArrays();
    const uint32_t* sources[kOutputArrays];
    for (uint32_t k = 0; k < kOutputArrays; ++k) sources[k] = k < kChannels ? Row(k, half) : silence[k];
    PackOutputChannels(*playback, sources);
    HandleStatusWords(record->mFrames);
  }

 private:
  static constexpr size_t kHalfBytes = kChannelArrayEntries * sizeof(uint32_t);
  static constexpr size_t kRowsBytes = ChannelRowsBytes(kChannels, 2 * kHalfBytes);
  static constexpr std::align_val_t kRowAlignment{kCacheLineBytes};
  uint8_t* rows_;
};

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

class ClientLoop : public testing::Test {
 protected:
  ClientLoop() {
    rig.win.reset();
    rig.win = std::make_unique<LoopingUnit>(rig.device, rig.counted);
    win = static_cast<LoopingUnit*>(rig.win.get());
    win->FollowBusResets();
    EXPECT_EQ(win->HandlePlugIn(), 0);
    rig.Run();
    win->onHalf = [this](uint32_t half, uint32_t frames) { Watch(half, frames); };
  }
  ~ClientLoop() override { drivertest::UnplugEngine(*win); }

  // Sets rate and frames as the panel does, all 18 channels each way, and starts streaming.
  void Start(uint32_t rate, uint32_t frames) {
    win->SetPreference(PreferencesBlock::kParamSampleRate, rate);
    win->SetPreference(PreferencesBlock::kParamBufferSizeIndex, BufferSizeIndexOf(frames));
    rig.Run();
    win->SetInputChannelMask(kAllChannels);
    win->SetOutputChannelMask(kAllChannels);
    ASSERT_EQ(win->StartAudioStreams(), 0);
    tap.Watch(rig.bus, win->RecordChannel(), win->PlaybackChannel());
    tap.record.clear();
  }

  bool Locked() const { return win->IsStreamValid() && win->LockState() == 2; }
  bool RunUntilLocked(plat::VTime limit) {
    return rig.sched.RunUntil([this] { return Locked(); }, rig.sched.Now() + limit);
  }

  void Watch(uint32_t half, uint32_t frames) {
    ++watch.halves;
    if (frames != win->BufferFrames()) ++watch.wrongFrames;
    if (watched && win->LockState() != 2) ++watch.unlockedHalves;
    const uint32_t* rows[kChannels];
    for (uint32_t k = 0; k < kChannels; ++k) rows[k] = win->Row(k, half);
    for (uint32_t f = 0; f < frames; ++f) {
      const uint32_t frame = rows[0][f] & 0xFFFFFF;
      if (watch.haveFrame && frame != watch.nextFrame) ++watch.rampBreaks;
      watch.haveFrame = true;
      watch.nextFrame = (frame + 1) & 0xFFFFFF;
      for (uint32_t k = 0; k < kChannels; ++k) watch.rampBreaks += rows[k][f] != Ramp(k, frame);
    }
  }

  std::string Log() const {
    std::string text;
    for (const std::string& line : win->log) text += line;
    return text;
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

  sim::MainUnit unit;
  WinDeviceRig rig{unit};
  LoopingUnit* win = nullptr;
  BlockTap tap;
  HalfWatch watch;
  bool watched = false;
};

struct Setting {
  uint32_t rate;
  uint32_t frames;
};

// The whole road at every rate and size: lock, record halves of exactly the buffer frames whose
// ramp runs on, playback packets whose DBC runs on at the unit and that replay the record block
// counts, and the loop arriving bit-exact. Each rate's sizes run in a process of their own.
class ClientLoopAtRate : public ClientLoop, public testing::WithParamInterface<uint32_t> {};

TEST_P(ClientLoopAtRate, LocksAndLoopsBitExactAtEverySize) {
  const Setting cases[] = {
      {44100, 64}, {44100, 256}, {44100, 2048}, {48000, 64}, {48000, 256}, {48000, 2048},
      {88200, 64}, {88200, 256}, {88200, 2048}, {96000, 64}, {96000, 256}, {96000, 2048},
  };
  for (const Setting& c : cases) {
    if (c.rate != GetParam()) continue;
    SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.frames) + " frames");
    Start(c.rate, c.frames);
    ASSERT_TRUE(RunUntilLocked(5 * kNsPerSecond)) << Log();
    unit.Playback().ClearCapture();
    const sim::PlaybackStats before = unit.Playback().Stats();
    watch = {};
    watched = true;
    tap.playback.clear();
    rig.sched.RunFor(kNsPerSecond);

    EXPECT_TRUE(Locked());
    EXPECT_EQ(win->SharedState().mInputLocked, 1);
    EXPECT_GE(watch.halves, c.rate / c.frames - 2);
    EXPECT_EQ(watch.wrongFrames, 0u);
    EXPECT_EQ(watch.rampBreaks, 0u);
    EXPECT_EQ(watch.unlockedHalves, 0u);
    const sim::PlaybackStats& after = unit.Playback().Stats();
    EXPECT_EQ(after.dbcErrors, before.dbcErrors);
    EXPECT_EQ(after.Errors(), before.Errors());
    uint64_t frames = 0;
    EXPECT_EQ(CaptureBreaks(&frames), 0u);
    EXPECT_GE(frames, c.rate - 2 * c.frames);
    EXPECT_NEAR(win->MeasuredRate(), c.rate, 1);
    ASSERT_GT(tap.playback.size(), 100u);
    EXPECT_NE(std::search(tap.record.begin(), tap.record.end(), tap.playback.begin(), tap.playback.end()),
              tap.record.end())
        << "playback block counts are a run of the record block counts";
    const std::string log = Log();
    EXPECT_EQ(log.find("Callback"), std::string::npos) << log;
    EXPECT_EQ(log.find("Failed"), std::string::npos) << log;

    ASSERT_EQ(win->StopAudioStreams(), 0);
    watched = false;
  }
}

INSTANTIATE_TEST_SUITE_P(Rates, ClientLoopAtRate, testing::Values(44100u, 48000u, 88200u, 96000u));

TEST_F(ClientLoop, StaysLockedWithTheUnitClock300PpmOff) {
  for (const double ppm : {300.0, -300.0}) {
    SCOPED_TRACE(std::to_string(ppm) + " ppm");
    unit.SetClockOffsetPpm(ppm);
    Start(48000, 256);
    ASSERT_TRUE(RunUntilLocked(5 * kNsPerSecond));
    unit.Playback().ClearCapture();
    const sim::PlaybackStats before = unit.Playback().Stats();
    watch = {};
    watched = true;
    rig.sched.RunFor(4 * kNsPerSecond);
    EXPECT_TRUE(Locked());
    EXPECT_EQ(watch.unlockedHalves, 0u);
    EXPECT_EQ(watch.rampBreaks, 0u);
    EXPECT_EQ(unit.Playback().Stats().Errors(), before.Errors());
    uint64_t frames = 0;
    EXPECT_EQ(CaptureBreaks(&frames), 0u);
    EXPECT_NEAR(win->MeasuredRate(), 48000 * (1 + ppm / 1e6), 1);
    ASSERT_EQ(win->StopAudioStreams(), 0);
    watched = false;
  }
}

TEST_F(ClientLoop, StopAndUnplugTakeEveryListBackAndReturnChannelsAndBandwidth) {
  struct Case {
    const char* road;
    bool unplug;
  };
  const uint32_t bandwidth = rig.bus.BandwidthAvailable();
  for (const Case& c : {Case{"stop", false}, Case{"unplug", true}}) {
    SCOPED_TRACE(c.road);
    Start(48000, 256);
    ASSERT_TRUE(RunUntilLocked(5 * kNsPerSecond));
    const uint32_t recordChannel = win->RecordChannel();
    const uint32_t playbackChannel = win->PlaybackChannel();
    EXPECT_TRUE(rig.bus.ChannelAllocated(recordChannel));
    EXPECT_TRUE(rig.bus.ChannelAllocated(playbackChannel));
    EXPECT_LT(rig.bus.BandwidthAvailable(), bandwidth);

    const uint64_t halves = watch.halves;
    ASSERT_EQ(c.unplug ? win->HandleUnPlug() : win->StopAudioStreams(), 0);
    EXPECT_EQ(watch.halves, halves) << "no half reaches the client after the stop";
    for (uint32_t which = 0; which < 4; ++which) EXPECT_EQ(win->ListBusy()[which], 0) << "list " << which;
    const uint64_t received = unit.Playback().Stats().packets;
    std::array<uint32_t, 4> done{};
    std::copy_n(win->CompletionCounts(), 4, done.begin());
    rig.sched.RunFor(100 * kNsPerMs);
    EXPECT_EQ(unit.Playback().Stats().packets, received);
    EXPECT_TRUE(std::equal(done.begin(), done.end(), win->CompletionCounts())) << "no list came back later";
    EXPECT_FALSE(rig.bus.ChannelAllocated(recordChannel));
    EXPECT_FALSE(rig.bus.ChannelAllocated(playbackChannel));
    EXPECT_EQ(rig.bus.BandwidthAvailable(), bandwidth);
    const std::string log = Log();
    EXPECT_EQ(log.find("Callback"), std::string::npos) << log;
    if (c.unplug) {
      ASSERT_EQ(win->HandlePlugIn(), 0);
    }
  }
}

TEST_F(ClientLoop, WithoutAFreeChannelStartFailsAndKeepsNothing) {
  while (plat::Bus1394::Host().AllocateChannel()) {
  }
  const uint32_t bandwidth = rig.bus.BandwidthAvailable();
  win->SetInputChannelMask(kAllChannels);
  win->SetOutputChannelMask(kAllChannels);
  EXPECT_EQ(win->StartAudioStreams(), 99);
  EXPECT_FALSE(win->IsStreaming());
  EXPECT_EQ(rig.bus.BandwidthAvailable(), bandwidth);
  const std::string log = Log();
  EXPECT_NE(log.find("   *** Failed isoch channel allocation "), std::string::npos) << log;
  rig.sched.RunFor(100 * kNsPerMs);
  EXPECT_EQ(unit.Playback().Stats().packets, 0u);
  for (uint32_t c = 0; c < 64; ++c) plat::Bus1394::Host().FreeChannel(c);
}

}  // namespace
