#include "tools/qx5310sim/FaultPlan.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <sstream>
#include <utility>

#include "sim/bus/Bus.h"
#include "sim/units/MainUnit.h"
#include "tools/qx5310sim/AudioSession.h"
#include "tools/qx5310sim/Machine.h"
#include "tools/qx5310sim/ClientHost.h"
#include "tools/qx5310sim/Report.h"
#include "unit/OvrTable.h"
#include "unit/PreferencesBlock.h"
#include "unit/RegisterMap.h"

namespace {

constexpr plat::VTime kTick = 10 * plat::kNsPerMs;  // one MIDI event to the unit a tick
constexpr uint32_t kTicksPerReset = FaultPlan::kResetInterval / kTick;
constexpr uint32_t kTicksPerLamp = 10;
constexpr uint32_t kTicksPerSetting = 100;
constexpr uint32_t kTicksPerPacketFault = 50;
constexpr uint32_t kPullAtTick = 100, kPlugBackAtTick = 130;
constexpr plat::VTime kDrain = 500 * plat::kNsPerMs;  // after the faults, for what is still due
constexpr plat::VTime kStreamBackLimit = 5 * plat::kNsPerSecond;
constexpr uint8_t kLampNote = 94;  // a Mackie Control transport button the session leaves alone
constexpr uint32_t kOvrIndices[2] = {10, 30};

constexpr uint32_t MidiPacket(uint32_t cable, uint8_t status, uint8_t d1, uint8_t d2) {
  return cable << 28 | uint32_t{status} >> 4 << 24 | uint32_t{status} << 16 | uint32_t{d1} << 8 | d2;
}

// The host's n-th event to the unit's first MIDI port: a note on whose two data bytes name n.
constexpr uint32_t HostEvent(uint32_t n) {
  return MidiPacket(0, 0x90, static_cast<uint8_t>(n % 128), static_cast<uint8_t>(1 + n / 128 % 127));
}

constexpr sim::IsoFault kPacketFaults[] = {sim::IsoFault::Drop, sim::IsoFault::Duplicate, sim::IsoFault::CorruptLength,
                                           sim::IsoFault::CorruptDbs, sim::IsoFault::CorruptDbc};
const char* const kPacketFaultNames[] = {"dropped", "duplicated", "length corrupted", "DBS corrupted",
                                         "DBC corrupted"};

}  // namespace

std::optional<FaultPlan> FaultPlan::Parse(const std::string& text) {
  FaultPlan plan;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    if (item == "reset-storm") {
      plan.resetStorm = true;
    } else if (item == "packets") {
      plan.packets = true;
    } else if (item == "pull-main") {
      plan.pullMain = true;
    } else if (item == "pull-kr6") {
      plan.pullKr6 = true;
    } else if (item.rfind("drift=", 0) == 0) {
      char* end = nullptr;
      const double ppm = std::strtod(item.c_str() + 6, &end);
      if (end == item.c_str() + 6 || *end != '\0' || !(std::fabs(ppm) <= 5000)) return std::nullopt;
      plan.driftPpm = ppm;
    } else if (!item.empty()) {
      return std::nullopt;
    }
  }
  return plan;
}

std::string FaultPlan::Describe() const {
  std::string out;
  auto add = [&out](const std::string& s) { out += (out.empty() ? "" : ", ") + s; };
  if (resetStorm) add("a bus reset every 100 ms");
  if (packets) add("a record packet every half second dropped, duplicated or corrupted");
  if (driftPpm != 0) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "the main unit's clock %+g ppm", driftPpm);
    add(buf);
  }
  if (pullMain) add("the main unit pulled and plugged back");
  if (pullKr6) add("KR-6 #1 pulled and plugged back");
  return out.empty() ? "none" : out;
}

struct FaultRun::State {
  State(Machine& theMachine, const FaultPlan& thePlan, AudioSession* theAudio, std::function<void(const Target&)> theRestart)
      : machine(theMachine), sched(theMachine.Scheduler()), bus(theMachine.Bus()), plan(thePlan), audio(theAudio),
        restart(std::move(theRestart)) {}

  Machine& machine;
  plat::Scheduler& sched;
  sim::Bus& bus;
  FaultPlan plan;
  AudioSession* audio;
  std::function<void(const Target&)> restart;
  std::string described = plan.Describe();
  sim::MainUnit* mainUnit = nullptr;
  std::vector<Target> units;
  plat::VTime end = 0;
  uint32_t tick = 0;
  uint32_t resets = 0;
  std::vector<std::string> packetFaults;
  std::vector<uint32_t> sentMidi;  // what the unit's port accepted
  uint32_t midiNotTaken = 0;       // refused while the unit was away or its ring was full
  // Events accepted from the tick of a pull of the main unit until the driver let its port go:
  // their writes were still to come when the cable left, and went with it.
  std::vector<std::pair<size_t, size_t>> inFlightAtPulls;
  struct Lamp {
    Target* target = nullptr;
    std::optional<uint8_t> number = std::nullopt;  // the unit's lamp that the note lights
    bool on = false;
    uint32_t toggles = 0;
  };
  std::vector<Lamp> lamps;
  uint32_t settingsSent = 0;
  std::optional<uint32_t> lastOvr;
  std::vector<std::string> pulls;

  void Step();
  void Pull(bool back);
  void FindLamp(Lamp& lamp);
  void Fault() {
    if (audio != nullptr) audio->FaultAt();
  }
};

FaultRun::FaultRun(Machine& machine, const FaultPlan& plan, AudioSession* audio,
                   std::function<void(const Target&)> restart)
    : state_(std::make_unique<State>(machine, plan, audio, std::move(restart))) {}

FaultRun::~FaultRun() = default;

void FaultRun::Run(sim::MainUnit& mainUnit, const std::vector<Target>& units, plat::VTime end) {
  State& s = *state_;
  s.mainUnit = &mainUnit;
  s.units = units;
  s.end = end;
  s.bus.SetResetCycles(FaultPlan::kResetCycles);
  for (size_t i = 0; i < std::min<size_t>(2, s.units.size()); ++i) {
    s.lamps.push_back(State::Lamp{&s.units[i], std::nullopt});
    s.FindLamp(s.lamps.back());
  }
  while (s.sched.Now() < s.end) {
    s.Step();
    s.sched.RunFor(kTick);
  }
}

// The lamp a note lights is whichever goes on when the host sends it.
void FaultRun::State::FindLamp(Lamp& lamp) {
  const sim::Surface& surface = lamp.target->hardware->GetSurface();
  std::vector<uint8_t> before(256);
  for (int i = 0; i < 256; ++i) before[i] = surface.Lamp(static_cast<uint8_t>(i));
  lamp.target->send(MidiPacket(4, 0x90, kLampNote, 0x7F));
  sched.RunFor(20 * plat::kNsPerMs);
  for (int i = 0; i < 256 && !lamp.number; ++i)
    if (surface.Lamp(static_cast<uint8_t>(i)) != 0 && before[i] == 0) lamp.number = static_cast<uint8_t>(i);
  lamp.target->send(MidiPacket(4, 0x90, kLampNote, 0));
  sched.RunFor(20 * plat::kNsPerMs);
}

void FaultRun::State::Step() {
  const uint32_t event = HostEvent(static_cast<uint32_t>(sentMidi.size()));
  const bool took = units[0].send(event);
  if (!inFlightAtPulls.empty() && inFlightAtPulls.back().second == SIZE_MAX && !took)
    inFlightAtPulls.back().second = sentMidi.size();
  if (took)
    sentMidi.push_back(event);
  else
    ++midiNotTaken;
  if (tick % kTicksPerLamp == 5) {
    for (Lamp& l : lamps) {
      if (!l.number) continue;
      l.on = !l.on;
      ++l.toggles;
      if (!l.target->send(MidiPacket(4, 0x90, kLampNote, l.on ? 0x7F : 0))) {
        l.on = !l.on;  // not taken: the host still shows the lamp as it was
        continue;
      }
    }
  }
  if (tick % kTicksPerSetting == 50) {
    const uint32_t index = kOvrIndices[settingsSent % 2];
    if (ClientHost::SetParameter(PreferencesBlock::kParamOvrThreshold, index)) {
      ++settingsSent;
      lastOvr = index;
    }
  }
  if (plan.resetStorm && tick % kTicksPerReset == 0) {
    Fault();
    bus.Reset();
    ++resets;
  }
  if (plan.packets && tick % kTicksPerPacketFault == 25 && audio != nullptr) {
    const size_t k = packetFaults.size() % std::size(kPacketFaults);
    Fault();
    bus.InjectIsoFault(mainUnit->Register(RECORD_ISOCHANNEL), kPacketFaults[k]);
    packetFaults.push_back(kPacketFaultNames[k]);
  }
  if (tick == kPullAtTick) Pull(false);
  if (tick == kPlugBackAtTick) Pull(true);
  ++tick;
}

void FaultRun::State::Pull(bool back) {
  auto pull = [&](Target& t) {
    if (t.hardware->GetBus() == nullptr && back) {
      Fault();
      machine.Plug(*t.hardware);
      if (restart) restart(t);
      // A unit that starts afresh may light another lamp for the note: the host looks again.
      for (Lamp& l : lamps)
        if (l.target == &t) {
          l.number.reset();
          l.on = false;
          FindLamp(l);
        }
      pulls.push_back(t.name + " plugged back");
    } else if (!back) {
      if (&t == &units[0] && !sentMidi.empty()) inFlightAtPulls.push_back({sentMidi.size() - 1, SIZE_MAX});
      Fault();
      t.hardware->Unplug();
      pulls.push_back(t.name + " pulled");
    }
  };
  if (plan.pullMain) pull(units[0]);
  if (plan.pullKr6 && units.size() > 1) pull(units[1]);
}

void FaultRun::Drain() {
  State& s = *state_;
  s.Pull(true);
  s.plan = FaultPlan{};
  s.sched.RunFor(kDrain);
  // A unit plugged back late starts its streams anew, which takes it about a second.
  if (s.audio != nullptr)
    s.sched.RunUntil([&s] { return s.audio->Playing(); }, s.sched.Now() + kStreamBackLimit);
}

void FaultRun::WriteReport(Report& report) {
  State& s = *state_;

  report.Section("Faults");
  report.Value("plan", s.described);
  if (s.resets != 0)
    report.Value("bus resets", std::to_string(s.resets) + ", each holding the bus " +
                                   std::to_string(FaultPlan::kResetCycles) + " cycles; " +
                                   std::to_string(s.bus.LostCycles()) + " cycles lost in all");
  if (s.mainUnit != nullptr && s.mainUnit->FramesLost() != 0)
    report.Value("frames lost to reset cycles", std::to_string(s.mainUnit->FramesLost()));
  for (const auto& p : s.pulls) report.Line(p);
  if (s.audio != nullptr) s.audio->WriteFaultReport(report);
  if (!s.packetFaults.empty()) {
    std::map<std::string, int> counts;
    for (const auto& f : s.packetFaults) ++counts[f];
    std::string text;
    for (const auto& [what, n] : counts) text += (text.empty() ? "" : ", ") + std::to_string(n) + " " + what;
    report.Value("record packets", text);
  }

  // MIDI: every event the host sent reaches the unit once, in order.
  const std::vector<uint32_t>& got = s.units[0].hardware->MidiOutPackets(0);
  std::map<uint32_t, int> seen;
  for (uint32_t p : got) ++seen[p];
  size_t missing = 0, twice = 0, inFlight = 0;
  std::vector<uint32_t> expected;
  for (size_t i = 0; i < s.sentMidi.size(); ++i) {
    const uint32_t p = s.sentMidi[i];
    const int n = seen.count(p) != 0 ? seen[p] : 0;
    bool atPull = false;
    for (const auto& [from, to] : s.inFlightAtPulls) atPull = atPull || (i >= from && i < to);
    if (n == 0 && atPull) {
      ++inFlight;
      continue;
    }
    expected.push_back(p);
    missing += n == 0;
    twice += n > 1;
  }
  const bool inOrder = got == expected;
  report.Value("MIDI to " + s.units[0].name, std::to_string(s.sentMidi.size()) + " sent, " +
                                                 std::to_string(got.size()) + " arrived, " + std::to_string(missing) +
                                                 " missing, " + std::to_string(twice) + " twice" +
                                                 (inOrder || missing + twice != 0 ? "" : ", out of order") +
                                                 (inFlight != 0 ? "; " + std::to_string(inFlight) +
                                                                      " in flight when the cable was pulled" : "") +
                                                 (s.midiNotTaken != 0 ? "; " + std::to_string(s.midiNotTaken) +
                                                                            " not taken while the unit was away" : ""));
  if (missing != 0) report.Lost(std::to_string(missing) + " MIDI event(s) the driver accepted never reached the unit");
  if (twice != 0) report.Lost(std::to_string(twice) + " MIDI event(s) reached the unit more than once");
  if (!inOrder && missing + twice == 0) report.Lost("MIDI events reached the unit out of order");

  for (const State::Lamp& l : s.lamps) {
    if (!l.number) {
      report.Value("lamps on " + l.target->name, "no lamp answers note " + std::to_string(kLampNote));
      continue;
    }
    const bool lit = l.target->hardware->GetSurface().Lamp(*l.number) != 0;
    report.Value("lamps on " + l.target->name, std::to_string(l.toggles) + " switched (lamp " +
                                                   std::to_string(*l.number) + "), the last " +
                                                   (l.on ? "on" : "off") + ", the unit's lamp " + (lit ? "on" : "off"));
    if (lit != l.on) report.Lost("the last lamp the host set on " + l.target->name + " did not reach it");
  }

  // Every unit is back on the bus by now, so its writers had no reason to give anything up. What
  // they gave up is in each unit's debug log; a unit pulled out took its log with it.
  const std::vector<ClientHost::WriterDrops> drops = ClientHost::ReadWriterDrops();
  for (const Target& t : s.units) {
    const ClientHost::WriterDrops* found = nullptr;
    for (const ClientHost::WriterDrops& d : drops)
      if (t.serial == 0 ? d.unitKind == ClientHost::kMainUnit : d.unitKind == ClientHost::kExpansionUnit && d.serial == t.serial)
        found = &d;
    if (found == nullptr) {
      report.Value("writers dropped, " + t.name, "no log: the host does not find the unit");
      report.Lost("the host does not find " + t.name + " at the end");
      continue;
    }
    uint32_t total = 0;
    std::string text;
    for (const auto& [what, n] : found->dropped) {
      total += n;
      if (n != 0) text += (text.empty() ? "" : ", ") + std::to_string(n) + " " + what;
    }
    report.Value("writers dropped, " + t.name, text.empty() ? "none" : text);
    if (total != 0) report.Lost(t.name + "'s writers dropped what the driver had accepted");
  }

  if (s.lastOvr) {
    const uint32_t want = static_cast<uint32_t>(OvrLevel(*s.lastOvr)) << 16 | 0x104;
    for (const Target& t : s.units) {
      const uint32_t have = t.hardware->Register(0x230);
      report.Value("settings on " + t.name, std::to_string(s.settingsSent) + " sent, the last " +
                                                (have == want ? "in the unit" : "not in the unit"));
      if (have != want) report.Lost("the last setting sent did not reach " + t.name);
    }
  }
}

std::optional<uint32_t> FaultRun::LastOvrThreshold() const { return state_->lastOvr; }
