// The unit driver's callbacks against the adapter's objects changing under them, under every
// interleaving seed: a period callback never notifies a stream that is being closed, MIDI in never
// reaches a miniport that removal let go, and MIDI in that races the last capture's stop is never
// read after the next run.
#include <gtest/gtest.h>

#include <vector>

#include "driver/QX531PnpDevice.h"
#include "platform/kernel/PnpManager.h"
#include "sim/units/MainUnit.h"
#include "tests/support/Seeds.h"
#include "tests/wdm/WdmRig.h"
#include "wdm/WdmMiniportMidi.h"

namespace {

using wdmtest::WdmRig;

constexpr ULONG kCapturePin = 0;
constexpr ULONG kRenderPin = 2;
constexpr ULONG kAllRenderChannels = (1u << WdmClientState::kUnitChannels) - 1;

// The unit driver's isochronous completion as far as the adapter sees it: every period, at
// DISPATCH_LEVEL, the per-period copy that calls the period callback of each running pin.
class PeriodClock {
 public:
  PeriodClock(QX531PnpDevice* device, ULONG frames) : mDevice(device), mFrames(frames) {
    for (ULONG c = 0; c < WdmClientState::kUnitChannels; ++c) {
      mRender[c].assign(frames, 0);
      mCapture[c].assign(frames, 0x1000 * c);
      mHalf.render[c] = mRender[c].data();
      mHalf.capture[c] = mCapture[c].data();
    }
    KeInitializeDpc(&mDpc, Tick, this);
    KeInitializeTimerEx(&mTimer, NotificationTimer);
    LARGE_INTEGER due;
    due.QuadPart = -10000;
    KeSetTimerEx(&mTimer, due, 1, &mDpc);
  }
  ~PeriodClock() {
    KeCancelTimer(&mTimer);
    KeRemoveQueueDpc(&mDpc);
  }
  ULONG Ticks() const { return mTicks; }

  // A copy that has not seen a render pin's stop yet goes on notifying the pin: the callback may
  // come at any time, even once the pin is closed.
  void KeepNotifyingRender(ULONG pair) { mLagging = pair; }

 private:
  static void Tick(PKDPC, PVOID context, PVOID, PVOID) {
    auto* self = static_cast<PeriodClock*>(context);
    self->mTicks = self->mTicks + 1;
    WdmClientState& client = self->mDevice->mWdmClient;
    if (self->mLagging < WdmClientState::kPins && client.mPins[self->mLagging][WdmClientState::kRender].format != 0) {
      client.mPins[self->mLagging][WdmClientState::kRender].state = kWdmStateRun;
      client.mPinMask[WdmClientState::kRender] |= 1ull << self->mLagging;
    }
    self->mDevice->mWdmClient.CopyClientChannels(self->mHalf, kAllRenderChannels, 0, self->mFrames);
  }

  QX531PnpDevice* mDevice;
  ULONG mFrames;
  std::vector<LONG> mRender[WdmClientState::kUnitChannels];
  std::vector<LONG> mCapture[WdmClientState::kUnitChannels];
  WdmClientState::ChannelHalf mHalf{};
  KDPC mDpc;
  KTIMER mTimer;
  volatile ULONG mTicks = 0;
  ULONG mLagging = WdmClientState::kPins;
};

KSDATARANGE_AUDIO Stereo16() { return wdmtest::PcmRange(2, 16, 16, 44100, 96000); }

TEST(CallbackRace, APeriodCallbackNeverNotifiesAStreamBeingClosed) {
  for (uint64_t seed : qxtest::InterleavingSeeds(16)) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    WdmRig rig(seed);
    sim::MainUnit main;
    rig.Plug(main);
    QX531PnpDevice* device = rig.DeviceOf(main);
    ASSERT_NE(device, nullptr);
    ULONG notified = 0;
    bool done = false;
    {
      PeriodClock clock(device, device->BufferFrames());
      clock.KeepNotifyingRender(2);
      rig.sched.Spawn("audio stack", [&] {
        auto filter = rig.Filter(main, u"WaveA3");
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        auto capture = plat::KsWavePin::Open(*filter, kCapturePin, Stereo16(), 1, 1 << 16, &status);
        if (capture == nullptr || capture->Run() != STATUS_SUCCESS) return;
        LARGE_INTEGER wait;
        for (ULONG round = 0; round < 8; ++round) {
          auto render = plat::KsWavePin::Open(*filter, kRenderPin, Stereo16(), 1, 0, &status);
          if (render == nullptr || render->Run() != STATUS_SUCCESS) return;
          wait.QuadPart = -static_cast<LONGLONG>(1000 + (seed * 7 + round * 3) % 20 * 500);
          KeDelayExecutionThread(KernelMode, FALSE, &wait);
          // Straight from run to closed while the clock goes on notifying.
          render.reset();
        }
        notified = capture->Notifications();
        capture.reset();
        filter.reset();
        done = true;
      });
      ASSERT_TRUE(rig.sched.RunUntil([&] { return done; }, plat::kNsPerSecond));
      rig.sched.RunFor(5 * plat::kNsPerMs);
      EXPECT_GT(clock.Ticks(), 2u);
    }
    rig.sched.RunFor(5 * plat::kNsPerMs);
    EXPECT_GT(notified, 0u) << "the capture was notified by the clock";
    if (testing::Test::HasFailure()) break;
  }
}

TEST(CallbackRace, MidiInNeverReachesAMiniportThatRemovalLetGo) {
  for (uint64_t seed : qxtest::InterleavingSeeds(16)) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    WdmRig rig(seed);
    sim::MainUnit main;
    rig.Plug(main);
    rig.StartMidi(main);
    PDEVICE_OBJECT child = rig.ChildOf(main);
    ASSERT_NE(child, nullptr);
    {
      auto filter = rig.Filter(main, u"Midi1");
      NTSTATUS status = STATUS_UNSUCCESSFUL;
      auto in = plat::KsMidiPin::Open(*filter, 2, &status);
      in->Run();
      main.SendMidiInPacket(0x09903C40);
      rig.Quiesce();
      ASSERT_EQ(in->Read().size(), 3u);
    }
    // Input for every port keeps coming while the adapter goes.
    for (uint32_t n = 0; n < 200; ++n) main.SendMidiInPacket((n % 7) << 28 | 0x09903C40 | (n & 0x7F) << 8);
    rig.sched.RunFor(static_cast<plat::VTime>(seed % 3) * plat::kNsPerMs);
    ASSERT_TRUE(plat::PnpQueryRemoveAndRemove(child));
    rig.Quiesce();
    EXPECT_TRUE(rig.SubdeviceNames(main).empty());
    if (testing::Test::HasFailure()) break;
  }
}

// The unit driver's MIDI-in path as the adapter sees it: a DPC that hands the adapter note-ons on
// cable 0 one after another, letting a waiting thread go on after the first few.
class MidiInBurst {
 public:
  explicit MidiInBurst(QX531PnpDevice* device) : mDevice(device) {
    KeInitializeDpc(&mDpc, Deliver, this);
    KeInitializeTimer(&mTimer);
    KeInitializeEvent(&mUnderWay, NotificationEvent, FALSE);
    KeInitializeEvent(&mDone, NotificationEvent, FALSE);
  }
  ~MidiInBurst() {
    KeCancelTimer(&mTimer);
    KeRemoveQueueDpc(&mDpc);
  }

  // From a thread at PASSIVE_LEVEL: waits until `before` of the `packets` went. The burst comes
  // from a timer, so that it runs beside the thread rather than on its processor.
  void Start(ULONG packets, ULONG before) {
    mPackets = packets;
    mBefore = before;
    KeClearEvent(&mUnderWay);
    KeClearEvent(&mDone);
    LARGE_INTEGER due;
    due.QuadPart = -1;
    KeSetTimer(&mTimer, due, &mDpc);
    KeWaitForSingleObject(&mUnderWay, Executive, KernelMode, FALSE, nullptr);
  }
  void WaitDone() { KeWaitForSingleObject(&mDone, Executive, KernelMode, FALSE, nullptr); }

 private:
  static void Deliver(PKDPC, PVOID context, PVOID, PVOID) {
    auto* self = static_cast<MidiInBurst*>(context);
    for (ULONG n = 0; n < self->mPackets; ++n) {
      if (n == self->mBefore) KeSetEvent(&self->mUnderWay, IO_NO_INCREMENT, FALSE);
      self->mDevice->mWdmClient.DeliverMidiIn(0x09903C40);
    }
    KeSetEvent(&self->mUnderWay, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&self->mDone, IO_NO_INCREMENT, FALSE);
  }

  QX531PnpDevice* mDevice;
  KDPC mDpc;
  KTIMER mTimer;
  KEVENT mUnderWay;
  KEVENT mDone;
  ULONG mPackets = 0;
  ULONG mBefore = 0;
};

// Port class steps a capture stream, the port's only one, down from run to stop while the unit
// driver goes on delivering; whatever the interleaving, the ring holds nothing when the stream
// runs again.
TEST(CallbackRace, MidiInRacingTheLastCapturesStopIsNeverReadAfterTheNextRun) {
  constexpr ULONG kMidiCapturePin = 2;
  constexpr ULONG kRounds = 64;
  for (uint64_t seed : qxtest::InterleavingSeeds(16)) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    WdmRig rig(seed);
    sim::MainUnit main;
    rig.Plug(main);
    QX531PnpDevice* device = rig.DeviceOf(main);
    IMiniportMidi* miniport = rig.MidiMiniportOf(main, 0);
    ASSERT_TRUE(device != nullptr && miniport != nullptr);
    KSDATAFORMAT format{sizeof(KSDATAFORMAT), 0, 0, 0, KSDATAFORMAT_TYPE_MUSIC, KSDATAFORMAT_SUBTYPE_MIDI,
                        KSDATAFORMAT_SPECIFIER_NONE};
    PMINIPORTMIDISTREAM stream = nullptr;
    PSERVICEGROUP group = nullptr;
    ASSERT_EQ(miniport->NewStream(&stream, nullptr, NonPagedPool, kMidiCapturePin, TRUE, &format, &group),
              STATUS_SUCCESS);
    std::vector<ULONG> stale;
    bool done = false;
    {
      MidiInBurst burst(device);
      rig.sched.Spawn("audio stack", [&] {
        UCHAR bytes[WdmMiniportMidi::kFifoBytes];
        for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) stream->SetState(state);
        for (ULONG round = 0; round < kRounds; ++round) {
          burst.Start(8, (seed + round) % 3);
          for (KSSTATE state : {KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP}) stream->SetState(state);
          burst.WaitDone();
          for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) stream->SetState(state);
          ULONG read = 0;
          stream->Read(bytes, sizeof bytes, &read);
          if (read != 0) stale.push_back(round);
        }
        for (KSSTATE state : {KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP}) stream->SetState(state);
        done = true;
      });
      ASSERT_TRUE(rig.sched.RunUntil([&] { return done; }, plat::kNsPerSecond));
    }
    stream->Release();
    if (group != nullptr) group->Release();
    rig.sched.RunFor(5 * plat::kNsPerMs);
    EXPECT_TRUE(stale.empty()) << stale.size() << " rounds read input from before the stop, the first "
                               << (stale.empty() ? 0 : stale[0]);
    if (testing::Test::HasFailure()) break;
  }
}

}  // namespace
