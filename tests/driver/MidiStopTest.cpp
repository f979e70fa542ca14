// A unit plugged in through the Windows unit object: stopping MIDI while the queued write that
// switches it on is still on its way leaves MIDI off at the unit.
#include <gtest/gtest.h>

#include "tests/driver/WinDeviceRig.h"
#include "tests/support/Seeds.h"
#include "unit/RegisterMap.h"

namespace {

using drivertest::WinDeviceRig;

struct HeldCase {
  const char* what;
  uint32_t passed;  // notify writes carried before the held one
  sim::TransactionMode held;
};

// The main unit's notify writer sends the address high, low, then the enable.
constexpr HeldCase kHeldCases[] = {
    {"the enable held before it reaches the unit", 2, sim::TransactionMode::HoldRequest},
    {"the enable's completion held", 2, sim::TransactionMode::HoldResponse},
    {"the address held, the enable not yet sent", 0, sim::TransactionMode::HoldRequest},
};

TEST(MidiStop, AStopHasTheLastWordOverAQueuedEnable) {
  for (uint64_t seed : qxtest::InterleavingSeeds(8)) {
    for (const HeldCase& c : kHeldCases) {
      SCOPED_TRACE(qxtest::SeedTrace(seed));
      SCOPED_TRACE(c.what);
      sim::MainUnit unit;
      WinDeviceRig rig(unit, seed);
      drivertest::TestUnit& win = *rig.win;
      ASSERT_EQ(win.HandlePlugIn(), 0);
      rig.Run();
      if (c.passed != 0) rig.bus.Steer({sim::TransactionMode::Deliver}, c.passed);
      rig.bus.Steer({c.held}, 1);
      ASSERT_EQ(win.StartMidi(), 0);
      rig.Run();
      ASSERT_EQ(rig.bus.HeldCount(), 1u);
      ASSERT_EQ(win.StopMidi(), 0);
      rig.bus.ReleaseHeld(0);
      rig.Run();
      rig.bus.ClearSteering();
      EXPECT_EQ(unit.Register(QX5310_MIDI_NOTIFY_ENABLE), 0u);
      EXPECT_EQ(rig.RequestCount(), 1);

      ASSERT_EQ(win.StartMidi(), 0);
      rig.Run();
      EXPECT_EQ(unit.Register(QX5310_MIDI_NOTIFY_ENABLE), 1u) << "a later start still switches it on";
      win.StopMidi();
      win.HandleUnPlug();
    }
  }
}

}  // namespace
