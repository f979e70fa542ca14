// The Windows side of the isochronous streams on the bus driver: allocation and what it gives
// back when the bus has no channel left, the lists handed to the bus at a start, a stop that takes
// every list back without the engine seeing it, and the bounded idle wait.
#include <gtest/gtest.h>

#include <string>

#include "platform/bus1394/Bus1394.h"
#include "tests/driver/WinDeviceRig.h"

namespace {

using drivertest::WinDeviceRig;

class IsochResources : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(win.HandlePlugIn(), 0);
    rig.Run();
    bandwidth = rig.bus.BandwidthAvailable();
    ASSERT_EQ(win.AllocateIsochStreamObject(&record, 0), 0);
    ASSERT_EQ(win.AllocateIsochStreamObject(&playback, 1), 0);
  }
  void TearDown() override {
    win.FreeIsochStream(record, 0);
    win.FreeIsochStream(playback, 1);
    win.FreeIsochStreamObject(record);
    win.FreeIsochStreamObject(playback);
    rig.Run();
    EXPECT_EQ(rig.bus.BandwidthAvailable(), bandwidth);
    EXPECT_EQ(rig.RequestCount(), 1) << "every list gave its request back";
    win.HandleUnPlug();
  }
  bool LogHas(const std::string& text) const {
    for (const std::string& line : win.log)
      if (line.rfind(text, 0) == 0) return true;
    return false;
  }

  sim::MainUnit unit;
  WinDeviceRig rig{unit};
  drivertest::TestUnit& win = *rig.win;
  uint32_t bandwidth = 0;
  PlatformHandle record = nullptr;
  PlatformHandle playback = nullptr;
};

TEST_F(IsochResources, AllocatingAnAllocatedStreamAsksTheBusNothing) {
  ASSERT_EQ(win.AllocateIsochStream(record, 0), 0);
  EXPECT_LT(rig.bus.BandwidthAvailable(), bandwidth);
  const uint64_t asked = plat::Bus1394::Counters().requests[REQUEST_ISOCH_ALLOCATE_BANDWIDTH];
  EXPECT_EQ(win.AllocateIsochStream(record, 0), 0);
  EXPECT_EQ(plat::Bus1394::Counters().requests[REQUEST_ISOCH_ALLOCATE_BANDWIDTH], asked);
}

TEST_F(IsochResources, WithoutAFreeChannelTheBandwidthGoesBackAndTheResultIs99) {
  while (plat::Bus1394::Host().AllocateChannel()) {
  }
  EXPECT_EQ(win.AllocateIsochStream(record, 0), 99);
  EXPECT_TRUE(LogHas("   *** Failed isoch channel allocation "));
  EXPECT_EQ(rig.bus.BandwidthAvailable(), bandwidth);
  EXPECT_EQ(win.Stream(0), nullptr);
  for (uint32_t c = 0; c < 64; ++c) plat::Bus1394::Host().FreeChannel(c);
}

// A list goes to the bus with the engine's packet count, its routine on its last descriptor, and
// playback packets no longer than their slot.
TEST_F(IsochResources, AStartHandsEachListItsPacketCountAndBoundsThePlaybackLengths) {
  ASSERT_EQ(win.AllocateIsochStream(record, 0), 0);
  ASSERT_EQ(win.AllocateIsochStream(playback, 1), 0);
  win.SetListPackets(100);
  for (uint32_t j = 0; j < 100; ++j) win.PlaybackLengthsA()[j] = 8;
  win.PlaybackLengthsA()[0] = 5000;
  ASSERT_EQ(win.StartIsochStreams(), 0);
  for (uint32_t direction : {0u, 1u}) {
    PISOCH_DESCRIPTOR list = win.Stream(direction)->mListA;
    EXPECT_EQ(list[0].DeviceReserved[kListCount], 100u);
    EXPECT_NE(list[99].Callback, nullptr);
    EXPECT_EQ(list[411].Callback, nullptr);
  }
  EXPECT_EQ(win.Stream(1)->mListA[0].ulLength, QX531Device::kPlaybackSlotPitch);
  EXPECT_EQ(win.Stream(1)->mListA[1].ulLength, 8u);
  for (uint32_t which = 0; which < 4; ++which) EXPECT_EQ(win.ListBusy()[which], 1) << which;

  // Stopped before the start cycle came: every list comes back taken back, none reaches the engine.
  win.StopIsochStreams();
  win.WaitIsochIdle();
  for (uint32_t which = 0; which < 4; ++which) {
    EXPECT_EQ(win.ListBusy()[which], 0) << which;
    EXPECT_EQ(win.CompletionCounts()[which], 0u) << which;
  }
}

// Each list has its own record, made with the stream: a list attached while it is still out, or
// a list the stream has no record for, is refused at once and the lists that are out come back
// as before.
TEST_F(IsochResources, AListStillOutOrAForeignListIsRefusedAndTheStreamStopsAsBefore) {
  ASSERT_EQ(win.AllocateIsochStream(record, 0), 0);
  ASSERT_EQ(win.AllocateIsochStream(playback, 1), 0);
  win.SetListPackets(100);
  ASSERT_EQ(win.StartIsochStreams(), 0);
  IsochStream* stream = win.Stream(0);
  EXPECT_EQ(stream->AttachIsochBuffers(stream->mListA), STATUS_DEVICE_BUSY);
  ISOCH_DESCRIPTOR foreign[1] = {};
  foreign[0].DeviceReserved[kListCount] = 1;
  EXPECT_EQ(stream->AttachIsochBuffers(foreign), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(stream->mListA[99].Context1, stream);

  EXPECT_EQ(win.StopIsochStreams(), 0);
  win.WaitIsochIdle();
  for (uint32_t which = 0; which < 4; ++which) EXPECT_EQ(win.ListBusy()[which], 0) << which;
  EXPECT_EQ(plat::Bus1394::Counters().requests[REQUEST_ISOCH_ATTACH_BUFFERS],
            plat::Bus1394::Counters().requests[REQUEST_ISOCH_DETACH_BUFFERS]);
}

TEST_F(IsochResources, TheIdleWaitGivesUpAfter50StallsOf5Ms) {
  win.ListBusy()[2] = 1;
  const plat::VTime start = rig.sched.Now();
  EXPECT_EQ(win.WaitIsochIdle(), 0);
  EXPECT_EQ(rig.sched.Now() - start, 250 * plat::kNsPerMs);
  win.ListBusy()[2] = 0;
}

}  // namespace
