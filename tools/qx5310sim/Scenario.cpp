#include "tools/qx5310sim/Scenario.h"

#include <cstdio>
#include <memory>
#include <vector>

#include "platform/kernel/RegistryHive.h"
#include "sim/host/EnginePlatformDouble.h"
#include "sim/units/Kr6Unit.h"
#include "sim/units/MainUnit.h"
#include "tools/qx5310sim/AudioSession.h"
#include "tools/qx5310sim/Machine.h"
#include "tools/qx5310sim/Report.h"
#include "tools/qx5310sim/SurfaceSession.h"
#include "unit/ControlRequests.h"
#include "unit/UnitTable.h"

namespace {

constexpr char16_t kParametersKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\qx5310\\Parameters";
constexpr char16_t kPreferencesValue[] = u"Preferences";

std::string Hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

// The stored settings stand where the kernel driver keeps them, so they survive between runs.
void LoadPreferences(sim::DoubleSettingsStore& store) {
  plat::RegistryValue value;
  if (!NT_SUCCESS(plat::RegistryHive::QueryValue(kParametersKey, kPreferencesValue, &value))) return;
  if (value.type != REG_BINARY || value.data.size() != sizeof(PreferencesBlock)) return;
  PreferencesBlock block;
  std::memcpy(&block, value.data.data(), sizeof block);
  store.block = block;
}

void SavePreferences(const sim::DoubleSettingsStore& store, Report& report) {
  if (!store.block) return;
  if (!NT_SUCCESS(plat::RegistryHive::CreateKey(kParametersKey)) ||
      !NT_SUCCESS(plat::RegistryHive::SetValue(kParametersKey, kPreferencesValue, REG_BINARY, &*store.block,
                                               sizeof(PreferencesBlock))))
    report.Lost("the settings could not be stored in the registry");
}

void ReportUnit(Report& report, const char* what, const sim::EnginePlatformDouble& unit) {
  const SharedStateBlock& s = unit.SharedState();
  int slot = -1;
  for (uint32_t i = 0; i < UnitTable::kSlots; ++i)
    if (UnitTable::Shared().At(i) == &unit) slot = static_cast<int>(i);
  std::string name(s.mUnitName.mName, strnlen(s.mUnitName.mName, UnitNameRecord::kNameBytes));
  report.Line(std::string(what) + ": kind " + std::to_string(unit.UnitKind()) + ", slot " + std::to_string(slot) +
              (s.mActive ? " (active)" : "") + ", node " + std::to_string(unit.NodeNumber()) + ", versions " +
              Hex(s.mRegisterVersion) + " " + Hex(s.mFpgaVersion) + " " + Hex(s.mArmVersion) + " " +
              Hex(s.mHardwareVersion) + (unit.Serial() != 0 ? ", serial " + std::to_string(unit.Serial()) : "") +
              (name.empty() ? "" : ", name \"" + name + "\""));
}

}  // namespace

void RunDefaultScenario(Machine& machine, const ScenarioOptions& options, Report& report) {
  auto& s = machine.Scheduler();
  sim::DoubleSettingsStore store;
  LoadPreferences(store);
  report.Value("stored settings", store.block ? "found" : "none, defaults");

  sim::MainUnit mainUnit;
  std::vector<std::unique_ptr<sim::Kr6Unit>> expansion;
  for (int i = 0; i < options.expansionUnits; ++i) expansion.push_back(std::make_unique<sim::Kr6Unit>(1001 + i));

  report.Section("Plug-in");
  std::vector<std::unique_ptr<sim::EnginePlatformDouble>> units;
  auto plug = [&](sim::Unit& hw, const std::string& what) {
    hw.Plug(machine.Bus());
    s.RunUntilIdle();
    units.push_back(std::make_unique<sim::EnginePlatformDouble>(machine.Host(), hw.Guid(), store));
    int32_t result = units.back()->HandlePlugIn();
    s.RunFor(10 * plat::kNsPerMs);
    if (result != 0) report.Lost(what + ": plug-in failed with " + std::to_string(result));
    ReportUnit(report, what.c_str(), *units.back());
  };
  plug(mainUnit, "main unit");
  for (size_t i = 0; i < expansion.size(); ++i) plug(*expansion[i], "KR-6 #" + std::to_string(i + 1));
  for (auto& u : units)
    if (u->StartMidi() != 0) report.Lost("MIDI did not start on a unit");

  // The panel's way to choose the control protocol; it reaches every unit.
  SetPreferenceRequest protocol{PreferencesBlock::kMagic, PreferencesBlock::kVersion,
                                PreferencesBlock::kParamControlProtocol, options.protocol};
  uint32_t returned = 0;
  if (units[0]->HandleControlRequest(11, &protocol, sizeof protocol, 0, &returned) != kQX531Success)
    report.Lost("the control protocol could not be set");

  AudioSession audio(s, mainUnit, *units[0], options.outDir);
  const bool faulted = options.faults.Any();
  if (faulted) {
    audio.ExpectFaults();
    mainUnit.SetClockOffsetPpm(options.faults.driftPpm);
  }
  bool streaming = audio.Start(options.sampleRate, options.bufferFrames, options.duration, report);

  // The main unit's surface reports ride in the isochronous stream, so it plays only once that runs;
  // the KR-6 units report through their own status records.
  SurfaceSession session(s, options.protocol);
  if (streaming) session.AddUnit("main unit", mainUnit, *units[0]);
  for (size_t i = 0; i < expansion.size(); ++i)
    session.AddUnit("KR-6 #" + std::to_string(i + 1), *expansion[i], *units[i + 1]);
  session.Play(s.Now() + 50 * plat::kNsPerMs);

  std::unique_ptr<FaultRun> faults;
  if (faulted) {
    faults = std::make_unique<FaultRun>(s, machine.Bus(), options.faults, streaming ? &audio : nullptr);
    std::vector<FaultRun::Target> targets;
    targets.push_back({"main unit", &mainUnit, units[0].get()});
    for (size_t i = 0; i < expansion.size(); ++i)
      targets.push_back({"KR-6 #" + std::to_string(i + 1), expansion[i].get(), units[i + 1].get()});
    faults->Run(mainUnit, targets, s.Now() + options.duration);
    faults->Drain();
  } else {
    s.RunFor(options.duration);
  }
  audio.Stop();
  report.Section("Run");
  report.Value("virtual time", std::to_string(s.Now() / plat::kNsPerMs) + " ms");
  report.Value("bus generation", std::to_string(machine.Bus().Generation()));
  uint32_t issued = 0, completed = 0;
  for (const auto& u : units) {
    issued += u->QueuedWritesIssued();
    completed += u->QueuedWritesCompleted();
  }
  report.Value("queued register writes", std::to_string(completed) + " of " + std::to_string(issued) + " completed");
  if (issued != completed) report.Lost(std::to_string(issued - completed) + " queued register write(s) never completed");

  if (streaming) audio.WriteReport(report);
  session.WriteReport(report);
  if (faults) faults->WriteReport(report);

  for (auto it = units.rbegin(); it != units.rend(); ++it) (*it)->HandleUnPlug();
  s.RunFor(10 * plat::kNsPerMs);
  units.clear();
  for (auto& hw : expansion) hw->Unplug();
  mainUnit.Unplug();
  s.RunUntilIdle();
  SavePreferences(store, report);
}
