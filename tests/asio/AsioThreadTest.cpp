// The buffer-switch thread against a scripted main unit, the test setting the host's event as the
// kernel driver does: the half each switch names, "repeat! " only for a real repeat, the time info,
// the clock-state poll and its reset request, a wait that fails, a stop from the thread itself, and
// two driver objects in one process each served by its own thread.
#include <algorithm>

#include "tests/asio/ScriptedAsio.h"
#include "tests/support/Seeds.h"

namespace asiotest {
namespace {

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::vector<ASIOLong> Indices(const std::vector<plat::asio::BufferSwitchCall>& switches) {
  std::vector<ASIOLong> indices;
  for (const auto& s : switches) indices.push_back(s.index);
  return indices;
}

class AsioThread : public ScriptedAsio {
 protected:
  void Start(plat::asio::HostOptions options = {}) {
    LoadHost(true, options);
    ASSERT_EQ(HostStart(), ASE_OK);
  }
  void Stop() { EXPECT_EQ(HostStop(), ASE_OK); }
  void TwoDriverObjects();
};

TEST_F(AsioThread, EachSwitchNamesTheHalfOfTheIndexByteAndOnlyARealRepeatIsReported) {
  Start();
  for (uint8_t index : {0, 1, 0, 1}) Signal(index);
  EXPECT_EQ(Indices(host->switches), (std::vector<ASIOLong>{0, 1, 0, 1}));
  EXPECT_EQ(Count(program->DebugOutput(), "repeat! "), 0u) << "the first half of a stream repeats nothing";
  Signal(1);
  Signal(7);
  EXPECT_EQ(Indices(host->switches), (std::vector<ASIOLong>{0, 1, 0, 1, 1, 1}));
  EXPECT_EQ(Count(program->DebugOutput(), "repeat! "), 1u) << "byte 1 twice, then byte 7";
  for (const auto& s : host->switches) {
    EXPECT_EQ(s.directProcess, ASIOTrue);
    EXPECT_EQ(s.outputReady, ASE_OK) << "the host's outputReady from the switch";
  }
  EXPECT_EQ(Sent(kAsioOutputReady).size(), host->switches.size());
  Stop();
  EXPECT_EQ(Count(program->DebugOutput(), "Exiting myThread\n"), 1u);
}

TEST_F(AsioThread, TimeInfoCarriesTheFramesBeforeEachSwitchAndFlagsARateChangeOnce) {
  Start();
  for (uint8_t index : {0, 1, 0}) Signal(index);
  ASSERT_EQ(host->switches.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    const plat::asio::BufferSwitchCall& s = host->switches[i];
    EXPECT_TRUE(s.timeInfo);
    EXPECT_EQ(s.time.timeInfo.samplePosition.lo, i * kFrames);
    EXPECT_EQ(s.time.timeInfo.samplePosition.hi, 0u);
    EXPECT_EQ(s.time.timeInfo.flags, kSystemTimeValid | kSamplePositionValid | kSampleRateValid);
    EXPECT_EQ(double{s.time.timeInfo.sampleRate}, 44100.0);
    EXPECT_EQ(s.time.timeCode.flags, 0u);
    const uint64_t ns = uint64_t{s.time.timeInfo.systemTime.hi} << 32 | s.time.timeInfo.systemTime.lo;
    EXPECT_EQ(ns % 1000000, 0u) << "milliseconds of the multimedia timer";
    EXPECT_GT(ns, 0u);
  }
  ClockState({1, 48000, 0});
  ASIOSampleRate rate = 0;
  Run([&] { host->Driver()->getSampleRate(&rate); });
  Signal(1);
  Signal(0);
  ASSERT_EQ(host->switches.size(), 5u);
  EXPECT_EQ(host->switches[3].time.timeInfo.flags, 0x17u);
  EXPECT_EQ(double{host->switches[3].time.timeInfo.sampleRate}, 48000.0);
  EXPECT_EQ(host->switches[4].time.timeInfo.flags, 7u);
  ASIOSamples position{};
  ASIOTimeStamp stamp{};
  Run([&] { EXPECT_EQ(host->Driver()->getSamplePosition(&position, &stamp), ASE_OK); });
  EXPECT_EQ(position.lo, 4 * kFrames) << "the frames of the switches before the last";
  EXPECT_EQ((uint64_t{stamp.hi} << 32 | stamp.lo) % 1000000, 0u);
  Stop();
}

TEST_F(AsioThread, AHostWithoutTimeInfoGetsPlainBufferSwitchesAndThePositionStillAdvances) {
  plat::asio::HostOptions options;
  options.timeInfo = false;
  Start(options);
  for (uint8_t index : {1, 0, 1}) Signal(index);
  ASSERT_EQ(host->switches.size(), 3u);
  for (const auto& s : host->switches) EXPECT_FALSE(s.timeInfo);
  ASIOSamples position{};
  ASIOTimeStamp stamp{};
  Run([&] { host->Driver()->getSamplePosition(&position, &stamp); });
  EXPECT_EQ(position.lo, 2 * kFrames);
  Stop();
}

TEST_F(AsioThread, WithoutSignalsTheClockStateIsPolledEveryFiftyWaitsAndEachResetFlagAsksTheHostOnce) {
  Start();
  m->ClearLog(main);
  const auto resets = [&] {
    return std::count_if(host->messages.begin(), host->messages.end(),
                         [](const plat::asio::MessageCall& c) { return c.selector == kAsioResetRequest; });
  };
  Pause(3 * 50 * 75 + 40);
  EXPECT_EQ(Sent(kAsioGetClockState).size(), 3u);
  EXPECT_EQ(resets(), 0);
  ClockState({1, 44100, 1});
  Pause(2 * 50 * 75);
  EXPECT_EQ(Sent(kAsioGetClockState).size(), 5u);
  EXPECT_EQ(resets(), 2) << "one request per poll that saw the flag";
  DWORD took = 0;
  Run([&] {
    const DWORD before = timeGetTime();
    EXPECT_EQ(host->Driver()->stop(), ASE_OK);
    took = timeGetTime() - before;
  });
  EXPECT_LE(took, 77u) << "the thread leaves within one wait of stop";
}

TEST_F(AsioThread, WhenTheUnitHasGoneThePollAsksForAResetAndTheHostsNextCallRecordsIt) {
  Start();
  const std::string before = [&] {
    char text[128] = {};
    Run([&] { host->Driver()->getErrorMessage(text); });
    return std::string(text);
  }();
  m->Unplug(main);
  Pause(50 * 75 + 40);
  ASSERT_EQ(std::count_if(host->messages.begin(), host->messages.end(),
                          [](const plat::asio::MessageCall& c) { return c.selector == kAsioResetRequest; }),
            1);
  char text[128] = {};
  Run([&] { host->Driver()->getErrorMessage(text); });
  EXPECT_EQ(std::string(text), before) << "the thread leaves the error to the host's thread";
  ASIOLong sizes[4] = {};
  EXPECT_EQ(Call<ASIOError>([&](IASIO* d) { return d->getBufferSize(&sizes[0], &sizes[1], &sizes[2], &sizes[3]); }),
            ASE_NotPresent);
  Run([&] { host->Driver()->getErrorMessage(text); });
  EXPECT_STREQ(text, "Couldn't locate QX-531 driver");
  Stop();
}

TEST_F(AsioThread, AWaitThatFailsEndsTheThreadInsteadOfSpinning) {
  for (uint64_t seed : qxtest::InterleavingSeeds(8)) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    Reseed(seed);
    Start();
    Signal(0);
    void* event = StartedEvent();
    Run([&] { CloseHandle(event); });
    Pause(100);
    EXPECT_EQ(Count(program->DebugOutput(), "Exiting myThread\n"), 1u);
    m->ClearLog(main);
    Pause(50 * 75 + 100);
    EXPECT_TRUE(Sent(kAsioGetClockState).empty()) << "no thread polls any more";
    Stop();
  }
}

TEST_F(AsioThread, AStopFromTheHostsCallbackOnTheThreadDoesNotWaitForItself) {
  Start();
  ASIOError stopped = ASE_NotPresent;
  host->onBuffer = [&](ASIOLong) {
    if (host->switches.size() == 1) stopped = host->Driver()->stop();
  };
  Signal(0);
  Signal(1);
  EXPECT_EQ(stopped, ASE_OK);
  EXPECT_EQ(Count(program->DebugOutput(), "Exiting myThread\n"), 1u);
  EXPECT_EQ(host->switches.size(), 2u);
  EXPECT_EQ(Call<ASIOError>([](IASIO* d) { return d->stop(); }), ASE_InvalidMode);
  // A restart gets a thread of its own, which alone answers the new event.
  ASSERT_EQ(HostStart(), ASE_OK);
  host->onBuffer = nullptr;
  Signal(0);
  EXPECT_EQ(host->switches.size(), 3u);
  Stop();
}

// A second driver object's callbacks, apart from the harness's.
std::vector<ASIOLong> gSecondSwitches;
void SecondSwitch(ASIOLong index, ASIOBool) { gSecondSwitches.push_back(index); }
ASIOTime* SecondSwitchTimeInfo(ASIOTime*, ASIOLong index, ASIOBool) {
  gSecondSwitches.push_back(index);
  return nullptr;
}
ASIOLong SecondMessage(ASIOLong, ASIOLong, void*, double*) { return 0; }
void SecondRate(ASIOSampleRate) {}

TEST_F(AsioThread, TwoDriverObjectsInOneProcessEachServeTheirOwnHostFromTheirOwnThread) {
  for (uint64_t seed : qxtest::InterleavingSeeds(8)) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    Reseed(seed);
    TwoDriverObjects();
  }
}

void AsioThread::TwoDriverObjects() {
  gSecondSwitches.clear();
  Start();
  void* first = StartedEvent();
  IASIO* second = nullptr;
  ASIOCallbacks callbacks = {SecondSwitch, SecondRate, SecondMessage, SecondSwitchTimeInfo};
  ASIOBufferInfo buffers[2] = {{ASIOTrue, 0, {}}, {ASIOFalse, 0, {}}};
  Run([&] {
    auto get = reinterpret_cast<LPFNGETCLASSOBJECT>(
        reinterpret_cast<void*>(GetProcAddress(host->Module(), "DllGetClassObject")));
    IClassFactory* factory = nullptr;
    ASSERT_EQ(get(kDriverClsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    ASSERT_EQ(factory->CreateInstance(nullptr, kDriverClsid, reinterpret_cast<void**>(&second)), S_OK);
    factory->Release();
    ASSERT_EQ(second->init(nullptr), ASIOTrue);
    ASSERT_EQ(second->createBuffers(buffers, 2, kFrames, &callbacks), ASE_OK);
    ASSERT_EQ(second->start(), ASE_OK);
  });
  void* secondEvent = StartedEvent();
  ASSERT_NE(secondEvent, first);
  Signal(1, first);
  Signal(0, secondEvent);
  Signal(0, first);
  EXPECT_EQ(Indices(host->switches), (std::vector<ASIOLong>{1, 0}));
  EXPECT_EQ(gSecondSwitches, (std::vector<ASIOLong>{0}));
  Run([&] {
    EXPECT_EQ(second->stop(), ASE_OK);
    EXPECT_EQ(second->Release(), 0u);
  });
  Signal(1, first);
  EXPECT_EQ(Indices(host->switches), (std::vector<ASIOLong>{1, 0, 1})) << "the first keeps its thread";
  EXPECT_EQ(gSecondSwitches.size(), 1u);
  Stop();
}

}  // namespace
}  // namespace asiotest
