// The engine's queued writers on the Windows unit object, over the 1394 bus driver, against
// simulated units when a write meets a bus reset, a unit that cannot be reached, a time-out, an
// error response or a unit that leaves: at each write of each writer, and under a reset storm at
// any interleaving. What counts is what the unit holds and the MIDI it received afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/driver/EngineUnit.h"
#include "tests/support/Seeds.h"
#include "unit/OvrTable.h"
#include "unit/RegisterMap.h"

namespace {

// The engine's names for the bus driver's statuses are the ones the platform hands over.
static_assert(kWriteStatusDeparted == static_cast<uint32_t>(STATUS_IO_DEVICE_ERROR_1394_DEPARTED));
static_assert(kWriteStatusTimeout == static_cast<uint32_t>(STATUS_IO_TIMEOUT));
static_assert(kWriteStatusBusy == static_cast<uint32_t>(STATUS_DEVICE_BUSY));
static_assert(kWriteStatusNoResources == static_cast<uint32_t>(STATUS_INSUFFICIENT_RESOURCES));
static_assert(kWriteStatusTypeError == static_cast<uint32_t>(STATUS_INVALID_DEVICE_REQUEST));
static_assert(kWriteStatusAddressError == static_cast<uint32_t>(STATUS_INVALID_ADDRESS));
static_assert(kWriteStatusDataError == static_cast<uint32_t>(STATUS_DEVICE_DATA_ERROR));

enum WriterIndex { kLampWriter, kFaderWriter, kMidiOutWriter, kSettingsWriter, kNotifyWriter, kWriters };

int WriterOf(uint32_t offset) {
  switch (offset) {
    case QX5310_LAMP: return kLampWriter;
    case QX5310_FADER_MOTOR: return kFaderWriter;
    case QX5310_MIDI_OUT_WINDOW: return kMidiOutWriter;
    case QX5310_RATE_CLOCK:
    case QX5310_CONTROL_BITS:
    case QX5310_OVR_LEVEL: return kSettingsWriter;
    case QX5310_MIDI_NOTIFY_ENABLE:
    case QX5310_MIDI_NOTIFY_HI:
    case QX5310_MIDI_NOTIFY_LO:
    case QX5310_ASYNC_NOTIFY_ENABLE:
    case QX5310_ASYNC_NOTIFY_HI:
    case QX5310_ASYNC_NOTIFY_LO: return kNotifyWriter;
    default: return -1;
  }
}

// The Windows unit object with a hook around one queued write of one writer, and a count of how
// many writes of each writer were outstanding at once.
class FaultingUnit : public drivertest::EngineUnit {
 public:
  using EngineUnit::EngineUnit;

  // Hooks the writer's `at`-th write from now on, counted from 0.
  void Hook(int writer, uint32_t at) {
    hookedWriter_ = writer;
    hookAt_ = at;
    std::fill(std::begin(issued_), std::end(issued_), 0u);
  }
  std::function<void()> beforeHook;
  std::function<void()> afterHook;
  int mostOutstanding = 0;
  uint32_t failedWrites = 0;   // completions with a failure status
  uint32_t refusedWrites = 0;  // writes not taken by the layer below, which never complete

  int32_t WriteQuadletAsync(PlatformHandle handle, uint32_t offset, const uint32_t* value, WriteCompletion completion,
                            void* context) override {
    return Issue(offset, completion, context, [&](WriteCompletion c, void* x) {
      return EngineUnit::WriteQuadletAsync(handle, offset, value, c, x);
    });
  }
  int32_t WriteBlockAsync(PlatformHandle handle, uint32_t offset, const void* data, uint32_t length,
                          WriteCompletion completion, void* context) override {
    return Issue(offset, completion, context, [&](WriteCompletion c, void* x) {
      return EngineUnit::WriteBlockAsync(handle, offset, data, length, c, x);
    });
  }

 private:
  struct Outstanding {
    FaultingUnit* self;
    int writer;
    WriteCompletion completion;
    void* context;
  };

  template <class Send>
  int32_t Issue(uint32_t offset, WriteCompletion completion, void* context, Send send) {
    const int writer = WriterOf(offset);
    if (writer < 0) return send(completion, context);
    const bool hooked = writer == hookedWriter_ && issued_[writer] == hookAt_;
    issued_[writer] += 1;
    if (hooked && beforeHook) beforeHook();
    mostOutstanding = std::max(mostOutstanding, ++outstanding_[writer]);
    auto* o = new Outstanding{this, writer, completion, context};
    const int32_t result = send(&Done, o);
    if (result != 0) {
      --outstanding_[writer];
      ++refusedWrites;
      delete o;
    }
    if (hooked && afterHook) afterHook();
    return result;
  }

  static int32_t Done(void* context, uint32_t status) {
    const Outstanding o = *static_cast<Outstanding*>(context);
    delete static_cast<Outstanding*>(context);
    --o.self->outstanding_[o.writer];
    if (status != kWriteStatusSuccess) o.self->failedWrites += 1;
    return o.completion(o.context, status);
  }

  int hookedWriter_ = -1;
  uint32_t hookAt_ = 0;
  uint32_t issued_[kWriters] = {};
  int outstanding_[kWriters] = {};
};

// What happens to one write.
enum class Fault {
  ResetBeforeTheWrite,      // the bus resets as it goes out, so it names the old generation
  ResetWhileInFlight,       // the bus resets while it is on its way
  ResetAfterTheUnitTookIt,  // the unit took it; the reset comes before its completion
  Timeout,                  // the unit never answers; the next reset sends it again
  UnreachableThenBack,      // the unit cannot be reached until a reset brings it back
  ErrorResponse,            // the unit answers with a data error
  LeftForGood,              // the unit is pulled out and unplugged
};

const char* const kFaultNames[] = {"ResetBeforeTheWrite", "ResetWhileInFlight", "ResetAfterTheUnitTookIt", "Timeout",
                                   "UnreachableThenBack", "ErrorResponse",      "LeftForGood"};

constexpr plat::VTime kSettle = 100 * plat::kNsPerMs;

// One unit on the bus with its engine on the Windows unit object, which follows bus resets.
class Machine {
 public:
  Machine(std::unique_ptr<sim::Unit> plugged, uint64_t seed)
      : unit(std::move(plugged)), rig(*unit, seed), sched(rig.sched), bus(rig.bus) {
    rig.win.reset();
    rig.win = std::make_unique<FaultingUnit>(rig.device, rig.counted);
    engine = static_cast<FaultingUnit*>(rig.win.get());
    engine->FollowBusResets();
    EXPECT_EQ(engine->HandlePlugIn(), 0);
    sched.RunFor(kSettle);
    unit->ClearWriteLog();
    unit->ClearMidiOut();
  }
  ~Machine() {
    drivertest::UnplugEngine(*engine);
    bus.ClearSteering();
    bus.ReleaseAllHeld();
    sched.RunFor(kSettle);
  }

  // Writes the unit took at that register with that value.
  size_t Taken(uint32_t offset, uint32_t value) const {
    return std::count_if(unit->WriteLog().begin(), unit->WriteLog().end(),
                         [&](const sim::RegisterWrite& w) { return w.offset == offset && w.value == value; });
  }
  uint32_t HostNode() const { return engine->LocalNodeNumber(); }

  std::unique_ptr<sim::Unit> unit;
  drivertest::WinDeviceRig rig;
  plat::Scheduler& sched;
  sim::Bus& bus;
  FaultingUnit* engine = nullptr;
};

constexpr uint32_t MidiEvent(uint32_t n) { return 0x09900000u | (n & 0x7F) << 8 | 0x40; }

// One writer given a handful of items; `check` looks at the unit and the writer's count of what
// it dropped afterwards, given the fault and the write it met.
struct WriterScenario {
  const char* name;
  WriterIndex writer;
  WriterItems items;
  bool expansionUnit;
  uint32_t writes;
  void (*record)(Machine&);
  void (*check)(Machine&, Fault fault, uint32_t at);
};

// Each of four lamps is lit once; the one that met an error response is not.
void CheckLamps(Machine& m, Fault fault, uint32_t at) {
  uint32_t unlit = 0;
  for (uint32_t i = 0; i < 4; ++i) {
    SCOPED_TRACE("lamp " + std::to_string(10 + i));
    const uint8_t code = m.engine->Surface().mLampCodes[10 + i];
    const bool lit = m.unit->GetSurface().Lamp(code) == 1;
    unlit += lit ? 0 : 1;
    const size_t taken = m.Taken(QX5310_LAMP, 1u << 16 | code);
    if (fault == Fault::LeftForGood) {
      EXPECT_EQ(taken, lit ? 1u : 0u);
    } else {
      const bool dropped = fault == Fault::ErrorResponse && i == at;
      EXPECT_EQ(lit, !dropped);
      EXPECT_EQ(taken, dropped ? 0u : 1u);
    }
  }
  // No reset pass reaches a unit that has left: each lamp it never took is given up once.
  const uint32_t expected = fault == Fault::LeftForGood ? unlit : fault == Fault::ErrorResponse ? 1 : 0;
  EXPECT_EQ(m.engine->DroppedItems(WriterItems::Lamps), expected);
}

void CheckFaders(Machine& m, Fault fault, uint32_t at) {
  uint32_t missed = 0;
  for (uint32_t fader = 0; fader < 4; ++fader) {
    SCOPED_TRACE("fader " + std::to_string(fader));
    const uint16_t target = static_cast<uint16_t>(100 * (fader + 1));
    const bool there = m.unit->GetSurface().FaderPosition(static_cast<int>(fader)) == target;
    missed += there ? 0 : 1;
    const size_t taken = m.Taken(QX5310_FADER_MOTOR, fader | uint32_t{target} << 16);
    if (fault == Fault::LeftForGood) {
      EXPECT_EQ(taken, there ? 1u : 0u);
    } else {
      const bool dropped = fault == Fault::ErrorResponse && fader == at;
      EXPECT_EQ(there, !dropped);
      EXPECT_EQ(taken, dropped ? 0u : 1u);
    }
  }
  const uint32_t expected = fault == Fault::LeftForGood ? missed : fault == Fault::ErrorResponse ? 1 : 0;
  EXPECT_EQ(m.engine->DroppedItems(WriterItems::FaderTargets), expected);
}

// 40 events go out as blocks of 1, 16, 16 and 7: the first alone, the rest behind it.
constexpr uint32_t kMidiEvents = 40;
constexpr uint32_t kBlockStart[] = {0, 1, 17, 33, 40};

void CheckMidiOut(Machine& m, Fault fault, uint32_t at) {
  const std::vector<uint32_t>& received = m.unit->MidiOutPackets(0);
  std::vector<uint32_t> expected;
  for (uint32_t n = 0; n < kMidiEvents; ++n) {
    const bool dropped = fault == Fault::ErrorResponse && n >= kBlockStart[at] && n < kBlockStart[at + 1];
    if (!dropped) expected.push_back(MidiEvent(n));
  }
  if (fault == Fault::LeftForGood) expected.resize(std::min(expected.size(), received.size()));
  EXPECT_EQ(received, expected) << "every event once, in order";
  const uint32_t dropped = fault == Fault::LeftForGood     ? kMidiEvents - static_cast<uint32_t>(received.size())
                           : fault == Fault::ErrorResponse ? kBlockStart[at + 1] - kBlockStart[at]
                                                           : 0;
  EXPECT_EQ(m.engine->DroppedItems(WriterItems::MidiOutEvents), dropped);
}

// Monitoring 1:6, the master fader on the outputs and an OVR level, written in that order.
void CheckSettings(Machine& m, Fault fault, uint32_t at) {
  struct Setting {
    uint32_t offset;
    uint32_t value;
    bool held;
  } const settings[] = {
      {QX5310_CONTROL_BITS, 0x2001000, (m.unit->SwitchBits() & 0x1000010u) == 0x1000010u},
      {QX5310_CONTROL_BITS, 0x4000, (m.unit->SwitchBits() & 0x40u) != 0},
      {QX5310_OVR_LEVEL, uint32_t{OvrLevel(30)} << 16 | 0x104, m.unit->Register(QX5310_OVR_LEVEL) >> 16 == OvrLevel(30)},
  };
  uint32_t missed = 0;
  for (uint32_t i = 0; i < 3; ++i) {
    SCOPED_TRACE("setting " + std::to_string(i));
    missed += settings[i].held ? 0 : 1;
    const size_t taken = m.Taken(settings[i].offset, settings[i].value);
    if (fault == Fault::LeftForGood) {
      EXPECT_EQ(taken, settings[i].held ? 1u : 0u);
    } else {
      const bool dropped = fault == Fault::ErrorResponse && i == at;
      EXPECT_EQ(settings[i].held, !dropped);
      EXPECT_EQ(taken, dropped ? 0u : 1u);
    }
  }
  const uint32_t expected = fault == Fault::LeftForGood ? missed : fault == Fault::ErrorResponse ? 1 : 0;
  EXPECT_EQ(m.engine->DroppedItems(WriterItems::Settings), expected);
}

// The expansion unit's MIDI and status records reach the host's windows: its six notification
// registers name the host as it is now, and both windows are enabled.
void CheckNotifyAddresses(Machine& m, Fault fault, uint32_t at) {
  auto& kr6 = static_cast<sim::Kr6Unit&>(*m.unit);
  if (fault == Fault::LeftForGood) {
    // No reset pass reaches a unit that has left: each address it never took is given up once,
    // and the enables wait for a MIDI start.
    uint32_t missed = 0;
    for (uint32_t reg : {QX5310_MIDI_NOTIFY_HI, QX5310_MIDI_NOTIFY_LO, QX5310_ASYNC_NOTIFY_HI, QX5310_ASYNC_NOTIFY_LO}) {
      missed += std::none_of(kr6.WriteLog().begin(), kr6.WriteLog().end(),
                             [reg](const sim::RegisterWrite& w) { return w.offset == reg; });
    }
    EXPECT_EQ(m.engine->DroppedItems(WriterItems::NotifyAddresses), missed);
    return;
  }
  const uint32_t node = (0xFFC0u | m.HostNode()) << 16;
  const uint32_t registers[] = {QX5310_MIDI_NOTIFY_HI,  QX5310_MIDI_NOTIFY_LO,  QX5310_MIDI_NOTIFY_ENABLE,
                                QX5310_ASYNC_NOTIFY_HI, QX5310_ASYNC_NOTIFY_LO, QX5310_ASYNC_NOTIFY_ENABLE};
  if (fault == Fault::ErrorResponse) {
    EXPECT_EQ(kr6.Register(registers[at]), 0u) << "the register answered with an error is not sent again";
    EXPECT_EQ(m.engine->DroppedItems(WriterItems::NotifyAddresses), 1u);
    return;
  }
  EXPECT_EQ(kr6.Register(QX5310_MIDI_NOTIFY_HI) & 0xFFFF0000u, node);
  EXPECT_EQ(kr6.Register(QX5310_ASYNC_NOTIFY_HI) & 0xFFFF0000u, node);
  EXPECT_EQ(kr6.Register(QX5310_MIDI_NOTIFY_ENABLE), 1u);
  EXPECT_EQ(kr6.Register(QX5310_ASYNC_NOTIFY_ENABLE), 1u);
  const size_t midiIn = m.engine->midiIn.size();
  kr6.SendMidiInPacket(MidiEvent(7));
  m.sched.RunFor(kSettle);
  EXPECT_EQ(m.engine->midiIn.size(), midiIn + 1) << "through the MIDI window";
  const uint64_t statusRecords = kr6.RecordsSent();
  kr6.MoveFader(0, 500);
  m.sched.RunFor(kSettle);
  EXPECT_GT(kr6.RecordsSent(), statusRecords);
  EXPECT_GT(m.engine->midiIn.size(), midiIn + 1) << "the fader, through the status window";
  EXPECT_EQ(kr6.Counters().hostWritesFailed, 0u);
  EXPECT_EQ(kr6.Counters().midiInDropped, 0u);
  EXPECT_EQ(m.engine->DroppedItems(WriterItems::NotifyAddresses), 0u);
}

const WriterScenario kScenarios[] = {
    {"Lamps", kLampWriter, WriterItems::Lamps, false, 4,
     [](Machine& m) {
       for (uint32_t id = 10; id < 14; ++id) m.engine->SetLamp(id, 1);
     },
     CheckLamps},
    {"Faders", kFaderWriter, WriterItems::FaderTargets, false, 4,
     [](Machine& m) {
       for (uint32_t fader = 0; fader < 4; ++fader) m.engine->SetFaderMotor(fader, 100 * (fader + 1));
     },
     CheckFaders},
    {"MidiOut", kMidiOutWriter, WriterItems::MidiOutEvents, false, 4,
     [](Machine& m) {
       for (uint32_t n = 0; n < kMidiEvents; ++n) m.engine->SendMIDIOut(MidiEvent(n));
     },
     CheckMidiOut},
    {"Settings", kSettingsWriter, WriterItems::Settings, false, 3,
     [](Machine& m) {
       m.engine->SetPreference(PreferencesBlock::kParamMonitorMode, 2);
       m.engine->SetPreference(PreferencesBlock::kParamMasterFader, 2);
       m.engine->SetPreference(PreferencesBlock::kParamOvrThreshold, 30);
     },
     CheckSettings},
    {"NotifyAddresses", kNotifyWriter, WriterItems::NotifyAddresses, true, 6,
     [](Machine& m) { EXPECT_EQ(m.engine->StartMidi(), 0); }, CheckNotifyAddresses},
};

struct FaultCase {
  const WriterScenario* scenario;
  uint32_t at;
  Fault fault;
};

void PrintTo(const FaultCase& c, std::ostream* out) {
  *out << c.scenario->name << " write " << c.at << " " << kFaultNames[static_cast<int>(c.fault)];
}

std::vector<FaultCase> AllFaultCases() {
  std::vector<FaultCase> cases;
  for (const WriterScenario& scenario : kScenarios) {
    for (uint32_t at = 0; at < scenario.writes; ++at) {
      for (int fault = 0; fault <= static_cast<int>(Fault::LeftForGood); ++fault) {
        cases.push_back({&scenario, at, static_cast<Fault>(fault)});
      }
    }
  }
  return cases;
}

// One case, on a machine of its own.
void RunFaultCase(const FaultCase& c) {
  std::unique_ptr<sim::Unit> unit;
  if (c.scenario->expansionUnit) {
    unit = std::make_unique<sim::Kr6Unit>(0x51);
  } else {
    unit = std::make_unique<sim::MainUnit>();
  }
  Machine m(std::move(unit), 0);
  FaultingUnit& engine = *m.engine;
  ASSERT_EQ(m.unit->SwitchBits() & 0x1000050u, 0u) << "monitoring 1:2 and the master fader off to begin with";
  const uint64_t guid = m.unit->Guid();

  engine.Hook(c.scenario->writer, c.at);
  switch (c.fault) {
    case Fault::ResetBeforeTheWrite: engine.beforeHook = [&m] { m.bus.Reset(); }; break;
    case Fault::ResetWhileInFlight: engine.afterHook = [&m] { m.bus.Reset(); }; break;
    case Fault::ResetAfterTheUnitTookIt:
      engine.beforeHook = [&m, guid] { m.bus.Steer({sim::TransactionMode::HoldResponse}, 1, guid); };
      engine.afterHook = [&m] { m.bus.ClearSteering(); };
      break;
    case Fault::Timeout:
      engine.beforeHook = [&m, guid] { m.bus.Steer({sim::TransactionMode::Fail, sim::AsyncStatus::Timeout}, 1, guid); };
      engine.afterHook = [&m] { m.bus.ClearSteering(); };
      break;
    case Fault::UnreachableThenBack: engine.afterHook = [&m, guid] { m.bus.SetReachable(guid, false); }; break;
    case Fault::ErrorResponse:
      engine.beforeHook = [&m, guid] {
        m.bus.Steer({sim::TransactionMode::Fail, sim::AsyncStatus::DataError}, 1, guid);
      };
      engine.afterHook = [&m] { m.bus.ClearSteering(); };
      break;
    case Fault::LeftForGood: engine.afterHook = [&m] { m.unit->Unplug(); }; break;
  }

  c.scenario->record(m);
  m.sched.RunFor(kSettle);
  switch (c.fault) {
    case Fault::ResetAfterTheUnitTookIt:
      ASSERT_EQ(m.bus.HeldCount(), 1u);
      m.bus.Reset();
      m.sched.RunFor(kSettle);
      m.bus.ReleaseAllHeld();
      break;
    case Fault::Timeout: m.bus.Reset(); break;
    case Fault::UnreachableThenBack:
      m.bus.SetReachable(guid, true);
      m.bus.Reset();
      break;
    case Fault::LeftForGood: EXPECT_TRUE(engine.removed) << "the device's removal unplugged the unit"; break;
    default: break;
  }
  m.sched.RunFor(kSettle);

  c.scenario->check(m, c.fault, c.at);
  EXPECT_LE(engine.mostOutstanding, 1) << "never two writes of one writer at once";
  for (uint32_t items = 0; items < kWriterItemKinds; ++items) {
    if (items == static_cast<uint32_t>(c.scenario->items)) continue;
    if (c.fault == Fault::LeftForGood && static_cast<WriterItems>(items) == WriterItems::Lamps) continue;
    EXPECT_EQ(engine.DroppedItems(static_cast<WriterItems>(items)), 0u) << "writer " << items;
  }
}

std::vector<const WriterScenario*> AllWriters() {
  std::vector<const WriterScenario*> writers;
  for (const WriterScenario& scenario : kScenarios) writers.push_back(&scenario);
  return writers;
}

// Every write of one writer under every fault, the writer's cases in one process.
class WriteFault : public testing::TestWithParam<const WriterScenario*> {};

TEST_P(WriteFault, NothingIsLostOrSentTwiceAndWhatIsGivenUpIsCounted) {
  size_t ran = 0;
  for (const FaultCase& c : AllFaultCases()) {
    if (c.scenario != GetParam()) continue;
    SCOPED_TRACE(testing::PrintToString(c));
    RunFaultCase(c);
    ++ran;
  }
  EXPECT_EQ(ran, size_t{GetParam()->writes} * (static_cast<size_t>(Fault::LeftForGood) + 1));
}

INSTANTIATE_TEST_SUITE_P(EachWriter, WriteFault,
                         testing::ValuesIn(AllWriters()),
                         [](const testing::TestParamInfo<const WriterScenario*>& info) {
                           return std::string(info.param->name);
                         });

// Every writer busy at once while the bus resets every 210 us, with a lull in which the unit is out
// of reach for a while, at any interleaving: what was accepted last is what the unit holds, every
// MIDI event arrives once and in order, no writer ever has two writes out, and nothing is counted
// as dropped while the unit stays on the bus. The unit is out of reach only while no scan of the
// bus driver runs: a node that does not answer a scan has left the bus.
TEST(ResetStorm, WritersLoseNothingSendNoEventTwiceAndKeepOneWriteOutEach) {
  constexpr uint32_t kRounds = 600;
  constexpr plat::VTime kRound = 30000;
  constexpr uint32_t kLamps = 4;
  constexpr uint32_t kFaders = 4;
  constexpr uint32_t kLull = 180;
  constexpr uint32_t kOutOfReach = 210;
  constexpr uint32_t kBackInReach = 225;
  constexpr uint32_t kLullEnd = 230;
  for (uint64_t seed : qxtest::InterleavingSeeds()) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    Machine m(std::make_unique<sim::MainUnit>(), seed);
    FaultingUnit& engine = *m.engine;
    ASSERT_EQ(engine.StartMidi(), 0);
    m.sched.RunFor(kSettle);
    m.unit->ClearMidiOut();
    const uint64_t guid = m.unit->Guid();

    std::vector<uint32_t> sent;
    uint32_t lamps[kLamps] = {};
    uint32_t faders[kFaders] = {};
    uint32_t masterFader = 1;
    const plat::VTime start = m.sched.Now();
    for (uint32_t r = 0; r < kRounds; ++r) {
      const plat::VTime t = start + r * kRound;
      const uint32_t event = 0x09900000u | (r & 0x7F) << 8 | (r >> 7 & 0x7F);
      sent.push_back(event);
      m.sched.At(t, [&engine, event] { engine.SendMIDIOut(event); });
      if (r % 3 == 0) {
        const uint32_t id = r / 3 % kLamps;
        const uint32_t state = r / 12 % 2;
        lamps[id] = state;
        m.sched.At(t + 7000, [&engine, id, state] { engine.SetLamp(10 + id, state); });
      }
      if (r % 5 == 0) {
        faders[r / 5 % kFaders] = r;
        m.sched.At(t + 11000, [&engine, r] { engine.SetFaderMotor(r / 5 % kFaders, r); });
      }
      if (r % 50 == 0) {
        masterFader = 3 - masterFader;
        m.sched.At(t + 5000, [&engine, masterFader] {
          engine.SetPreference(PreferencesBlock::kParamMasterFader, masterFader);
        }, PASSIVE_LEVEL);
      }
      if (r % 7 == 0 && (r < kLull || r >= kLullEnd)) m.sched.At(t + 13000, [&m] { m.bus.Reset(); });
      if (r == kOutOfReach) m.sched.At(t + 3000, [&m, guid] { m.bus.SetReachable(guid, false); });
      if (r == kBackInReach) m.sched.At(t + 3000, [&m, guid] { m.bus.SetReachable(guid, true); });
    }
    m.sched.RunFor(kRounds * kRound + kSettle);

    ASSERT_FALSE(engine.removed) << "the unit stayed on the bus";
    EXPECT_GT(engine.failedWrites, 0u) << "the storm met writes on their way";
    EXPECT_GT(engine.refusedWrites, 10u) << "writes met the unit unreachable until its ids were read again";
    EXPECT_EQ(m.unit->MidiOutPackets(0), sent);
    for (uint32_t id = 0; id < kLamps; ++id) {
      EXPECT_EQ(m.unit->GetSurface().Lamp(engine.Surface().mLampCodes[10 + id]), lamps[id]) << "lamp " << 10 + id;
    }
    for (uint32_t fader = 0; fader < kFaders; ++fader) {
      EXPECT_EQ(m.unit->GetSurface().FaderPosition(static_cast<int>(fader)), faders[fader]) << "fader " << fader;
    }
    EXPECT_EQ((m.unit->SwitchBits() & 0x40u) != 0, masterFader == 2);
    EXPECT_EQ(m.unit->Register(QX5310_MIDI_NOTIFY_HI) >> 16, 0xFFC0u | m.HostNode());
    EXPECT_EQ(m.unit->Register(QX5310_MIDI_NOTIFY_ENABLE), 1u);
    EXPECT_LE(engine.mostOutstanding, 1);
    EXPECT_EQ(engine.MidiOutDropped(), 0u);
    for (uint32_t items = 0; items < kWriterItemKinds; ++items) {
      EXPECT_EQ(engine.DroppedItems(static_cast<WriterItems>(items)), 0u) << "writer " << items;
    }
  }
}

}  // namespace
