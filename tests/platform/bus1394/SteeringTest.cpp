// Transactions steered on the simulated bus as the unit driver sees them through the bus driver:
// held and released in a chosen order, completed at once, refused, failed, and ended by the
// unit's departure.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "sim/units/MainUnit.h"
#include "tests/platform/bus1394/UnitTestDriver.h"

namespace {

using namespace bus1394test;
using sim::Steering;
using sim::TransactionMode;

class Steered : public Machine {
 protected:
  void SetUp() override {
    Plug(main);
    dev = DeviceOf(main.Guid());
    ASSERT_NE(dev, nullptr);
    main.ClearWriteLog();
    ResetCompletionOrder();
  }
  // Writes `value` to the unit's register 0x204 without waiting.
  std::shared_ptr<PendingIrb> WriteAsync(uint32_t value) {
    buffers.push_back(std::make_unique<IrbBuffer>(4));
    PutBe32(buffers.back()->data, value);
    return SendIrbAsync(dev, WriteIrb(0x204, buffers.back()->mdl, 4, dev->generation));
  }
  std::vector<uint32_t> Written() {
    std::vector<uint32_t> values;
    for (const auto& w : main.WriteLog()) values.push_back(w.value);
    return values;
  }

  sim::MainUnit main;
  UnitDevice* dev = nullptr;
  std::vector<std::unique_ptr<IrbBuffer>> buffers;
};

TEST_F(Steered, HeldTransactionsReachTheUnitAndTheDriverInTheOrderTheTestChose) {
  struct Case {
    const char* what;
    TransactionMode mode;
    std::vector<uint32_t> reachedBeforeRelease;
    std::vector<uint32_t> reachedAfterRelease;
  };
  const Case cases[] = {
      {"held requests", TransactionMode::HoldRequest, {}, {2, 3, 1}},
      {"held responses", TransactionMode::HoldResponse, {1, 2, 3}, {1, 2, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    main.ClearWriteLog();
    ResetCompletionOrder();
    bus.Steer(Steering{c.mode}, 3, main.Guid());
    std::vector<std::shared_ptr<PendingIrb>> writes;
    for (uint32_t value : {1u, 2u, 3u}) writes.push_back(WriteAsync(value));
    sched.RunFor(plat::kNsPerMs);
    EXPECT_EQ(Written(), c.reachedBeforeRelease);
    ASSERT_EQ(bus.HeldCount(), 3u);
    for (const auto& w : writes) EXPECT_FALSE(w->done);
    for (size_t index : {size_t{1}, size_t{1}, size_t{0}}) bus.ReleaseHeld(index);
    EXPECT_EQ(Written(), c.reachedAfterRelease);
    EXPECT_EQ(writes[1]->order, 1);
    EXPECT_EQ(writes[2]->order, 2);
    EXPECT_EQ(writes[0]->order, 3);
    for (const auto& w : writes) {
      EXPECT_EQ(w->status, STATUS_SUCCESS);
      EXPECT_EQ(w->irql, DISPATCH_LEVEL);
    }
  }
}

TEST_F(Steered, ATransactionCompletedAtOnceRefusedOrFailedReachesTheDriverWithItsStatus) {
  struct Case {
    const char* what;
    Steering steering;
    bool doneInTheCall;
    NTSTATUS status;
    bool reachedTheUnit;
  };
  const Case cases[] = {
      {"completed at once", {TransactionMode::Immediate}, true, STATUS_SUCCESS, true},
      {"refused", {TransactionMode::Refuse}, true, STATUS_INSUFFICIENT_RESOURCES, false},
      {"busy", {TransactionMode::Fail, sim::AsyncStatus::Busy}, false, STATUS_DEVICE_BUSY, false},
      {"timed out", {TransactionMode::Fail, sim::AsyncStatus::Timeout}, false, STATUS_IO_TIMEOUT, false},
      {"address error", {TransactionMode::Fail, sim::AsyncStatus::AddressError}, false, STATUS_INVALID_ADDRESS, false},
      {"data error", {TransactionMode::Fail, sim::AsyncStatus::DataError}, false, STATUS_DEVICE_DATA_ERROR, false},
      {"departed", {TransactionMode::Fail, sim::AsyncStatus::Departed}, false, STATUS_IO_DEVICE_ERROR_1394_DEPARTED, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    main.ClearWriteLog();
    bus.Steer(c.steering);
    auto w = WriteAsync(7);
    EXPECT_EQ(w->done, c.doneInTheCall);
    sched.RunFor(plat::kNsPerMs);
    ASSERT_TRUE(w->done);
    EXPECT_EQ(w->status, c.status);
    EXPECT_EQ(!main.WriteLog().empty(), c.reachedTheUnit);
  }
}

TEST_F(Steered, ABlockWriteFailsWhenOneOfItsPiecesFails) {
  IrbBuffer block(8192);
  bus.Steer(Steering{TransactionMode::Deliver}, 2, main.Guid());
  bus.Steer(Steering{TransactionMode::Fail, sim::AsyncStatus::DataError}, 1, main.Guid());
  IRB irb = WriteIrb(0x8000, block.mdl, 8192, dev->generation);
  EXPECT_EQ(SendIrb(dev, &irb), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(main.WriteLog().size(), 2u) << "the pieces before the failed one, and none after";
}

TEST_F(Steered, ATransactionStillHeldWhenTheUnitLeavesEndsWithTheDepartedStatus) {
  bus.Steer(Steering{TransactionMode::HoldRequest}, 1, main.Guid());
  auto w = WriteAsync(9);
  sched.RunFor(plat::kNsPerMs);
  ASSERT_FALSE(w->done);
  Unplug(main);
  ASSERT_TRUE(w->done);
  EXPECT_EQ(w->status, STATUS_IO_DEVICE_ERROR_1394_DEPARTED);
  bus.ReleaseAllHeld();
  sched.RunFor(plat::kNsPerMs);
  EXPECT_TRUE(main.WriteLog().empty()) << "released after the departure, it finds no unit";
}

}  // namespace
