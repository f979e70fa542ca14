// Clients of the main unit against its running stream, through the whole driver: the audio
// adapter's period callback and its audio both ways through the simulated unit, the client mode
// that keeps the unit streaming while the driver wants it, the ASIO session's flags and the
// buffer-size change, and client start, stop and restart racing the stream under interleaving
// seeds, with the settings writer's hooks called at DISPATCH_LEVEL.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/QX531PnpDevice.h"
#include "platform/kernel/PnpManager.h"
#include "platform/kernel/Pool.h"
#include "sim/units/MainUnit.h"
#include "sim/units/SignalSource.h"
#include "tests/driver/DriverRig.h"
#include "tests/driver/TestAdapter.h"
#include "tests/support/Seeds.h"
#include "unit/ControlRequests.h"
#include "unit/PreferencesBlock.h"

namespace {

using drvtest::DriverRig;
using drvtest::TestAdapter;
using plat::kNsPerMs;
using plat::kNsPerSecond;

constexpr ULONG kStereo32 = 2 | kWdmFormat32Bit;
constexpr ULONG kBufferFrames = 8192;  // of the adapter's cyclic buffers, stereo 32-bit

// The adapter's render sample of frame i, channel c: both named in it.
uint32_t RenderSample(uint32_t frame, uint32_t channel) { return (channel + 1) << 30 | frame << 8; }

class ClientStreaming : public testing::Test {
 protected:
  void Boot(uint64_t seed = 0) {
    rig = std::make_unique<DriverRig>(seed);
    drvtest::InstallTestAdapter();
    rig->Plug(main);
    rig->Quiesce();
    device = rig->DeviceOf(main);
    ASSERT_NE(device, nullptr);
    adapter = drvtest::MainUnitAdapter();
    ASSERT_NE(adapter, nullptr);
    for (uint32_t f = 0; f < kBufferFrames; ++f)
      for (uint32_t c = 0; c < 2; ++c) render[2 * f + c] = RenderSample(f, c);
  }
  void TearDown() override {
    if (rig) rig->Shutdown();
  }

  PdoDirectInterface& Table() { return adapter->table; }
  void SetPreference(uint32_t id, uint32_t value) {
    const uint32_t record[] = {PreferencesBlock::kMagic, PreferencesBlock::kVersion, id, value};
    uint32_t returned = 0;
    ASSERT_EQ(device->HandleControlRequest(QX531RequestNumber(IOCTL_QX531_SET_PREFERENCE),
                                           const_cast<uint32_t*>(record), sizeof record, 0, &returned),
              0);
    rig->Quiesce();
  }
  // Stereo pin 0 of the adapter, render and capture, on unit channels 0 and 1.
  void PreparePins() {
    PdoDirectInterface& t = Table();
    t.SetStreamFormat(t.Context, 0, kStereo32);
    t.SetStreamFormat(t.Context, 0, kStereo32 | kWdmFormatCapture);
    t.SetStreamBuffer(t.Context, 0, 0, render, sizeof render);
    t.SetStreamBuffer(t.Context, 0, 1, capture, sizeof capture);
  }
  void RunPin(UCHAR captureSide, ULONG state) { Table().SetStreamState(Table().Context, 0, captureSide, state); }

  bool Locked() const { return device->IsStreamValid() && device->LockState() == 2; }
  bool RunUntilLocked(plat::VTime limit = 5 * kNsPerSecond) {
    return rig->sched.RunUntil([this] { return Locked(); }, rig->sched.Now() + limit);
  }

  sim::MainUnit main;
  std::unique_ptr<DriverRig> rig;
  QX531PnpDevice* device = nullptr;
  TestAdapter* adapter = nullptr;
  alignas(8) uint32_t render[2 * kBufferFrames] = {};
  alignas(8) uint32_t capture[2 * kBufferFrames] = {};
};

// At 48 kHz and 256 frames a half, the adapter is called once per half and its audio goes out to
// the unit and comes back from it bit for bit.
TEST_F(ClientStreaming, TheAdapterIsCalledOncePerHalfAndPlaysAndRecordsBitExactThroughTheUnit) {
  Boot();
  SetPreference(PreferencesBlock::kParamSampleRate, 48000);
  SetPreference(PreferencesBlock::kParamBufferSizeIndex, BufferSizeIndexOf(256));
  main.Playback().SetCapture(true, 48000 * 10);
  PreparePins();
  RunPin(0, kWdmStateRun);
  RunPin(1, kWdmStateRun);
  EXPECT_TRUE(device->IsStreaming()) << "the first pin switched the streams on";
  ASSERT_TRUE(RunUntilLocked());
  rig->sched.RunFor(200 * kNsPerMs);

  const uint64_t framesBefore = main.Playback().Stats().frames;
  const ULONG renderBefore = adapter->notifies[0][0];
  const ULONG captureBefore = adapter->notifies[0][1];
  rig->sched.RunFor(kNsPerSecond);
  ASSERT_TRUE(Locked());
  const double halves = static_cast<double>(main.Playback().Stats().frames - framesBefore) / 256;
  EXPECT_GT(halves, 180);
  EXPECT_NEAR(adapter->notifies[0][0] - renderBefore, halves, 2.0);
  EXPECT_NEAR(adapter->notifies[0][1] - captureBefore, halves, 2.0);
  for (uint32_t pin = 1; pin < 34; ++pin) EXPECT_EQ(adapter->notifies[pin][0] + adapter->notifies[pin][1], 0u);

  // Played: the last 4096 frames the unit took are consecutive frames of the render buffer.
  const std::vector<int32_t>& left = main.Playback().Captured(0);
  const std::vector<int32_t>& right = main.Playback().Captured(1);
  ASSERT_EQ(left.size(), right.size());
  ASSERT_GT(left.size(), 8192u);
  const size_t from = left.size() - 4096;
  const uint32_t first = (static_cast<uint32_t>(left[from]) >> 8) & (kBufferFrames - 1);
  for (size_t i = from; i < left.size(); ++i) {
    const uint32_t frame = (first + static_cast<uint32_t>(i - from)) & (kBufferFrames - 1);
    ASSERT_EQ(static_cast<uint32_t>(left[i]), RenderSample(frame, 0)) << i;
    ASSERT_EQ(static_cast<uint32_t>(right[i]), RenderSample(frame, 1)) << i;
  }

  // Recorded: the 4096 frames before the capture position are what the unit sampled, in order.
  const ULONG position = Table().GetStreamPosition(Table().Context, 0, 1) / 8 % kBufferFrames;
  sim::SignalSource ramp;
  const uint32_t start = (position + kBufferFrames - 4096) % kBufferFrames;
  const uint32_t sample0 = capture[2 * start];
  uint64_t unitFrame = main.FramesSent();
  while (unitFrame > 0 && ramp.Sample(0, unitFrame, 48000) != sample0) --unitFrame;
  ASSERT_GT(unitFrame, 0u) << "the recorded sample is one the unit sent";
  for (uint32_t i = 0; i < 4096; ++i) {
    const uint32_t at = (start + i) % kBufferFrames;
    ASSERT_EQ(capture[2 * at], ramp.Sample(0, unitFrame + i, 48000)) << i;
    ASSERT_EQ(capture[2 * at + 1], ramp.Sample(1, unitFrame + i, 48000)) << i;
  }
  RunPin(0, kWdmStateStop);
  RunPin(1, kWdmStateStop);
}

struct ModeCase {
  const char* name;
  bool stoppedFirst;  // a program's stream mask of 0 before the client came
};

// From the start on the driver wants streaming: streams and MIDI run with no client, and the last
// client's stop leaves them running, also where a program had stopped them before the client came.
TEST_F(ClientStreaming, TheLastClientsStopKeepsStreamsAndMidiWhileTheDriverWantsStreaming) {
  for (const ModeCase& c : {ModeCase{"running since the start", false}, ModeCase{"stopped by a program", true}}) {
    SCOPED_TRACE(c.name);
    Boot();
    EXPECT_TRUE(device->IsStreaming());
    EXPECT_TRUE(device->IsMidiRunning());
    if (c.stoppedFirst) {
      uint32_t mask = 0;
      uint32_t returned = 0;
      ASSERT_EQ(device->HandleControlRequest(QX531RequestNumber(IOCTL_QX531_SET_STREAM_MASK), &mask, sizeof mask, 0,
                                             &returned),
                0);
      EXPECT_FALSE(device->IsStreaming());
      EXPECT_FALSE(device->IsMidiRunning());
    }
    PreparePins();
    RunPin(0, kWdmStateRun);
    EXPECT_TRUE(device->IsStreaming());
    EXPECT_TRUE(device->IsMidiRunning());
    rig->Quiesce();
    RunPin(0, kWdmStateStop);
    EXPECT_TRUE(device->IsStreaming());
    EXPECT_TRUE(device->IsMidiRunning());
    rig->Shutdown();
    rig.reset();
  }
}

// An adapter pin that starts beside a running host session changes none of its flags, and asks
// for no rate while the host owns it.
TEST_F(ClientStreaming, TheFirstAdapterPinClearsNoFlagOfARunningHostSessionAndAsksNoRateOfIt) {
  Boot();
  AsioClientState& asio = device->AsioState();
  asio.mActive = 1;
  asio.mMapsChanged = 1;
  asio.mResetRequest = 1;
  asio.mRestartPending = 1;
  asio.mFirstBuffer = 1;
  PreparePins();
  RunPin(0, kWdmStateRun);
  EXPECT_EQ(asio.mActive, 1);
  EXPECT_EQ(asio.mMapsChanged, 1);
  EXPECT_EQ(asio.mResetRequest, 1);
  EXPECT_EQ(asio.mRestartPending, 1);
  EXPECT_EQ(asio.mFirstBuffer, 1);

  const uint32_t rate = device->SampleRate();
  const uint32_t other = rate == 96000 ? 48000 : 96000;
  EXPECT_EQ(Table().RequestSampleRate(Table().Context, other), STATUS_SUCCESS);
  EXPECT_EQ(device->SampleRate(), rate) << "the host's rate stays";
  asio.mActive = 0;
  asio.mResetRequest = asio.mRestartPending = 0;
  EXPECT_EQ(Table().RequestSampleRate(Table().Context, other), STATUS_SUCCESS);
  EXPECT_EQ(device->SampleRate(), other);
  RunPin(0, kWdmStateStop);
}

struct SizeCase {
  const char* name;
  bool host;
};

// A buffer-size change while streaming: with a host it is asked to reset and the streams restart
// at its stop; without one they restart by themselves. Either way they lock at the new size.
TEST_F(ClientStreaming, ABufferSizeChangeRestartsAtTheHostsStopOrAtOnceWithoutAHost) {
  for (const SizeCase& c : {SizeCase{"host", true}, SizeCase{"adapter alone", false}}) {
    SCOPED_TRACE(c.name);
    Boot();
    SetPreference(PreferencesBlock::kParamBufferSizeIndex, BufferSizeIndexOf(256));
    PreparePins();
    RunPin(0, kWdmStateRun);
    ASSERT_TRUE(RunUntilLocked());
    AsioClientState& asio = device->AsioState();
    asio.mActive = c.host ? 1 : 0;
    SetPreference(PreferencesBlock::kParamBufferSizeIndex, BufferSizeIndexOf(512));
    rig->sched.RunFor(50 * kNsPerMs);
    if (c.host) {
      EXPECT_EQ(asio.mResetRequest, 1);
      EXPECT_EQ(asio.mRestartPending, 1);
      EXPECT_EQ(device->GetBufferFrames(), 256u) << "the streams wait for the host's stop";
      EXPECT_TRUE(device->IsStreaming());
      asio.mActive = 0;
      device->RestartClient();
      EXPECT_EQ(asio.mRestartPending, 0);
    }
    ASSERT_TRUE(RunUntilLocked());
    EXPECT_EQ(device->GetBufferFrames(), 512u);
    EXPECT_TRUE(device->IsStreaming());
    const ULONG notified = adapter->notifies[0][0];
    rig->sched.RunFor(100 * kNsPerMs);
    EXPECT_GT(adapter->notifies[0][0], notified);
    asio.mResetRequest = 0;
    RunPin(0, kWdmStateStop);
    rig->Shutdown();
    rig.reset();
  }
}

// The restart a buffer-size change asks for is queued whatever pool is left at that moment: the
// streams come back at the new size.
TEST_F(ClientStreaming, ABufferSizeChangeMadeWhilePoolIsShortStillRestartsTheStreamsAtTheNewSize) {
  Boot();
  SetPreference(PreferencesBlock::kParamBufferSizeIndex, BufferSizeIndexOf(256));
  PreparePins();
  RunPin(0, kWdmStateRun);
  ASSERT_TRUE(RunUntilLocked());
  const uint32_t record[] = {PreferencesBlock::kMagic, PreferencesBlock::kVersion,
                             PreferencesBlock::kParamBufferSizeIndex, BufferSizeIndexOf(512)};
  uint32_t returned = 0;
  plat::PoolLedger::FailTag(kFrameworkPoolTag, true);
  const int32_t result = device->HandleControlRequest(QX531RequestNumber(IOCTL_QX531_SET_PREFERENCE),
                                                      const_cast<uint32_t*>(record), sizeof record, 0, &returned);
  plat::PoolLedger::FailTag(kFrameworkPoolTag, false);
  ASSERT_EQ(result, 0);
  rig->sched.RunFor(100 * kNsPerMs);
  ASSERT_TRUE(RunUntilLocked());
  EXPECT_EQ(device->GetBufferFrames(), 512u);
  const ULONG notified = adapter->notifies[0][0];
  rig->sched.RunFor(100 * kNsPerMs);
  EXPECT_GT(adapter->notifies[0][0], notified);
  RunPin(0, kWdmStateStop);
}

// Pins starting and stopping, restarts asked for from passive threads, and the settings writer's
// hooks and stream faults at DISPATCH_LEVEL, all against the running stream. The verifier fails
// the test on any wait at DISPATCH_LEVEL; every seed ends streaming, locked and called back, and
// the removal leaves nothing behind.
TEST_F(ClientStreaming, ClientStartStopAndRestartRaceTheRunningStreamSafelyUnderEverySeed) {
  for (uint64_t seed : qxtest::InterleavingSeeds(8)) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    Boot(seed);
    PreparePins();
    RunPin(0, kWdmStateRun);
    ASSERT_TRUE(RunUntilLocked());

    const plat::VTime start = rig->sched.Now();
    for (plat::VTime at : {0 * kNsPerMs, 1 * kNsPerMs, 3 * kNsPerMs}) {
      rig->sched.After(at, [this] { device->StopClientStreams(); }, DISPATCH_LEVEL, "buffer size hook");
      rig->sched.After(at, [this] { device->RefreshClientStreams(); }, DISPATCH_LEVEL, "client stream hook");
    }
    rig->sched.After(2 * kNsPerMs, [this] { device->SignalForIsocReinitialize(); }, DISPATCH_LEVEL, "stream fault");
    std::vector<uint32_t> threads;
    threads.push_back(rig->sched.Spawn("pins", [this] {
      for (int i = 0; i < 3; ++i) {
        RunPin(1, kWdmStateRun);
        RunPin(1, kWdmStateStop);
      }
    }));
    threads.push_back(rig->sched.Spawn("restart", [this] {
      device->RestartClients();
      device->RestartClients();
    }));
    threads.push_back(rig->sched.Spawn("client", [this] {
      device->ApplyClientMode();
      device->RestartClient();
    }));
    ASSERT_TRUE(rig->sched.RunUntil(
        [&] {
          for (uint32_t id : threads)
            if (!rig->sched.ThreadDone(id)) return false;
          return true;
        },
        rig->sched.Now() + 5 * kNsPerSecond));
    // The threads may all be done before the last hook and the fault have fired.
    if (rig->sched.Now() < start + 4 * kNsPerMs) rig->sched.RunFor(start + 4 * kNsPerMs - rig->sched.Now());
    ASSERT_TRUE(RunUntilLocked());
    EXPECT_TRUE(device->IsStreaming());
    const ULONG notified = adapter->notifies[0][0];
    rig->sched.RunFor(100 * kNsPerMs);
    EXPECT_GT(adapter->notifies[0][0], notified);

    RunPin(0, kWdmStateStop);
    ASSERT_TRUE(plat::PnpQueryRemoveAndRemove(rig->PdoOf(main)));
    rig->Settle();
    EXPECT_EQ(rig->DeviceOf(main), nullptr);
    rig->Shutdown();
    rig.reset();
  }
}

}  // namespace
