// A unit plugged in and started through plug and play while pool runs out, at every one of the
// plug's allocations in turn (the bus driver's, plug and play's and the unit driver's alike), and
// a stream restart of a running main unit likewise: whatever fails, nothing may crash, the unit's
// removal must leave no pool, no device object and no table entry, and the next plug (or restart)
// must work. The allocations are split into shards that ctest runs side by side.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <ostream>
#include <string>

#include "driver/QX531PnpDevice.h"
#include "platform/bus1394/Bus1394.h"
#include "platform/kernel/Leftovers.h"
#include "platform/kernel/PnpManager.h"
#include "platform/kernel/Pool.h"
#include "sim/units/Kr6Unit.h"
#include "sim/units/MainUnit.h"
#include "tests/driver/DriverRig.h"
#include "unit/UnitTable.h"

namespace {

using drvtest::DriverRig;

// A main unit's plug takes about ten times the allocations of a KR-6's.
constexpr uint32_t kMainUnitShards = 16;
constexpr uint32_t kKr6Shards = 2;
constexpr uint32_t kRestartShards = 4;

struct SweepShard {
  const char* unit;
  bool expansion;
  uint32_t shard;
  uint32_t shards;
};

void PrintTo(const SweepShard& s, std::ostream* out) { *out << s.unit << " shard " << s.shard << " of " << s.shards; }

std::unique_ptr<sim::Unit> MakeUnit(bool expansion) {
  if (expansion) return std::make_unique<sim::Kr6Unit>(12);
  return std::make_unique<sim::MainUnit>();
}

// The plug as the sweep counts it: the unit joins the bus, plug and play settles, the start's
// work runs out and the first writes land.
void PlugAndStart(DriverRig& rig, sim::Unit& unit) {
  rig.Plug(unit);
  EXPECT_TRUE(rig.DrainWork());
  rig.Quiesce();
}

void Unplug(DriverRig& rig, sim::Unit& unit) {
  rig.Unplug(unit);
  EXPECT_TRUE(rig.DrainWork());
  rig.Settle();
}

// What a removed unit may not leave behind.
void ExpectNothingLeft(size_t baseline) {
  EXPECT_EQ(plat::PoolLedger::OutstandingAllocations(), baseline) << plat::PoolLedger::LeakReport();
  EXPECT_EQ(plat::IoDeviceObjectsLeft().find("Qx531Device"), std::string::npos) << plat::IoDeviceObjectsLeft();
  EXPECT_TRUE(plat::Bus1394::Units().empty()) << "the unit's PDO went with it";
  for (uint32_t slot = 0; slot < UnitTable::kSlots; ++slot) EXPECT_EQ(UnitTable::Shared().At(slot), nullptr) << slot;
  EXPECT_EQ(plat::PendingWorkItems(), 0u);
}

class PlugAndStartSweep : public testing::TestWithParam<SweepShard> {};

TEST_P(PlugAndStartSweep, ShortOfAnyOneAllocationTheUnitLeavesNothingBehindAndTheNextPlugStartsIt) {
  const SweepShard s = GetParam();
  DriverRig rig;
  std::unique_ptr<sim::Unit> unit = MakeUnit(s.expansion);
  const size_t baseline = plat::PoolLedger::OutstandingAllocations();
  const size_t before = plat::PoolLedger::AllocationCount();
  PlugAndStart(rig, *unit);
  const size_t allocations = plat::PoolLedger::AllocationCount() - before;
  ASSERT_EQ(plat::PnpState(rig.PdoOf(*unit)), plat::DevnodeState::Started);
  Unplug(rig, *unit);
  ExpectNothingLeft(baseline);
  if (s.shard == 0) std::printf("the plug and start of the %s take %zu allocations\n", s.unit, allocations);

  for (size_t n = 1 + s.shard; n <= allocations; n += s.shards) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    plat::PoolLedger::FailNth(n);
    PlugAndStart(rig, *unit);
    plat::PoolLedger::ClearFailures();
    Unplug(rig, *unit);
    ExpectNothingLeft(baseline);
    if (HasFailure()) break;
  }

  PlugAndStart(rig, *unit);
  EXPECT_EQ(plat::PnpState(rig.PdoOf(*unit)), plat::DevnodeState::Started);
  QX531PnpDevice* device = rig.DeviceOf(*unit);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->IsStreaming(), !s.expansion);
  EXPECT_TRUE(device->IsMidiRunning());
  Unplug(rig, *unit);
  ExpectNothingLeft(baseline);
}

std::vector<SweepShard> Shards() {
  std::vector<SweepShard> shards;
  for (uint32_t shard = 0; shard < kMainUnitShards; ++shard) shards.push_back({"main unit", false, shard, kMainUnitShards});
  for (uint32_t shard = 0; shard < kKr6Shards; ++shard) shards.push_back({"KR-6", true, shard, kKr6Shards});
  return shards;
}

INSTANTIATE_TEST_SUITE_P(Shards, PlugAndStartSweep, testing::ValuesIn(Shards()),
                         [](const testing::TestParamInfo<SweepShard>& info) {
                           return std::string(info.param.expansion ? "Kr6" : "MainUnit") + "Shard" +
                                  std::to_string(info.param.shard);
                         });

// The stream re-initialisation that errors ask for: its worker stops and starts the streams.
void Restart(DriverRig& rig, QX531PnpDevice* device) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  device->SignalForIsocReinitialize();
  KeLowerIrql(old);
  EXPECT_TRUE(rig.DrainWork());
  rig.Quiesce();
}

class RestartSweep : public testing::TestWithParam<uint32_t> {};

TEST_P(RestartSweep, ShortOfAnyOneAllocationARestartLeavesNothingBehindAndTheNextStreamsAgain) {
  const uint32_t shard = GetParam();
  DriverRig rig;
  sim::MainUnit main;
  const size_t baseline = plat::PoolLedger::OutstandingAllocations();
  PlugAndStart(rig, main);
  QX531PnpDevice* device = rig.DeviceOf(main);
  ASSERT_NE(device, nullptr);
  ASSERT_TRUE(device->IsStreaming());
  const size_t before = plat::PoolLedger::AllocationCount();
  Restart(rig, device);
  const size_t allocations = plat::PoolLedger::AllocationCount() - before;
  ASSERT_TRUE(device->IsStreaming());
  const size_t held = plat::Bus1394::IsochHeldBy(rig.PdoOf(main));
  if (shard == 0) std::printf("a stream restart takes %zu allocations\n", allocations);

  for (size_t n = 1 + shard; n <= allocations; n += kRestartShards) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    plat::PoolLedger::FailNth(n);
    Restart(rig, device);
    plat::PoolLedger::ClearFailures();
    Restart(rig, device);
    EXPECT_TRUE(device->IsStreaming()) << "the next restart streams again";
    EXPECT_EQ(plat::Bus1394::IsochHeldBy(rig.PdoOf(main)), held) << "what the streams hold of the bus";
    if (HasFailure()) break;
  }
  Unplug(rig, main);
  ExpectNothingLeft(baseline);
}

INSTANTIATE_TEST_SUITE_P(Shards, RestartSweep, testing::Range(0u, kRestartShards));

}  // namespace
