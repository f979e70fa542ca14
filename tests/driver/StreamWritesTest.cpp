// The stream's own register writes (the switches of each direction and the restart sequence)
// through the unit driver under the fault table's bus faults: a reset every 100 ms while the main
// unit streams, and the unit pulled out and plugged back in the middle of it. Writes a reset
// took away are sent again, so the unit ends up streaming as the engine last programmed it, and
// nothing is counted as given up; under a table of seeds.
#include <gtest/gtest.h>

#include <iterator>

#include "driver/QX531PnpDevice.h"
#include "platform/kernel/PnpManager.h"
#include "sim/units/MainUnit.h"
#include "tests/driver/DriverRig.h"
#include "tests/support/Seeds.h"
#include "unit/RegisterMap.h"

namespace {

using drvtest::DriverRig;

constexpr plat::VTime kResetEvery = 100 * plat::kNsPerMs;
constexpr int kResets = 30;

// Runs until the unit's stream is valid and locked, at most five seconds.
bool RunUntilLocked(DriverRig& rig, sim::MainUnit& main) {
  return rig.sched.RunUntil(
      [&] {
        QX531PnpDevice* device = rig.DeviceOf(main);
        return device != nullptr && device->IsStreamValid() && device->LockState() == 2;
      },
      rig.sched.Now() + 5 * plat::kNsPerSecond);
}

void ExpectStreamingAsProgrammed(DriverRig& rig, sim::MainUnit& main) {
  ASSERT_TRUE(RunUntilLocked(rig, main));
  QX531PnpDevice* device = rig.DeviceOf(main);
  ASSERT_NE(device, nullptr);
  EXPECT_TRUE(device->IsStreaming());
  EXPECT_EQ(main.Register(QX5310_RECORD_ENABLE), 1u);
  EXPECT_EQ(main.Register(QX5310_PLAYBACK_ENABLE), 1u);
  EXPECT_TRUE(main.Sending());
  EXPECT_TRUE(main.Transmitting());
  EXPECT_EQ(device->DroppedItems(WriterItems::StreamWrites), 0u);
}

// The stream writes a reset takes away: the switches of each direction and the restart, which
// only ever go out queued (the registers the restart sequence shares with the start's synchronous
// programming are left to the engine's own tests).
struct LostWrite {
  uint32_t offset;
  sim::AsyncStatus status;
};
constexpr LostWrite kLostWrites[] = {
    {QX5310_RECORD_ENABLE, sim::AsyncStatus::Timeout},
    {QX5310_STREAM_RESTART, sim::AsyncStatus::StaleGeneration},
    {QX5310_PLAYBACK_ENABLE, sim::AsyncStatus::Busy},
    {QX5310_STREAM_RESTART, sim::AsyncStatus::Departed},
};

struct StormCase {
  const char* name;
  bool pulled;
};

TEST(StreamWrites, UnderAResetStormAndAPullTheUnitEndsStreamingAsProgrammedWithNothingGivenUp) {
  for (const StormCase c : {StormCase{"reset storm", false}, StormCase{"reset storm and a pull", true}}) {
    for (uint64_t seed : qxtest::InterleavingSeeds(4)) {
      SCOPED_TRACE(c.name);
      SCOPED_TRACE(qxtest::SeedTrace(seed));
      DriverRig rig(seed, 2);
      sim::MainUnit main;
      rig.Plug(main);
      ASSERT_TRUE(RunUntilLocked(rig, main));
      const plat::VTime start = rig.sched.Now();
      // Resets land at odd offsets into the bus cycle, so they meet writes on their way; and at
      // each, one stream write that follows it is lost on the way as a reset or a busy unit loses it.
      const uint64_t guid = main.Guid();
      for (int i = 1; i <= kResets; ++i) {
        rig.sched.At(start + i * kResetEvery + i * 7919, [&rig, &main, guid, i] {
          const LostWrite& lost = kLostWrites[i % std::size(kLostWrites)];
          rig.bus.SteerWrites({sim::TransactionMode::Fail, lost.status}, 1, guid,
                              sim::Unit::kRegisterBase + lost.offset);
          rig.bus.Reset();
        });
      }
      if (c.pulled) {
        rig.sched.At(start + 12 * kResetEvery + 31000, [&] { rig.bus.Detach(main); });
        rig.sched.At(start + 20 * kResetEvery + 47000, [&] { rig.bus.Attach(main); });
      }
      rig.sched.RunUntil([] { return false; }, start + (kResets + 1) * kResetEvery);
      rig.bus.ClearSteering();
      // The storm's last reset, with the restart of the sequence it starts lost twice on the way
      // (a stale generation would leave the unit out of reach until the next reset).
      rig.bus.SteerWrites({sim::TransactionMode::Fail, sim::AsyncStatus::Busy}, 1, guid,
                          sim::Unit::kRegisterBase + QX5310_STREAM_RESTART);
      rig.bus.SteerWrites({sim::TransactionMode::Fail, sim::AsyncStatus::Timeout}, 1, guid,
                          sim::Unit::kRegisterBase + QX5310_STREAM_RESTART);
      rig.bus.Reset();
      rig.Settle();
      ASSERT_TRUE(rig.DrainWork());
      EXPECT_EQ(plat::PnpState(rig.PdoOf(main)), plat::DevnodeState::Started);
      ExpectStreamingAsProgrammed(rig, main);
      rig.Unplug(main);
      rig.Shutdown();
    }
  }
}

}  // namespace
