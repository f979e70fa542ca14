// The unit engine whole on the Windows unit object, over the 1394 bus driver and the simulated
// bus: what plug-in programs and finds, how synchronous, block and queued register writes reach
// the unit and meet held, refused and failed transactions, the MIDI the unit's ports send, and
// plug-in when the pool runs out at any of its allocations.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/kernel/Pool.h"
#include "tests/driver/EngineUnit.h"
#include "unit/OvrTable.h"
#include "unit/PreferencesBlock.h"
#include "unit/RegisterMap.h"
#include "unit/UnitTable.h"

namespace {

using drivertest::EngineUnit;
using drivertest::WinDeviceRig;
using plat::kNsPerMs;

// One unit on the bus with its engine on the Windows unit object.
struct Machine {
  explicit Machine(sim::Unit& u, uint64_t seed = 0) : unit(u), rig(u, seed) { drivertest::UseEngineUnit(rig); }
  ~Machine() {
    drivertest::UnplugEngine(win());
    rig.Run();
  }
  EngineUnit& win() { return static_cast<EngineUnit&>(*rig.win); }
  void PlugIn() {
    win().FollowBusResets();
    ASSERT_EQ(win().HandlePlugIn(), 0);
    rig.Run();
  }
  std::vector<uint32_t> Offsets() const {
    std::vector<uint32_t> out;
    for (const auto& w : unit.WriteLog()) out.push_back(w.offset);
    return out;
  }

  sim::Unit& unit;
  WinDeviceRig rig;
};

TEST(EngineOnWindows, PlugInProgramsTheStreamRegistersSynchronouslyInOrder) {
  sim::MainUnit main;
  Machine m(main);
  m.PlugIn();
  const std::vector<uint32_t> offsets = m.Offsets();
  const std::vector<uint32_t> programming = {QX5310_CONTROL_BITS, QX5310_INPUT_MASK, QX5310_OUTPUT_MASK,
                                             QX5310_PACKET_PARAM, QX5310_RATE_CLOCK};
  ASSERT_GE(offsets.size(), programming.size());
  EXPECT_EQ(std::vector<uint32_t>(offsets.begin(), offsets.begin() + 5), programming);
  EXPECT_EQ(main.WriteLog()[0].value, 0x200000u);
  EXPECT_EQ(main.SwitchBits() & 0x20u, 0u);
}

TEST(EngineOnWindows, HeldLampCompletionsReleaseOneWriteAtATimeInOrder) {
  sim::MainUnit main;
  Machine m(main);
  m.PlugIn();
  main.ClearWriteLog();
  m.rig.bus.Steer({sim::TransactionMode::HoldResponse}, 3, main.Guid());
  for (uint32_t lamp : {10u, 11u, 12u}) m.win().SetLamp(lamp, 1);
  m.rig.Run();
  auto lampWrites = [&] {
    return std::count_if(main.WriteLog().begin(), main.WriteLog().end(),
                         [](const sim::RegisterWrite& w) { return w.offset == QX5310_LAMP; });
  };
  EXPECT_EQ(lampWrites(), 1);
  EXPECT_EQ(m.rig.bus.HeldCount(), 1u);
  while (m.rig.bus.HeldCount() != 0) {
    m.rig.bus.ReleaseHeld();
    m.rig.Run();
  }
  EXPECT_EQ(lampWrites(), 3);
  EXPECT_EQ(m.rig.RequestCount(), 1) << "each write held the function device until it completed";
}

TEST(EngineOnWindows, BusResetResendsLampAndNotificationAddressesWithTheNewNodeNumbers) {
  sim::MainUnit main;
  Machine m(main);
  m.PlugIn();
  ASSERT_EQ(m.win().StartMidi(), 0);
  m.rig.Run();
  main.ClearWriteLog();
  const uint32_t generation = m.win().Generation();
  m.rig.bus.Reset(sim::Bus::Renumber::Rotate);
  m.rig.Run();
  EXPECT_EQ(m.win().Generation(), generation + 1);
  EXPECT_EQ(m.win().NodeNumber(), main.NodeId());
  const std::vector<uint32_t> offsets = m.Offsets();
  for (uint32_t reg : {QX5310_LAMP, QX5310_MIDI_NOTIFY_HI, QX5310_MIDI_NOTIFY_LO, QX5310_MIDI_NOTIFY_ENABLE})
    EXPECT_NE(std::find(offsets.begin(), offsets.end(), reg), offsets.end()) << std::hex << reg;
  EXPECT_EQ(main.Register(QX5310_MIDI_NOTIFY_HI) >> 16, 0xFFC0u | m.win().LocalNodeNumber());
  EXPECT_NE(m.win().LocalNodeNumber(), main.NodeId());
}

// A settings write the bus refuses fails its completion; the settings reach the unit with the
// next bus reset.
TEST(EngineOnWindows, RefusedSettingsWriteReachesTheUnitAfterTheNextBusReset) {
  sim::MainUnit main;
  Machine m(main);
  m.PlugIn();
  const uint32_t before = main.SwitchBits();
  ASSERT_EQ(before & 0x40u, 0u);
  m.rig.bus.Steer({sim::TransactionMode::Refuse}, 1, main.Guid());
  // Master fader on the outputs: switch bit 6.
  m.win().SetPreference(PreferencesBlock::kParamMasterFader, 2);
  m.rig.Run();
  EXPECT_EQ(main.SwitchBits(), before);
  m.rig.bus.Reset();
  m.rig.Run();
  EXPECT_NE(main.SwitchBits() & 0x40u, 0u);
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

// MIDI event packets for cable 0 in bus order, each a different note-on, cut to length.
std::vector<uint8_t> Block(uint32_t length) {
  std::vector<uint8_t> bytes(length);
  for (uint32_t i = 0; i < length; ++i) {
    const uint32_t packet = 0x09900000u | (i / 4 % 128) << 8 | (i / 512 % 128);
    bytes[i] = static_cast<uint8_t>(packet >> (24 - 8 * (i % 4)));
  }
  return bytes;
}

class BlockRequest : public testing::TestWithParam<BlockCase> {};

TEST_P(BlockRequest, LongBlocksGoInPiecesAndAnswer99WhenAPieceIsRefused) {
  const BlockCase c = GetParam();
  const uint32_t window = c.request == 7 ? QX5310_MIDI_OUT_WINDOW : QX5310_FLASH_DATA_WINDOW;
  sim::MainUnit main;
  Machine m(main);
  m.PlugIn();
  sim::Flash& flash = main.GetFlash();
  flash.WriteUnlock(sim::Flash::kUnlockWord);
  flash.WritePartition(1);
  flash.WriteCommand(sim::Flash::kBegin, m.rig.sched.Now());
  main.ClearWriteLog();

  std::vector<uint8_t> block = Block(c.length);
  uint32_t bytes = 7;
  EXPECT_EQ(m.win().HandleControlRequest(c.request, block.data(), c.length, 0, &bytes), c.result);
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
  flash.WriteCommand(sim::Flash::kProgram, m.rig.sched.Now());
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
TEST(EngineOnWindows, BlockRequestToAUnitOutOfReachAnswers99OnlyForABlockLongerThanOneWrite) {
  sim::MainUnit main;
  Machine m(main);
  m.PlugIn();
  m.rig.bus.SetReachable(main.Guid(), false);
  struct Case {
    uint32_t request;
    uint32_t length;
    int32_t result;
  } const cases[] = {{7, 4, 0}, {7, 2048, 0}, {7, 2049, 99}, {10, 0, 0}, {10, 2048, 0}, {10, 8192, 99}};
  for (const Case& c : cases) {
    std::vector<uint8_t> block(c.length + 1, 0x5A);
    uint32_t bytes = 7;
    EXPECT_EQ(m.win().HandleControlRequest(c.request, block.data(), c.length, 0, &bytes), c.result)
        << "request " << c.request << ", " << c.length << " bytes";
    EXPECT_EQ(bytes, 0u);
  }
  m.rig.bus.SetReachable(main.Guid(), true);
}

// MIDI played into the unit's ports reaches the host's MIDI clients as the event packets the
// bytes make, cable and bytes in place, whatever cable and however many events a write carries.
TEST(EngineOnWindows, MidiFromTheUnitsPortsReachesTheHostWithTheRightBytes) {
  sim::MainUnit main;
  Machine m(main);
  m.PlugIn();
  ASSERT_EQ(m.win().StartMidi(), 0);
  m.rig.Run();
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
    const size_t before = m.win().midiIn.size();
    main.SendMidiIn(c.cable, c.bytes);
    m.rig.Run();
    std::vector<uint32_t> got(m.win().midiIn.begin() + static_cast<std::ptrdiff_t>(before), m.win().midiIn.end());
    EXPECT_EQ(got, c.events);
  }
}

// The unit may write its records at any offset of the window; a write that is no whole number of
// records reaches nothing, and the records that follow it still arrive.
TEST(EngineOnWindows, MidiWindowTakesRecordsAtAnyOffsetAndDropsAPartialWrite) {
  sim::MainUnit main;
  Machine m(main);
  m.PlugIn();
  ASSERT_EQ(m.win().StartMidi(), 0);
  m.rig.Run();
  const uint64_t window = uint64_t{main.Register(QX5310_MIDI_NOTIFY_HI) & 0xFFFF} << 32 | main.Register(QX5310_MIDI_NOTIFY_LO);
  ASSERT_EQ(window, m.win().Window(false));
  const uint8_t host = static_cast<uint8_t>(m.win().LocalNodeNumber());
  auto write = [&](uint64_t at, std::vector<uint8_t> bytes) {
    m.rig.bus.Write(main, host, at, bytes, m.rig.bus.Generation(), nullptr);
    m.rig.Run();
  };
  write(window + 0x100, {0x09, 0x90, 0x40, 0x7F, 0xAA, 0xBB, 0xCC, 0xDD, 0x08, 0x80, 0x40, 0x00, 0, 0, 0, 0});
  write(window, {0x09, 0x90, 0x41, 0x7F, 0, 0, 0, 0, 0x08, 0x80, 0x41});
  write(window + 0x20, {0x1B, 0xB0, 0x01, 0x02, 0, 0, 0, 0});
  EXPECT_EQ(m.win().midiIn, (std::vector<uint32_t>{0x0990407F, 0x08804000, 0x1BB00102}));
}

// Plug-in takes its memory from the pool, and so do the bus requests it sends: whichever one
// allocation fails, plug-in either fails with nothing left allocated and no unit in the table, or
// (where the allocation was a register access or a queued write, whose failure the engine rides
// out) comes up and gives everything back at its unplug; the next plug-in comes up whole. Each
// kind of unit runs in a process of its own.
class EngineOnWindowsSweep : public testing::TestWithParam<bool> {};  // true: the KR-6

TEST_P(EngineOnWindowsSweep, PlugInShortOfAnyOneAllocationLeavesNothingBehindAndTheNextComesUp) {
  sim::MainUnit main;
  sim::Kr6Unit kr6(77);
  sim::Unit* unit = GetParam() ? static_cast<sim::Unit*>(&kr6) : &main;
  const char* name = unit == &main ? "main unit" : "KR-6";
  SCOPED_TRACE(name);
  Machine m(*unit);
  const size_t outstanding = plat::PoolLedger::OutstandingAllocations();
  const size_t before = plat::PoolLedger::AllocationCount();
  ASSERT_EQ(m.win().HandlePlugIn(), 0);
  const size_t allocations = plat::PoolLedger::AllocationCount() - before;
  m.win().HandleUnPlug();
  m.rig.Run();
  ASSERT_GT(allocations, 0u);
  std::printf("plug-in of the %s takes %zu allocations\n", name, allocations);
  size_t failed = 0;
  for (size_t n = 1; n <= allocations; ++n) {
    EngineUnit& failing = drivertest::UseEngineUnit(m.rig);
    plat::PoolLedger::FailNth(n);
    const int32_t result = failing.HandlePlugIn();
    plat::PoolLedger::ClearFailures();
    if (result == 0) {
      EXPECT_TRUE(failing.IsPluggedIn());
      failing.HandleUnPlug();
    } else {
      ++failed;
    }
    m.rig.Run();
    EXPECT_FALSE(failing.IsPluggedIn());
    for (uint32_t slot = 0; slot < UnitTable::kSlots; ++slot) EXPECT_NE(UnitTable::Shared().At(slot), &failing);
    EXPECT_EQ(plat::PoolLedger::OutstandingAllocations(), outstanding) << "allocation " << n;
  }
  std::printf("%zu of them fail it\n", failed);
  EXPECT_GT(failed, allocations / 2) << "the windows, the stream buffers and their requests";
  EngineUnit& win = drivertest::UseEngineUnit(m.rig);
  ASSERT_EQ(win.HandlePlugIn(), 0);
  ASSERT_EQ(win.StartMidi(), 0);
  m.rig.Run();
  unit->SendMidiIn(0, std::vector<uint8_t>{0x90, 0x3C, 0x64});
  m.rig.Run();
  EXPECT_EQ(win.midiIn, std::vector<uint32_t>{0x09903C64});
  drivertest::UnplugEngine(win);
}

INSTANTIATE_TEST_SUITE_P(Units, EngineOnWindowsSweep, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "Kr6" : "MainUnit"; });

// A main unit that comes back after being switched off has its power-on registers; at plug-in the
// engine takes the settings the unit holds over the stored one it never received; the stored block
// stays as it was until settings are next stored.
TEST(EngineOnWindows, AtPlugInTheMainUnitsOwnRegistersWinOverAStoredSettingItNeverReceived) {
  sim::MainUnit main;
  main.SwitchOff();
  Machine m(main);
  PreferencesBlock stored = PreferencesBlock::Defaults();
  stored.mOvrThreshold = 10;
  ASSERT_EQ(m.win().WritePreferences(&stored, sizeof stored), 0);
  m.PlugIn();
  constexpr uint32_t kPowerOnIndex = 25;
  EXPECT_EQ(main.Register(QX5310_OVR_LEVEL) >> 16, OvrLevel(kPowerOnIndex));
  EXPECT_EQ(m.win().CurrentPreferences().mOvrThreshold, kPowerOnIndex);
  EXPECT_EQ(m.win().RequestedPreferences().mOvrThreshold, kPowerOnIndex);
  PreferencesBlock now{};
  ASSERT_EQ(m.win().ReadPreferences(&now, sizeof now), 0);
  EXPECT_EQ(now.mOvrThreshold, 10u);
}

}  // namespace
