// The surface as host applications hear it: the protocol a user chose through the unit driver's
// settings request decides the MIDI that a fader and a button send, and it is read from the
// surface's port of the unit, "MidiC" on the main unit and "MidiKR6" on an expansion unit.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/host/UserClient.h"
#include "sim/units/Kr6Unit.h"
#include "sim/units/MainUnit.h"
#include "tests/wdm/WdmRig.h"
#include "unit/ControlRequests.h"
#include "unit/PreferencesBlock.h"

namespace {

using Bytes = std::vector<UCHAR>;
using wdmtest::WdmRig;

constexpr ULONG kWaveCapturePin = 0;
constexpr ULONG kMidiCapturePin = 2;
constexpr ULONG kRate = 48000;
constexpr uint16_t kCopy = 57;
// Longer than the main unit's 5 ms between surface reports and the expansion unit's scan.
constexpr plat::VTime kReported = 30 * plat::kNsPerMs;

// One protocol as the panel offers it, the fader played in it, and what each step at the surface
// sends: the fader touched at the bottom, pushed to the top and let go, then Copy pressed and
// released.
struct Protocol {
  uint32_t value;
  const char* name;
  int fader;
  Bytes touch;
  Bytes moveToTop;
  Bytes release;
  Bytes press;
  Bytes unpress;
};

const Protocol kProtocols[] = {
    {1, "QX-5310 Native", 0,
     {0xBF, 112, 127},
     {0xBF, 79, 127, 0xBF, 95, 0x70},
     {0xBF, 112, 0},
     {0xBE, 9, 127},
     {0xBE, 9, 0}},
    {2, "Mackie Control Emulation", 1,
     {0x90, 105, 127, 0xE1, 0x00, 0x00},
     {0xE1, 0x70, 0x7F},
     {0x90, 105, 0},
     {0x90, 56, 127},
     {0x90, 56, 0}},
    {3, "HUI Emulation", 2,
     {0xB0, 0x0F, 2, 0xB0, 0x2F, 0x40},
     {0xB0, 2, 127, 0xB0, 0x22, 0x60},
     {0xB0, 0x0F, 2, 0xB0, 0x2F, 0x00},
     {0xB0, 0x0F, 26, 0xB0, 0x2F, 0x44},
     {0xB0, 0x0F, 26, 0xB0, 0x2F, 0x04}},
    {4, "Cubase LE", 3,
     {0x90, 107, 127, 0xE3, 0x00, 0x00},
     {0xE3, 0x70, 0x7F},
     {0x90, 107, 0},
     {0x90, 60, 127},
     {0x90, 60, 0}},
    {5, "Cubase SX / Nuendo", 4,
     {0x90, 108, 127, 0xE4, 0x00, 0x00},
     {0xE4, 0x70, 0x7F},
     {0x90, 108, 0},
     {0x90, 60, 127},
     {0x90, 60, 0}},
};

KSDATARANGE_AUDIO Stereo16() { return wdmtest::PcmRange(2, 16, 16, kRate, kRate); }

// The protocol chosen as the panel chooses it: a settings request to a unit, which every unit
// takes.
bool ChooseProtocol(WdmRig& rig, uint32_t protocol) {
  const host::Control set{
      IOCTL_QX531_SET_PREFERENCE,
      host::Words({PreferencesBlock::kMagic, PreferencesBlock::kVersion, PreferencesBlock::kParamControlProtocol,
                   protocol}),
      0};
  const bool taken = rig.RunProgram(64, [&]() -> uint32_t {
                       std::vector<std::string> units = host::FindUnitInterfaces();
                       if (units.empty()) return 1;
                       return host::SendControl(units[0], set).ok ? 0 : 2;
                     }) == 0;
  rig.Quiesce();
  return taken;
}

// A host application on the unit's surface port, and on the main unit a recording on "WaveA1":
// the main unit reports its surface in the stream it records with.
struct SurfaceHost {
  std::unique_ptr<plat::KsFilter> wave;
  std::unique_ptr<plat::KsWavePin> recording;
  std::unique_ptr<plat::KsFilter> midi;
  std::unique_ptr<plat::KsMidiPin> in;
};

void Open(WdmRig& rig, sim::Unit& unit, const char16_t* port, bool record, SurfaceHost& host) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  if (record) {
    host.wave = rig.Filter(unit, u"WaveA1");
    ASSERT_NE(host.wave, nullptr);
    host.recording = plat::KsWavePin::Open(*host.wave, kWaveCapturePin, Stereo16(), 10, kRate * 4, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(host.recording->Run(), STATUS_SUCCESS);
    ASSERT_TRUE(rig.sched.RunUntil([&] { return !host.recording->Recorded().empty(); },
                                   rig.sched.Now() + 5 * plat::kNsPerSecond));
  }
  host.midi = rig.Filter(unit, port);
  ASSERT_NE(host.midi, nullptr);
  host.in = plat::KsMidiPin::Open(*host.midi, kMidiCapturePin, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  ASSERT_EQ(host.in->Run(), STATUS_SUCCESS);
  rig.sched.RunFor(kReported);
}

struct UnitKind {
  const char* name;
  const char16_t* port;
  bool expansion;
};
const UnitKind kUnitKinds[] = {{"main unit", u"MidiC", false}, {"KR-6", u"MidiKR6", true}};

// The protocols are chosen one after another while the application listens, as a user switches
// them; each plays its own fader, so each starts from a fader at rest at the bottom.
TEST(SurfaceMidi, AFaderAndAButtonArriveOnTheSurfacePortInTheChosenProtocol) {
  for (const UnitKind& kind : kUnitKinds) {
    SCOPED_TRACE(kind.name);
    WdmRig rig;
    sim::MainUnit main;
    sim::Kr6Unit kr6(7);
    rig.Plug(main);
    if (kind.expansion) rig.Plug(kr6);
    sim::Unit& unit = kind.expansion ? static_cast<sim::Unit&>(kr6) : main;
    rig.StartMidi(unit);
    SurfaceHost host;
    Open(rig, unit, kind.port, !kind.expansion, host);
    if (testing::Test::HasFailure()) continue;
    EXPECT_EQ(host.in->Read(), Bytes{}) << "a surface at rest sends nothing";

    for (const Protocol& protocol : kProtocols) {
      SCOPED_TRACE(protocol.name);
      ASSERT_TRUE(ChooseProtocol(rig, protocol.value));
      const int fader = protocol.fader;
      const struct {
        const char* what;
        std::function<void()> act;
        const Bytes& sent;
      } steps[] = {
          {"touch", [&] { unit.MoveFader(fader, 0); }, protocol.touch},
          {"move to the top", [&] { unit.MoveFader(fader, sim::Surface::kFaderMax); }, protocol.moveToTop},
          {"release", [&] { unit.ReleaseFader(fader); }, protocol.release},
          {"press", [&] { ASSERT_TRUE(unit.PressButton(kCopy)); }, protocol.press},
          {"release the button", [&] { ASSERT_TRUE(unit.ReleaseButton(kCopy)); }, protocol.unpress},
      };
      for (const auto& step : steps) {
        step.act();
        rig.sched.RunFor(kReported);
        EXPECT_EQ(host.in->Read(), step.sent) << step.what;
      }
    }
  }
}

}  // namespace
