// The unit engine plugged into simulated units through the platform double: what plug-in finds,
// and how the synchronous and queued register writes reach the units.
#include "sim/host/EnginePlatformDouble.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "sim/bus/Bus.h"
#include "sim/bus/HostNode.h"
#include "sim/units/Kr6Unit.h"
#include "sim/units/MainUnit.h"
#include "unit/ChannelRows.h"
#include "unit/OvrTable.h"
#include "unit/PreferencesBlock.h"
#include "unit/RegisterMap.h"
#include "unit/UnitTable.h"

namespace {

using sim::EnginePlatformDouble;
using sim::QueuedWriteMode;

class EngineOnSimulatedBus : public testing::Test {
 protected:
  EngineOnSimulatedBus() : bus(sched) { bus.Attach(host); }
  ~EngineOnSimulatedBus() override {
    for (auto& d : doubles)
      if (d->IsPluggedIn()) d->HandleUnPlug();
    sched.RunUntilIdle();
    doubles.clear();
  }

  EnginePlatformDouble& PlugIn(sim::Unit& unit) {
    unit.Plug(bus);
    sched.RunUntilIdle();
    doubles.push_back(std::make_unique<EnginePlatformDouble>(host, unit.Guid(), store));
    EXPECT_EQ(doubles.back()->HandlePlugIn(), 0);
    sched.RunFor(5 * plat::kNsPerMs);
    return *doubles.back();
  }

  static std::vector<uint32_t> Offsets(const sim::Unit& unit) {
    std::vector<uint32_t> out;
    for (const auto& w : unit.WriteLog()) out.push_back(w.offset);
    return out;
  }

  plat::Scheduler sched;
  sim::Bus bus;
  sim::HostNode host;
  sim::DoubleSettingsStore store;
  std::vector<std::unique_ptr<EnginePlatformDouble>> doubles;
};

TEST_F(EngineOnSimulatedBus, PlugInTellsMainFromExpansionUnitsAndFillsTheUnitTable) {
  sim::MainUnit main;
  sim::Kr6Unit first(0x1234), second(0);
  auto& m = PlugIn(main);
  auto& a = PlugIn(first);
  auto& b = PlugIn(second);

  struct Expect {
    EnginePlatformDouble* unit;
    uint32_t kind;
    uint32_t serial;
    uint32_t slot;
    const char* name;
  };
  for (const Expect& e : {Expect{&m, 1, 0, 0, ""}, Expect{&a, 2, 0x1234, 1, "KR-6 4660"}, Expect{&b, 2, 1, 2, "KR-6 1"}}) {
    EXPECT_EQ(e.unit->UnitKind(), e.kind);
    EXPECT_EQ(e.unit->Serial(), e.serial);
    EXPECT_EQ(UnitTable::Shared().At(e.slot), e.unit);
    EXPECT_STREQ(e.unit->SharedState().mUnitName.mName, e.name);
    EXPECT_EQ(e.unit->SharedState().mUnitCount, 3);
  }
  EXPECT_EQ(m.SharedState().mRegisterVersion, 0x14u);
  EXPECT_EQ(a.SharedState().mRegisterVersion, 0x00010003u);
  EXPECT_EQ(m.SharedState().mActive, 1);
  EXPECT_EQ(a.SharedState().mActive, 0);
  EXPECT_EQ(store.block.has_value(), true);
}

TEST_F(EngineOnSimulatedBus, PlugInProgramsTheStreamRegistersSynchronouslyInOrder) {
  sim::MainUnit main;
  PlugIn(main);
  std::vector<uint32_t> offsets = Offsets(main);
  std::vector<uint32_t> programming = {QX5310_CONTROL_BITS, QX5310_INPUT_MASK, QX5310_OUTPUT_MASK,
                                       QX5310_PACKET_PARAM, QX5310_RATE_CLOCK};
  ASSERT_GE(offsets.size(), programming.size());
  EXPECT_EQ(std::vector<uint32_t>(offsets.begin(), offsets.begin() + 5), programming);
  EXPECT_EQ(main.WriteLog()[0].value, 0x200000u);
  EXPECT_EQ(main.SwitchBits() & 0x20u, 0u);
}

TEST_F(EngineOnSimulatedBus, HeldLampCompletionsReleaseOneWriteAtATimeInOrder) {
  sim::MainUnit main;
  auto& m = PlugIn(main);
  main.ClearWriteLog();
  m.SetQueuedWriteMode(QueuedWriteMode::Hold);
  for (uint32_t lamp : {10u, 11u, 12u}) m.SetLamp(lamp, 1);
  sched.RunFor(plat::kNsPerMs);
  auto lampWrites = [&] {
    size_t n = 0;
    for (const auto& w : main.WriteLog()) n += w.offset == QX5310_LAMP;
    return n;
  };
  EXPECT_EQ(lampWrites(), 1u);
  EXPECT_EQ(m.HeldCount(), 1u);
  while (m.HeldCount() != 0) {
    m.ReleaseHeld();
    sched.RunFor(plat::kNsPerMs);
  }
  EXPECT_EQ(lampWrites(), 3u);
}

TEST_F(EngineOnSimulatedBus, BusResetResendsLampAndNotificationAddressesWithTheNewNodeNumbers) {
  sim::MainUnit main;
  sim::Kr6Unit kr6(7);
  auto& m = PlugIn(main);
  PlugIn(kr6);
  ASSERT_EQ(m.StartMidi(), 0);
  sched.RunFor(5 * plat::kNsPerMs);
  main.ClearWriteLog();
  uint32_t generation = m.GenerationNumber();
  bus.Reset(sim::Bus::Renumber::Rotate);
  sched.RunFor(5 * plat::kNsPerMs);
  EXPECT_EQ(m.GenerationNumber(), generation + 1);
  EXPECT_EQ(m.NodeNumber(), *host.NodeIdOf(main.Guid()));
  std::vector<uint32_t> offsets = Offsets(main);
  for (uint32_t reg : {QX5310_LAMP, QX5310_MIDI_NOTIFY_HI, QX5310_MIDI_NOTIFY_LO, QX5310_MIDI_NOTIFY_ENABLE})
    EXPECT_NE(std::find(offsets.begin(), offsets.end(), reg), offsets.end()) << std::hex << reg;
  EXPECT_EQ(main.Register(QX5310_MIDI_NOTIFY_HI) >> 16, 0xFFC0u | host.NodeId());
}

TEST_F(EngineOnSimulatedBus, RefusedSettingsWriteReachesTheUnitAfterTheNextBusReset) {
  sim::MainUnit main;
  auto& m = PlugIn(main);
  m.SetQueuedWriteMode(QueuedWriteMode::Refuse);
  uint32_t before = main.SwitchBits();
  ASSERT_EQ(before & 0x40u, 0u);
  // Master fader on the outputs: switch bit 6.
  m.SetPreference(PreferencesBlock::kParamMasterFader, 2);
  sched.RunFor(5 * plat::kNsPerMs);
  EXPECT_EQ(main.SwitchBits(), before);
  m.SetQueuedWriteMode(QueuedWriteMode::Deliver);
  bus.Reset();
  sched.RunFor(5 * plat::kNsPerMs);
  EXPECT_NE(main.SwitchBits() & 0x40u, 0u);
}

// The client rows follow the layout rule: the 36 rows of one half are whole cache lines apart and
// never a multiple of 4 KiB, and no half overlaps another.
TEST_F(EngineOnSimulatedBus, ClientRowsOfOneHalfAreStaggeredByCacheLinesAndDoNotOverlap) {
  sim::MainUnit main;
  auto& m = PlugIn(main);
  constexpr size_t kHalfBytes = kChannelArrayEntries * sizeof(uint32_t);
  for (uint32_t half = 0; half < 2; ++half) {
    for (uint32_t i = 0; i < EnginePlatformDouble::kClientRows; ++i) {
      const auto a = reinterpret_cast<uintptr_t>(m.ClientRow(i, half));
      EXPECT_EQ(a % kCacheLineBytes, 0u);
      EXPECT_EQ(m.ClientRow(i, half)[kChannelArrayEntries - 1], 0u) << "rows start zeroed";
      for (uint32_t j = 0; j < EnginePlatformDouble::kClientRows; ++j) {
        for (uint32_t otherHalf = 0; otherHalf < 2; ++otherHalf) {
          if (i == j && half == otherHalf) continue;
          const auto b = reinterpret_cast<uintptr_t>(m.ClientRow(j, otherHalf));
          ASSERT_TRUE(a + kHalfBytes <= b || b + kHalfBytes <= a) << i << "/" << half << " overlaps " << j << "/" << otherHalf;
          if (otherHalf != half) continue;
          const uintptr_t d = (a > b ? a - b : b - a) % kAliasingStrideBytes;
          ASSERT_TRUE(d >= kCacheLineBytes && d <= kAliasingStrideBytes - kCacheLineBytes)
              << "rows " << i << " and " << j << " of half " << half << " are " << d << " bytes off 4 KiB";
        }
      }
    }
  }
  EXPECT_EQ(m.ClientRow(5, 1), m.ClientRow(5, 1)) << "allocated once";
}

// Block requests against the main unit: a block longer than one bus write goes in pieces of 2048
// bytes, one after the other; a block whose pieces run past what the unit takes answers 99 with
// the pieces before the refused one delivered. Past the MIDI-out window the unit's flash data
// window follows, so request 7 only meets a refusal after both.
struct BlockCase {
  uint32_t request;
  uint32_t length;
  int32_t result;
  uint32_t landed;  // bytes the unit took
};

class BlockRequest : public EngineOnSimulatedBus, public testing::WithParamInterface<BlockCase> {
 protected:
  // MIDI event packets for cable 0 in bus order, each a different note-on, cut to length.
  static std::vector<uint8_t> Block(uint32_t length) {
    std::vector<uint8_t> bytes(length);
    for (uint32_t i = 0; i < length; ++i) {
      const uint32_t packet = 0x09900000u | (i / 4 % 128) << 8 | (i / 512 % 128);
      bytes[i] = static_cast<uint8_t>(packet >> (24 - 8 * (i % 4)));
    }
    return bytes;
  }
};

TEST_P(BlockRequest, LongBlocksGoInPiecesAndAnswer99WhenAPieceIsRefused) {
  const BlockCase c = GetParam();
  const uint32_t window = c.request == 7 ? QX5310_MIDI_OUT_WINDOW : QX5310_FLASH_DATA_WINDOW;
  sim::MainUnit main;
  auto& m = PlugIn(main);
  sim::Flash& flash = main.GetFlash();
  flash.WriteUnlock(sim::Flash::kUnlockWord);
  flash.WritePartition(1);
  flash.WriteCommand(sim::Flash::kBegin, sched.Now());
  main.ClearWriteLog();

  std::vector<uint8_t> block = Block(c.length);
  uint32_t bytes = 7;
  EXPECT_EQ(m.HandleControlRequest(c.request, block.data(), c.length, 0, &bytes), c.result);
  EXPECT_EQ(bytes, 0u);

  std::vector<std::pair<uint32_t, uint32_t>> pieces, expected;
  for (const auto& w : main.WriteLog())
    if (w.offset >= QX5310_MIDI_OUT_WINDOW) pieces.emplace_back(w.offset, w.length);
  for (uint32_t at = 0; at < c.landed; at += sim::kMaxAsyncPayload)
    expected.emplace_back(window + at, std::min(sim::kMaxAsyncPayload, c.landed - at));
  EXPECT_EQ(pieces, expected);

  const uint32_t midiBytes = c.request == 7 ? std::min<uint32_t>(c.landed, sim::Unit::kMidiWindowEnd - window) : 0;
  std::vector<uint32_t> packets(midiBytes / 4);
  for (uint32_t i = 0; i < packets.size(); ++i)
    packets[i] = uint32_t{block[4 * i]} << 24 | block[4 * i + 1] << 16 | block[4 * i + 2] << 8 | block[4 * i + 3];
  EXPECT_EQ(main.MidiOutPackets(0), packets);

  std::vector<uint8_t> flashWindow(sim::Flash::kWindowSize);
  const uint32_t flashFrom = c.request == 10 ? 0 : midiBytes;
  const uint32_t flashBytes = std::min<uint32_t>(c.landed - flashFrom, sim::Flash::kWindowSize);
  std::copy_n(block.begin() + flashFrom, flashBytes, flashWindow.begin());
  flash.WriteLength(sim::Flash::kWindowSize);
  flash.WriteUnlock(sim::Flash::kUnlockWord);
  flash.WriteCommand(sim::Flash::kProgram, sched.Now());
  EXPECT_EQ(flash.Image(1), flashWindow);
}

INSTANTIATE_TEST_SUITE_P(
    MidiAndFlashWindows, BlockRequest,
    testing::Values(BlockCase{7, 4, 0, 4}, BlockCase{7, 2048, 0, 2048}, BlockCase{7, 2049, 0, 2049},
                    BlockCase{7, 8192, 0, 8192}, BlockCase{7, 16384, 0, 16384}, BlockCase{7, 26624, 99, 24576},
                    BlockCase{10, 4, 0, 4}, BlockCase{10, 2048, 0, 2048}, BlockCase{10, 2049, 0, 2049},
                    BlockCase{10, 8192, 0, 8192}, BlockCase{10, 8196, 99, 8192}, BlockCase{10, 10240, 99, 8192}),
    [](const testing::TestParamInfo<BlockCase>& info) {
      return "Request" + std::to_string(info.param.request) + "Of" + std::to_string(info.param.length) + "Bytes";
    });

// A block that fits one write fails unreported, as the other register writes do; a longer one
// that the bus could not carry answers 99.
TEST_F(EngineOnSimulatedBus, BlockRequestToAUnitThatLeftAnswers99OnlyForABlockLongerThanOneWrite) {
  sim::MainUnit main;
  auto& m = PlugIn(main);
  main.Unplug();
  sched.RunFor(5 * plat::kNsPerMs);
  ASSERT_TRUE(m.IsPluggedIn());
  struct Case {
    uint32_t request;
    uint32_t length;
    int32_t result;
  } const cases[] = {{7, 4, 0}, {7, 2048, 0}, {7, 2049, 99}, {10, 0, 0}, {10, 2048, 0}, {10, 8192, 99}};
  for (const Case& c : cases) {
    std::vector<uint8_t> block(c.length + 1, 0x5A);
    uint32_t bytes = 7;
    EXPECT_EQ(m.HandleControlRequest(c.request, block.data(), c.length, 0, &bytes), c.result)
        << "request " << c.request << ", " << c.length << " bytes";
    EXPECT_EQ(bytes, 0u);
  }
}

}  // namespace

// MIDI played into the unit's ports reaches the host's MIDI clients as the event packets the
// bytes make, cable and bytes in place, whatever cable and however many events a write carries.
TEST_F(EngineOnSimulatedBus, MidiFromTheUnitsPortsReachesTheHostWithTheRightBytes) {
  sim::MainUnit main;
  auto& m = PlugIn(main);
  ASSERT_EQ(m.StartMidi(), 0);
  sched.RunFor(5 * plat::kNsPerMs);

  struct Case {
    uint8_t cable;
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> events;
  };
  const Case cases[] = {
      {0, {0x90, 0x3C, 0x64}, {0x09903C64}},
      {3, {0xC5, 0x07}, {0x3CC50700}},
      {1, {0xB0, 0x07, 0x7F, 0x80, 0x40, 0x00}, {0x1BB0077F, 0x18804000}},
      {6, {0xF0, 0x7E, 0x7F, 0xF7}, {0x64F07E7F, 0x65F70000}},
      {2, {0xF8}, {0x2FF80000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "cable " << int{c.cable});
    const size_t before = m.MidiInEvents().size();
    main.SendMidiIn(c.cable, c.bytes);
    sched.RunFor(5 * plat::kNsPerMs);
    std::vector<uint32_t> got(m.MidiInEvents().begin() + static_cast<std::ptrdiff_t>(before), m.MidiInEvents().end());
    EXPECT_EQ(got, c.events);
  }
}

// The unit may write its records at any offset of the window; a write that is no whole number of
// records reaches nothing, and the records that follow it still arrive.
TEST_F(EngineOnSimulatedBus, MidiWindowTakesRecordsAtAnyOffsetAndDropsAPartialWrite) {
  sim::MainUnit main;
  auto& m = PlugIn(main);
  ASSERT_EQ(m.StartMidi(), 0);
  sched.RunFor(5 * plat::kNsPerMs);
  const uint64_t window = uint64_t{main.Register(0x304) & 0xFFFF} << 32 | main.Register(0x308);

  auto write = [&](uint64_t at, std::vector<uint8_t> bytes) {
    bus.Write(main, host.NodeId(), at, bytes, bus.Generation(), nullptr);
    sched.RunFor(plat::kNsPerMs);
  };
  write(window + 0x100, {0x09, 0x90, 0x40, 0x7F, 0xAA, 0xBB, 0xCC, 0xDD, 0x08, 0x80, 0x40, 0x00, 0, 0, 0, 0});
  write(window, {0x09, 0x90, 0x41, 0x7F, 0, 0, 0, 0, 0x08, 0x80, 0x41});
  write(window + 0x20, {0x1B, 0xB0, 0x01, 0x02, 0, 0, 0, 0});
  EXPECT_EQ(m.MidiInEvents(), (std::vector<uint32_t>{0x0990407F, 0x08804000, 0x1BB00102}));
}

// Plug-in takes its memory from the pool: failing any one of its allocations fails plug-in with
// nothing left allocated and no unit in the table, and the next plug-in comes up whole.
TEST_F(EngineOnSimulatedBus, PlugInFailsCleanlyAtEachOfItsAllocationsAndThenComesUp) {
  sim::MainUnit main;
  sim::Kr6Unit kr6(77);
  for (sim::Unit* unit : std::initializer_list<sim::Unit*>{&main, &kr6}) {
    SCOPED_TRACE(unit == &main ? "main unit" : "KR-6");
    unit->Plug(bus);
    sched.RunUntilIdle();
    const size_t outstanding = plat::PoolLedger::OutstandingAllocations();
    size_t allocations = 0;
    {
      EnginePlatformDouble probe(host, unit->Guid(), store);
      const size_t before = plat::PoolLedger::AllocationCount();
      ASSERT_EQ(probe.HandlePlugIn(), 0);
      allocations = plat::PoolLedger::AllocationCount() - before;
      probe.HandleUnPlug();
      sched.RunFor(10 * plat::kNsPerMs);
    }
    ASSERT_GT(allocations, 0u);
    std::printf("plug-in of the %s takes %zu allocations\n", unit == &main ? "main unit" : "KR-6", allocations);
    for (size_t n = 1; n <= allocations; ++n) {
      {
        EnginePlatformDouble failing(host, unit->Guid(), store);
        plat::PoolLedger::FailNth(n);
        EXPECT_NE(failing.HandlePlugIn(), 0) << "allocation " << n << " of " << allocations;
        plat::PoolLedger::ClearFailures();
        sched.RunFor(10 * plat::kNsPerMs);
        EXPECT_FALSE(failing.IsPluggedIn());
        for (uint32_t slot = 0; slot < UnitTable::kSlots; ++slot) EXPECT_NE(UnitTable::Shared().At(slot), &failing);
      }
      EXPECT_EQ(plat::PoolLedger::OutstandingAllocations(), outstanding) << "allocation " << n;
    }
    auto& d = PlugIn(*unit);
    ASSERT_EQ(d.StartMidi(), 0);
    sched.RunFor(5 * plat::kNsPerMs);
    unit->SendMidiIn(0, std::vector<uint8_t>{0x90, 0x3C, 0x64});
    sched.RunFor(5 * plat::kNsPerMs);
    EXPECT_EQ(d.MidiInEvents(), std::vector<uint32_t>{0x09903C64});
  }
}

// A main unit that comes back after being switched off has its power-on registers; at plug-in the
// engine takes the settings the unit holds over the stored one it never received; the stored block
// stays as it was until settings are next stored.
TEST_F(EngineOnSimulatedBus, AtPlugInTheMainUnitsOwnRegistersWinOverAStoredSettingItNeverReceived) {
  PreferencesBlock stored = PreferencesBlock::Defaults();
  stored.mOvrThreshold = 10;
  store.block = stored;
  sim::MainUnit main;
  main.SwitchOff();
  auto& m = PlugIn(main);
  constexpr uint32_t kPowerOnIndex = 25;
  EXPECT_EQ(main.Register(0x230) >> 16, OvrLevel(kPowerOnIndex));
  EXPECT_EQ(m.CurrentPreferences().mOvrThreshold, kPowerOnIndex);
  EXPECT_EQ(m.RequestedPreferences().mOvrThreshold, kPowerOnIndex);
  ASSERT_TRUE(store.block.has_value());
  EXPECT_EQ(store.block->mOvrThreshold, 10u);
  std::printf("stored OVR index %u, the unit's %u: the engine keeps %u\n", stored.mOvrThreshold,
              kPowerOnIndex, m.CurrentPreferences().mOvrThreshold);
}
