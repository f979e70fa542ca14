// An ASIO host in a 32-bit or 64-bit process streaming all 18 channels each way through the unit
// driver and the simulated main unit: the buffer-index cell alternating, one event per half,
// output ready releasing the held-back playback, the audio back bit-exact; the event never set
// after stop; a buffer-size change asking the host to reset; the unit pulled out and plugged in
// again under a streaming host.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "driver/AsioRequests.h"
#include "driver/QX531PnpDevice.h"
#include "platform/kernel/Process.h"
#include "sim/units/MainUnit.h"
#include "sim/host/AsioHost.h"
#include "tests/driver/DriverRig.h"
#include "sim/host/UserClient.h"
#include "tests/support/Seeds.h"
#include "unit/ControlRequests.h"
#include "unit/PreferencesBlock.h"

namespace {

using host::AsioHost;
using drvtest::DriverRig;
using host::StreamReport;
using host::Words;

std::vector<uint32_t> AllChannels() {
  std::vector<uint32_t> all;
  for (uint32_t c = 0; c < kAsioChannels; ++c) all.push_back(c);
  return all;
}

// The frames captured on each playback channel from the first frame the host played on, as long
// as each continues its channel's ramp; and how many frames broke it after that.
struct PlaybackCheck {
  uint64_t continued = 0;
  uint64_t breaks = 0;
};

// The host loops each record channel back to the playback channel of the same number, so channel
// c plays c << 24 | frame. Channel 0's first frame may be 0 itself: its start is channel 1's.
PlaybackCheck CheckPlayback(const sim::MainUnit& unit) {
  PlaybackCheck check;
  const std::vector<int32_t>& reference = unit.Playback().Captured(1);
  size_t start = 0;
  while (start < reference.size() && reference[start] == 0) ++start;
  for (uint32_t c = 0; c < kAsioChannels; ++c) {
    const std::vector<int32_t>& captured = unit.Playback().Captured(static_cast<int>(c));
    uint64_t breaks = 0;
    for (size_t i = start; i + 1 < captured.size(); ++i) {
      const auto now = static_cast<uint32_t>(captured[i]);
      const auto next = static_cast<uint32_t>(captured[i + 1]);
      if (now >> 24 != c || next != (c << 24 | ((now + 1) & 0xFFFFFF))) ++breaks;
    }
    check.breaks += breaks;
    if (c == 0) check.continued = captured.size() > start ? captured.size() - start : 0;
  }
  return check;
}

class AsioStream : public testing::TestWithParam<std::tuple<unsigned, uint32_t>> {
 protected:
  void SetUp() override {
    rig.Plug(unit);
    rig.Quiesce();
    ASSERT_NE(rig.DeviceOf(unit), nullptr);
  }

  DriverRig rig;
  sim::MainUnit unit;
};

TEST_P(AsioStream, AHostStreamsEighteenChannelsEachWayBitExactForTenSeconds) {
  const auto [bits, rate] = GetParam();
  constexpr uint32_t kMs = 10000;
  AsioCapsReply caps{};
  StreamReport report;
  bool stopped = false;
  ASSERT_EQ(rig.RunProgram(bits, [&, bits = bits, rate = rate]() -> uint32_t {
              AsioHost host(bits);
              if (!host.Send(IOCTL_QX531_ASIO_SET_SAMPLE_RATE, Words({rate}), 0).ok) return 1;
              if (!host.GetCaps(&caps)) return 2;
              if (!host.CreateBuffers(AllChannels(), AllChannels(), caps.mBufferFrames)) return 3;
              if (!host.Start()) return 4;
              if (!host.StreamUntilSteady(caps.mBufferFrames)) return 5;
              unit.Playback().ClearCapture();
              report = host.Stream(kMs, caps.mBufferFrames);
              unit.Playback().SetCapture(false, 0);
              stopped = host.Stop() && host.Dispose();
              return 0;
            }),
            0u);
  EXPECT_EQ(caps.mMagic, 397411u);
  EXPECT_TRUE(stopped);
  const uint64_t halves = uint64_t{kMs} * rate / 1000 / caps.mBufferFrames;
  EXPECT_GE(report.events + 2, halves) << "one event per half";
  EXPECT_LE(report.events, halves + 1);
  EXPECT_EQ(report.repeats, 0u) << "the index cell alternates";
  EXPECT_EQ(report.timeouts, 0u);
  EXPECT_LE(report.recordBreaks, 0u);
  EXPECT_EQ(report.outputReadyFailures, 0u);
  const PlaybackCheck played = CheckPlayback(unit);
  EXPECT_EQ(played.breaks, 0u) << "what the host played reached the unit bit for bit";
  EXPECT_GE(played.continued, uint64_t{kMs - 100} * rate / 1000) << "output ready released every half";
  EXPECT_EQ(unit.Playback().Stats().Errors(), 0u);
}

INSTANTIATE_TEST_SUITE_P(HostsAndRates, AsioStream,
                         testing::Combine(testing::Values(32u, 64u), testing::Values(44100u, 48000u, 88200u, 96000u)),
                         [](const testing::TestParamInfo<std::tuple<unsigned, uint32_t>>& info) {
                           return std::to_string(std::get<0>(info.param)) + "BitHostAt" +
                                  std::to_string(std::get<1>(info.param));
                         });

// The host's output-ready request converts its half while the next list completes, possibly on
// another processor: in every interleaving what it played reaches the unit bit for bit.
TEST(AsioSession, OutputReadyRacingTheNextCompletionStillPlaysBitExactUnderEverySeed) {
  for (uint64_t seed : qxtest::InterleavingSeeds(6)) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    DriverRig rig(seed);
    sim::MainUnit unit;
    rig.Plug(unit);
    rig.Quiesce();
    StreamReport report;
    ASSERT_EQ(rig.RunProgram(64, [&]() -> uint32_t {
                AsioHost host(64);
                AsioCapsReply caps{};
                if (!host.GetCaps(&caps) || !host.CreateBuffers(AllChannels(), AllChannels(), caps.mBufferFrames) ||
                    !host.Start() || !host.StreamUntilSteady(caps.mBufferFrames))
                  return 1;
                unit.Playback().ClearCapture();
                report = host.Stream(1000, caps.mBufferFrames);
                unit.Playback().SetCapture(false, 0);
                return host.Stop() && host.Dispose() ? 0 : 2;
              }),
              0u);
    EXPECT_EQ(report.outputReadyFailures, 0u);
    const PlaybackCheck played = CheckPlayback(unit);
    EXPECT_EQ(played.breaks, 0u);
    EXPECT_GE(played.continued, 48000u * 9 / 10);
    rig.Unplug(unit);
  }
}

// Every host that creates the driver asks for the capabilities and polls the clock. Other hosts
// doing so while the owner streams take nothing from it: no half of its output is lost.
TEST(AsioSession, OtherHostsCreatingTheDriverWhileTheOwnerStreamsLoseNoHalfOfItsOutput) {
  DriverRig rig;
  sim::MainUnit unit;
  rig.Plug(unit);
  rig.Quiesce();
  volatile bool streaming = false;
  StreamReport report;
  plat::Process* owner = plat::StartProcess("host.exe", 64, [&]() -> ULONG {
    AsioHost host(64);
    AsioCapsReply caps{};
    if (!host.GetCaps(&caps) || !host.CreateBuffers(AllChannels(), AllChannels(), caps.mBufferFrames) ||
        !host.Start() || !host.StreamUntilSteady(caps.mBufferFrames))
      return 1;
    unit.Playback().ClearCapture();
    streaming = true;
    report = host.Stream(1500, caps.mBufferFrames);
    unit.Playback().SetCapture(false, 0);
    return host.Stop() && host.Dispose() ? 0 : 2;
  });
  ASSERT_TRUE(rig.sched.RunUntil([&] { return streaming; }, rig.sched.Now() + 10 * plat::kNsPerSecond));
  for (unsigned bits : {32u, 64u}) {
    EXPECT_EQ(rig.RunProgram(bits, [&]() -> uint32_t {
                for (int i = 0; i < 4; ++i) {
                  AsioHost other(bits);
                  AsioCapsReply caps{};
                  if (!other.GetCaps(&caps) || other.ResetRequest() != 0) return 1;
                  host::Pause(30);
                }
                return 0;
              }),
              0u);
  }
  plat::WaitProcess(owner);
  EXPECT_EQ(owner->ExitCode(), 0u);
  plat::ReleaseProcess(owner);
  EXPECT_EQ(report.outputReadyFailures, 0u);
  EXPECT_EQ(report.recordBreaks, 0u);
  const PlaybackCheck played = CheckPlayback(unit);
  EXPECT_EQ(played.breaks, 0u) << "every half the owner played reached the unit";
  EXPECT_GE(played.continued, 48000u * 13 / 10);
}

TEST(AsioSession, TheEventIsNeverSetOnceStopHasReturned) {
  for (uint64_t seed : qxtest::InterleavingSeeds(12)) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    DriverRig rig(seed);
    sim::MainUnit unit;
    rig.Plug(unit);
    rig.Quiesce();
    // The streams keep running across the host's stops, as they do once the driver wants them.
    rig.DeviceOf(unit)->SetDriverWantsStreaming();
    uint32_t setAfterStop = 0;
    ASSERT_EQ(rig.RunProgram(64, [&]() -> uint32_t {
                AsioHost host(64);
                AsioCapsReply caps{};
                if (!host.GetCaps(&caps) || !host.CreateBuffers({0}, {0}, caps.mBufferFrames) || !host.Start()) return 1;
                if (!host.StreamUntilSteady(caps.mBufferFrames)) return 5;
                // Each stop lands at another point of the stream's halves, and with the seed at
                // another point of a completion running beside it.
                for (uint32_t round = 0; round < 24; ++round) {
                  if (round != 0 && !host.Start()) return 2;
                  host::Pause(1 + (round + static_cast<uint32_t>(seed)) % 11);
                  if (!host.Stop()) return 3;
                  // A set from before stop returned may still be pending; none may come after.
                  host.WaitForHalf(0);
                  if (host.WaitForHalf(12)) ++setAfterStop;
                }
                return host.Dispose() ? 0 : 4;
              }),
              0u);
    EXPECT_EQ(setAfterStop, 0u);
    rig.Shutdown();
  }
}

TEST(AsioSession, ABufferSizeChangeAsksTheHostToResetAndItsStopRestartsTheStreams) {
  DriverRig rig;
  sim::MainUnit unit;
  rig.Plug(unit);
  rig.Quiesce();
  AsioCapsReply first{}, second{};
  StreamReport beforeChange, afterRestart;
  volatile bool streaming = false;
  plat::Process* host = plat::StartProcess("host.exe", 64, [&]() -> ULONG {
    AsioHost asio(64);
    if (!asio.GetCaps(&first) || !asio.CreateBuffers(AllChannels(), AllChannels(), first.mBufferFrames) ||
        !asio.Start())
      return 1;
    if (!asio.StreamUntilSteady(first.mBufferFrames)) return 5;
    streaming = true;
    beforeChange = asio.Stream(5000, first.mBufferFrames, true);
    // What a host does on the reset request: stop, dispose, and start over with the new size.
    if (!asio.Stop() || !asio.Dispose() || !asio.GetCaps(&second)) return 2;
    if (!asio.CreateBuffers(AllChannels(), AllChannels(), second.mBufferFrames) || !asio.Start()) return 3;
    if (!asio.StreamUntilSteady(second.mBufferFrames)) return 6;
    afterRestart = asio.Stream(500, second.mBufferFrames);
    return asio.Stop() && asio.Dispose() ? 0 : 4;
  });
  ASSERT_TRUE(rig.sched.RunUntil([&] { return streaming; }, rig.sched.Now() + 12 * plat::kNsPerSecond));
  rig.sched.RunFor(100 * plat::kNsPerMs);
  const uint32_t newFrames = first.mBufferFrames == 512 ? 256 : 512;
  ASSERT_EQ(rig.RunProgram(64, [&]() -> uint32_t {
              std::vector<std::string> units = host::FindUnitInterfaces();
              if (units.empty()) return 1;
              host::Reply r = host::SendControl(
                  units[0], {IOCTL_QX531_SET_PREFERENCE,
                             Words({PreferencesBlock::kMagic, PreferencesBlock::kVersion,
                                    PreferencesBlock::kParamBufferSizeIndex, BufferSizeIndexOf(newFrames)}),
                             0});
              return r.ok ? 0 : 2;
            }),
            0u);
  plat::WaitProcess(host);
  EXPECT_EQ(host->ExitCode(), 0u);
  plat::ReleaseProcess(host);
  EXPECT_GE(beforeChange.resetRequests, 1u) << "the host's poll saw the reset request";
  EXPECT_EQ(second.mBufferFrames, newFrames);
  EXPECT_GT(afterRestart.events, 0u) << "the host's stop restarted the streams";
  EXPECT_EQ(afterRestart.repeats, 0u);
}

TEST(AsioSession, TheUnitPulledOutUnderAStreamingHostFailsItsRequestsAndStreamsAgainOncePluggedBackIn) {
  DriverRig rig;
  sim::MainUnit unit;
  rig.Plug(unit);
  rig.Quiesce();
  StreamReport beforePull, afterReplug;
  volatile int phase = 0;
  size_t mappedAfterClose = 1;
  plat::Process* host = plat::StartProcess("host.exe", 32, [&]() -> ULONG {
    {
      AsioHost asio(32);
      AsioCapsReply caps{};
      if (!asio.GetCaps(&caps) || !asio.CreateBuffers(AllChannels(), AllChannels(), caps.mBufferFrames) ||
          !asio.Start())
        return 1;
      if (!asio.StreamUntilSteady(caps.mBufferFrames)) return 5;
      phase = 1;
      // Streams until its requests fail, as a host does until it gives the driver up.
      while (phase == 1) beforePull = asio.Stream(100, caps.mBufferFrames);
      while (asio.OutputReady()) host::Pause(10);
    }
    mappedAfterClose = plat::CurrentProcess()->Mappings().size();
    while (host::FindUnitInterfaces().empty()) host::Pause(50);
    AsioHost again(32);
    AsioCapsReply caps{};
    if (!again.GetCaps(&caps) || !again.CreateBuffers(AllChannels(), AllChannels(), caps.mBufferFrames) ||
        !again.Start())
      return 2;
    if (!again.StreamUntilSteady(caps.mBufferFrames)) return 6;
    afterReplug = again.Stream(1000, caps.mBufferFrames);
    return again.Stop() && again.Dispose() ? 0 : 3;
  });
  ASSERT_TRUE(rig.sched.RunUntil([&] { return phase == 1; }, rig.sched.Now() + 12 * plat::kNsPerSecond));
  rig.sched.RunFor(200 * plat::kNsPerMs);
  rig.Unplug(unit);
  phase = 2;
  rig.sched.RunFor(500 * plat::kNsPerMs);
  rig.Plug(unit);
  plat::WaitProcess(host);
  EXPECT_EQ(host->ExitCode(), 0u);
  plat::ReleaseProcess(host);
  EXPECT_GT(beforePull.events, 0u);
  EXPECT_EQ(mappedAfterClose, 0u) << "the host's CLEANUP undid its mappings";
  // At least a second's halves of the largest buffer at the lowest rate.
  EXPECT_GE(afterReplug.events, 20u);
  EXPECT_EQ(afterReplug.timeouts, 0u);
  EXPECT_EQ(afterReplug.repeats, 0u);
}

}  // namespace
