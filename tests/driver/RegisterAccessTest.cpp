// Register access of the Windows unit object through the 1394 bus driver to a simulated unit:
// byte order, the unreachable rule, block writes in pieces, and queued writes that complete once
// whatever runs out.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "driver/BusRequests.h"
#include "platform/bus1394/Bus1394.h"
#include "platform/kernel/Pool.h"
#include "tests/driver/WinDeviceRig.h"
#include "tests/support/Seeds.h"
#include "unit/RegisterMap.h"

namespace {

using drivertest::WinDeviceRig;

constexpr uint32_t kStatusDeparted = 0xC0120090;

struct Completions {
  std::vector<uint32_t> statuses;
  std::vector<KIRQL> irqls;
  static int32_t Done(void* context, uint32_t status) {
    auto* self = static_cast<Completions*>(context);
    self->statuses.push_back(status);
    self->irqls.push_back(KeGetCurrentIrql());
    return 0;
  }
};

class RegisterAccess : public testing::Test {
 protected:
  sim::MainUnit unit{sim::MainUnit::kDefaultGuid, {0x00000014, 0x12345678, 0x00000203, 0x00000000}};
  WinDeviceRig rig{unit};
  drivertest::TestUnit& win = *rig.win;
  // What the rig itself holds under the framework's tag.
  const size_t rigPool = WinDeviceRig::FrameworkPoolBytes();
};

TEST_F(RegisterAccess, TheIdsComeFromTheBusDriverAndMakeTheUnitReachable) {
  EXPECT_FALSE(win.IsReachable());
  EXPECT_EQ(win.ReadQuadlet(nullptr, QX5310_FPGA_VERSION), 0u) << "unreachable before the ids are read";
  ASSERT_EQ(win.ExtractNodeAndGenerationIDs(), 0);
  EXPECT_TRUE(win.IsReachable());
  EXPECT_EQ(win.Generation(), plat::Bus1394::Generation());
  EXPECT_EQ(win.NodeNumber(), unit.NodeId());
  EXPECT_EQ(win.LocalNodeNumber(), plat::Bus1394::Host().NodeId());
  EXPECT_EQ(win.log.size(), 3u);
}

TEST_F(RegisterAccess, AReadGivesTheBusBytesInHostOrderAndZeroWhenItFails) {
  ASSERT_EQ(win.ExtractNodeAndGenerationIDs(), 0);
  EXPECT_EQ(win.ReadQuadlet(nullptr, QX5310_FPGA_VERSION), 0x12345678u);
  for (sim::AsyncStatus failure : {sim::AsyncStatus::DataError, sim::AsyncStatus::Timeout, sim::AsyncStatus::Busy}) {
    rig.bus.Steer({sim::TransactionMode::Fail, failure}, 1);
    EXPECT_EQ(win.ReadQuadlet(nullptr, QX5310_FPGA_VERSION), 0u);
    EXPECT_TRUE(win.IsReachable());
  }
  plat::PoolLedger::FailNth(1);
  EXPECT_EQ(win.ReadQuadlet(nullptr, QX5310_FPGA_VERSION), 0u) << "no MDL: no request";
  plat::PoolLedger::ClearFailures();
}

TEST_F(RegisterAccess, WritesSendTheValueInBusOrderOnce) {
  ASSERT_EQ(win.ExtractNodeAndGenerationIDs(), 0);
  EXPECT_EQ(win.WriteQuadlet(nullptr, QX5310_PROGRAMMING_WORD, 0x0A0B0C0D), 0);
  EXPECT_EQ(unit.Register(QX5310_PROGRAMMING_WORD), 0x0A0B0C0Du);

  Completions done;
  const uint32_t value = 1;
  EXPECT_EQ(win.WriteQuadletAsync(nullptr, QX5310_RECORD_ENABLE, &value, Completions::Done, &done), 0);
  rig.Run();
  EXPECT_EQ(unit.Register(QX5310_RECORD_ENABLE), 1u) << "not 0x01000000";
  EXPECT_EQ(value, 1u) << "the caller's cell is left as it was";
  ASSERT_EQ(done.statuses, std::vector<uint32_t>{STATUS_SUCCESS});
  EXPECT_EQ(done.irqls[0], DISPATCH_LEVEL);
  EXPECT_EQ(rig.RequestCount(), 1) << "the write's request was given back";

  const uint32_t plain = 0x00000002;
  EXPECT_EQ(win.WriteQuadletAsync(nullptr, QX5310_PLAYBACK_ENABLE, &plain, nullptr, nullptr), 0)
      << "without a completion the write is made at once";
  EXPECT_EQ(unit.Register(QX5310_PLAYBACK_ENABLE), 2u);
  EXPECT_EQ(WinDeviceRig::FrameworkPoolBytes(), rigPool);
}

TEST_F(RegisterAccess, ABlockGoesAsGivenAndItsRequestIsHeldUntilItCompletes) {
  ASSERT_EQ(win.ExtractNodeAndGenerationIDs(), 0);
  uint8_t block[8] = {0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x06};
  Completions done;
  EXPECT_EQ(win.WriteBlockAsync(nullptr, QX5310_FADER_MOTOR, block, sizeof block, Completions::Done, &done), 0);
  EXPECT_EQ(rig.RequestCount(), 2);
  rig.Run();
  EXPECT_EQ(done.statuses.size(), 1u);
  EXPECT_EQ(rig.RequestCount(), 1);
  EXPECT_EQ(win.WriteBlock(nullptr, QX5310_PROGRAMMING_WORD, block + 4, 4), 0);
  EXPECT_EQ(unit.Register(QX5310_PROGRAMMING_WORD), 6u);
}

// A block longer than one bus write reports a failed piece; a shorter one reports nothing, as the
// quadlet writes do.
TEST_F(RegisterAccess, OnlyABlockInPiecesReportsItsFailure) {
  ASSERT_EQ(win.ExtractNodeAndGenerationIDs(), 0);
  std::vector<uint8_t> data(4096 + 16, 0);
  struct Case {
    const char* what;
    uint32_t length;
    bool fail;
    int32_t result;
  };
  const Case cases[] = {
      {"short block carried", 16, false, 0},
      {"short block failed", 16, true, 0},
      {"long block carried", 4096 + 16, false, 0},
      {"long block failed", 4096 + 16, true, 99},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.fail) rig.bus.Steer({sim::TransactionMode::Fail, sim::AsyncStatus::DataError}, 1);
    EXPECT_EQ(win.WriteBlock(nullptr, QX5310_FLASH_DATA_WINDOW, data.data(), c.length), c.result);
    rig.bus.ClearSteering();
    EXPECT_TRUE(win.IsReachable()) << "only a departed unit becomes unreachable";
  }
}

TEST_F(RegisterAccess, ADepartedAnswerStopsEveryAccessUntilTheIdsAreReadAgain) {
  ASSERT_EQ(win.ExtractNodeAndGenerationIDs(), 0);
  rig.bus.Steer({sim::TransactionMode::Fail, sim::AsyncStatus::Departed}, 1);
  EXPECT_EQ(win.ReadQuadlet(nullptr, QX5310_FPGA_VERSION), 0u);
  EXPECT_FALSE(win.IsReachable());

  const auto requests = plat::Bus1394::Counters().requests[REQUEST_ASYNC_READ] +
                        plat::Bus1394::Counters().requests[REQUEST_ASYNC_WRITE];
  Completions done;
  const uint32_t value = 7;
  EXPECT_EQ(win.ReadQuadlet(nullptr, QX5310_FPGA_VERSION), 0u);
  EXPECT_EQ(win.WriteQuadlet(nullptr, QX5310_PROGRAMMING_WORD, 7), 0);
  EXPECT_EQ(win.WriteQuadletAsync(nullptr, QX5310_PROGRAMMING_WORD, &value, Completions::Done, &done), 99);
  EXPECT_EQ(win.WriteBlockAsync(nullptr, QX5310_PROGRAMMING_WORD, &value, 4, Completions::Done, &done), 99);
  std::vector<uint8_t> data(4096, 0);
  EXPECT_EQ(win.WriteBlock(nullptr, QX5310_FLASH_DATA_WINDOW, data.data(), 4096), 99) << "a long block is not carried";
  rig.Run();
  EXPECT_TRUE(done.statuses.empty());
  EXPECT_EQ(plat::Bus1394::Counters().requests[REQUEST_ASYNC_READ] +
                plat::Bus1394::Counters().requests[REQUEST_ASYNC_WRITE],
            requests)
      << "nothing reached the bus";

  ASSERT_EQ(win.ExtractNodeAndGenerationIDs(), 0);
  EXPECT_EQ(win.ReadQuadlet(nullptr, QX5310_FPGA_VERSION), 0x12345678u);
}

TEST_F(RegisterAccess, AQueuedWriteAnsweredDepartedMakesTheUnitUnreachable) {
  ASSERT_EQ(win.ExtractNodeAndGenerationIDs(), 0);
  rig.bus.Steer({sim::TransactionMode::Fail, sim::AsyncStatus::Departed}, 1);
  Completions done;
  const uint32_t value = 1;
  EXPECT_EQ(win.WriteQuadletAsync(nullptr, QX5310_LAMP, &value, Completions::Done, &done), 0);
  rig.Run();
  EXPECT_EQ(done.statuses, std::vector<uint32_t>{kStatusDeparted});
  EXPECT_FALSE(win.IsReachable());
}

// The bus driver answers for a unit that has been surprise-removed: the generation still comes,
// the unit's node number no longer does.
void MarkDeparted(PDEVICE_OBJECT pdo) {
  PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
  ASSERT_NE(irp, nullptr);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = IRP_MN_SURPRISE_REMOVAL;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, SignalEventCompletion, &done, TRUE, TRUE, TRUE);
  IoCallDriver(pdo, irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  IoFreeIrp(irp);
}

TEST_F(RegisterAccess, TheUnitIsReachableOnlyWhenEveryIdWasRead) {
  ASSERT_EQ(win.ExtractNodeAndGenerationIDs(), 0);
  rig.bus.Steer({sim::TransactionMode::Fail, sim::AsyncStatus::Departed}, 1);
  win.ReadQuadlet(nullptr, QX5310_FPGA_VERSION);
  ASSERT_FALSE(win.IsReachable());
  MarkDeparted(rig.device->pdo);
  EXPECT_EQ(win.ExtractNodeAndGenerationIDs(), 99);
  EXPECT_FALSE(win.IsReachable());
  EXPECT_EQ(win.ReadQuadlet(nullptr, QX5310_FPGA_VERSION), 0u);
}

// However the memory runs out, a queued write completes exactly once and goes through: it travels
// in a record made when the ids were read, so it allocates nothing; every request count comes back.
TEST_F(RegisterAccess, AQueuedWriteCompletesOnceWhateverAllocationFails) {
  ASSERT_EQ(win.ExtractNodeAndGenerationIDs(), 0);
  const size_t allocations = plat::PoolLedger::AllocationCount();
  for (size_t failing = 1; failing <= 6; ++failing) {
    SCOPED_TRACE(testing::Message() << "allocation " << failing << " fails");
    Completions done;
    const uint32_t value = 3;
    plat::PoolLedger::FailNth(failing);
    const int32_t result = win.WriteQuadletAsync(nullptr, QX5310_LAMP, &value, Completions::Done, &done);
    plat::PoolLedger::ClearFailures();
    rig.Run();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(done.statuses, std::vector<uint32_t>{STATUS_SUCCESS});
    EXPECT_EQ(rig.RequestCount(), 1);
    EXPECT_EQ(WinDeviceRig::FrameworkPoolBytes(), rigPool);
  }
  EXPECT_EQ(plat::PoolLedger::AllocationCount(), allocations);
}

TEST_F(RegisterAccess, TheAsynchronousSenderReportsAShortageToItsRoutineOnce) {
  ASSERT_EQ(win.ExtractNodeAndGenerationIDs(), 0);
  struct Seen {
    int calls = 0;
    NTSTATUS status = STATUS_PENDING;
  } seen;
  IRB irb{};
  irb.FunctionNumber = REQUEST_GET_GENERATION_COUNT;
  plat::PoolLedger::FailTag(kFrameworkPoolTag, true);
  const NTSTATUS returned = SubmitIrbAsync(win.GetLowerDeviceLink(), &irb, [](PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* s = static_cast<Seen*>(context);
    s->calls += 1;
    s->status = irp->IoStatus.Status;
  }, &seen);
  plat::PoolLedger::FailTag(kFrameworkPoolTag, false);
  rig.Run();
  EXPECT_EQ(returned, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(seen.status, STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(RegisterAccess, TheWaitingSenderCompletesTheCallersIrp) {
  IRB irb{};
  irb.FunctionNumber = REQUEST_GET_GENERATION_COUNT;
  PIRP irp = IoAllocateIrp(static_cast<CHAR>(win.GetLowerDeviceLink()->mLowerDevice->StackSize + 1), FALSE);
  ASSERT_NE(irp, nullptr);
  KEVENT completed;
  KeInitializeEvent(&completed, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, SignalEventCompletion, &completed, TRUE, TRUE, TRUE);
  // The IRP as a driver receives it: its own location current, its caller's completion above.
  IoSetNextIrpStackLocation(irp);
  EXPECT_EQ(SubmitIrb(win.GetLowerDeviceLink(), &irb, irp), STATUS_SUCCESS);
  EXPECT_EQ(irb.u.GetGenerationCount.GenerationCount, plat::Bus1394::Generation());
  EXPECT_EQ(KeReadStateEvent(&completed), 1) << "the caller's IRP went on to complete";
  IoFreeIrp(irp);
}

}  // namespace
