// A unit pulled out under an application's open pins, as Windows' audio stack sees it: the pins'
// calls fail, the adapter's device stays until the application closed them, and then nothing of
// it is left; once the unit is back the same pins open and stream again. The pull races the
// streams, so every interleaving seed runs it.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "driver/QX531PnpDevice.h"
#include "platform/kernel/Leftovers.h"
#include "platform/kernel/Pool.h"
#include "sim/units/MainUnit.h"
#include "tests/support/Seeds.h"
#include "tests/wdm/WdmRig.h"

namespace {

using wdmtest::WdmRig;

constexpr ULONG kWaveCapturePin = 0;
constexpr ULONG kWaveRenderPin = 2;
constexpr ULONG kMidiRenderPin = 0;
constexpr ULONG kMidiCapturePin = 2;
constexpr ULONG kRate = 48000;
constexpr uint32_t kSurfaceControlChange = 0x4B'B0'07'05;  // cable 4: "MidiC"

KSDATARANGE_AUDIO Stereo16() { return wdmtest::PcmRange(2, 16, 16, kRate, kRate); }

size_t PoolOutsideThreads() {
  size_t allocations = 0;
  for (const plat::PoolUse& use : plat::PoolLedger::Outstanding())
    if (plat::TagText(use.tag) != "Proc" && plat::TagText(use.tag) != "Thre") allocations += use.allocations;
  return allocations;
}

// What an application holds: "WaveA1" playing and recording, both pins of "MidiC" running.
struct Application {
  std::unique_ptr<plat::KsFilter> wave;
  std::unique_ptr<plat::KsFilter> midi;
  std::unique_ptr<plat::KsWavePin> render;
  std::unique_ptr<plat::KsWavePin> capture;
  std::unique_ptr<plat::KsMidiPin> midiIn;
  std::unique_ptr<plat::KsMidiPin> midiOut;

  // Pins first, then their filters, as an application lets go of them.
  void Close() {
    midiOut.reset();
    midiIn.reset();
    capture.reset();
    render.reset();
    midi.reset();
    wave.reset();
  }
};

void OpenAndRun(WdmRig& rig, sim::MainUnit& main, Application& app) {
  app.wave = rig.Filter(main, u"WaveA1");
  app.midi = rig.Filter(main, u"MidiC");
  ASSERT_NE(app.wave, nullptr);
  ASSERT_NE(app.midi, nullptr);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  app.render = plat::KsWavePin::Open(*app.wave, kWaveRenderPin, Stereo16(), 10, 0, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  app.capture = plat::KsWavePin::Open(*app.wave, kWaveCapturePin, Stereo16(), 10, kRate * 4 * 4, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  app.midiIn = plat::KsMidiPin::Open(*app.midi, kMidiCapturePin, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  app.midiOut = plat::KsMidiPin::Open(*app.midi, kMidiRenderPin, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  app.render->Play(std::vector<UCHAR>(kRate * 4, 0x11));
  for (auto* pin : {app.render.get(), app.capture.get()}) ASSERT_EQ(pin->Run(), STATUS_SUCCESS);
  for (auto* pin : {app.midiIn.get(), app.midiOut.get()}) ASSERT_EQ(pin->Run(), STATUS_SUCCESS);
  QX531PnpDevice* device = rig.DeviceOf(main);
  ASSERT_NE(device, nullptr);
  ASSERT_TRUE(rig.sched.RunUntil([&] { return device->IsStreamValid() && device->LockState() == 2; },
                                 rig.sched.Now() + 5 * plat::kNsPerSecond));
  rig.sched.RunFor(100 * plat::kNsPerMs);
}

void ExpectStreaming(WdmRig& rig, sim::MainUnit& main, Application& app) {
  const ULONGLONG played = app.render->BytesMoved();
  const size_t recorded = app.capture->Recorded().size();
  app.midiIn->Read();
  rig.sched.RunFor(100 * plat::kNsPerMs);
  EXPECT_GT(app.render->BytesMoved(), played) << "the render pin plays";
  EXPECT_GT(app.capture->Recorded().size(), recorded) << "the capture pin records";
  main.SendMidiInPacket(kSurfaceControlChange);
  EXPECT_TRUE(app.midiOut->Write({0x90, 0x3C, 0x40}));
  rig.Quiesce();
  EXPECT_EQ(app.midiIn->Read(), (std::vector<UCHAR>{0xB0, 0x07, 0x05}));
}

TEST(UnitPulled, OpenPinsFailUntilClosedThenTheAdapterIsGoneAndAfterReplugTheyStreamAgain) {
  for (uint64_t seed : qxtest::InterleavingSeeds(6)) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    WdmRig rig(seed);
    sim::MainUnit main;
    const size_t poolBeforePlug = PoolOutsideThreads();
    const size_t namesBeforePlug = plat::ObNamespaceSize();
    rig.Plug(main);
    rig.StartMidi(main);
    PDEVICE_OBJECT child = rig.ChildOf(main);
    ASSERT_NE(child, nullptr);
    ObReferenceObject(child);
    Application app;
    OpenAndRun(rig, main, app);
    if (testing::Test::HasFailure()) break;

    // The application goes on streaming while the cable leaves, until the pull is over; then every
    // call on its pins fails.
    volatile bool pulled = false;
    volatile bool closeNow = false;
    volatile bool closed = false;
    NTSTATUS renderPosition = STATUS_SUCCESS, capturePosition = STATUS_SUCCESS, run = STATUS_SUCCESS;
    NTSTATUS write = STATUS_SUCCESS, read = STATUS_SUCCESS;
    bool written = true;
    rig.sched.Spawn("application", [&] {
      LARGE_INTEGER wait;
      wait.QuadPart = -static_cast<LONGLONG>(2000 + seed % 7 * 1500);
      ULONG position = 0;
      while (!pulled) {
        app.render->Position(&position);
        app.capture->Position(&position);
        app.midiOut->Write({0x90, 0x3C, 0x40});
        app.midiIn->Read();
        KeDelayExecutionThread(KernelMode, FALSE, &wait);
      }
      renderPosition = app.render->Position(&position);
      capturePosition = app.capture->Position(&position);
      run = app.render->Run();
      written = app.midiOut->Write({0x90, 0x3C, 0x40}, &write);
      app.midiIn->Read(&read);
      while (!closeNow) KeDelayExecutionThread(KernelMode, FALSE, &wait);
      app.Close();
      closed = true;
    });
    rig.sched.RunFor((1 + seed % 5) * plat::kNsPerMs);
    rig.Unplug(main);
    pulled = true;
    rig.sched.RunFor(20 * plat::kNsPerMs);
    EXPECT_EQ(renderPosition, STATUS_DEVICE_REMOVED);
    EXPECT_EQ(capturePosition, STATUS_DEVICE_REMOVED);
    EXPECT_EQ(run, STATUS_DEVICE_REMOVED);
    EXPECT_FALSE(written);
    EXPECT_EQ(write, STATUS_DEVICE_REMOVED);
    EXPECT_EQ(read, STATUS_DEVICE_REMOVED);
    EXPECT_FALSE(plat::PcSubdevices(child).empty()) << "the adapter's device waits for the open pins";

    closeNow = true;
    ASSERT_TRUE(rig.sched.RunUntil([&] { return closed; }, rig.sched.Now() + plat::kNsPerSecond));
    rig.Settle();
    EXPECT_TRUE(rig.DrainWork());
    EXPECT_TRUE(plat::PcSubdevices(child).empty()) << "the last close let the removal through";
    ObDereferenceObject(child);
    EXPECT_EQ(plat::ObNamespaceSize(), namesBeforePlug) << plat::IoDeviceObjectsLeft();
    EXPECT_EQ(plat::IoLiveIrps(), 0u);
    EXPECT_EQ(plat::PendingWorkItems(), 0u);
    EXPECT_EQ(PoolOutsideThreads(), poolBeforePlug) << plat::PoolLedger::LeakReport();

    rig.Plug(main);
    rig.StartMidi(main);
    OpenAndRun(rig, main, app);
    if (!testing::Test::HasFailure()) ExpectStreaming(rig, main, app);
    app.Close();
    if (testing::Test::HasFailure()) break;
  }
}

}  // namespace
