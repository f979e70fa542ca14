// Every kind of client of the main unit at once against its running stream: an ASIO host in its
// own process beside the audio adapter, and beside a kernel client of its own image, the unit
// getting the saturating sum where two play a channel and the copy where one does; the unit
// pulled out under a streaming host and a playing adapter, and both streaming again once it is
// back; clients starting, stopping and restarting beside each other under interleaving seeds.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "driver/AsioRequests.h"
#include "driver/PdoDirectInterface.h"
#include "platform/kclient/KernelClient.h"
#include "platform/kernel/IoManager.h"
#include "platform/kernel/Loader.h"
#include "platform/kernel/Pool.h"
#include "platform/kernel/Process.h"
#include "sim/units/MainUnit.h"
#include "sim/host/AsioHost.h"
#include "tests/driver/DriverRig.h"
#include "tests/driver/KernelClientHarness.h"
#include "tests/driver/TestAdapter.h"
#include "tests/support/Seeds.h"
#include "unit/RegisterMap.h"

namespace {

using host::AsioHost;
using drvtest::DriverRig;
using drvtest::TestAdapter;
using plat::kNsPerMs;
using plat::kNsPerSecond;

constexpr uint32_t kChannels = 18;
constexpr ULONG kStereo32 = 2 | kWdmFormat32Bit;
constexpr ULONG kAdapterFrames = 8192;  // of each adapter pin's cyclic buffer, stereo 32-bit
constexpr size_t kCheckedFrames = 4096;

// What the unit samples on channel c at frame n, and so what a host or kernel client that loops
// it back plays: c << 24 | n.
bool ContinuesRamp(uint32_t channel, uint32_t sample, uint32_t before) {
  return sample == (channel << 24 | ((before + 1) & 0xFFFFFF));
}

// The adapter's render sample of frame i, channel c of a pin: both named in it.
int32_t RenderSample(uint32_t frame, uint32_t channel) {
  return static_cast<int32_t>((channel + 1) << 28 | frame << 8);
}

std::vector<uint32_t> Channels(uint32_t first, uint32_t end) {
  std::vector<uint32_t> list;
  for (uint32_t c = first; c < end; ++c) list.push_back(c);
  return list;
}

uint32_t MaskOf(const std::vector<uint32_t>& channels) {
  uint32_t mask = 0;
  for (uint32_t c : channels) mask |= 1u << c;
  return mask;
}

// The last frames the unit played on `channel`.
std::vector<uint32_t> LastPlayed(const sim::MainUnit& unit, uint32_t channel) {
  const std::vector<int32_t>& played = unit.Playback().Captured(static_cast<int>(channel));
  if (played.size() < kCheckedFrames) return {};
  return {played.end() - kCheckedFrames, played.end()};
}

// The last frames of `channel` are its ramp plus `addend` (wrapping: no saturation expected).
void ExpectRampPlus(const sim::MainUnit& unit, uint32_t channel, uint32_t addend) {
  SCOPED_TRACE(channel);
  const std::vector<uint32_t> played = LastPlayed(unit, channel);
  ASSERT_EQ(played.size(), kCheckedFrames);
  for (size_t i = 1; i < played.size(); ++i)
    ASSERT_TRUE(ContinuesRamp(channel, played[i] - addend, played[i - 1] - addend))
        << i << std::hex << ": " << played[i - 1] << " then " << played[i];
}

void ExpectConstant(const sim::MainUnit& unit, uint32_t channel, int32_t value) {
  SCOPED_TRACE(channel);
  const std::vector<uint32_t> played = LastPlayed(unit, channel);
  ASSERT_EQ(played.size(), kCheckedFrames);
  for (size_t i = 0; i < played.size(); ++i) ASSERT_EQ(played[i], static_cast<uint32_t>(value)) << i;
}

// The last frames of `channel` are consecutive frames of an adapter pin's render buffer, channel
// `side` of the pin.
void ExpectAdapterCopy(const sim::MainUnit& unit, uint32_t channel, uint32_t side) {
  SCOPED_TRACE(channel);
  const std::vector<uint32_t> played = LastPlayed(unit, channel);
  ASSERT_EQ(played.size(), kCheckedFrames);
  const uint32_t first = (played[0] >> 8) & (kAdapterFrames - 1);
  for (size_t i = 0; i < played.size(); ++i) {
    const uint32_t frame = (first + static_cast<uint32_t>(i)) & (kAdapterFrames - 1);
    ASSERT_EQ(played[i], static_cast<uint32_t>(RenderSample(frame, side))) << i;
  }
}

// What a host saw of its record halves.
struct HostReport {
  uint64_t events = 0;
  uint64_t timeouts = 0;
  uint64_t recordBreaks = 0;
  uint64_t outputReadyFailures = 0;
};

// A host recording every channel (entry k is channel k) and playing `plays`, each half what
// `sample` makes of the channel and the sample recorded on it at the same frame.
HostReport StreamHost(plat::Scheduler& sched, AsioHost& host, uint32_t ms, uint32_t frames,
                      const std::vector<uint32_t>& plays, const std::function<int32_t(uint32_t, int32_t)>& sample) {
  HostReport report;
  std::vector<uint32_t> last(kChannels);
  std::vector<bool> known(kChannels, false);
  const plat::VTime end = sched.Now() + ms * kNsPerMs;
  while (sched.Now() < end) {
    if (!host.WaitForHalf(75)) {
      ++report.timeouts;
      continue;
    }
    ++report.events;
    const uint32_t half = host.IndexByte() != 0 ? 1 : 0;
    for (uint32_t c = 0; c < kChannels; ++c) {
      const int32_t* in = host.Record(c, half);
      bool broken = false;
      for (uint32_t f = 0; f < frames; ++f) {
        const auto s = static_cast<uint32_t>(in[f]);
        if (known[c] && !ContinuesRamp(c, s, last[c])) broken = true;
        last[c] = s;
        known[c] = true;
      }
      if (broken) ++report.recordBreaks;
    }
    for (size_t k = 0; k < plays.size(); ++k) {
      const int32_t* in = host.Record(plays[k], half);
      int32_t* out = host.Playback(k, half);
      for (uint32_t f = 0; f < frames; ++f) out[f] = sample(plays[k], in[f]);
    }
    if (!host.OutputReady()) ++report.outputReadyFailures;
  }
  return report;
}

// A host in a process of `bits` bits sets `rate`, records every channel and plays `plays` for ten
// seconds, the last 1.5 of them while the unit captures what it plays; `captureStarts` and
// `captureEnds` run in the test around that capture. Returns what the host saw of the captured part.
HostReport StreamHostWhileTheUnitCaptures(DriverRig& rig, sim::MainUnit& unit, unsigned bits, uint32_t rate,
                                          const std::vector<uint32_t>& plays,
                                          const std::function<int32_t(uint32_t, int32_t)>& sample,
                                          const std::function<void()>& captureStarts = [] {},
                                          const std::function<void()>& captureEnds = [] {}) {
  volatile int phase = 0;
  volatile bool captured = false;
  HostReport report;
  plat::Process* process = plat::StartProcess("host.exe", bits, [&]() -> ULONG {
    AsioHost host(bits);
    AsioCapsReply caps{};
    if (!host.Send(IOCTL_QX531_ASIO_SET_SAMPLE_RATE, host::Words({rate}), 0).ok || !host.GetCaps(&caps) ||
        !host.CreateBuffers(Channels(0, kChannels), plays, caps.mBufferFrames) || !host.Start())
      return 1;
    StreamHost(rig.sched, host, 8500, caps.mBufferFrames, plays, sample);
    phase = 1;
    report = StreamHost(rig.sched, host, 1500, caps.mBufferFrames, plays, sample);
    phase = 2;
    while (!captured) host::Pause(5);
    return host.Stop() && host.Dispose() ? 0 : 2;
  });
  EXPECT_TRUE(rig.sched.RunUntil([&] { return phase == 1; }, rig.sched.Now() + 20 * kNsPerSecond));
  unit.Playback().ClearCapture();
  unit.Playback().SetCapture(true, 48000 * 4);
  captureStarts();
  EXPECT_TRUE(rig.sched.RunUntil([&] { return phase == 2; }, rig.sched.Now() + 10 * kNsPerSecond));
  unit.Playback().SetCapture(false, 0);
  captureEnds();
  captured = true;
  plat::WaitProcess(process);
  EXPECT_EQ(process->ExitCode(), 0u);
  plat::ReleaseProcess(process);
  return report;
}

int32_t Loop(uint32_t, int32_t recorded) { return recorded; }

// Pool allocations outstanding, less the running host process's own and its thread's.
size_t PoolOutsideProcesses() {
  size_t allocations = 0;
  for (const plat::PoolUse& use : plat::PoolLedger::Outstanding())
    if (plat::TagText(use.tag) != "Proc" && plat::TagText(use.tag) != "Thre") allocations += use.allocations;
  return allocations;
}

// The test kernel client with the audio commands these tests use.
class KernelClient : public drvtest::KernelClient {
 public:
  // Rings for the listed channels, 32-bit at `rate`; the client loops each record channel to the
  // playback channel of its number.
  NTSTATUS Allocate(const std::vector<uint32_t>& records, const std::vector<uint32_t>& plays, uint32_t rate = 48000) {
    std::vector<UCHAR> buffers(1544, 0);
    for (uint32_t c : plays) buffers[4 * c] = 1;
    for (uint32_t c : records) buffers[768 + 4 * c] = 1;
    buffers[1540] = rate == 44100 ? 0x2 : rate == 48000 ? 0x4 : rate == 88200 ? 0x8 : 0x10;
    return Command(0x1002, 0, &buffers);
  }
  NTSTATUS Start() { return Command(0x1004, 1); }
  NTSTATUS Stop() { return Command(0x1005, 1); }
};

// A stereo pin of the adapter playing `buffer` (kAdapterFrames frames) on unit channels 2 x pin
// and 2 x pin + 1.
void PlayPin(TestAdapter* adapter, ULONG pin, std::vector<int32_t>& buffer) {
  PdoDirectInterface& t = adapter->table;
  t.SetStreamFormat(t.Context, pin, kStereo32);
  t.SetStreamBuffer(t.Context, pin, 0, buffer.data(), static_cast<ULONG>(buffer.size() * sizeof buffer[0]));
  t.SetStreamState(t.Context, pin, 0, kWdmStateRun);
}

void StopPin(TestAdapter* adapter, ULONG pin) {
  PdoDirectInterface& t = adapter->table;
  t.SetStreamState(t.Context, pin, 0, kWdmStateStop);
}

std::vector<int32_t> ConstantPin(int32_t left, int32_t right) {
  std::vector<int32_t> buffer(2 * kAdapterFrames);
  for (size_t f = 0; f < kAdapterFrames; ++f) {
    buffer[2 * f] = left;
    buffer[2 * f + 1] = right;
  }
  return buffer;
}

std::vector<int32_t> RampPin() {
  std::vector<int32_t> buffer(2 * kAdapterFrames);
  for (uint32_t f = 0; f < kAdapterFrames; ++f)
    for (uint32_t c = 0; c < 2; ++c) buffer[2 * f + c] = RenderSample(f, c);
  return buffer;
}

constexpr int32_t kLow = -0x60000000;
constexpr int32_t kHigh = 0x60000000;
constexpr int32_t kSmall = 0x100;

// A host of each width at each rate.
class AllClientsAtRates : public testing::TestWithParam<std::tuple<unsigned, uint32_t>> {
 protected:
  unsigned Bits() const { return std::get<0>(GetParam()); }
  uint32_t Rate() const { return std::get<1>(GetParam()); }
};

// The host plays channels 0-15 and records all 18; the adapter plays 0-3 with it and 16-17 alone.
// Where both play the unit gets the sum, held at the ends of the range; where one plays, its copy.
TEST_P(AllClientsAtRates, AHostAndTheAdapterPlayingTogetherMixWithSaturationAndCopyWhereOnlyOnePlays) {
  DriverRig rig;
  drvtest::InstallTestAdapter();
  sim::MainUnit unit;
  rig.Plug(unit);
  rig.Quiesce();
  TestAdapter* adapter = drvtest::MainUnitAdapter();
  ASSERT_NE(adapter, nullptr);
  std::vector<int32_t> saturating = ConstantPin(kLow, kHigh);
  std::vector<int32_t> small = ConstantPin(kSmall, kSmall);
  std::vector<int32_t> ramp = RampPin();
  PlayPin(adapter, 0, saturating);
  PlayPin(adapter, 1, small);
  PlayPin(adapter, 8, ramp);

  const std::vector<uint32_t> plays = Channels(0, 16);
  const auto sample = [](uint32_t channel, int32_t recorded) {
    return channel == 0 ? kLow : channel == 1 ? kHigh : recorded;
  };
  const HostReport report = StreamHostWhileTheUnitCaptures(rig, unit, Bits(), Rate(), plays, sample);
  EXPECT_GT(report.events, 0u);
  EXPECT_EQ(report.timeouts, 0u);
  EXPECT_EQ(report.recordBreaks, 0u) << "the host records bit-exact beside the adapter";
  EXPECT_EQ(report.outputReadyFailures, 0u);
  ExpectConstant(unit, 0, INT32_MIN);
  ExpectConstant(unit, 1, INT32_MAX);
  ExpectRampPlus(unit, 2, kSmall);
  ExpectRampPlus(unit, 3, kSmall);
  for (uint32_t c = 4; c < 16; ++c) ExpectRampPlus(unit, c, 0);
  ExpectAdapterCopy(unit, 16, 0);
  ExpectAdapterCopy(unit, 17, 1);
  for (ULONG pin : {0u, 1u, 8u}) StopPin(adapter, pin);
  rig.Shutdown();
}

// The kernel client loops channels 0-5; the host plays 4-17, a value near the top on 4 and a small
// one on 5, and loops the rest. Where both play the kernel client's samples are added to the
// host's, held at the top; where it alone plays they are copied.
TEST_P(AllClientsAtRates, AKernelClientBesideAHostIsMixedWhereTheHostPlaysTooAndCopiedWhereItAlonePlays) {
  constexpr int32_t kNearTop = 0x7F000000;
  DriverRig rig(0, 2, drvtest::Load::Image);
  sim::MainUnit unit;
  rig.Plug(unit);
  rig.Quiesce();
  {
    KernelClient client;
    rig.Settle();
    ASSERT_EQ(client.State().bound, 1u);
    ASSERT_EQ(client.Allocate(Channels(0, kChannels), Channels(0, 6), Rate()), STATUS_SUCCESS);
    ASSERT_EQ(client.Start(), STATUS_SUCCESS);

    const std::vector<uint32_t> plays = Channels(4, kChannels);
    const auto sample = [](uint32_t channel, int32_t recorded) {
      return channel == 4 ? kNearTop : channel == 5 ? kSmall : recorded;
    };
    kclient::State before{};
    kclient::State after{};
    const HostReport report = StreamHostWhileTheUnitCaptures(
        rig, unit, Bits(), Rate(), plays, sample, [&] { before = client.State(); }, [&] { after = client.State(); });
    EXPECT_EQ(report.recordBreaks, 0u) << "the host records bit-exact beside the kernel client";
    EXPECT_EQ(report.timeouts, 0u);
    EXPECT_NEAR(static_cast<double>(after.exchanges - before.exchanges), static_cast<double>(report.events), 2.0)
        << "the kernel client is served once per half the host is";
    EXPECT_EQ(after.positionSlips, 0u);
    for (uint32_t c = 0; c < 4; ++c) ExpectRampPlus(unit, c, 0);
    ExpectConstant(unit, 4, INT32_MAX);
    ExpectRampPlus(unit, 5, kSmall);
    for (uint32_t c = 6; c < kChannels; ++c) ExpectRampPlus(unit, c, 0);
    EXPECT_EQ(client.Stop(), STATUS_SUCCESS);
  }
  rig.Unplug(unit);
  rig.Shutdown();
}

INSTANTIATE_TEST_SUITE_P(HostsAndRates, AllClientsAtRates,
                         testing::Combine(testing::Values(32u, 64u), testing::Values(44100u, 48000u, 88200u, 96000u)),
                         [](const testing::TestParamInfo<std::tuple<unsigned, uint32_t>>& info) {
                           return std::to_string(std::get<0>(info.param)) + "BitHostAt" +
                                  std::to_string(std::get<1>(info.param));
                         });

// The unit pulled out while a host streams all channels and the adapter plays two: the host's
// requests fail, its CLEANUP undoes its mappings, the unit's device goes with nothing of it left
// in pool, and once plugged back in the adapter binds to the new child and both stream again.
TEST(AllClients, TheUnitPulledOutUnderAHostAndAPlayingAdapterLeavesNothingAndBothStreamAgainOnceBack) {
  DriverRig rig;
  drvtest::InstallTestAdapter();
  sim::MainUnit unit;
  const size_t poolBeforePlug = PoolOutsideProcesses();
  rig.Plug(unit);
  rig.Quiesce();
  TestAdapter* first = drvtest::MainUnitAdapter();
  ASSERT_NE(first, nullptr);
  std::vector<int32_t> ramp = RampPin();
  PlayPin(first, 8, ramp);

  const std::vector<uint32_t> all = Channels(0, kChannels);
  volatile int phase = 0;
  volatile bool captured = false;
  HostReport beforePull, afterReplug;
  bool failedAfterPull = false;
  size_t mappedAfterClose = 1;
  plat::Process* process = plat::StartProcess("host.exe", 64, [&]() -> ULONG {
    {
      AsioHost host(64);
      AsioCapsReply caps{};
      if (!host.GetCaps(&caps) || !host.CreateBuffers(all, all, caps.mBufferFrames) || !host.Start()) return 1;
      beforePull = StreamHost(rig.sched, host, 1000, caps.mBufferFrames, all, Loop);
      phase = 1;
      while (phase == 1) StreamHost(rig.sched, host, 100, caps.mBufferFrames, all, Loop);
      while (host.OutputReady()) host::Pause(10);
      failedAfterPull = !host.Start() && !host.Stop();
    }
    mappedAfterClose = plat::CurrentProcess()->Mappings().size();
    phase = 3;
    while (phase != 4) host::Pause(50);
    AsioHost again(64);
    AsioCapsReply caps{};
    if (!again.GetCaps(&caps) || !again.CreateBuffers(all, Channels(0, 16), caps.mBufferFrames) || !again.Start())
      return 2;
    StreamHost(rig.sched, again, 1500, caps.mBufferFrames, Channels(0, 16), Loop);
    phase = 5;
    afterReplug = StreamHost(rig.sched, again, 1000, caps.mBufferFrames, Channels(0, 16), Loop);
    phase = 6;
    while (!captured) host::Pause(5);
    return again.Stop() && again.Dispose() ? 0 : 3;
  });
  ASSERT_TRUE(rig.sched.RunUntil([&] { return phase == 1; }, rig.sched.Now() + 10 * kNsPerSecond));
  rig.Unplug(unit);
  phase = 2;
  ASSERT_TRUE(rig.sched.RunUntil([&] { return phase == 3; }, rig.sched.Now() + 10 * kNsPerSecond));
  rig.Settle();
  EXPECT_EQ(rig.DeviceOf(unit), nullptr);
  EXPECT_EQ(drvtest::MainUnitAdapter(), nullptr) << "the adapter let go of the child at its removal";
  EXPECT_EQ(PoolOutsideProcesses(), poolBeforePlug) << plat::PoolLedger::LeakReport();

  rig.Plug(unit);
  rig.Quiesce();
  TestAdapter* second = drvtest::MainUnitAdapter();
  ASSERT_NE(second, nullptr) << "the adapter binds to the new child";
  PlayPin(second, 8, ramp);
  phase = 4;
  ASSERT_TRUE(rig.sched.RunUntil([&] { return phase == 5; }, rig.sched.Now() + 10 * kNsPerSecond));
  unit.Playback().ClearCapture();
  unit.Playback().SetCapture(true, 48000 * 4);
  const ULONG notified = second->notifies[8][0];
  ASSERT_TRUE(rig.sched.RunUntil([&] { return phase == 6; }, rig.sched.Now() + 10 * kNsPerSecond));
  unit.Playback().SetCapture(false, 0);
  captured = true;
  plat::WaitProcess(process);
  EXPECT_EQ(process->ExitCode(), 0u);
  plat::ReleaseProcess(process);

  EXPECT_GT(beforePull.events, 0u);
  EXPECT_TRUE(failedAfterPull) << "the host's requests fail once the unit is gone";
  EXPECT_EQ(mappedAfterClose, 0u) << "the host's CLEANUP undid its mappings";
  EXPECT_GT(second->notifies[8][0], notified);
  EXPECT_GT(afterReplug.events, 20u);
  EXPECT_EQ(afterReplug.timeouts, 0u);
  EXPECT_EQ(afterReplug.recordBreaks, 0u);
  for (uint32_t c = 0; c < 16; ++c) ExpectRampPlus(unit, c, 0);
  ExpectAdapterCopy(unit, 16, 0);
  ExpectAdapterCopy(unit, 17, 1);
  StopPin(second, 8);
  rig.Shutdown();
}

// A host (channels 0-3), an adapter pin (4-5) and a kernel client (8-9) each stop and start again
// beside the others while the stream runs, in every interleaving the seeds give. Afterwards each
// is still served, the host records bit-exact, the unit streams exactly the channels attached,
// and all three play bit-exact.
TEST(AllClients, ClientsStartingStoppingAndRestartingBesideEachOtherStayServedOnTheirChannelsUnderEverySeed) {
  for (uint64_t seed : qxtest::InterleavingSeeds(6)) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    DriverRig rig(seed, 2, drvtest::Load::Image);
    drvtest::InstallTestAdapter();
    sim::MainUnit unit;
    rig.Plug(unit);
    rig.Quiesce();
    TestAdapter* adapter = drvtest::MainUnitAdapter();
    ASSERT_NE(adapter, nullptr);
    std::vector<int32_t> ramp = RampPin();
    const std::vector<uint32_t> hostChannels = Channels(0, 4);
    const std::vector<uint32_t> kernelChannels = Channels(8, 10);
    {
      KernelClient client;
      rig.Settle();
      ASSERT_EQ(client.State().bound, 1u);
      ASSERT_EQ(client.Allocate(kernelChannels, kernelChannels), STATUS_SUCCESS);
      ASSERT_EQ(client.Start(), STATUS_SUCCESS);
      PlayPin(adapter, 2, ramp);

      volatile bool go = false;
      volatile int phase = 0;
      volatile bool captured = false;
      HostReport report;
      plat::Process* process = plat::StartProcess("host.exe", 64, [&]() -> ULONG {
        AsioHost host(64);
        AsioCapsReply caps{};
        if (!host.GetCaps(&caps) || !host.CreateBuffers(hostChannels, hostChannels, caps.mBufferFrames) ||
            !host.Start())
          return 1;
        for (uint32_t round = 0; round < 3; ++round) {
          host::Pause(1 + (round * 7 + static_cast<uint32_t>(seed)) % 13);
          if (!host.Stop()) return 2;
          host::Pause(1 + round);
          if (!host.Start()) return 3;
        }
        while (!go) host::Pause(10);
        if (!host.StreamUntilSteady(caps.mBufferFrames)) return 4;
        phase = 1;
        const host::StreamReport r = host.Stream(1500, caps.mBufferFrames);
        report.events = r.events;
        report.timeouts = r.timeouts;
        report.recordBreaks = r.recordBreaks + r.repeats;
        report.outputReadyFailures = r.outputReadyFailures;
        phase = 2;
        while (!captured) host::Pause(5);
        return host.Stop() && host.Dispose() ? 0 : 5;
      });
      std::vector<uint32_t> threads;
      threads.push_back(rig.sched.Spawn("pin", [&] {
        for (int i = 0; i < 3; ++i) {
          StopPin(adapter, 2);
          PlayPin(adapter, 2, ramp);
        }
      }));
      threads.push_back(rig.sched.Spawn("kernel client", [&] {
        for (int i = 0; i < 3; ++i) {
          EXPECT_EQ(client.Stop(), STATUS_SUCCESS);
          EXPECT_EQ(client.Start(), STATUS_SUCCESS);
        }
      }));
      ASSERT_TRUE(rig.sched.RunUntil(
          [&] {
            for (uint32_t id : threads)
              if (!rig.sched.ThreadDone(id)) return false;
            return true;
          },
          rig.sched.Now() + 5 * kNsPerSecond));
      go = true;
      ASSERT_TRUE(rig.sched.RunUntil([&] { return phase == 1; }, rig.sched.Now() + 12 * kNsPerSecond));
      unit.Playback().ClearCapture();
      unit.Playback().SetCapture(true, 48000 * 4);
      const uint32_t exchanges = client.State().exchanges;
      const ULONG notified = adapter->notifies[2][0];
      rig.sched.RunFor(200 * kNsPerMs);
      EXPECT_EQ(unit.Register(QX5310_OUTPUT_MASK), MaskOf(hostChannels) | 0x30u | MaskOf(kernelChannels));
      EXPECT_EQ(unit.Register(QX5310_INPUT_MASK), MaskOf(hostChannels) | MaskOf(kernelChannels));
      ASSERT_TRUE(rig.sched.RunUntil([&] { return phase == 2; }, rig.sched.Now() + 10 * kNsPerSecond));
      unit.Playback().SetCapture(false, 0);
      captured = true;
      plat::WaitProcess(process);
      EXPECT_EQ(process->ExitCode(), 0u);
      plat::ReleaseProcess(process);

      EXPECT_GT(report.events, 0u);
      EXPECT_EQ(report.timeouts, 0u);
      EXPECT_EQ(report.recordBreaks, 0u) << "the host records bit-exact";
      EXPECT_EQ(report.outputReadyFailures, 0u);
      EXPECT_GT(client.State().exchanges, exchanges) << "the kernel client is still served";
      EXPECT_EQ(client.State().positionSlips, 0u);
      EXPECT_GT(adapter->notifies[2][0], notified) << "the adapter is still called back";
      for (uint32_t c : hostChannels) ExpectRampPlus(unit, c, 0);
      ExpectAdapterCopy(unit, 4, 0);
      ExpectAdapterCopy(unit, 5, 1);
      for (uint32_t c : kernelChannels) ExpectRampPlus(unit, c, 0);
      StopPin(adapter, 2);
      EXPECT_EQ(client.Stop(), STATUS_SUCCESS);
    }
    rig.Unplug(unit);
    rig.Shutdown();
  }
}

}  // namespace
