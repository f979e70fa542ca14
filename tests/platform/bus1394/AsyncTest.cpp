// Asynchronous reads and writes of unit registers through the bus driver, the node and generation
// requests, and bus-reset notification.
#include <gtest/gtest.h>

#include "sim/units/Kr6Unit.h"
#include "sim/units/MainUnit.h"
#include "tests/platform/bus1394/UnitTestDriver.h"

namespace {

using namespace bus1394test;

class Async : public Machine {
 protected:
  void SetUp() override {
    Plug(main);
    dev = DeviceOf(main.Guid());
    ASSERT_NE(dev, nullptr);
  }
  sim::MainUnit main;
  UnitDevice* dev = nullptr;
};

TEST_F(Async, RegistersReadBigEndianAndWritesReachTheUnit) {
  uint32_t value = 0;
  ASSERT_EQ(ReadQuadlet(dev, 0x000, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, sim::MainUnit::kDefaultVersions.registerVersion);
  ASSERT_EQ(WriteQuadlet(dev, 0x204, 0x12345678), STATUS_SUCCESS);
  ASSERT_EQ(ReadQuadlet(dev, 0x204, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 0x12345678u);
  ASSERT_FALSE(main.WriteLog().empty());
  EXPECT_EQ(main.WriteLog().back().offset, 0x204u);
  EXPECT_EQ(main.WriteLog().back().value, 0x12345678u);
}

TEST_F(Async, RequestsCompleteLaterAtDispatchLevel) {
  IrbBuffer buffer(4);
  auto read = SendIrbAsync(dev, ReadIrb(0x000, buffer.mdl, 4, dev->generation));
  EXPECT_EQ(read->returned, STATUS_PENDING);
  EXPECT_FALSE(read->done);
  sched.RunFor(plat::kNsPerMs);
  ASSERT_TRUE(read->done);
  EXPECT_EQ(read->status, STATUS_SUCCESS);
  EXPECT_EQ(read->irql, DISPATCH_LEVEL);
  EXPECT_EQ(read->irb.u.AsyncRead.DestinationAddress.IA_Destination_ID.NA_Node_Number, dev->nodeNumber)
      << "the bus driver fills in the unit's node";
}

TEST_F(Async, BadRequestsAndBadAddressesAreAnsweredWithTheirStatus) {
  IrbBuffer small(2), quad(4);
  struct Case {
    const char* what;
    IRB irb;
    NTSTATUS status;
  };
  IRB unknown{};
  unknown.FunctionNumber = 2;  // lock transactions are not carried out
  IRB noMdl = ReadIrb(0x000, nullptr, 4, 0);
  const Case cases[] = {
      {"no MDL", noMdl, STATUS_INVALID_PARAMETER},
      {"no bytes", ReadIrb(0x000, quad.mdl, 0, 0), STATUS_INVALID_PARAMETER},
      {"MDL shorter than the request", ReadIrb(0x000, small.mdl, 4, 0), STATUS_INVALID_PARAMETER},
      {"unknown function", unknown, STATUS_NOT_IMPLEMENTED},
      {"no register there", ReadIrb(0x3FC, quad.mdl, 4, 0), STATUS_INVALID_ADDRESS},
      {"a read-write register", ReadIrb(0x200, quad.mdl, 4, 0), STATUS_SUCCESS},
      {"write to a read-only register", WriteIrb(0x000, quad.mdl, 4, 0), STATUS_INVALID_DEVICE_REQUEST},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    IRB irb = c.irb;
    if (irb.FunctionNumber <= REQUEST_ASYNC_WRITE) irb.u.AsyncRead.ulGeneration = dev->generation;
    EXPECT_EQ(SendIrb(dev, &irb), c.status);
  }
}

TEST_F(Async, AWriteLongerThanTheLargestPayloadGoesInPiecesAndFailsWhenAPieceFails) {
  IrbBuffer block(8192);
  for (ULONG i = 0; i < 8192; ++i) block.data[i] = static_cast<uint8_t>(i);
  main.ClearWriteLog();
  IRB irb = WriteIrb(0x8000, block.mdl, 8192, dev->generation);
  ASSERT_EQ(SendIrb(dev, &irb), STATUS_SUCCESS);
  ASSERT_EQ(main.WriteLog().size(), 4u);
  for (uint32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(main.WriteLog()[i].offset, 0x8000 + 2048 * i);
    EXPECT_EQ(main.WriteLog()[i].length, 2048u);
  }

  main.ClearWriteLog();
  bus.FailAsync(main.Guid(), sim::AsyncStatus::Busy);
  irb = WriteIrb(0x8000, block.mdl, 8192, dev->generation);
  EXPECT_EQ(SendIrb(dev, &irb), STATUS_DEVICE_BUSY);
  EXPECT_TRUE(main.WriteLog().empty()) << "nothing after the failed piece";

  irb = WriteIrb(0x8000, block.mdl, 8192, dev->generation);
  irb.u.AsyncWrite.nBlockSize = 1024;
  ASSERT_EQ(SendIrb(dev, &irb), STATUS_SUCCESS);
  EXPECT_EQ(main.WriteLog().size(), 8u) << "the caller's block size";
}

TEST_F(Async, NodeAddressesGenerationAndSpeedComeFromTheBusDriver) {
  EXPECT_EQ(dev->generation, bus.Generation());
  EXPECT_EQ(dev->nodeNumber, main.NodeId());
  EXPECT_EQ(dev->localNodeNumber, plat::Bus1394::Host().NodeId());
  IRB irb{};
  irb.FunctionNumber = REQUEST_GET_SPEED_BETWEEN_DEVICES;
  irb.u.GetMaxSpeedBetweenDevices.fulFlags = USE_LOCAL_NODE;
  irb.u.GetMaxSpeedBetweenDevices.ulNumberOfDestinations = 1;
  irb.u.GetMaxSpeedBetweenDevices.hDestinationDeviceObjects[0] = dev->pdo;
  ASSERT_EQ(SendIrb(dev, &irb), STATUS_SUCCESS);
  EXPECT_EQ(irb.u.GetMaxSpeedBetweenDevices.fulSpeed, SPEED_FLAGS_400);
  irb.u.GetMaxSpeedBetweenDevices.hDestinationDeviceObjects[0] = dev->self;
  EXPECT_EQ(SendIrb(dev, &irb), STATUS_INVALID_PARAMETER) << "not a unit of this bus";
}

TEST_F(Async, AResetMakesTheOldGenerationUnreachableAndIsAnnouncedAtDispatch) {
  sim::Kr6Unit kr6(5);
  Plug(kr6);
  UnitDevice* other = DeviceOf(kr6.Guid());
  ASSERT_NE(other, nullptr);
  Refresh(dev);
  const ULONG before = dev->generation;
  const ULONG resets = dev->resets;
  IrbBuffer buffer(4);
  auto inFlight = SendIrbAsync(dev, ReadIrb(0x000, buffer.mdl, 4, before));
  bus.Reset(sim::Bus::Renumber::Rotate);
  Settle();
  EXPECT_EQ(inFlight->status, STATUS_IO_DEVICE_ERROR_1394_DEPARTED) << "the reset overtook it";
  uint32_t value = 0;
  EXPECT_EQ(ReadQuadlet(dev, 0x000, &value), STATUS_IO_DEVICE_ERROR_1394_DEPARTED) << "stale generation";
  EXPECT_EQ(dev->resets, resets + 1);
  EXPECT_EQ(dev->resetIrql, DISPATCH_LEVEL);
  Refresh(dev);
  EXPECT_EQ(dev->generation, before + 1);
  EXPECT_EQ(dev->nodeNumber, main.NodeId());
  EXPECT_EQ(ReadQuadlet(dev, 0x000, &value), STATUS_SUCCESS);
  Unplug(kr6);
}

TEST_F(Async, AnUnreachableUnitAnswersWithTheDepartedStatus) {
  bus.SetReachable(main.Guid(), false);
  uint32_t value = 0;
  EXPECT_EQ(ReadQuadlet(dev, 0x000, &value), STATUS_IO_DEVICE_ERROR_1394_DEPARTED);
  bus.SetReachable(main.Guid(), true);
  EXPECT_EQ(ReadQuadlet(dev, 0x000, &value), STATUS_SUCCESS);
}

}  // namespace
