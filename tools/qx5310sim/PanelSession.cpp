#include "tools/qx5310sim/PanelSession.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <algorithm>
#include <map>
#include <vector>

#include "panel/resource.h"
#include "platform/win32/InputDriver.h"
#include "platform/win32/KernelBridge.h"
#include "platform/win32/PngWriter.h"
#include "platform/win32/Session.h"
#include "platform/win32/Snapshot.h"
#include "sim/host/AdapterPorts.h"
#include "sim/units/MainUnit.h"
#include "tools/qx5310sim/ClientHost.h"
#include "tools/qx5310sim/Machine.h"
#include "tools/qx5310sim/PanelSpy.h"
#include "tools/qx5310sim/Report.h"
#include "unit/ControlRequests.h"
#include "unit/PreferencesBlock.h"

namespace input = plat::win32::input;

namespace {

constexpr char kImage[] = "QX5310Panel.exe";
constexpr char kCaption[] = "QX-5310 Control Panel";
constexpr char kNameUpdateCaption[] = "KR-6 Name Update";
constexpr char kUnitsLine[] = "+++ needUpdate: qx5310s = ";  // the panel's debug line of the units it holds
constexpr char kDumpFile[] = "panel.txt";  // the drawing dump of every page
constexpr const char* kNewNames[] = {"Strings", "Brass"};  // a KR-6's new name, other than its own
constexpr uint16_t kPanelButton = 70;  // the surface's panel button
constexpr uint64_t kSettleMs = 2000;
constexpr uint64_t kPollMs = 600;  // one poll of the panel and a little more
constexpr int kListRow = 13;      // a row of a dropped combo list
constexpr char kArrowPen[] = "pen=geometric width=4 cap=square";  // a routing arrow in the dump

// The pages in the sheet's order, with the names their pictures take.
struct Page {
  const char* caption;
  const char* picture;
};
constexpr Page kPages[] = {{"Settings", "panel-1-settings.png"},
                           {"Routing", "panel-2-routing.png"},
                           {"MIDI Programming", "panel-3-midiprog.png"},
                           {"Quick Start", "panel-4-quickstart.png"},
                           {"KR-6", "panel-5-kr6.png"}};

// The steps of the session, in the order they run: which run under faults, and which need a KR-6.
struct StepKind {
  const char* name;
  bool underFaults;
  bool plain;
  bool needsKr6;
};
constexpr StepKind kSteps[] = {
    {"log-on start", true, true, false},  {"units found", true, true, false},   {"second copy", true, true, false},
    {"settings", true, true, false},      {"routing", false, true, false},      {"KR-6 name", false, true, true},
    {"panel button", false, true, false}, {"responsive", true, false, false},   {"OVR shown", true, false, false},
    {"pictures", true, true, false},
    {"KR-6 pulled", true, true, true},    {"closed with Shift", true, true, false},
};

// The Settings page's lists as the panel fills them: the protocol combo's final order, the rates
// sorted; the latency trackbar's positions are the buffer sizes 32 to 2048.
constexpr uint32_t kProtocolOrder[] = {1, 4, 5, 2, 3};
constexpr uint32_t kRateOrder[] = {44100, 48000, 88200, 96000};

template <size_t N>
int IndexIn(const uint32_t (&order)[N], uint32_t value) {
  for (size_t i = 0; i < N; ++i)
    if (order[i] == value) return static_cast<int>(i);
  return -1;
}

// The latency trackbar's positions are the buffer sizes in order, the first at 0.
int LatencyPosition(uint32_t frames) { return static_cast<int>(BufferSizeIndexOf(frames)) - 1; }

void RunFor(uint64_t ms) {
  const uint64_t until = plat::win32::NowMs() + ms;
  plat::win32::RunHostUntil([until] { return plat::win32::NowMs() >= until; }, ms + 1);
}

// A top-level window as the window dump shows it: its line's visibility and foreground marks.
struct SheetView {
  bool found = false;
  bool visible = false;
  bool foreground = false;
};

SheetView Sheet(const std::string& caption = kCaption) {
  SheetView v;
  const std::string dump = input::DumpWindows();
  const std::string key = " \"" + caption + "\" [";
  for (size_t at = dump.find(key); at != std::string::npos; at = dump.find(key, at + 1)) {
    const size_t start = dump.rfind('\n', at) + 1;  // npos + 1 is 0: the first line
    if (dump[start] == ' ') continue;                 // a child window, not a top-level one
    const std::string line = dump.substr(start, dump.find('\n', at) - start);
    v.found = true;
    v.visible = v.visible || line.find("] visible ") != std::string::npos;
    v.foreground = v.foreground || line.find(" foreground") != std::string::npos;
  }
  return v;
}

std::string StateOf(const SheetView& v) {
  if (!v.found) return "gone";
  if (!v.visible) return "hidden";
  return v.foreground ? "shown in front" : "shown";
}

// Runs until the program has ended, killing it when it does not within the settle time; whether
// it ended by itself.
bool EndsByItself(HostProgram& program) {
  plat::win32::RunHostUntil([&program] { return program.Ended(); }, kSettleMs);
  const bool ended = program.Ended();
  if (!ended) program.Kill();
  program.Wait();
  return ended;
}

// A control's text on the sheet, from the window dump; empty when it is not there.
std::string ControlText(int id) {
  const std::string dump = input::DumpWindows();
  const std::string key = " id=" + std::to_string(id) + " \"";
  const size_t at = dump.find(key);
  if (at == std::string::npos) return {};
  const size_t from = at + key.size();
  return dump.substr(from, dump.find('"', from) - from);
}

// A drop-down list's choice by mouse: the list drops, and the row is clicked.
bool ChooseRow(const input::Target& combo, int row) {
  return input::Click(combo) && input::Click(input::Target("ComboLBox"), input::Point{10, row * kListRow + kListRow / 2});
}

// The text of a combo's row, from the window dump's line of the dropped list.
std::string Join(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& p : parts) text += (text.empty() ? "" : ", ") + p;
  return text;
}

// How many "MidiKR6" ports of the audio adapter carry `name` as their friendly name.
int MidiKr6PortsNamed(const std::string& name) {
  const std::vector<std::u16string> names = host::MidiKr6FriendlyNames();
  return static_cast<int>(std::count(names.begin(), names.end(), std::u16string(name.begin(), name.end())));
}

}  // namespace

PanelSession::PanelSession(std::string outDir, bool faulted, bool withKr6, WriterThread& writer)
    : outDir_(std::move(outDir)), writer_(writer) {
  for (const StepKind& k : kSteps)
    if ((faulted ? k.underFaults : k.plain) && (withKr6 || !k.needsKr6)) steps_.push_back({k.name, false, {}});
}

PanelSession::~PanelSession() {
  // The writer's jobs point into the pictures.
  if (picturing_) writer_.Drain();
}

void PanelSession::Done(const std::string& name, bool ok, const std::string& outcome) {
  for (Step& s : steps_)
    if (s.name == name) {
      s.done = ok;
      s.outcome = outcome;
    }
}

void PanelSession::StartAtLogOn() {
  panel_.StartImage(kImage, std::string(kImage) + " H");
  processId_ = panel_.ProcessId();
  plat::win32::RunHostUntil([] { return Sheet().found; }, kSettleMs);
  const SheetView v = Sheet();
  std::string detail = "\"";
  detail.append(kImage).append(" H\": ").append(StateOf(v));
  Done("log-on start", v.found && !v.visible, detail);
}

void PanelSession::FindUnits(int expansionUnits) {
  // The units arrive through WM_DEVICECHANGE; the panel tells what it holds at its next poll.
  RunFor(kPollMs);
  const std::string said = panel_.DebugOutput();
  const size_t at = said.rfind(kUnitsLine);
  int mains = -1, kr6s = -1;
  if (at != std::string::npos) std::sscanf(said.c_str() + at + std::strlen(kUnitsLine), "%d, kr6s = %d", &mains, &kr6s);
  const std::string found = at == std::string::npos ? "none told" : std::to_string(mains) + " main unit(s), " + std::to_string(kr6s) + " KR-6";
  Done("units found", mains == 1 && kr6s == expansionUnits, found);
}

void PanelSession::StartSecondCopy() {
  HostProgram second;
  second.StartImage(kImage, kImage);
  const bool ended = EndsByItself(second);
  plat::win32::RunHostUntil([] { return Sheet().visible; }, kSettleMs);
  const SheetView v = Sheet();
  Done("second copy", ended && second.ExitCode() == 0 && v.visible,
       (ended ? "ended with " + std::to_string(second.ExitCode()) : std::string("killed, still running")) +
           ", the first copy " + StateOf(v));
}

bool PanelSession::ShowPage(int index) {
  const PanelSpy::Rect tab = PanelSpy::TabRect(kCaption, index);
  if (tab.right <= tab.left) return false;
  return input::Click(input::Target(kCaption, "", {PanelSpy::kTabControl}),
                      input::Point{(tab.left + tab.right) / 2, (tab.top + tab.bottom) / 2});
}

void PanelSession::ChooseSettings(uint32_t protocol, uint32_t sampleRate, uint32_t bufferFrames) {
  const int protocolRow = IndexIn(kProtocolOrder, protocol);
  const int rateRow = IndexIn(kRateOrder, sampleRate);
  const int position = LatencyPosition(bufferFrames);
  const input::Target page(kCaption, kPages[0].caption);
  bool acted = ShowPage(0) && protocolRow >= 0 && rateRow >= 0 && position >= 0;
  acted = acted && ChooseRow(input::Target(kCaption, kPages[0].caption, {IDC_PROTOCOL}), protocolRow);
  acted = acted && ChooseRow(input::Target(kCaption, kPages[0].caption, {IDC_SAMPLE_RATE}), rateRow);
  // The trackbar takes the focus with a click at its left end, then steps to the position.
  const input::Target latency(kCaption, kPages[0].caption, {IDC_LATENCY});
  acted = acted && input::Click(latency, input::Point{2, 2}) && input::Key(latency, PanelSpy::kHome);
  for (int i = 0; acted && i < position; ++i) acted = input::Key(latency, PanelSpy::kRight);
  RunFor(kPollMs);
  // What each unit's driver stored.
  std::string mismatches;
  size_t units = 0;
  for (const ClientHost::UnitView& v : ClientHost::Look()) {
    ++units;
    const PreferencesBlock& p = v.preferences;
    if (!v.preferencesRead || p.mControlProtocol != protocol || p.mSampleRate != sampleRate ||
        p.mBufferSizeIndex != static_cast<uint32_t>(position + 1))
      mismatches += (mismatches.empty() ? "" : "; ") + std::string(v.expansionSlot < 0 ? "main unit" : "KR-6") +
                    " stored protocol " + std::to_string(p.mControlProtocol) + ", " + std::to_string(p.mSampleRate) +
                    " Hz, buffer size index " + std::to_string(p.mBufferSizeIndex);
  }
  Done("settings", acted && units > 0 && mismatches.empty(),
       "protocol " + std::to_string(protocol) + ", " + std::to_string(sampleRate) + " Hz, " +
           std::to_string(bufferFrames) + " frames" +
           (mismatches.empty() ? ", stored by the driver for " + std::to_string(units) + " unit(s)"
                               : "; " + mismatches));
}

void PanelSession::ChooseRouting() {
  // The optical output carries the analog outputs: the second row of its list.
  bool acted = ShowPage(1) && ChooseRow(input::Target(kCaption, kPages[1].caption, {IDC_OPTICAL_OUT_SOURCE}), 1);
  RunFor(kPollMs);
  uint32_t source = 0, code = 0;
  for (const ClientHost::UnitView& v : ClientHost::Look())
    if (v.state.mUnitKind == ClientHost::kMainUnit) {
      source = v.preferences.mOpticalOutSource;
      code = v.state.mOpticalOutCode;
    }
  // The page draws the arrows of the codes the units report: 4-pixel square-capped lines.
  size_t arrows = 0;
  if (plat::win32::picture::Snapshot(input::Target(kCaption)) != nullptr) {
    const std::string dump = plat::win32::picture::DumpDrawing();
    for (size_t at = dump.find(kArrowPen); at != std::string::npos; at = dump.find(kArrowPen, at + 1)) ++arrows;
  }
  Done("routing", acted && source == 2 && arrows > 0,
       "optical output source " + std::to_string(source) + ", route code " + std::to_string(code) + ", " +
           std::to_string(arrows) + " arrow line(s) drawn");
}

void PanelSession::RenameKr6() {
  // The first name edit's unit takes a name other than the one it shows.
  const input::Target edit(kCaption, kPages[4].caption, {IDC_NAME_FIRST});
  bool acted = ShowPage(4);
  const std::string shown = ControlText(IDC_NAME_FIRST);
  const std::string name = shown == kNewNames[0] ? kNewNames[1] : kNewNames[0];
  acted = acted && input::Click(edit) && input::Key(edit, PanelSpy::kHome) && input::Key(edit, PanelSpy::kEnd, true) &&
               input::Type(edit, name) &&
               input::Click(input::Target(kCaption, kPages[4].caption, {IDC_APPLY_NAMES}));
  // The name-update box, answered.
  plat::win32::RunHostUntil([] { return Sheet(kNameUpdateCaption).found; }, kSettleMs);
  const bool boxShown = Sheet(kNameUpdateCaption).found;
  acted = acted && boxShown && input::Click(input::Target(kNameUpdateCaption, "", {PanelSpy::kOk}));
  RunFor(kPollMs);
  // The record in the settings the driver stored ("Preferences"), and the unit's own.
  const std::vector<ClientHost::UnitView> views = ClientHost::Look();
  uint32_t serial = 0;
  std::string recorded, unitName;
  for (const ClientHost::UnitView& v : views)
    if (v.state.mUnitKind == ClientHost::kMainUnit)
      for (const UnitNameRecord& r : v.preferences.mUnitNames)
        if (r.mSerial != 0 && std::string(r.mName, strnlen(r.mName, sizeof r.mName)) == name) {
          serial = r.mSerial;
          recorded = name;
        }
  for (const ClientHost::UnitView& v : views)
    if (v.state.mUnitKind == ClientHost::kExpansionUnit && v.state.mSerial == serial) unitName = v.name;
  const int ports = MidiKr6PortsNamed(name);
  Done("KR-6 name", acted && serial != 0 && unitName == name && ports == 1,
       "KR-6 " + std::to_string(serial) + " named \"" + recorded + "\" in the stored settings, \"" + unitName +
           "\" in its record, " + std::to_string(ports) + " \"MidiKR6\" port(s) of that name" +
           (boxShown ? ", the box answered" : ", no box"));
}

void PanelSession::PressPanelButton(sim::MainUnit& unit) {
  std::vector<std::string> seen;
  for (int press = 0; press < 3; ++press) {
    unit.PressButton(kPanelButton);
    RunFor(50);
    unit.ReleaseButton(kPanelButton);
    RunFor(kPollMs);
    seen.push_back(StateOf(Sheet()));
  }
  Done("panel button", seen == std::vector<std::string>{"hidden", "shown in front", "hidden"}, Join(seen));
}

void PanelSession::PictureEveryPage() {
  // A second start shows the panel.
  HostProgram show;
  show.StartImage(kImage, kImage);
  EndsByItself(show);
  // The machine is pictured here; the encoding runs on the writer thread meanwhile.
  picturing_ = true;
  pictures_.clear();
  pictures_.reserve(std::size(kPages));
  std::string dump;
  for (int i = 0; i < static_cast<int>(std::size(kPages)); ++i) {
    if (!ShowPage(i)) continue;
    RunFor(kPollMs);
    std::shared_ptr<const plat::win32::RasterSurface> surface = plat::win32::picture::Snapshot(input::Target(kCaption));
    if (surface == nullptr) continue;
    Picture& picture = pictures_.emplace_back(Picture{kPages[i].picture});
    writer_.Push([surface, path = outDir_ + "/" + kPages[i].picture, &picture] {
      picture.written = plat::win32::PngWriter::Write(*surface, path);
    });
    dump += "=== " + std::string(kPages[i].caption) + "\n" + plat::win32::picture::DumpDrawing();
  }
  std::ofstream file(outDir_ + "/" + kDumpFile, std::ios::binary);
  file << dump;
  dumped_ = static_cast<bool>(file);
}

void PanelSession::PicturesWritten() {
  if (!picturing_) return;
  picturing_ = false;
  writer_.Drain();
  std::vector<std::string> written;
  for (const Picture& picture : pictures_)
    if (picture.written) written.push_back(picture.name);
  if (dumped_) written.push_back(kDumpFile);
  Done("pictures", written.size() == std::size(kPages) + 1, Join(written));
}

void PanelSession::PullKr6(Machine& machine, sim::Unit& kr6) {
  machine.Unplug(kr6);
  RunFor(kPollMs);
  // The removal completes once the panel has closed its handle.
  const std::string device = machine.DeviceState(kr6);
  const bool removed = device.find("pending") == std::string::npos && device.find("surprise") == std::string::npos;
  const bool responsive = Responsive();
  Done("KR-6 pulled", removed && responsive,
       std::string(responsive ? "the panel took it" : "the panel hung") + ", its device " + device);
}

void PanelSession::CloseWithShift() {
  // The sheet's OK button, which reads "Close", clicked with Shift held: the panel ends rather than
  // hides.
  input::Click(input::Target(kCaption, "", {PanelSpy::kOk}), {}, input::Button::Left, true);
  const bool ended = EndsByItself(panel_);
  const bool said = panel_.DebugOutput().find("Shutting service down") != std::string::npos;
  Done("closed with Shift", ended && said && panel_.ExitCode() == 0,
       std::string(ended ? "ended with " + std::to_string(panel_.ExitCode()) : "still running") +
           (said ? ", \"Shutting service down\"" : ""));
}

void PanelSession::CheckOvrShown(std::optional<uint32_t> threshold) {
  if (!threshold) {
    Done("OVR shown", false, "the fault plan set no threshold");
    return;
  }
  RunFor(kPollMs);
  // The page shows a threshold index v as (-0.0 - v) / 10 dB.
  char want[16];
  std::snprintf(want, sizeof want, "%1.1f", (-0.0 - static_cast<double>(*threshold)) / 10);
  const std::string shown = ControlText(IDC_OVR_EDIT);
  Done("OVR shown", shown == want, "another client's last threshold " + std::string(want) + " dB, the Settings page shows " +
                                       (shown.empty() ? "nothing" : shown));
}

void PanelSession::CheckResponsive() {
  const bool idle = Responsive();
  Done("responsive", idle, idle ? "up and idle after the pulls" : "its thread is blocked");
}

bool PanelSession::Responsive() {
  const uint32_t thread = input::ThreadOf(input::Target(kCaption));
  if (thread == 0) return false;
  plat::win32::RunHostUntil([thread] { return input::Idle(thread); }, kSettleMs);
  return input::Idle(thread);
}

void PanelSession::WriteReport(Report& report) {
  PicturesWritten();
  report.Section("Control panel");
  for (const Step& s : steps_) {
    report.Value(s.name, s.outcome.empty() ? "not done" : s.outcome);
    if (!s.done) report.Lost("the panel's step \"" + s.name + "\" " + (s.outcome.empty() ? "did not happen" : "failed"));
  }
  const std::map<uint32_t, uint64_t> counts = plat::win32::DeviceIoControlCounts(processId_);
  uint64_t total = 0;
  for (const auto& [code, n] : counts) total += n;
  const auto polls = counts.find(IOCTL_QX531_GET_CHANGE_COUNT);
  report.Value("polls", std::to_string(polls != counts.end() ? polls->second : 0) + " of " + std::to_string(total) +
                            " device controls");
}
