#include "tools/qx5310sim/Scenario.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/kernel/RegistryHive.h"
#include "sim/units/Kr6Unit.h"
#include "sim/units/MainUnit.h"
#include "tools/qx5310sim/AudioSession.h"
#include "tools/qx5310sim/HostMidiAdapter.h"
#include "tools/qx5310sim/Machine.h"
#include "tools/qx5310sim/Panel.h"
#include "tools/qx5310sim/Report.h"
#include "tools/qx5310sim/SurfaceSession.h"
#include "unit/PreferencesBlock.h"
#include "unit/QX531Device.h"

namespace {

constexpr char16_t kParametersKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\qx5310\\Parameters";
constexpr char16_t kPreferencesValue[] = u"Preferences";

std::string Hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

// Whether the driver stored settings in an earlier run: the machine's registry, as a person
// would look into it before the units are plugged in.
bool StoredSettingsFound() {
  plat::RegistryValue value;
  return NT_SUCCESS(plat::RegistryHive::QueryValue(kParametersKey, kPreferencesValue, &value)) &&
         value.type == REG_BINARY && value.data.size() == sizeof(PreferencesBlock);
}

// A unit as the host's client library sees it.
void ReportUnit(Report& report, const Machine& machine, const std::string& what, const sim::Unit& hw, uint32_t serial,
                const std::vector<Panel::UnitView>& views) {
  const std::string device = machine.DeviceState(hw);
  report.Value(what + " device", device);
  if (device != "started, child started") report.Lost(what + "'s devices did not start");
  const Panel::UnitView* view = nullptr;
  for (const Panel::UnitView& v : views)
    if (serial == 0 ? v.state.mUnitKind == Panel::kMainUnit
                    : v.state.mUnitKind == Panel::kExpansionUnit && v.state.mSerial == serial)
      view = &v;
  if (view == nullptr) {
    report.Line(what + ": not found by the host");
    report.Lost(what + " was not found through the client library");
    return;
  }
  const SharedStateBlock& s = view->state;
  std::string name(s.mUnitName.mName, strnlen(s.mUnitName.mName, UnitNameRecord::kNameBytes));
  if (name.empty()) name = view->name;
  report.Line(what + ": kind " + std::to_string(s.mUnitKind) + ", slot " + std::to_string(s.mUnitIndex) +
              (s.mActive ? " (active)" : "") +
              (view->expansionSlot >= 0 ? ", library slot " + std::to_string(view->expansionSlot) : "") +
              ", versions " + Hex(s.mRegisterVersion) + " " + Hex(s.mFpgaVersion) + " " + Hex(s.mArmVersion) + " " +
              Hex(s.mHardwareVersion) + (s.mSerial != 0 ? ", serial " + std::to_string(s.mSerial) : "") +
              (name.empty() ? "" : ", name \"" + name + "\"") +
              (HostMidiAdapter::Bound(hw.Guid()) ? ", host MIDI port bound" : ", no host MIDI port"));
  if (!HostMidiAdapter::Bound(hw.Guid())) report.Lost(what + " has no host MIDI port");
}

}  // namespace

void RunDefaultScenario(Machine& machine, const ScenarioOptions& options, Report& report) {
  auto& s = machine.Scheduler();
  report.Value("stored settings", StoredSettingsFound() ? "found" : "none, defaults");

  sim::MainUnit mainUnit;
  std::vector<std::unique_ptr<sim::Kr6Unit>> expansion;
  for (int i = 0; i < options.expansionUnits; ++i) expansion.push_back(std::make_unique<sim::Kr6Unit>(1001 + i));

  // Plug and play loads the kernel driver for every unit that joins the bus.
  report.Section("Plug-in");
  HostMidiAdapter::Watch(mainUnit.Guid());
  for (auto& hw : expansion) HostMidiAdapter::Watch(hw->Guid());
  machine.Plug(mainUnit);
  for (auto& hw : expansion) machine.Plug(*hw);
  s.RunFor(10 * plat::kNsPerMs);
  const std::vector<Panel::UnitView> views = Panel::Look();
  ReportUnit(report, machine, "main unit", mainUnit, 0, views);
  for (size_t i = 0; i < expansion.size(); ++i)
    ReportUnit(report, machine, "KR-6 #" + std::to_string(i + 1), *expansion[i], expansion[i]->Serial(), views);

  // The panel's way to choose the control protocol; it reaches every unit.
  if (!Panel::SetParameter(PreferencesBlock::kParamControlProtocol, options.protocol))
    report.Lost("the control protocol could not be set");

  AudioSession audio;
  audio.Configure(options.sampleRate, options.bufferFrames, report);
  const bool faulted = options.faults.Any();
  if (faulted) mainUnit.SetClockOffsetPpm(options.faults.driftPpm);
  // MIDI on every unit, as a client of the unit asks for it.
  if (!Panel::SetStreamMasks(QX531Device::kStreamMaskMidi, QX531Device::kStreamMaskMidi))
    report.Lost("MIDI could not be started on every unit");

  // The main unit's surface reports ride in the isochronous stream, which does not run yet; the
  // KR-6 units report through their own status records.
  SurfaceSession session(s, options.protocol);
  for (size_t i = 0; i < expansion.size(); ++i)
    session.AddUnit("KR-6 #" + std::to_string(i + 1), *expansion[i], expansion[i]->Serial());
  session.Play(s.Now() + 50 * plat::kNsPerMs);

  std::unique_ptr<FaultRun> faults;
  if (faulted) {
    // A unit plugged back is a new device to the host: its client asks for MIDI again.
    auto restart = [] { Panel::SetStreamMasks(QX531Device::kStreamMaskMidi, QX531Device::kStreamMaskMidi); };
    faults = std::make_unique<FaultRun>(machine, options.faults, restart);
    std::vector<FaultRun::Target> targets;
    targets.push_back({"main unit", &mainUnit, 0});
    for (size_t i = 0; i < expansion.size(); ++i)
      targets.push_back({"KR-6 #" + std::to_string(i + 1), expansion[i].get(), expansion[i]->Serial()});
    faults->Run(mainUnit, targets, s.Now() + options.duration);
    faults->Drain();
  } else {
    s.RunFor(options.duration);
  }
  report.Section("Run");
  report.Value("virtual time", std::to_string(s.Now() / plat::kNsPerMs) + " ms");
  report.Value("bus generation", std::to_string(machine.Bus().Generation()));

  audio.WriteReport(report);
  session.WriteReport(report);
  if (faults) faults->WriteReport(report);

  for (auto it = expansion.rbegin(); it != expansion.rend(); ++it) machine.Unplug(**it);
  machine.Unplug(mainUnit);
}
