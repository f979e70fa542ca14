// The records queued register writes travel in, made when the unit's ids are read and released at
// unplug: a unit short of them is not reachable and holds nothing, a write that finds every record
// on the bus is refused without reaching the bus, the engine's items so refused stay due and go
// later, and records still on the bus at unplug are freed once their writes complete.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/bus1394/Bus1394.h"
#include "platform/kernel/Pool.h"
#include "tests/driver/EngineUnit.h"
#include "tests/support/Seeds.h"
#include "unit/RegisterMap.h"

namespace {

using drivertest::EngineUnit;
using drivertest::WinDeviceRig;

// One per writer of the engine, the stream restart and the switches of a start and a stop.
constexpr uint32_t kRecords = 10;

struct Completions {
  std::vector<uint32_t> statuses;
  static int32_t Done(void* context, uint32_t status) {
    static_cast<Completions*>(context)->statuses.push_back(status);
    return 0;
  }
};

uint64_t AsyncWrites() { return plat::Bus1394::Counters().requests[REQUEST_ASYNC_WRITE]; }

// Queues writes that stay on the bus until the machine runs, until one is refused; how many went.
uint32_t TakeEveryRecord(QX531WinDevice& win, Completions& held, int32_t* refusal) {
  static const uint32_t value = 5;
  uint32_t taken = 0;
  while (taken <= 2 * kRecords) {
    *refusal = win.WriteQuadletAsync(nullptr, QX5310_PROGRAMMING_WORD, &value, Completions::Done, &held);
    if (*refusal != 0) break;
    ++taken;
  }
  return taken;
}

TEST(QueuedWriteRecords, AUnitShortOfItsRecordsIsNotReachableAndHoldsNothing) {
  sim::MainUnit unit;
  WinDeviceRig rig{unit};
  uint32_t failures = 0;
  for (size_t failing = 1;; ++failing) {
    ASSERT_LT(failing, 100u);
    SCOPED_TRACE(testing::Message() << "allocation " << failing << " fails");
    const size_t outstanding = plat::PoolLedger::OutstandingAllocations();
    plat::PoolLedger::FailNth(failing);
    const int32_t result = rig.win->ExtractNodeAndGenerationIDs();
    plat::PoolLedger::ClearFailures();
    if (result == 0) break;
    ++failures;
    EXPECT_EQ(result, 99);
    EXPECT_FALSE(rig.win->IsReachable());
    EXPECT_EQ(plat::PoolLedger::OutstandingAllocations(), outstanding);
  }
  EXPECT_GE(failures, 3 * kRecords) << "each record, its IRP and its MDL";
  Completions done;
  const uint32_t value = 3;
  EXPECT_EQ(rig.win->WriteQuadletAsync(nullptr, QX5310_PROGRAMMING_WORD, &value, Completions::Done, &done), 0);
  rig.Run();
  EXPECT_EQ(done.statuses, std::vector<uint32_t>{STATUS_SUCCESS});
  EXPECT_EQ(unit.Register(QX5310_PROGRAMMING_WORD), 3u);
}

// A refused write never reaches the bus and never completes; once a record is back, writes go
// again, and none of it touches the pool.
TEST(QueuedWriteRecords, AWriteFindingEveryRecordOnTheBusIsRefusedUntilOneComesBack) {
  sim::MainUnit unit;
  WinDeviceRig rig{unit};
  ASSERT_EQ(rig.win->ExtractNodeAndGenerationIDs(), 0);
  const size_t allocations = plat::PoolLedger::AllocationCount();
  const uint64_t sent = AsyncWrites();
  Completions held;
  int32_t refusal = 0;
  const uint32_t taken = TakeEveryRecord(*rig.win, held, &refusal);
  EXPECT_EQ(taken, kRecords);
  EXPECT_NE(refusal, 0);
  Completions refused;
  const uint8_t block[8] = {0, 0, 0, 5, 0, 0, 0, 6};
  EXPECT_NE(rig.win->WriteBlockAsync(nullptr, QX5310_FADER_MOTOR, block, sizeof block, Completions::Done, &refused), 0);
  EXPECT_EQ(AsyncWrites() - sent, taken) << "nothing refused reached the bus";
  EXPECT_EQ(rig.RequestCount(), static_cast<LONG>(1 + taken));

  rig.Run();
  EXPECT_EQ(held.statuses, std::vector<uint32_t>(taken, STATUS_SUCCESS));
  EXPECT_TRUE(refused.statuses.empty()) << "a refused write never completes";
  EXPECT_EQ(rig.RequestCount(), 1);

  Completions later;
  const uint32_t value = 6;
  EXPECT_EQ(rig.win->WriteQuadletAsync(nullptr, QX5310_PROGRAMMING_WORD, &value, Completions::Done, &later), 0);
  rig.Run();
  EXPECT_EQ(later.statuses, std::vector<uint32_t>{STATUS_SUCCESS});
  EXPECT_EQ(unit.Register(QX5310_PROGRAMMING_WORD), 6u);
  EXPECT_EQ(plat::PoolLedger::AllocationCount() - allocations, 0u);
}

constexpr uint32_t MidiEvent(uint32_t n) { return 0x09900000u | (n & 0x7F) << 8 | 0x40; }

// Lamps, fader targets and MIDI-out events recorded while every record is on the bus are neither
// lost nor counted as dropped: the next kick after the records came back sends them all, the
// events in order.
TEST(QueuedWriteRecords, ItemsRefusedForWantOfARecordStayDueAndGoAtTheNextKick) {
  for (uint64_t seed : qxtest::InterleavingSeeds(8)) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    sim::MainUnit unit;
    WinDeviceRig rig{unit, seed};
    EngineUnit& engine = drivertest::UseEngineUnit(rig);
    engine.FollowBusResets();
    ASSERT_EQ(engine.HandlePlugIn(), 0);
    rig.Run();
    unit.ClearWriteLog();
    unit.ClearMidiOut();

    Completions held;
    int32_t refusal = 0;
    ASSERT_EQ(TakeEveryRecord(engine, held, &refusal), kRecords);
    const uint64_t sent = AsyncWrites();
    engine.SetLamp(10, 1);
    engine.SetFaderMotor(0, 300);
    for (uint32_t n = 0; n < 5; ++n) engine.SendMIDIOut(MidiEvent(n));
    EXPECT_EQ(AsyncWrites(), sent) << "every writer was refused";
    rig.Run();
    EXPECT_EQ(held.statuses.size(), kRecords);

    engine.SetLamp(11, 1);
    engine.SetFaderMotor(1, 400);
    engine.SendMIDIOut(MidiEvent(5));
    rig.Run();
    for (uint32_t id : {10u, 11u}) EXPECT_EQ(unit.GetSurface().Lamp(engine.Surface().mLampCodes[id]), 1) << id;
    EXPECT_EQ(unit.GetSurface().FaderPosition(0), 300);
    EXPECT_EQ(unit.GetSurface().FaderPosition(1), 400);
    std::vector<uint32_t> events;
    for (uint32_t n = 0; n < 6; ++n) events.push_back(MidiEvent(n));
    EXPECT_EQ(unit.MidiOutPackets(0), events);
    for (WriterItems items : {WriterItems::Lamps, WriterItems::FaderTargets, WriterItems::MidiOutEvents})
      EXPECT_EQ(engine.DroppedItems(items), 0u);
    drivertest::UnplugEngine(engine);
    rig.Run();
  }
}

// Unplugging while every record is on the bus: each write still completes once, its record is
// freed then, and a unit plugged in again has its records back.
TEST(QueuedWriteRecords, RecordsOnTheBusAtUnplugAreFreedOnceTheirWritesComplete) {
  for (uint64_t seed : qxtest::InterleavingSeeds(8)) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    sim::MainUnit unit;
    WinDeviceRig rig{unit, seed};
    EngineUnit& engine = drivertest::UseEngineUnit(rig);
    rig.Run();
    const size_t outstanding = plat::PoolLedger::OutstandingAllocations();
    ASSERT_EQ(engine.HandlePlugIn(), 0);
    rig.Run();
    Completions held;
    int32_t refusal = 0;
    ASSERT_EQ(TakeEveryRecord(engine, held, &refusal), kRecords);
    engine.HandleUnPlug();
    EXPECT_TRUE(held.statuses.empty());
    rig.Run();
    EXPECT_EQ(held.statuses, std::vector<uint32_t>(kRecords, STATUS_SUCCESS));
    EXPECT_EQ(rig.RequestCount(), 1);
    EXPECT_EQ(plat::PoolLedger::OutstandingAllocations(), outstanding);

    ASSERT_EQ(engine.HandlePlugIn(), 0);
    rig.Run();
    engine.SetLamp(10, 1);
    rig.Run();
    EXPECT_EQ(unit.GetSurface().Lamp(engine.Surface().mLampCodes[10]), 1);
    drivertest::UnplugEngine(engine);
    rig.Run();
  }
}

}  // namespace
