// A kernel client of its own image beside the unit driver's image: it finds the main unit's
// published interface, binds through the key's addresses, and exchanges MIDI with the unit; the
// unit's removal reaches it as one notice and leaves its object harmless; stop and start publish
// once; after a replug it binds again; nothing of either driver is left once both are gone.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/kclient/KernelClient.h"
#include "platform/kernel/Loader.h"
#include "platform/kernel/PnpManager.h"
#include "sim/host/UserClient.h"
#include "sim/units/Kr6Unit.h"
#include "sim/units/MainUnit.h"
#include "sim/units/SignalSource.h"
#include "tests/driver/DriverRig.h"
#include "tests/driver/KernelClientHarness.h"
#include "tests/driver/TestAdapter.h"
#include "unit/ControlRequests.h"
#include "unit/RegisterMap.h"
#include "unit/PreferencesBlock.h"
#include "platform/kernel/WideText.h"

namespace {

using drvtest::DriverRig;
using drvtest::KernelClient;

const GUID kKernelInterfaceClass = {0x1A1DD540, 0x0BD5, 0x11D5, {0x9A, 0x47, 0x00, 0xE0, 0x29, 0x09, 0x5C, 0x67}};

kclient::MidiEvent Event(UCHAR cableKind, UCHAR b1, UCHAR b2, UCHAR b3) {
  kclient::MidiEvent e{};
  e.cableKind = cableKind;
  e.bytes[0] = b1;
  e.bytes[1] = b2;
  e.bytes[2] = b3;
  return e;
}

size_t EnabledKernelInterfaces() {
  PWSTR list = nullptr;
  EXPECT_EQ(IoGetDeviceInterfaces(&kKernelInterfaceClass, nullptr, 0, &list), STATUS_SUCCESS);
  size_t n = 0;
  for (PWSTR p = list; *p != 0; p += plat::WideLength(p) + 1) ++n;
  ExFreePool(list);
  return n;
}

// The last 4096 frames the unit played on each of the 18 channels are consecutive samples of what
// it sampled on that channel, plus what another client adds on the channels in `added`.
void ExpectLoopedBitExact(const sim::MainUnit& main, uint32_t added = 0, int32_t addend = 0) {
  sim::SignalSource ramp;
  for (int c = 0; c < 18; ++c) {
    SCOPED_TRACE(c);
    const std::vector<int32_t>& played = main.Playback().Captured(c);
    ASSERT_GT(played.size(), 8192u);
    const size_t from = played.size() - 4096;
    const uint32_t add = (added >> c & 1) ? static_cast<uint32_t>(addend) : 0;
    uint64_t unitFrame = main.FramesSent();
    while (unitFrame > 0 && ramp.Sample(c, unitFrame, 48000) + add != static_cast<uint32_t>(played[from])) --unitFrame;
    ASSERT_GT(unitFrame, 0u) << "the played sample is one the unit sampled on this channel";
    for (size_t i = from; i < played.size(); ++i)
      ASSERT_EQ(static_cast<uint32_t>(played[i]), ramp.Sample(c, unitFrame + (i - from), 48000) + add) << i;
  }
}

// All 18 channels each way at 48000 Hz, 32-bit.
void LoopAllChannels(KernelClient& client) {
  std::vector<UCHAR> buffers(1544, 0);
  for (ULONG n = 0; n < 18; ++n) buffers[4 * n] = buffers[768 + 4 * n] = 1;
  buffers[1540] = 0x4;
  ASSERT_EQ(client.Command(0x1002, 0, &buffers), STATUS_SUCCESS);
  for (ULONG n = 0; n < 18; ++n) {
    ULONG64 out, in;
    std::memcpy(&out, &buffers[256 + 8 * n], sizeof out);
    std::memcpy(&in, &buffers[1024 + 8 * n], sizeof in);
    EXPECT_NE(out, 0u) << n;
    EXPECT_NE(in, 0u) << n;
  }
  ASSERT_EQ(client.Command(0x1004, 1), STATUS_SUCCESS);
}

TEST(KernelClientImage, BindsToTheMainUnitAndExchangesMidiBothWaysUntilTheUnitGoes) {
  DriverRig rig(0, 2, drvtest::Load::Image);
  sim::MainUnit main;
  sim::Kr6Unit kr6(7);
  rig.Plug(main);
  rig.Plug(kr6);
  rig.Quiesce();
  EXPECT_EQ(EnabledKernelInterfaces(), 1u) << "the main unit publishes, the expansion unit does not";
  {
    KernelClient client;
    rig.Settle();  // the interface's arrival reaches the client from the PnP thread
    kclient::State state = client.State();
    ASSERT_EQ(state.bound, 1u) << std::hex << state.bindStatus;
    EXPECT_STREQ(state.name, "qx531.sys");
    EXPECT_EQ(state.version, 1u);

    std::vector<UCHAR> description(868, 0xA5);
    ASSERT_EQ(client.Command(0x1001, 0, &description), STATUS_SUCCESS);
    EXPECT_STREQ(reinterpret_cast<const char*>(description.data()), "QX-5310");
    EXPECT_EQ(description[64], 18);
    EXPECT_EQ(description[68], 18);
    std::vector<UCHAR> frames(8, 0);
    ASSERT_EQ(client.Command(0x100A, 0, &frames), STATUS_SUCCESS);
    EXPECT_GT(frames[4] | frames[5] << 8, 0);

    // Cables 0, 3 and the surface's 4 in; 0 and 4 out.
    client.SetUpMidi(0x19, 0x11);
    ASSERT_EQ(client.Command(0x1004, 3), STATUS_SUCCESS);
    rig.Quiesce();
    for (ULONG packet : {0x09903C40u, 0x19903C40u, 0x39B00705u}) main.SendMidiInPacket(packet);
    rig.Quiesce();
    std::vector<kclient::MidiEvent> in = client.TakeMidiIn();
    ASSERT_EQ(in.size(), 2u);
    EXPECT_EQ(in[0].cableKind, 0x00);
    EXPECT_EQ(in[0].bytes[0], 0x90);
    EXPECT_EQ(in[0].bytes[2], 0x40);
    EXPECT_EQ(in[1].cableKind, 0x30);
    EXPECT_EQ(in[1].bytes[0], 0xB0);

    main.MoveFader(0, 0x2000);
    rig.sched.RunFor(2000 * plat::kNsPerMs);
    in = client.TakeMidiIn();
    ASSERT_FALSE(in.empty()) << "the surface's MIDI reaches the kernel client";
    for (const auto& e : in) EXPECT_EQ(e.cableKind, 0x40);

    main.ClearMidiOut();
    EXPECT_EQ(client.SendMidi({Event(0x00, 0x90, 0x3C, 0x64), Event(0x10, 0x90, 0x3C, 0x64),
                               Event(0x00, 0xF0, 0x01, 0x02), Event(0x00, 0x03, 0xF7, 0x00)}),
              4u);
    rig.Quiesce();
    EXPECT_EQ(main.MidiOutPackets(0), (std::vector<uint32_t>{0x09903C64, 0x04F00102, 0x0603F700}));
    EXPECT_TRUE(main.MidiOutPackets(1).empty()) << "cable 1 is not the client's to send to";

    // Stop and start: one publication, and the client's object keeps working. The unit's streams
    // hold their lists with the bus, so a program stops them before plug and play may stop it.
    ASSERT_EQ(client.Command(0x1005, 1), STATUS_SUCCESS);
    const host::Control stop{IOCTL_QX531_SET_STREAM_MASK, host::Words({0}), 0};
    ASSERT_EQ(rig.RunProgram(64,
                             [&]() -> uint32_t {
                               for (const std::string& unit : host::FindUnitInterfaces())
                                 if (!host::SendControl(unit, stop).ok) return 1;
                               return 0;
                             }),
              0u);
    rig.sched.RunFor(100 * plat::kNsPerMs);
    ASSERT_TRUE(plat::PnpStopAndRestart(rig.PdoOf(main)));
    rig.Quiesce();
    EXPECT_EQ(EnabledKernelInterfaces(), 1u);
    EXPECT_EQ(client.State().interfaceArrivals, 1u);
    EXPECT_EQ(client.Command(0x1001, 0, &description), STATUS_SUCCESS);

    rig.Unplug(kr6);
    EXPECT_EQ(client.State().removalNotices, 0u) << "an expansion unit's removal tells the client nothing";
    rig.Unplug(main);
    state = client.State();
    EXPECT_EQ(state.removalNotices, 1u);
    EXPECT_EQ(state.interfaceRemovals, 1u);
    EXPECT_EQ(state.bound, 0u) << "the client let go of the unit at its notice";
    EXPECT_EQ(EnabledKernelInterfaces(), 0u);
    EXPECT_EQ(plat::LdrLoadedDrivers(), std::vector<std::u16string>{kclient::kImage})
        << "nothing of the unit driver's image is held";

    // Replugged, the unit publishes again and the client binds to it afresh.
    rig.Plug(main);
    rig.Quiesce();
    state = client.State();
    EXPECT_EQ(state.interfaceArrivals, 2u);
    EXPECT_EQ(state.bound, 1u);
    EXPECT_EQ(client.Command(0x1001, 1, &description), STATUS_SUCCESS);
    EXPECT_STREQ(reinterpret_cast<const char*>(description.data()), "QX-5310 [2]");
    EXPECT_EQ(client.Control(kclient::kIoctlUnbind, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
    EXPECT_EQ(client.State().bound, 0u);
  }
  rig.Unplug(main);
  rig.Shutdown();
}

// The client records all 18 channels and plays each back on its own number: what the unit plays
// is what it sampled, bit for bit, and the client is called once per half at the position it
// returned the time before.
TEST(KernelClientImage, LoopsEveryChannelThroughTheUnitBitExactOncePerHalf) {
  DriverRig rig(0, 2, drvtest::Load::Image);
  sim::MainUnit main;
  rig.Plug(main);
  rig.Quiesce();
  {
    KernelClient client;
    rig.Settle();
    ASSERT_EQ(client.State().bound, 1u);
    main.Playback().SetCapture(true, 48000 * 4);
    LoopAllChannels(client);
    rig.sched.RunFor(3 * plat::kNsPerSecond);

    const kclient::State before = client.State();
    const uint64_t framesBefore = main.Playback().Stats().frames;
    rig.sched.RunFor(plat::kNsPerSecond);
    const kclient::State after = client.State();
    const uint32_t frames = after.framesPerHalf;
    ASSERT_GT(frames, 0u);
    const double halves = static_cast<double>(main.Playback().Stats().frames - framesBefore) / frames;
    EXPECT_GT(halves, 48000.0 / frames - 4);
    EXPECT_NEAR(after.exchanges - before.exchanges, halves, 2.0);
    EXPECT_EQ(after.positionSlips, 0u);

    ExpectLoopedBitExact(main);
    ASSERT_EQ(client.Command(0x1005, 1), STATUS_SUCCESS);
  }
  rig.Unplug(main);
  rig.Shutdown();
}

// A buffer-size change while the client streams: it is told ({0, 0}), and its stop and start
// bring the stream back at the new size, looping bit-exact again.
TEST(KernelClientImage, ABufferSizeChangeTellsTheClientAndItsStopAndStartRestartTheStream) {
  DriverRig rig(0, 2, drvtest::Load::Image);
  sim::MainUnit main;
  rig.Plug(main);
  rig.Quiesce();
  {
    KernelClient client;
    rig.Settle();
    LoopAllChannels(client);
    rig.sched.RunFor(2 * plat::kNsPerSecond);
    const uint32_t frames = client.State().framesPerHalf;
    const uint32_t changed = frames == 256 ? 512 : 256;
    ASSERT_GT(client.State().exchanges, 0u);

    const uint32_t set = rig.RunProgram(64, [changed] {
      const std::vector<std::string> units = host::FindUnitInterfaces();
      if (units.size() != 1) return 1u;
      const host::Reply reply = host::SendControl(
          units[0], {IOCTL_QX531_SET_PREFERENCE,
                     host::Words({PreferencesBlock::kMagic, PreferencesBlock::kVersion,
                                     PreferencesBlock::kParamBufferSizeIndex, BufferSizeIndexOf(changed)}),
                     0});
      return reply.ok ? 0u : 2u;
    });
    ASSERT_EQ(set, 0u);
    rig.sched.RunFor(100 * plat::kNsPerMs);
    EXPECT_EQ(client.State().restartNotices, 1u);
    EXPECT_EQ(client.State().removalNotices, 0u);

    ASSERT_EQ(client.Command(0x1005, 1), STATUS_SUCCESS);
    ASSERT_EQ(client.Command(0x1004, 1), STATUS_SUCCESS);
    EXPECT_EQ(client.State().framesPerHalf, changed);
    rig.sched.RunFor(2 * plat::kNsPerSecond);
    main.Playback().ClearCapture();
    main.Playback().SetCapture(true, 48000 * 4);
    const uint32_t before = client.State().exchanges;
    rig.sched.RunFor(plat::kNsPerSecond);
    const kclient::State after = client.State();
    EXPECT_NEAR(after.exchanges - before, 48000.0 / changed, 3.0);
    EXPECT_EQ(after.positionSlips, 0u);
    ExpectLoopedBitExact(main);
    ASSERT_EQ(client.Command(0x1005, 1), STATUS_SUCCESS);
  }
  rig.Unplug(main);
  rig.Shutdown();
}

// Beside the audio adapter, which plays a constant on channels 0 and 1: there its samples are
// added to the kernel client's, and the kernel client's own channels are copied.
TEST(KernelClientImage, StreamsBesideTheAudioAdapterMixingWhereBothPlay) {
  constexpr int32_t kAdapterSample = 0x40000000;
  constexpr ULONG kAdapterFrames = 8192;
  std::vector<int32_t> render(2 * kAdapterFrames, kAdapterSample);
  DriverRig rig(0, 2, drvtest::Load::Image);
  drvtest::InstallTestAdapter();
  sim::MainUnit main;
  rig.Plug(main);
  rig.Quiesce();
  drvtest::TestAdapter* adapter = drvtest::MainUnitAdapter();
  ASSERT_NE(adapter, nullptr);
  PdoDirectInterface& t = adapter->table;
  {
    KernelClient client;
    rig.Settle();
    main.Playback().SetCapture(true, 48000 * 4);
    LoopAllChannels(client);
    t.SetStreamFormat(t.Context, 0, 2 | kWdmFormat32Bit);
    t.SetStreamBuffer(t.Context, 0, 0, render.data(), static_cast<ULONG>(render.size() * sizeof render[0]));
    t.SetStreamState(t.Context, 0, 0, kWdmStateRun);
    rig.sched.RunFor(3 * plat::kNsPerSecond);
    const uint32_t before = client.State().exchanges;
    const ULONG notifiesBefore = adapter->notifies[0][0];
    rig.sched.RunFor(plat::kNsPerSecond);
    const kclient::State after = client.State();
    EXPECT_NEAR(after.exchanges - before, adapter->notifies[0][0] - notifiesBefore, 1.0)
        << "both clients are served once per half";
    EXPECT_EQ(after.positionSlips, 0u);
    ExpectLoopedBitExact(main, 0x3, kAdapterSample);
    t.SetStreamState(t.Context, 0, 0, kWdmStateStop);
    ASSERT_EQ(client.Command(0x1005, 1), STATUS_SUCCESS);
  }
  rig.Unplug(main);
  rig.Shutdown();
}

}  // namespace
