#include "tools/qx5310sim/Scenario.h"

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/bus1394/Bus1394.h"
#include "platform/kernel/PnpManager.h"
#include "platform/kernel/RegistryHive.h"
#include "platform/portcls/PinClient.h"
#include "sim/units/Kr6Unit.h"
#include "sim/units/MainUnit.h"
#include "tools/qx5310sim/AudioSession.h"
#include "tools/qx5310sim/HostMidiPort.h"
#include "tools/qx5310sim/KernelClientLink.h"
#include "tools/qx5310sim/Machine.h"
#include "tools/qx5310sim/PanelSession.h"
#include "tools/qx5310sim/ClientHost.h"
#include "tools/qx5310sim/Report.h"
#include "tools/qx5310sim/SurfaceSession.h"
#include "tools/qx5310sim/WaveA1Host.h"
#include "tools/qx5310sim/WriterThread.h"
#include "unit/PreferencesBlock.h"
#include "unit/QX531Device.h"

namespace {

constexpr char16_t kParametersKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\qx5310\\Parameters";
constexpr char16_t kPreferencesValue[] = u"Preferences";
constexpr uint8_t kSurfaceCable = 4;
// Jobs the program's writer thread may have waiting: chunks of both WAV files, a few MiB in flight
// at most, or the panel's pictures.
constexpr size_t kWriterQueue = 8;

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

// The audio adapter on the unit's child as Device Manager lists it: the subdevices it registered.
std::vector<std::string> AdapterSubdevices(const sim::Unit& hw) {
  std::vector<std::string> names;
  PDEVICE_OBJECT pdo = plat::Bus1394::PdoOf(hw.Guid());
  if (pdo == nullptr) return names;
  for (PDEVICE_OBJECT child : plat::PnpChildren(pdo))
    for (const plat::PcSubdeviceInfo& s : plat::PcSubdevices(child)) names.emplace_back(s.name.begin(), s.name.end());
  return names;
}

// A unit as the host's client library sees it.
void ReportUnit(Report& report, const Machine& machine, const std::string& what, const sim::Unit& hw, uint32_t serial,
                const std::vector<ClientHost::UnitView>& views) {
  const std::string device = machine.DeviceState(hw);
  report.Value(what + " device", device);
  if (device != "started, child started") report.Lost(what + "'s devices did not start");
  const std::vector<std::string> subdevices = AdapterSubdevices(hw);
  report.Value(what + " audio adapter", subdevices.size() == 1 ? "\"" + subdevices[0] + "\""
                                                                : std::to_string(subdevices.size()) + " subdevices");
  const size_t expected = serial == 0 ? 17 : 1;
  if (subdevices.size() != expected)
    report.Lost(what + "'s audio adapter registered " + std::to_string(subdevices.size()) + " subdevice(s), not " +
                std::to_string(expected));
  const ClientHost::UnitView* view = nullptr;
  for (const ClientHost::UnitView& v : views)
    if (serial == 0 ? v.state.mUnitKind == ClientHost::kMainUnit
                    : v.state.mUnitKind == ClientHost::kExpansionUnit && v.state.mSerial == serial)
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
              (name.empty() ? "" : ", name \"" + name + "\""));
}

// What the units' writers gave up, from their debug logs: nothing, when every unit stayed.
void ReportWriterDrops(Report& report) {
  std::string text;
  for (const ClientHost::WriterDrops& unit : ClientHost::ReadWriterDrops())
    for (const auto& [what, n] : unit.dropped)
      if (n != 0)
        text += (text.empty() ? "" : "; ") + std::string(unit.unitKind == ClientHost::kMainUnit ? "main unit" : "KR-6 ") +
                (unit.unitKind == ClientHost::kMainUnit ? "" : std::to_string(unit.serial)) + ": " + std::to_string(n) +
                " " + what;
  report.Value("writers dropped", text.empty() ? "none" : text);
  if (!text.empty()) report.Lost("the writers dropped what the driver had accepted");
}

// The host's port on a unit: the surface's MIDI subdevice of the audio adapter on its child.
SurfaceSession::Port AdapterPort(HostMidiPort& port) {
  std::string what = "\"";
  what += port.Name();
  what += "\" of the audio adapter";
  return {[&port] { return port.Take(); }, [&port](uint32_t packet) { return port.Send(packet); },
          [&port](PKEVENT event) { port.SignalArrivals(event); }, what};
}

// Runs until the kernel client holds the main unit's interface, and starts its MIDI.
bool StartKernelClient(plat::Scheduler& s, KernelClientLink& link) {
  const plat::VTime limit = s.Now() + plat::kNsPerSecond;
  while (!link.Bound()) {
    if (s.Now() >= limit) return false;
    s.RunFor(plat::kNsPerMs);
  }
  return link.StartMidi();
}

}  // namespace

void RunDefaultScenario(Machine& machine, const ScenarioOptions& options, Report& report) {
  auto& s = machine.Scheduler();
  WriterThread writer(kWriterQueue);
  report.Value("stored settings", StoredSettingsFound() ? "found" : "none, defaults");

  sim::MainUnit mainUnit;
  std::vector<std::unique_ptr<sim::Kr6Unit>> expansion;
  for (int i = 0; i < options.expansionUnits; ++i) expansion.push_back(std::make_unique<sim::Kr6Unit>(1001 + i));

  // Plug and play loads the kernel driver for every unit that joins the bus; the kernel client is
  // loaded before, and binds when the main unit's interface arrives.
  // The panel starts at log-on, before any unit is there.
  const bool faulted = options.faults.Any();
  std::unique_ptr<PanelSession> panel;
  if (options.panel) {
    panel = std::make_unique<PanelSession>(options.outDir, faulted, options.expansionUnits > 0, writer);
    panel->StartAtLogOn();
  }

  report.Section("Plug-in");
  KernelClientLink kernelClient;
  if (!kernelClient.Load()) report.Lost("the kernel client could not be loaded");
  machine.Plug(mainUnit);
  for (auto& hw : expansion) machine.Plug(*hw);
  s.RunFor(10 * plat::kNsPerMs);
  const std::vector<ClientHost::UnitView> views = ClientHost::Look();
  ReportUnit(report, machine, "main unit", mainUnit, 0, views);
  for (size_t i = 0; i < expansion.size(); ++i)
    ReportUnit(report, machine, "KR-6 #" + std::to_string(i + 1), *expansion[i], expansion[i]->Serial(), views);

  // The control protocol, chosen on the panel or set through the client library as a settings
  // program does; it reaches every unit. The panel sets rate and latency beside it.
  if (panel) {
    panel->FindUnits(options.expansionUnits);
    panel->StartSecondCopy();
  } else if (!ClientHost::SetParameter(PreferencesBlock::kParamControlProtocol, options.protocol)) {
    report.Lost("the control protocol could not be set");
  }

  // MIDI on every KR-6, as a client of the unit asks for it; the kernel client starts the main
  // unit's.
  if (!ClientHost::SetExpansionStreamMasks(QX531Device::kStreamMaskMidi))
    report.Lost("MIDI could not be started on every KR-6");
  const bool kernelClientStarted = StartKernelClient(s, kernelClient);
  report.Value("kernel client", kernelClientStarted ? "bound to the main unit's interface, MIDI started"
                                                    : "did not bind to the main unit's interface");
  if (!kernelClientStarted) report.Lost("the kernel client did not start MIDI on the main unit");
  if (panel) panel->ChooseSettings(options.protocol, options.sampleRate, options.bufferFrames);

  AudioSession audio(s, mainUnit, options.outDir, writer);
  if (faulted) {
    audio.ExpectFaults();
    mainUnit.SetClockOffsetPpm(options.faults.driftPpm);
  }
  const bool streaming =
      audio.Start(options.sampleRate, options.bufferFrames, options.duration, report, panel != nullptr);

  // A host of Windows' audio stack plays a WAV file on "WaveA1" and records from it, beside the
  // ASIO host; under faults the ASIO stream alone is followed through its breaks.
  WaveA1Host wave(mainUnit.Guid(), options.outDir);
  bool waveRuns = false;
  if (streaming && !faulted) {
    audio.PlayBeside(&wave);
    waveRuns = wave.Start(options.sampleRate, options.duration, report);
    if (!waveRuns) audio.PlayBeside(nullptr);
  }

  // The host's surface ports: "MidiC" of the main unit's audio adapter and "MidiKR6" of each KR-6's.
  HostMidiPort mainPort(mainUnit.Guid(), u"MidiC", kSurfaceCable);
  std::vector<std::unique_ptr<HostMidiPort>> kr6Ports;
  for (auto& hw : expansion) kr6Ports.push_back(std::make_unique<HostMidiPort>(hw->Guid(), u"MidiKR6", kSurfaceCable));
  if (!mainPort.Open()) report.Lost("the host could not open \"MidiC\" of the main unit");
  for (size_t i = 0; i < kr6Ports.size(); ++i)
    if (!kr6Ports[i]->Open()) report.Lost("the host could not open \"MidiKR6\" of KR-6 #" + std::to_string(i + 1));

  // The main unit's surface reports ride in the isochronous stream, so it plays only once that runs;
  // the KR-6 units report through their own status records.
  SurfaceSession session(s, options.protocol);
  if (streaming) session.AddUnit("main unit", mainUnit, 0, AdapterPort(mainPort));
  for (size_t i = 0; i < expansion.size(); ++i)
    session.AddUnit("KR-6 #" + std::to_string(i + 1), *expansion[i], expansion[i]->Serial(), AdapterPort(*kr6Ports[i]));
  session.Play(s.Now() + 50 * plat::kNsPerMs);

  std::unique_ptr<FaultRun> faults;
  if (faulted) {
    // A unit plugged back is a new device to the host: its clients ask for MIDI again and open
    // its ports again. A surface port stays open across the pull until the host sees its calls
    // fail and closes it, as an application does with a device that is gone.
    auto restart = [&s, &kernelClient, &audio, &mainPort, &kr6Ports, &expansion](const FaultRun::Target& t) {
      if (t.serial != 0) {
        for (size_t i = 0; i < expansion.size(); ++i)
          if (expansion[i]->Serial() == t.serial) kr6Ports[i]->Open();
        ClientHost::SetExpansionStreamMasks(QX531Device::kStreamMaskMidi);
        return;
      }
      mainPort.Open();
      StartKernelClient(s, kernelClient);
      audio.Restart();
    };
    faults = std::make_unique<FaultRun>(machine, options.faults, streaming ? &audio : nullptr, restart);
    std::vector<FaultRun::Target> targets;
    targets.push_back({"main unit", &mainUnit, 0, [&kernelClient](uint32_t p) { return kernelClient.Send(p); }});
    for (size_t i = 0; i < expansion.size(); ++i) {
      HostMidiPort* port = kr6Ports[i].get();
      targets.push_back({"KR-6 #" + std::to_string(i + 1), expansion[i].get(), expansion[i]->Serial(),
                         [port](uint32_t p) { return port->Send(p); }});
    }
    faults->Run(mainUnit, targets, s.Now() + options.duration);
    faults->Drain();
    if (panel) {
      panel->CheckResponsive();
      panel->CheckOvrShown(faults->LastOvrThreshold());
    }
  } else {
    // While the streams run, the panel changes what does not restart them, and its button is
    // pressed on the surface.
    const plat::VTime end = s.Now() + options.duration;
    if (panel) {
      panel->ChooseRouting();
      if (!expansion.empty()) panel->RenameKr6();
      if (streaming) panel->PressPanelButton(mainUnit);
    }
    if (s.Now() < end) s.RunFor(end - s.Now());
  }
  session.Stop();
  if (waveRuns) wave.Stop();
  if (streaming) audio.Stop();
  report.Section("Run");
  report.Value("virtual time", std::to_string(s.Now() / plat::kNsPerMs) + " ms");
  report.Value("bus generation", std::to_string(machine.Bus().Generation()));

  if (!faults) ReportWriterDrops(report);

  if (streaming) audio.WriteReport(report);
  if (waveRuns) wave.WriteReport(report);
  session.WriteReport(report);
  if (faults) faults->WriteReport(report);

  // The host lets go of its ports before the units go; the panel is pictured, sees a KR-6 pulled and
  // is closed before the machine shuts down.
  mainPort.Close();
  for (auto& port : kr6Ports) port->Close();
  if (panel) {
    panel->PictureEveryPage();
    if (!expansion.empty()) panel->PullKr6(machine, *expansion.back());
    panel->CloseWithShift();
    panel->WriteReport(report);
  }
  for (auto it = expansion.rbegin(); it != expansion.rend(); ++it) machine.Unplug(**it);
  machine.Unplug(mainUnit);
  kernelClient.Unload();
}
