// The main unit streaming 18 channels each way through the unit driver on the simulated bus:
// both streams starting on one cycle, the lists going back to the bus in order, the playback DBC
// running on at the unit, recovery from a bus reset, dropped packets and a unit that stops
// sending, and every list and resource given back at a stop, a removal and a surprise removal.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/QX531PnpDevice.h"
#include "platform/bus1394/Bus1394.h"
#include "platform/kernel/PnpManager.h"
#include "platform/kernel/Pool.h"
#include "sim/units/MainUnit.h"
#include "tests/driver/DriverRig.h"
#include "sim/host/UserClient.h"
#include "tests/support/Seeds.h"
#include "unit/ControlRequests.h"
#include "unit/PreferencesBlock.h"
#include "unit/QX531Device.h"
#include "unit/RegisterMap.h"
#include "unit/SharedStateBlock.h"

namespace {

using host::Control;
using drvtest::DriverRig;
using host::Words;
using plat::kNsPerMs;
using plat::kNsPerSecond;

constexpr uint32_t kAllChannels = 0x3FFFF;
constexpr uint32_t kStreamAudioAndMidi = QX531Device::kStreamMaskAudio | QX531Device::kStreamMaskMidi;
// Audio and MIDI without the unit's lamp and fader tests (bits 2 and 3 of the audio mask), whose
// register writes would run beside the lists.
constexpr uint32_t kStreamQuietSurface = 0x01 | QX531Device::kStreamMaskMidi;

Control SetPreference(uint32_t id, uint32_t value) {
  return {IOCTL_QX531_SET_PREFERENCE, Words({PreferencesBlock::kMagic, PreferencesBlock::kVersion, id, value}), 0};
}

Control SetStreamMask(uint32_t mask) { return {IOCTL_QX531_SET_STREAM_MASK, Words({mask}), 0}; }

// Playback packets on the bus: the cycle of the first one since the watch began.
class PlaybackTap : public sim::Node {
 public:
  PlaybackTap() : Node(0x7AC) {}
  void OnIsoPacket(const sim::IsoPacket& p) override {
    if (!first) first = p.cycle;
  }
  std::optional<uint64_t> first;
};

class DriverStream : public testing::Test {
 protected:
  // The start runs the streams with no client; each test then starts them with its own settings.
  void Boot(uint64_t seed = 0) {
    rig = std::make_unique<DriverRig>(seed);
    bandwidth = rig->bus.BandwidthAvailable();
    rig->Plug(unit);
    device = rig->DeviceOf(unit);
    ASSERT_NE(device, nullptr);
    ASSERT_TRUE(rig->DrainWork());
    ASSERT_TRUE(device->IsStreaming());
    ASSERT_TRUE(Stop());
    rig->Quiesce();
    ASSERT_TRUE(BusResourcesFree());
  }
  void TearDown() override {
    if (rig) rig->Shutdown();
  }

  bool Send(const std::vector<Control>& controls) { return rig->SendToUnit(controls); }

  SharedStateBlock SharedState() {
    SharedStateBlock state{};
    rig->RunProgram(64, [&]() -> uint32_t {
      std::vector<std::string> units = host::FindUnitInterfaces();
      if (units.size() != 1) return 1;
      host::Reply r = host::SendControl(units[0], {IOCTL_QX531_GET_SHARED_STATE, {}, sizeof state});
      if (r.ok && r.output.size() >= sizeof state) std::memcpy(&state, r.output.data(), sizeof state);
      return 0;
    });
    return state;
  }

  // The unit's debug log as a program reads it.
  std::string Log() {
    std::string text;
    rig->RunProgram(64, [&]() -> uint32_t {
      std::vector<std::string> units = host::FindUnitInterfaces();
      if (units.size() != 1) return 1;
      host::Reply r = host::SendControl(units[0], {IOCTL_QX531_READ_LOG, {}, 16384});
      text.assign(r.output.begin(), r.output.begin() + r.bytes);
      return 0;
    });
    return text;
  }

  // Rate and frames as the panel sets them, all 18 channels each way, and the stream mask a client
  // sets.
  bool Start(uint32_t rate, uint32_t frames, uint32_t mask = kStreamAudioAndMidi) {
    if (!Send({SetPreference(PreferencesBlock::kParamSampleRate, rate),
               SetPreference(PreferencesBlock::kParamBufferSizeIndex, BufferSizeIndexOf(frames))}))
      return false;
    rig->Quiesce();
    device->SetInputChannelMask(kAllChannels);
    device->SetOutputChannelMask(kAllChannels);
    return Send({SetStreamMask(mask)});
  }
  bool Stop() { return Send({SetStreamMask(0)}); }

  bool Locked() const { return device->IsStreamValid() && device->LockState() == 2; }
  bool RunUntilLocked(plat::VTime limit) {
    return rig->sched.RunUntil([this] { return Locked(); }, rig->sched.Now() + limit);
  }

  // Channels and bandwidth units taken on the bus.
  uint32_t ChannelsAllocated() const {
    uint32_t n = 0;
    for (uint32_t c = 0; c < 64; ++c) n += rig->bus.ChannelAllocated(c) ? 1 : 0;
    return n;
  }
  bool BusResourcesFree() const { return ChannelsAllocated() == 0 && rig->bus.BandwidthAvailable() == bandwidth; }

  sim::MainUnit unit;
  std::unique_ptr<DriverRig> rig;
  QX531PnpDevice* device = nullptr;
  uint32_t bandwidth = 0;
};

struct Setting {
  uint32_t rate;
  uint32_t frames;
};

// Locked at every rate and size, the lists keep going back in order (no completion-order fault
// in the unit's log, no list refused), and the DBC of the playback stream runs on at the unit.
TEST_F(DriverStream, LocksAtEveryRateAndSizeWithTheListsInOrderAndNoPlaybackGap) {
  Boot();
  const Setting cases[] = {
      {44100, 64}, {44100, 256}, {44100, 2048}, {48000, 64}, {48000, 256}, {48000, 2048},
      {88200, 64}, {88200, 256}, {88200, 2048}, {96000, 64}, {96000, 256}, {96000, 2048},
  };
  for (const Setting& c : cases) {
    SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.frames) + " frames");
    ASSERT_TRUE(Start(c.rate, c.frames));
    ASSERT_TRUE(RunUntilLocked(5 * kNsPerSecond)) << Log();
    const sim::PlaybackStats before = unit.Playback().Stats();
    rig->sched.RunFor(300 * kNsPerMs);
    EXPECT_TRUE(Locked());
    const SharedStateBlock state = SharedState();
    EXPECT_EQ(state.mStreaming, 1);
    EXPECT_EQ(state.mInputLocked, 1);
    const sim::PlaybackStats& after = unit.Playback().Stats();
    EXPECT_GT(after.frames, before.frames + c.rate / 4);
    EXPECT_EQ(after.dbcErrors, before.dbcErrors);
    EXPECT_EQ(after.Errors(), before.Errors());
    EXPECT_EQ(device->DbcErrors(), 0u);
    EXPECT_EQ(device->DbsErrors(), 0u);
    EXPECT_NEAR(device->MeasuredRate(), c.rate, 4);
    const std::string log = Log();
    EXPECT_EQ(log.find("Callback"), std::string::npos) << log;
    EXPECT_EQ(log.find("Failed"), std::string::npos) << log;
    EXPECT_EQ(log.find("Reinitialize"), std::string::npos) << log;
    ASSERT_TRUE(Stop());
    EXPECT_TRUE(BusResourcesFree());
  }
}

}  // namespace

// Both streams start at the cycle 4096 cycles after the one the driver read: the first playback
// packet goes out, and the first record packet lands in a list, at that same cycle.
TEST_F(DriverStream, BothStreamsStartOnOneCycle4096CyclesAfterTheStart) {
  Boot();
  PlaybackTap tap;
  rig->bus.Attach(tap);
  rig->Settle();
  const uint64_t before = rig->bus.CurrentCycle();
  const uint64_t received = plat::Bus1394::Counters().isochPacketsReceived;
  ASSERT_TRUE(Start(48000, 256));
  const uint64_t after = rig->bus.CurrentCycle();
  rig->bus.Listen(tap, unit.Register(PLAYBACK_ISOCHANNEL));
  tap.first.reset();
  uint64_t firstRecord = 0;
  ASSERT_TRUE(rig->sched.RunUntil(
      [&] {
        if (firstRecord == 0 && plat::Bus1394::Counters().isochPacketsReceived > received)
          firstRecord = rig->bus.CurrentCycle();
        return firstRecord != 0 && tap.first.has_value();
      },
      rig->sched.Now() + kNsPerSecond));
  EXPECT_EQ(firstRecord, *tap.first);
  EXPECT_GE(*tap.first, before + 4096);
  EXPECT_LE(*tap.first, after + 4096);
  ASSERT_TRUE(Stop());
}

// Once streaming, finished lists go back to the bus without touching the pool: no allocation at
// all while hundreds of lists each way are detached, handed to the engine and attached again.
TEST_F(DriverStream, ListsGoBackToTheBusWithoutAllocating) {
  Boot();
  ASSERT_TRUE(Start(48000, 64, kStreamQuietSurface));
  ASSERT_TRUE(RunUntilLocked(5 * kNsPerSecond)) << Log();
  rig->sched.RunFor(100 * kNsPerMs);
  const uint64_t attaches = plat::Bus1394::Counters().requests[REQUEST_ISOCH_ATTACH_BUFFERS];
  const uint64_t detaches = plat::Bus1394::Counters().requests[REQUEST_ISOCH_DETACH_BUFFERS];
  const size_t allocations = plat::PoolLedger::AllocationCount();
  rig->sched.RunFor(500 * kNsPerMs);
  EXPECT_EQ(plat::PoolLedger::AllocationCount() - allocations, 0u);
  EXPECT_GT(plat::Bus1394::Counters().requests[REQUEST_ISOCH_ATTACH_BUFFERS] - attaches, 600u);
  EXPECT_GT(plat::Bus1394::Counters().requests[REQUEST_ISOCH_DETACH_BUFFERS] - detaches, 600u);
  EXPECT_TRUE(Locked());
  ASSERT_TRUE(Stop());
}

enum class Fault { BusReset, DroppedPackets, UnitStopsSending };

struct FaultCase {
  const char* name;
  Fault fault;
  bool breaksTheStream;
};

// The stream breaks (after a bus reset the worker restarts it) and comes back locked by itself,
// and plays on at the unit without a gap.
TEST_F(DriverStream, RecoversFromABusResetDroppedPacketsAndAUnitThatStopsSending) {
  Boot();
  const FaultCase cases[] = {
      {"bus reset", Fault::BusReset, true},
      {"dropped packets", Fault::DroppedPackets, true},
      {"unit stops sending", Fault::UnitStopsSending, true},
  };
  ASSERT_TRUE(Start(48000, 256));
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(RunUntilLocked(5 * kNsPerSecond)) << Log();
    switch (c.fault) {
      case Fault::BusReset:
        rig->bus.Reset();
        break;
      case Fault::DroppedPackets:
        rig->bus.InjectIsoFault(unit.Register(RECORD_ISOCHANNEL), sim::IsoFault::Drop, 40);
        break;
      case Fault::UnitStopsSending:
        unit.StopRecordStream(true);
        rig->sched.RunFor(200 * kNsPerMs);
        unit.StopRecordStream(false);
        break;
    }
    const bool broke = rig->sched.RunUntil([this] { return !Locked(); }, rig->sched.Now() + kNsPerSecond);
    EXPECT_EQ(broke, c.breaksTheStream);
    ASSERT_TRUE(RunUntilLocked(5 * kNsPerSecond)) << Log();
    const sim::PlaybackStats before = unit.Playback().Stats();
    rig->sched.RunFor(300 * kNsPerMs);
    EXPECT_TRUE(Locked());
    EXPECT_EQ(unit.Playback().Stats().Errors(), before.Errors());
    EXPECT_GT(unit.Playback().Stats().frames, before.frames + 48000 / 4);
  }
  ASSERT_TRUE(Stop());
  EXPECT_TRUE(BusResourcesFree());
}

uint64_t Requests(ULONG function) { return plat::Bus1394::Counters().requests[function]; }

// A burst of resets has the bus-reset worker restart the streams once per pass, each pass reading
// the new generation, never more passes than notifications, and the streams lock again.
TEST_F(DriverStream, ABurstOfBusResetsHasTheWorkerRestartTheStreamsOncePerPassAndTheyLockAgain) {
  for (uint64_t seed : qxtest::InterleavingSeeds(8)) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    Boot(seed);
    ASSERT_TRUE(Start(48000, 256));
    ASSERT_TRUE(RunUntilLocked(5 * kNsPerSecond)) << Log();
    ASSERT_TRUE(rig->DrainWork());
    const uint64_t talks = Requests(REQUEST_ISOCH_TALK);
    const uint64_t generationReads = Requests(REQUEST_GET_GENERATION_COUNT);
    const uint64_t notified = plat::Bus1394::Counters().resetNotifications;
    for (int i = 0; i < 3; ++i) rig->bus.Reset();
    rig->Settle();
    ASSERT_TRUE(rig->DrainWork());
    const uint64_t restarts = Requests(REQUEST_ISOCH_TALK) - talks;
    const uint64_t passes = Requests(REQUEST_GET_GENERATION_COUNT) - generationReads;
    EXPECT_GE(passes, 1u);
    EXPECT_LE(passes, plat::Bus1394::Counters().resetNotifications - notified);
    EXPECT_EQ(restarts, passes);
    EXPECT_EQ(device->mBusResetRunning, 0);
    EXPECT_EQ(device->mBusResetPending, 0);
    ASSERT_TRUE(RunUntilLocked(5 * kNsPerSecond)) << Log();
    const sim::PlaybackStats before = unit.Playback().Stats();
    rig->sched.RunFor(300 * kNsPerMs);
    EXPECT_TRUE(Locked());
    EXPECT_EQ(unit.Playback().Stats().Errors(), before.Errors());
    EXPECT_GT(unit.Playback().Stats().frames, before.frames + 48000 / 4);
    ASSERT_TRUE(Stop());
    EXPECT_TRUE(BusResourcesFree());
    rig->Shutdown();
    rig.reset();
  }
}

struct RefusalCase {
  const char* name;
  ULONG function;
};

// A listen, talk or attach that the bus driver refuses is not taken for a start: the streams are
// rebuilt by the re-initialisation worker and lock.
TEST_F(DriverStream, AStreamRequestTheBusRefusesHasTheStreamsRebuiltAndLocked) {
  const RefusalCase cases[] = {
      {"listen", REQUEST_ISOCH_LISTEN},
      {"talk", REQUEST_ISOCH_TALK},
      {"attach", REQUEST_ISOCH_ATTACH_BUFFERS},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.name);
    Boot();
    plat::Bus1394::RefuseRequests(c.function, STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_TRUE(Start(48000, 256));
    ASSERT_TRUE(RunUntilLocked(5 * kNsPerSecond)) << Log();
    EXPECT_NE(Log().find("QX531SignalForIsocReinitialize needed"), std::string::npos);
    const sim::PlaybackStats before = unit.Playback().Stats();
    rig->sched.RunFor(200 * kNsPerMs);
    EXPECT_EQ(unit.Playback().Stats().Errors(), before.Errors());
    ASSERT_TRUE(Stop());
    EXPECT_TRUE(BusResourcesFree());
    rig->Shutdown();
    rig.reset();
  }
}

enum class Road { Stop, Removal, SurpriseRemoval };

struct RoadCase {
  const char* name;
  Road road;
};

// Taken off the bus while streaming, the unit gives every list back and every channel and the
// bandwidth; the rig's shutdown then finds no pool, IRP or work item left.
TEST_F(DriverStream, StopRemovalAndSurpriseRemovalWhileStreamingGiveBackEveryListAndResource) {
  const RoadCase cases[] = {
      {"stop", Road::Stop},
      {"removal", Road::Removal},
      {"surprise removal", Road::SurpriseRemoval},
  };
  for (const RoadCase& c : cases) {
    SCOPED_TRACE(c.name);
    Boot();
    ASSERT_TRUE(Start(96000, 64));
    ASSERT_TRUE(RunUntilLocked(5 * kNsPerSecond)) << Log();
    EXPECT_EQ(ChannelsAllocated(), 2u);
    switch (c.road) {
      case Road::Stop:
        ASSERT_TRUE(Stop());
        EXPECT_FALSE(SharedState().mStreaming);
        break;
      case Road::Removal:
        ASSERT_TRUE(plat::PnpQueryRemoveAndRemove(rig->PdoOf(unit)));
        rig->Settle();
        break;
      case Road::SurpriseRemoval:
        rig->Unplug(unit);
        break;
    }
    const uint64_t packets = unit.Playback().Stats().packets;
    rig->sched.RunFor(100 * kNsPerMs);
    EXPECT_EQ(unit.Playback().Stats().packets, packets) << "nothing is sent after the streams were taken down";
    EXPECT_TRUE(BusResourcesFree());
    rig->Shutdown();
    rig.reset();
  }
}

// The streams' roads racing each other: re-initialisations signalled from completion context
// while a client stops and starts the streams, then while the device is removed. Each seed ends
// streaming and locked before the removal, and with nothing left behind after it.
TEST_F(DriverStream, StartStopReinitialisationAndRemovalRaceSafelyUnderEverySeed) {
  for (uint64_t seed : qxtest::InterleavingSeeds(8)) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    Boot(seed);
    ASSERT_TRUE(Start(48000, 64));
    ASSERT_TRUE(RunUntilLocked(5 * kNsPerSecond)) << Log();
    auto signalSoon = [this](plat::VTime delay) {
      rig->sched.After(
          delay,
          [this] {
            if (QX531PnpDevice* d = rig->DeviceOf(unit)) d->SignalForIsocReinitialize();
          },
          DISPATCH_LEVEL, "stream fault");
    };
    for (plat::VTime delay : {0 * kNsPerMs, 2 * kNsPerMs, 5 * kNsPerMs}) signalSoon(delay);
    ASSERT_TRUE(Send({SetStreamMask(0), SetStreamMask(kStreamAudioAndMidi)}));
    ASSERT_TRUE(RunUntilLocked(5 * kNsPerSecond)) << Log();
    EXPECT_EQ(SharedState().mStreaming, 1);

    for (plat::VTime delay : {0 * kNsPerMs, 1 * kNsPerMs}) signalSoon(delay);
    ASSERT_TRUE(plat::PnpQueryRemoveAndRemove(rig->PdoOf(unit)));
    rig->Settle();
    EXPECT_EQ(rig->DeviceOf(unit), nullptr);
    EXPECT_TRUE(BusResourcesFree());
    rig->Shutdown();
    rig.reset();
  }
}
