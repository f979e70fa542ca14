// The ASIO driver DLL in host processes against the unit driver and a simulated main unit: the
// host sequence streaming 18 channels each way bit-exact, a buffer-size change from the panel's
// side, a host killed mid-stream, the unit pulled and plugged back, two host processes in turn,
// and start, stop and the thread's end under interleaving seeds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "client/QX531WinDriverInterface.h"
#include "platform/asio/AsioHostHarness.h"
#include "tests/asio/AsioMachine.h"
#include "tests/support/Seeds.h"
#include "unit/PreferencesBlock.h"

namespace asiotest {
namespace {

using plat::asio::AsioHostHarness;
using plat::asio::BufferSwitchCall;

constexpr uint32_t kChannels = 18;

// A host that checks each record half continues its channel's ramp and plays it back on the
// output of the same number.
struct LoopingHost {
  AsioHostHarness host;
  bool known[kChannels] = {};
  uint32_t next[kChannels] = {};
  uint64_t recordBreaks = 0;
  volatile bool resetRequested = false;

  LoopingHost() {
    host.onBuffer = [this](ASIOLong index) {
      const std::vector<ASIOBufferInfo>& b = host.Buffers();
      const size_t inputs = host.InputEntries();
      for (size_t k = 0; k < inputs; ++k) {
        const auto* in = static_cast<const int32_t*>(b[k].buffers[index]);
        const auto channel = static_cast<uint32_t>(b[k].channelNum);
        if (!ContinuesRamp(channel, in, static_cast<size_t>(host.Frames()), &known[channel], &next[channel]))
          ++recordBreaks;
        if (inputs + k < b.size())
          std::memcpy(b[inputs + k].buffers[index], in, static_cast<size_t>(host.Frames()) * sizeof(int32_t));
      }
    };
    host.onMessage = [this](ASIOLong selector) {
      if (selector == kAsioResetRequest) resetRequested = true;
    };
  }
  bool Open() { return host.Load(kDriverKey) && host.Prepare(); }
};

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class AsioHost : public testing::Test {
 protected:
  void SetUp() override { machine.PlugMain(); }
  void TearDown() override { machine.Shutdown(); }

  // Runs until `flag` is set, failing the test after `ms`.
  void Until(const volatile bool& flag, uint64_t ms = 20000) {
    ASSERT_TRUE(machine.RunUntil([&] { return flag; }, ms));
  }

  DriverMachine machine;
};

TEST_F(AsioHost, TheHostSequenceStreamsEighteenChannelsEachWayBitExactForTenVirtualSeconds) {
  constexpr uint32_t kSeconds = 10;
  std::unique_ptr<LoopingHost> host;
  volatile bool steady = false, capturing = false, done = false, captured = false;
  size_t first = 0;
  uint64_t breaks = 0;
  ASIOError stopped = ASE_NotPresent, disposed = ASE_NotPresent;
  HostProcess process([&]() -> uint32_t {
    host = std::make_unique<LoopingHost>();
    if (!host->Open() || host->host.Start() != ASE_OK) return 1;
    Sleep(1500);
    steady = true;
    while (!capturing) Sleep(1);
    first = host->host.switches.size();
    host->recordBreaks = 0;
    Sleep(kSeconds * 1000);
    breaks = host->recordBreaks;
    done = true;
    while (!captured) Sleep(1);
    stopped = host->host.Stop();
    disposed = host->host.Dispose();
    host->host.Release();
    return 0;
  });
  Until(steady);
  machine.Capture(true);
  capturing = true;
  Until(done);
  machine.Capture(false);
  captured = true;
  machine.Wait(process);
  ASSERT_EQ(process.ExitCode(), 0u) << host->host.Failure();
  EXPECT_EQ(stopped, ASE_OK);
  EXPECT_EQ(disposed, ASE_OK);

  const plat::asio::HostSetup& s = host->host.Setup();
  EXPECT_EQ(s.driverName, "QX531 24-bit");
  EXPECT_EQ(s.version, 2);
  EXPECT_EQ(s.inputs, 18);
  EXPECT_EQ(s.outputs, 18);
  ASSERT_EQ(s.channels.size(), 36u);
  EXPECT_STREQ(s.channels[8].name, "ADAT 1");
  EXPECT_STREQ(s.channels[35].name, "S/PDIF R");
  EXPECT_EQ(s.channels[0].type, ASIOSTInt32LSB);
  EXPECT_EQ(s.inputLatency, s.preferredSize + 30);
  EXPECT_EQ(s.canRates, (std::vector<ASIOError>(4, ASE_OK)));
  ASSERT_EQ(s.clocks.size(), 4u);
  EXPECT_EQ(s.clocks[0].isCurrentSource, ASIOTrue);
  EXPECT_EQ(s.minSize, s.preferredSize);
  const auto rate = static_cast<uint64_t>(s.rate);
  const auto frames = static_cast<uint64_t>(host->host.Frames());
  ASSERT_GT(frames, 0u);

  const std::vector<BufferSwitchCall>& switches = host->host.switches;
  const uint64_t expected = kSeconds * rate / frames;
  const uint64_t measured = switches.size() - first;
  EXPECT_GE(measured + 2, expected) << "one switch per half";
  EXPECT_LE(measured, expected + 2);
  for (size_t i = first; i < switches.size(); ++i) {
    SCOPED_TRACE(i);
    const BufferSwitchCall& c = switches[i];
    ASSERT_TRUE(c.timeInfo);
    ASSERT_NE(c.index, switches[i - 1].index) << "every switch alternates its index";
    ASSERT_EQ(c.time.timeInfo.samplePosition.lo - switches[i - 1].time.timeInfo.samplePosition.lo, frames);
    ASSERT_EQ(c.time.timeInfo.flags, kSystemTimeValid | kSamplePositionValid | kSampleRateValid);
    ASSERT_EQ(double{c.time.timeInfo.sampleRate}, s.rate);
    ASSERT_EQ(c.outputReady, ASE_OK);
  }
  EXPECT_EQ(breaks, 0u) << "every record half continues its channel's ramp";
  for (uint32_t c = 0; c < kChannels; ++c) {
    size_t checked = 0;
    EXPECT_EQ(PlaybackBreaks(machine.Played(c), c, &checked), 0u) << "channel " << c << " played bit-exact";
    EXPECT_GE(checked, (kSeconds * 1000 - 100) * rate / 1000) << c;
  }
  EXPECT_EQ(Count(process.DebugOutput(), "repeat! "), 0u) << "no half repeated";
}

TEST_F(AsioHost, ABufferSizeChangeFromThePanelsSideAsksTheHostToResetAndItStreamsAgainWithTheNewSize) {
  std::unique_ptr<LoopingHost> host;
  volatile bool streaming = false, done = false;
  ASIOLong before = 0, after = 0;
  uint64_t afterSwitches = 0, afterBreaks = 0;
  HostProcess process([&]() -> uint32_t {
    host = std::make_unique<LoopingHost>();
    if (!host->Open() || host->host.Start() != ASE_OK) return 1;
    before = host->host.Frames();
    Sleep(1000);
    streaming = true;
    for (int i = 0; i < 200 && !host->resetRequested; ++i) Sleep(50);
    if (!host->resetRequested) return 2;
    // What a host does on the request: stop, let the driver go, and open it again.
    host->host.Stop();
    host->host.Dispose();
    host->host.Release();
    host = std::make_unique<LoopingHost>();
    if (!host->Open() || host->host.Start() != ASE_OK) return 3;
    after = host->host.Frames();
    Sleep(1000);
    const size_t from = host->host.switches.size();
    host->recordBreaks = 0;
    Sleep(1000);
    afterSwitches = host->host.switches.size() - from;
    afterBreaks = host->recordBreaks;
    host->host.Release();
    done = true;
    return 0;
  });
  Until(streaming);
  int32_t changed = -1;
  HostProcess panel([&]() -> uint32_t {
    QX531WinDriverInterface client;
    client.EnumerateDevices(kQX531InterfaceClass);
    changed = client.SetParameter(PreferencesBlock::kParamBufferSizeIndex, BufferSizeIndexOf(before == 512 ? 256 : 512));
    return 0;
  }, "panel.exe");
  machine.Wait(panel);
  EXPECT_EQ(changed, 0);
  Until(done, 30000);
  machine.Wait(process);
  ASSERT_EQ(process.ExitCode(), 0u);
  EXPECT_EQ(after, before == 512 ? 256 : 512);
  EXPECT_GT(afterSwitches, 0u);
  EXPECT_EQ(afterBreaks, 0u);
}

TEST_F(AsioHost, AHostKilledMidStreamLeavesTheKernelDriverCleanAndANewHostStartsAtOnce) {
  const size_t poolBefore = machine.PoolOutsideProcesses();
  volatile bool streaming = false;
  auto killed = std::make_unique<HostProcess>([&]() -> uint32_t {
    LoopingHost host;
    if (!host.Open() || host.host.Start() != ASE_OK) return 1;
    streaming = true;
    for (;;) Sleep(100);
  });
  Until(streaming);
  machine.RunFor(500);
  killed->Kill();
  machine.Wait(*killed);
  EXPECT_EQ(killed->Mappings(), 0u);
  killed.reset();
  EXPECT_TRUE(machine.AsioSessionIdle()) << "no client active, no event held, nothing mapped";
  EXPECT_EQ(machine.PoolOutsideProcesses(), poolBefore) << "the kernel driver holds nothing of the dead host";

  volatile bool steady = false, capturing = false, done = false;
  uint64_t switches = 0, breaks = 0;
  HostProcess next([&]() -> uint32_t {
    LoopingHost host;
    if (!host.Open() || host.host.Start() != ASE_OK) return 1;
    Sleep(1000);
    steady = true;
    while (!capturing) Sleep(1);
    const size_t from = host.host.switches.size();
    host.recordBreaks = 0;
    Sleep(1500);
    switches = host.host.switches.size() - from;
    breaks = host.recordBreaks;
    done = true;
    return host.host.Stop() == ASE_OK ? 0 : 2;
  });
  Until(steady);
  machine.Capture(true);
  capturing = true;
  Until(done);
  machine.Capture(false);
  machine.Wait(next);
  EXPECT_EQ(next.ExitCode(), 0u);
  EXPECT_GT(switches, 100u);
  EXPECT_EQ(breaks, 0u);
  for (uint32_t c = 0; c < kChannels; ++c) {
    size_t checked = 0;
    EXPECT_EQ(PlaybackBreaks(machine.Played(c), c, &checked), 0u) << "output flows again on channel " << c;
    EXPECT_GT(checked, 48000u) << c;
  }
}

TEST_F(AsioHost, TheUnitPulledOutUnderAStreamingHostAsksItToResetAndAfterReplugItStreamsAgain) {
  volatile bool streaming = false, released = false, replugged = false, done = false;
  ASIOError startWhileGone = ASE_OK;
  ASIOBool initWhileGone = ASIOTrue;
  uint64_t switchesAfter = 0;
  HostProcess process([&]() -> uint32_t {
    auto host = std::make_unique<LoopingHost>();
    if (!host->Open() || host->host.Start() != ASE_OK) return 1;
    streaming = true;
    for (int i = 0; i < 200 && !host->resetRequested; ++i) Sleep(50);
    if (!host->resetRequested) return 2;
    if (host->host.Stop() != ASE_OK || host->host.Dispose() != ASE_OK) return 3;
    startWhileGone = host->host.Start();
    host.reset();
    AsioHostHarness absent;
    if (absent.Load(kDriverKey)) initWhileGone = absent.Driver()->init(nullptr);
    absent.Release();
    released = true;
    while (!replugged) Sleep(10);
    host = std::make_unique<LoopingHost>();
    if (!host->Open() || host->host.Start() != ASE_OK) return 4;
    Sleep(3000);
    switchesAfter = host->host.switches.size();
    done = true;
    return host->host.Stop() == ASE_OK ? 0 : 5;
  });
  Until(streaming);
  machine.RunFor(500);
  machine.UnplugMain();
  Until(released);
  EXPECT_EQ(startWhileGone, ASE_NotPresent);
  EXPECT_EQ(initWhileGone, ASIOFalse);
  machine.PlugMain();
  replugged = true;
  Until(done);
  machine.Wait(process);
  ASSERT_EQ(process.ExitCode(), 0u);
  EXPECT_GT(switchesAfter, 20u);
}

TEST_F(AsioHost, TwoHostProcessesWithTheDllLoadedStreamInTurnEachWithItsOwnGlobals) {
  struct Side {
    std::unique_ptr<LoopingHost> host;
    volatile bool loaded = false, go = false, streaming = false, tried = false, streamed = false, release = false;
    ASIOError createWhileOtherStreams = ASE_OK;
    uint64_t switches = 0, expected = 0, breaks = 0;
    HRESULT unloadWhileHeld = S_OK, unloadAfterRelease = S_FALSE;
  };
  Side a, b;
  auto body = [](Side& side, Side& other) {
    return [&side, &other]() -> uint32_t {
      side.host = std::make_unique<LoopingHost>();
      AsioHostHarness& h = side.host->host;
      if (!h.Load(kDriverKey) || h.Driver()->init(nullptr) != ASIOTrue) return 1;
      side.loaded = true;
      // While the other host streams, the unit's buffers are its own.
      while (!side.go && !other.streaming) Sleep(5);
      if (!side.go) {
        ASIOLong size[4] = {};
        h.Driver()->getBufferSize(&size[0], &size[1], &size[2], &size[3]);
        side.createWhileOtherStreams = h.CreateBuffers({0}, {0}, size[2]);
        side.tried = true;
        while (!side.go) Sleep(5);
      }
      if (!h.Prepare() || h.Start() != ASE_OK) return 2;
      side.streaming = true;
      Sleep(1500);
      const size_t from = h.switches.size();
      side.host->recordBreaks = 0;
      Sleep(1000);
      side.switches = h.switches.size() - from;
      side.expected = static_cast<uint64_t>(h.Setup().rate) / static_cast<uint64_t>(h.Frames());
      side.breaks = side.host->recordBreaks;
      side.streaming = false;
      if (h.Stop() != ASE_OK || h.Dispose() != ASE_OK) return 3;
      side.streamed = true;
      while (!side.release) Sleep(5);
      auto canUnload = reinterpret_cast<LPFNCANUNLOADNOW>(
          reinterpret_cast<void*>(GetProcAddress(h.Module(), "DllCanUnloadNow")));
      side.unloadWhileHeld = canUnload();
      h.ReleaseDriver();
      side.unloadAfterRelease = canUnload();
      return 0;
    };
  };
  HostProcess first(body(a, b), "first.exe");
  HostProcess second(body(b, a), "second.exe");
  Until(a.loaded);
  Until(b.loaded);
  a.go = true;
  Until(b.tried);
  Until(a.streamed);
  a.release = true;
  machine.Wait(first);
  b.go = true;
  Until(b.streamed);
  b.release = true;
  machine.Wait(second);
  ASSERT_EQ(first.ExitCode(), 0u);
  ASSERT_EQ(second.ExitCode(), 0u);
  for (const Side* side : {&a, &b}) {
    EXPECT_GE(side->switches + 2, side->expected);
    EXPECT_EQ(side->breaks, 0u);
  }
  EXPECT_EQ(b.createWhileOtherStreams, ASE_HWMalfunction) << "the first host's session holds the unit";
  EXPECT_EQ(a.unloadWhileHeld, S_FALSE);
  EXPECT_EQ(a.unloadAfterRelease, S_OK) << "the other process's object is not this one's";
  EXPECT_EQ(b.unloadWhileHeld, S_FALSE);
  EXPECT_EQ(b.unloadAfterRelease, S_OK);
}

TEST(AsioHostSeeds, StartStopAndTheThreadsEndLeaveNoSwitchNoThreadAndNoHandleBehindInEveryInterleaving) {
  for (uint64_t seed : qxtest::InterleavingSeeds(12)) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    DriverMachine machine(seed);
    machine.PlugMain();
    struct Round {
      ASIOError start, stop;
      size_t lateSwitches, threads, handles;
    };
    std::vector<Round> rounds;
    ASIOError stoppedInCallback = ASE_NotPresent;
    size_t threadsAfterCallbackStop = 0;
    HostProcess* self = nullptr;
    auto process = std::make_unique<HostProcess>([&]() -> uint32_t {
      LoopingHost host;
      if (!host.Open()) return 1;
      const size_t handles = self->Handles();
      for (uint32_t round = 0; round < 12; ++round) {
        Round r{};
        r.start = host.host.Start();
        Sleep(1 + (round * 7 + static_cast<uint32_t>(seed)) % 23);
        r.stop = host.host.Stop();
        const size_t count = host.host.switches.size();
        Sleep(20);
        r.lateSwitches = host.host.switches.size() - count;
        r.threads = self->RunningThreads();
        r.handles = self->Handles() - handles;
        rounds.push_back(r);
      }
      // A stop from the host's own buffer switch, on the driver's thread.
      const size_t at = host.host.switches.size() + 3;
      host.host.onBuffer = [&](ASIOLong) {
        if (host.host.switches.size() + 1 == at) stoppedInCallback = host.host.Driver()->stop();
      };
      if (host.host.Start() != ASE_OK) return 2;
      for (int i = 0; i < 100 && stoppedInCallback == ASE_NotPresent; ++i) Sleep(5);
      Sleep(100);
      threadsAfterCallbackStop = self->RunningThreads();
      host.host.onBuffer = nullptr;
      return host.host.Dispose() == ASE_OK ? 0 : 3;
    });
    self = process.get();
    machine.Wait(*process);
    ASSERT_EQ(process->ExitCode(), 0u);
    ASSERT_EQ(rounds.size(), 12u);
    for (size_t i = 0; i < rounds.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(rounds[i].start, ASE_OK);
      EXPECT_EQ(rounds[i].stop, ASE_OK);
      EXPECT_EQ(rounds[i].lateSwitches, 0u) << "no buffer switch once stop has returned";
      EXPECT_EQ(rounds[i].threads, 1u) << "the buffer-switch thread has ended";
      EXPECT_EQ(rounds[i].handles, 0u) << "its event and thread handles are closed";
    }
    EXPECT_EQ(stoppedInCallback, ASE_OK);
    EXPECT_EQ(threadsAfterCallbackStop, 1u);
    EXPECT_EQ(Count(process->DebugOutput(), "Exiting myThread\n"), 13u);
    process.reset();
    machine.Shutdown();
  }
}

TEST(AsioHostSeeds, AStopFromTheHostsCallbackLetsTheHostRestartOrLetTheDriverGoAtOnceInEveryInterleaving) {
  for (uint64_t seed : qxtest::InterleavingSeeds(12)) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    DriverMachine machine(seed);
    machine.PlugMain();
    ASIOError stopped = ASE_NotPresent, restarted = ASE_NotPresent, stoppedAgain = ASE_NotPresent;
    ASIOError disposed = ASE_NotPresent;
    uint32_t restartPositions[2] = {~0u, ~0u};
    uint32_t frames = 0;
    size_t threadsAfterRelease = 0;
    int64_t handlesLeft = -1;
    HostProcess* self = nullptr;
    auto process = std::make_unique<HostProcess>([&]() -> uint32_t {
      const auto handles = static_cast<int64_t>(self->Handles());
      // Nothing of the host's runs after its work on a buffer.
      plat::asio::HostOptions options;
      options.outputReady = false;
      AsioHostHarness host(options);
      if (!host.Load(kDriverKey) || !host.Prepare()) return 1;
      frames = static_cast<uint32_t>(host.Frames());
      host.onBuffer = [&](ASIOLong) {
        if (host.switches.size() != 2) return;
        stopped = host.Driver()->stop();
        restarted = host.Driver()->start();
      };
      if (host.Start() != ASE_OK) return 2;
      while (host.switches.size() < 5) Sleep(1);
      restartPositions[0] = host.switches[3].time.timeInfo.samplePosition.lo;
      restartPositions[1] = host.switches[4].time.timeInfo.samplePosition.lo;
      if (host.Stop() != ASE_OK) return 3;

      HANDLE returned = CreateEventA(nullptr, TRUE, FALSE, nullptr);
      const size_t at = host.switches.size() + 2;
      host.onBuffer = [&](ASIOLong) {
        if (host.switches.size() != at) return;
        stoppedAgain = host.Driver()->stop();
        SetEvent(returned);
        // The buffer-switch thread loses its processor as the callback ends; the host's runs on.
        Sleep(1);
      };
      if (host.Start() != ASE_OK) return 4;
      WaitForSingleObject(returned, INFINITE);
      disposed = host.Dispose();
      host.ReleaseDriver();
      threadsAfterRelease = self->RunningThreads();
      CloseHandle(returned);
      handlesLeft = static_cast<int64_t>(self->Handles()) - handles;
      // Time for a thread that outlived its object to touch it, where the sanitizer sees it.
      Sleep(20);
      return 0;
    });
    self = process.get();
    machine.Wait(*process);
    ASSERT_EQ(process->ExitCode(), 0u);
    EXPECT_EQ(stopped, ASE_OK);
    EXPECT_EQ(restarted, ASE_OK);
    EXPECT_EQ(restartPositions[0], 0u) << "the stopped stream's thread adds nothing to the new one";
    EXPECT_EQ(restartPositions[1], frames);
    EXPECT_EQ(stoppedAgain, ASE_OK);
    EXPECT_EQ(disposed, ASE_OK);
    EXPECT_EQ(threadsAfterRelease, 1u) << "the thread ended before its object went";
    EXPECT_EQ(handlesLeft, 0);
    EXPECT_EQ(Count(process->DebugOutput(), "Exiting myThread\n"), 3u);
    process.reset();
    machine.Shutdown();
  }
}

// A host that keeps the driver (it never lets it go on a reset request) while a unit is pulled and
// plugged back: the machine runs on, the unit's new device waits for the DLL's old handle, the
// host's calls on a main unit that is gone fail, and once the host lets the driver go the unit
// comes back started (a KR-6 with its adapter, which gives it its MIDI port), leaving nothing
// behind; under a table of seeds.
TEST(AsioHostReplug, AUnitPluggedBackUnderAHostThatKeepsTheDriverComesUpOnceTheHostLetsItGo) {
  struct Case {
    const char* name;
    bool kr6;
  };
  for (const Case c : {Case{"KR-6", true}, Case{"main unit", false}}) {
    for (uint64_t seed : qxtest::InterleavingSeeds(4)) {
      SCOPED_TRACE(c.name);
      SCOPED_TRACE(qxtest::SeedTrace(seed));
      DriverMachine machine(seed);
      machine.InstallAdapters();
      machine.PlugMain();
      machine.PlugKr6();
      ASSERT_TRUE(machine.Kr6AdapterBound());
      volatile bool loaded = false, replugged = false, called = false, release = false;
      ASIOError startAfter = ASE_OK;
      {
        HostProcess process([&]() -> uint32_t {
          auto host = std::make_unique<LoopingHost>();
          if (!host->Open()) return 1;
          loaded = true;
          while (!replugged) Sleep(10);
          startAfter = host->host.Start();
          if (startAfter == ASE_OK) {
            Sleep(500);
            host->host.Stop();
          }
          called = true;
          while (!release) Sleep(10);
          host.reset();
          return 0;
        });
        ASSERT_TRUE(machine.RunUntil([&] { return loaded; }, 20000));
        if (c.kr6) {
          machine.UnplugKr6();
          machine.PlugKr6();
        } else {
          machine.UnplugMain();
          machine.PlugMain();
        }
        replugged = true;
        ASSERT_TRUE(machine.RunUntil([&] { return called; }, 20000));
        EXPECT_FALSE(c.kr6 ? machine.Kr6Started() : machine.MainStarted()) << "held for the DLL's old handle";
        if (c.kr6) {
          EXPECT_EQ(startAfter, ASE_OK) << "the main unit streams on";
        } else {
          EXPECT_EQ(startAfter, ASE_NotPresent) << "the host's unit is gone";
        }
        release = true;
        machine.Wait(process);
        EXPECT_EQ(process.ExitCode(), 0u);
      }
      EXPECT_TRUE(machine.RunUntil([&] { return c.kr6 ? machine.Kr6Started() : machine.MainStarted(); }, 10000))
          << "up once the host let the driver go";
      machine.RunFor(200);
      if (c.kr6) {
        EXPECT_TRUE(machine.Kr6AdapterBound());
      }
      EXPECT_TRUE(machine.AsioSessionIdle());
      machine.Shutdown();
    }
  }
}

}  // namespace
}  // namespace asiotest
