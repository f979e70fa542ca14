// The engine's plug-in and unplug carried out by the Windows unit object over the bus driver: the
// unit is identified from its registers, gets its host windows and stream buffers, hears MIDI
// input, and gives everything back.
#include <gtest/gtest.h>

#include <array>

#include "tests/driver/WinDeviceRig.h"
#include "unit/RegisterMap.h"

namespace {

using drivertest::WinDeviceRig;

TEST(UnitPlugIn, AMainUnitPlugsInHearsMidiAndGivesEverythingBack) {
  sim::MainUnit unit;
  WinDeviceRig rig(unit);
  drivertest::TestUnit& win = *rig.win;
  const size_t before = WinDeviceRig::FrameworkPoolBytes();
  ASSERT_EQ(win.HandlePlugIn(), 0);
  EXPECT_EQ(win.UnitKind(), QX531Device::kKindMain);
  EXPECT_TRUE(win.HasAudio());
  EXPECT_GT(WinDeviceRig::FrameworkPoolBytes(), before + 2 * QX531Device::kStreamBuffers * QX531Device::kStreamBufferBytes);
  ASSERT_EQ(win.StartMidi(), 0);
  rig.Run();
  EXPECT_EQ(unit.Register(QX5310_MIDI_NOTIFY_ENABLE), 1u);
  const std::array<uint8_t, 3> noteOn{0x90, 0x40, 0x7F};
  unit.SendMidiIn(0, noteOn);
  rig.Run();
  ASSERT_EQ(win.midiWrites.size(), 1u);
  EXPECT_EQ(unit.Counters().hostWritesFailed, 0u);

  win.StopMidi();
  win.HandleUnPlug();
  rig.Run();
  EXPECT_EQ(WinDeviceRig::FrameworkPoolBytes(), before);
  EXPECT_EQ(rig.RequestCount(), 1);
}

TEST(UnitPlugIn, AnExpansionUnitPlugsInWithItsStatusWindowAndGivesItBack) {
  sim::Kr6Unit unit(5150);
  WinDeviceRig rig(unit);
  drivertest::TestUnit& win = *rig.win;
  const size_t before = WinDeviceRig::FrameworkPoolBytes();
  ASSERT_EQ(win.HandlePlugIn(), 0);
  EXPECT_EQ(win.UnitKind(), QX531Device::kKindExpansion);
  EXPECT_EQ(win.Serial(), 5150u);
  ASSERT_EQ(win.StartMidi(), 0);
  rig.Run();
  EXPECT_EQ(unit.Register(QX5310_ASYNC_NOTIFY_ENABLE), 1u);
  EXPECT_FALSE(win.asyncWrites.empty()) << "the unit reports its surface once switched on";
  win.StopMidi();
  win.HandleUnPlug();
  rig.Run();
  EXPECT_EQ(WinDeviceRig::FrameworkPoolBytes(), before);
}

}  // namespace
