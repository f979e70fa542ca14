// Isochronous bandwidth, channels, resources and descriptor lists through the bus driver.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "sim/units/MainUnit.h"
#include "tests/platform/bus1394/DescriptorList.h"
#include "tests/platform/bus1394/UnitTestDriver.h"
#include "tests/sim/units/UnitHarness.h"

namespace {

using namespace bus1394test;
using plat::kNsPerCycle;

using bus1394test::DescriptorList;

constexpr ULONG kListenFlags = RESOURCE_USE_PACKET_BASED | RESOURCE_SYNCH_ON_TIME | RESOURCE_USED_IN_LISTENING;
constexpr ULONG kTalkFlags = RESOURCE_USE_PACKET_BASED | RESOURCE_SYNCH_ON_TIME | RESOURCE_USED_IN_TALKING;
// A node that sends what the test tells it to.
struct Talker : sim::Node {
  Talker() : Node(0x7A7) {}
};

class Isoch : public Machine {
 protected:
  void SetUp() override {
    gListOrder = 0;
    Plug(main);
    dev = DeviceOf(main.Guid());
    ASSERT_NE(dev, nullptr);
  }

  NTSTATUS Send(IRB& irb) { return SendIrb(dev, &irb); }
  ULONG Channel(ULONG wanted = ISOCH_ANY_CHANNEL) {
    IRB irb{};
    irb.FunctionNumber = REQUEST_ISOCH_ALLOCATE_CHANNEL;
    irb.u.IsochAllocateChannel.nRequestedChannel = wanted;
    EXPECT_EQ(Send(irb), STATUS_SUCCESS);
    return irb.u.IsochAllocateChannel.Channel;
  }
  NTSTATUS FreeChannel(ULONG channel) {
    IRB irb{};
    irb.FunctionNumber = REQUEST_ISOCH_FREE_CHANNEL;
    irb.u.IsochFreeChannel.nChannel = channel;
    return Send(irb);
  }
  HANDLE Resource(ULONG flags, ULONG channel, NTSTATUS expect = STATUS_SUCCESS) {
    IRB irb{};
    irb.FunctionNumber = REQUEST_ISOCH_ALLOCATE_RESOURCES;
    irb.u.IsochAllocateResources.fulSpeed = SPEED_FLAGS_400;
    irb.u.IsochAllocateResources.fulFlags = flags;
    irb.u.IsochAllocateResources.nChannel = channel;
    irb.u.IsochAllocateResources.nMaxBytesPerFrame = 1220;
    irb.u.IsochAllocateResources.nNumberOfBuffers = 16;
    irb.u.IsochAllocateResources.nMaxBufferSize = 1220;
    EXPECT_EQ(Send(irb), expect);
    return irb.u.IsochAllocateResources.hResource;
  }
  NTSTATUS FreeResource(HANDLE resource) {
    IRB irb{};
    irb.FunctionNumber = REQUEST_ISOCH_FREE_RESOURCES;
    irb.u.IsochFreeResources.hResource = resource;
    return Send(irb);
  }
  NTSTATUS Buffers(ULONG function, HANDLE resource, DescriptorList& list, ULONG count = 0) {
    IRB irb{};
    irb.FunctionNumber = function;
    irb.u.IsochAttachBuffers.hResource = resource;
    irb.u.IsochAttachBuffers.nNumberOfDescriptors = count != 0 ? count : static_cast<ULONG>(list.d.size());
    irb.u.IsochAttachBuffers.pIsochDescriptor = list.d.data();
    return Send(irb);
  }
  NTSTATUS Attach(HANDLE resource, DescriptorList& list) { return Buffers(REQUEST_ISOCH_ATTACH_BUFFERS, resource, list); }
  NTSTATUS Detach(HANDLE resource, DescriptorList& list) { return Buffers(REQUEST_ISOCH_DETACH_BUFFERS, resource, list); }
  NTSTATUS Start(ULONG function, HANDLE resource, uint32_t startWord = 0) {
    IRB irb{};
    irb.FunctionNumber = function;
    irb.u.IsochListen.hResource = resource;
    std::memcpy(&irb.u.IsochListen.StartTime, &startWord, 4);
    return Send(irb);
  }
  uint32_t CycleTime() {
    IRB irb{};
    irb.FunctionNumber = REQUEST_ISOCH_QUERY_CYCLE_TIME;
    EXPECT_EQ(Send(irb), STATUS_SUCCESS);
    uint32_t word;
    std::memcpy(&word, &irb.u.IsochQueryCycleTime.CycleTime, 4);
    return word;
  }
  // Sends one packet from the talker node in each of the next cycles.
  void TalkerSends(Talker& talker, ULONG channel, const std::vector<std::vector<uint8_t>>& packets, uint8_t tag = 1) {
    for (const auto& p : packets) {
      sched.RunFor(kNsPerCycle);
      bus.Transmit(talker, channel, p, tag);
    }
    sched.RunFor(kNsPerCycle);
  }

  sim::MainUnit main;
  UnitDevice* dev = nullptr;
};

TEST_F(Isoch, ReceivedPacketsLandAsTimeStampHeaderAndPayloadAndTheLastCallbackRunsAtDispatch) {
  const ULONG channel = Channel();
  HANDLE resource = Resource(kListenFlags, channel);
  DescriptorList list(4, 1220);
  list.d[0].fulFlags = DESCRIPTOR_TIME_STAMP_ON_COMPLETION | DESCRIPTOR_SYNCH_ON_TAG;
  ASSERT_EQ(Attach(resource, list), STATUS_SUCCESS);
  ASSERT_EQ(Start(REQUEST_ISOCH_LISTEN, resource), STATUS_SUCCESS);
  // The unit sends an empty CIP packet every cycle once its record stream is on.
  ASSERT_EQ(WriteQuadlet(dev, 0x200, channel), STATUS_SUCCESS);
  ASSERT_EQ(WriteQuadlet(dev, 0x208, 1), STATUS_SUCCESS);
  sched.RunFor(6 * kNsPerCycle);
  ASSERT_EQ(list.callbacks, 1);
  EXPECT_EQ(list.irql, DISPATCH_LEVEL);
  uint32_t first = list.Le32(0, 0) & 0x1FFF;
  for (ULONG j = 0; j < 4; ++j) {
    SCOPED_TRACE(j);
    EXPECT_EQ(list.Le32(j, 0) & 0x1FFF, (first + j) % 8000) << "one packet per descriptor, cycle after cycle";
    EXPECT_EQ(list.Le32(j, 4), sim::IsoHeader(8, channel));
    EXPECT_EQ(Be32(list.Slot(j) + 12), sim::MainUnit::kSecondCipQuadlet);
    EXPECT_EQ(list.d[j].status, STATUS_SUCCESS);
  }
  uint32_t stamped;
  std::memcpy(&stamped, &list.d[0].CycleTime, 4);
  EXPECT_EQ(stamped >> 12 & 0x1FFF, first);
  ASSERT_EQ(WriteQuadlet(dev, 0x208, 0), STATUS_SUCCESS);
  EXPECT_EQ(Start(REQUEST_ISOCH_STOP, resource), STATUS_SUCCESS);
  EXPECT_EQ(Detach(resource, list), STATUS_SUCCESS);
  EXPECT_EQ(FreeResource(resource), STATUS_SUCCESS);
  EXPECT_EQ(FreeChannel(channel), STATUS_SUCCESS);
}

TEST_F(Isoch, ListsAreUsedInAttachOrderAndAnOversizePacketUsesUpOnlyItsDescriptor) {
  Talker talker;
  Plug(talker);
  HANDLE resource = Resource(kListenFlags, 9);
  DescriptorList a(3, 64), b(2, 64);
  a.d[1].ulLength = 12;  // room for the time stamp, the header and 4 bytes
  ASSERT_EQ(Attach(resource, a), STATUS_SUCCESS);
  ASSERT_EQ(Attach(resource, b), STATUS_SUCCESS);
  ASSERT_EQ(Start(REQUEST_ISOCH_LISTEN, resource), STATUS_SUCCESS);
  std::vector<std::vector<uint8_t>> packets;
  for (uint8_t i = 1; i <= 5; ++i) packets.push_back(std::vector<uint8_t>(8, i));
  TalkerSends(talker, 9, packets);
  EXPECT_EQ(a.callbacks, 1);
  EXPECT_EQ(b.callbacks, 1);
  EXPECT_LT(a.order, b.order);
  const uint8_t firsts[] = {a.Slot(0)[8], a.Slot(1)[8], a.Slot(2)[8], b.Slot(0)[8], b.Slot(1)[8]};
  EXPECT_EQ(std::vector<uint8_t>(std::begin(firsts), std::end(firsts)), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(a.d[1].status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(a.Le32(1, 4) >> 16, 8u) << "the header still tells the packet's length";
  EXPECT_EQ(a.d[2].status, STATUS_SUCCESS);
  EXPECT_EQ(plat::Bus1394::Counters().isochPacketsOversize, 1u);
  Start(REQUEST_ISOCH_STOP, resource);
  EXPECT_EQ(Detach(resource, a), STATUS_SUCCESS);
  EXPECT_EQ(Detach(resource, b), STATUS_SUCCESS);
  EXPECT_EQ(FreeResource(resource), STATUS_SUCCESS);
  Unplug(talker);
}

TEST_F(Isoch, ADescriptorSynchronisedOnTagTakesOnlyPacketsOfItsTag) {
  Talker talker;
  Plug(talker);
  HANDLE resource = Resource(kListenFlags, 9);
  DescriptorList list(1, 64);
  list.d[0].fulFlags = DESCRIPTOR_SYNCH_ON_TAG;
  ASSERT_EQ(Attach(resource, list), STATUS_SUCCESS);
  ASSERT_EQ(Start(REQUEST_ISOCH_LISTEN, resource), STATUS_SUCCESS);
  std::vector<uint8_t> packet(8, 0x77);
  TalkerSends(talker, 9, {packet, packet}, 0);
  EXPECT_EQ(list.callbacks, 0);
  EXPECT_EQ(plat::Bus1394::Counters().isochPacketsFiltered, 2u);
  TalkerSends(talker, 9, {packet}, 1);
  EXPECT_EQ(list.callbacks, 1);
  EXPECT_EQ(list.Slot(0)[8], 0x77);
  Start(REQUEST_ISOCH_STOP, resource);
  Detach(resource, list);
  EXPECT_EQ(FreeResource(resource), STATUS_SUCCESS);
  Unplug(talker);
}

TEST_F(Isoch, PlaybackDescriptorsAreReadWhenTheirCycleComesStartingAtTheCycleTimeWrittenAfterAttach) {
  const ULONG channel = Channel();
  simtest::Tap tap(bus, channel);
  Settle();
  HANDLE resource = Resource(kTalkFlags, channel);
  DescriptorList list(4, 1088);
  for (ULONG j = 0; j < 4; ++j) list.d[j].ulLength = 8;
  ASSERT_EQ(Attach(resource, list), STATUS_SUCCESS);
  ASSERT_EQ(Start(REQUEST_ISOCH_TALK, resource), STATUS_SUCCESS);
  // Schedule cells and packets written after the list went to the bus driver.
  const uint32_t start = sim::CycleTimeWord(bus.CurrentCycle() + 40);
  list.SetCycleTime(0, start);
  for (ULONG j = 0; j < 4; ++j) PutBe32(list.Slot(j), 0x3F020000u | j);
  list.d[3].ulLength = 12;
  sched.RunFor(60 * kNsPerCycle);
  ASSERT_EQ(tap.packets.size(), 4u);
  for (ULONG j = 0; j < 4; ++j) {
    SCOPED_TRACE(j);
    EXPECT_EQ(sim::CycleTimeWord(tap.packets[j].cycle), start + (j << 12));
    EXPECT_EQ(Be32(tap.packets[j].payload.data()), 0x3F020000u | j);
    EXPECT_EQ(tap.packets[j].header >> 14 & 3, 1u) << "the descriptor's tag";
  }
  EXPECT_EQ(tap.packets[3].payload.size(), 12u);
  EXPECT_EQ(list.callbacks, 1);
  EXPECT_EQ(Start(REQUEST_ISOCH_STOP, resource), STATUS_SUCCESS);
  EXPECT_EQ(Detach(resource, list), STATUS_SUCCESS);
  EXPECT_EQ(FreeResource(resource), STATUS_SUCCESS);
  EXPECT_EQ(FreeChannel(channel), STATUS_SUCCESS);
  tap.packets.clear();
}

TEST_F(Isoch, ADetachedListIsNeverTouchedAndAStoppedResourceKeepsItsListsForDetaching) {
  Talker talker;
  Plug(talker);
  HANDLE resource = Resource(kListenFlags, 9);
  DescriptorList first(2, 64), second(2, 64);
  ASSERT_EQ(Attach(resource, first), STATUS_SUCCESS);
  ASSERT_EQ(Attach(resource, second), STATUS_SUCCESS);
  ASSERT_EQ(Start(REQUEST_ISOCH_LISTEN, resource), STATUS_SUCCESS);
  auto detach = SendIrbAsync(dev, [&] {
    IRB irb{};
    irb.FunctionNumber = REQUEST_ISOCH_DETACH_BUFFERS;
    irb.u.IsochDetachBuffers.hResource = resource;
    irb.u.IsochDetachBuffers.nNumberOfDescriptors = 2;
    irb.u.IsochDetachBuffers.pIsochDescriptor = first.d.data();
    return irb;
  }());
  EXPECT_EQ(detach->returned, STATUS_PENDING);
  sched.RunUntilIdle();
  EXPECT_EQ(detach->status, STATUS_SUCCESS);
  EXPECT_EQ(detach->irql, DISPATCH_LEVEL);
  std::vector<uint8_t> packet(8, 0x55);
  TalkerSends(talker, 9, {packet});
  EXPECT_EQ(first.Slot(0)[8], 0) << "the detached list is the caller's again";
  EXPECT_EQ(second.Slot(0)[8], 0x55);
  EXPECT_EQ(Detach(resource, first), STATUS_INVALID_PARAMETER) << "not attached";
  ASSERT_EQ(Start(REQUEST_ISOCH_STOP, resource), STATUS_SUCCESS);
  TalkerSends(talker, 9, {packet, packet});
  EXPECT_EQ(second.callbacks, 0) << "a stopped resource uses no descriptor";
  EXPECT_EQ(FreeResource(resource), STATUS_INVALID_DEVICE_STATE) << "a list is still attached";
  EXPECT_EQ(Detach(resource, second), STATUS_SUCCESS);
  EXPECT_EQ(FreeResource(resource), STATUS_SUCCESS);
  Unplug(talker);
}

TEST_F(Isoch, TheControllerRunsOutOfContextsAndAnswersNoResources) {
  plat::Bus1394::SetIsochContexts(1, 2);
  HANDLE talk = Resource(kTalkFlags, 3);
  Resource(kTalkFlags, 4, STATUS_INSUFFICIENT_RESOURCES);
  HANDLE listen1 = Resource(kListenFlags, 5);
  HANDLE listen2 = Resource(kListenFlags, 6);
  Resource(kListenFlags, 7, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(FreeResource(talk), STATUS_SUCCESS);
  HANDLE again = Resource(kTalkFlags, 4);
  for (HANDLE r : {again, listen1, listen2}) EXPECT_EQ(FreeResource(r), STATUS_SUCCESS);
  EXPECT_EQ(FreeResource(talk), STATUS_INVALID_PARAMETER) << "freed before";
}

TEST_F(Isoch, BandwidthAndChannelsAreTakenOnTheBusAndGivenBack) {
  const uint32_t before = bus.BandwidthAvailable();
  IRB irb{};
  irb.FunctionNumber = REQUEST_ISOCH_ALLOCATE_BANDWIDTH;
  irb.u.IsochAllocateBandwidth.nMaxBytesPerFrameRequested = 1220;
  irb.u.IsochAllocateBandwidth.fulSpeed = SPEED_FLAGS_400;
  ASSERT_EQ(Send(irb), STATUS_SUCCESS);
  HANDLE bandwidth = irb.u.IsochAllocateBandwidth.hBandwidth;
  EXPECT_NE(bandwidth, nullptr);
  EXPECT_EQ(irb.u.IsochAllocateBandwidth.SpeedSelected, SPEED_FLAGS_400);
  EXPECT_EQ(bus.BandwidthAvailable(), before - irb.u.IsochAllocateBandwidth.nBandwidthUnitsRequired);
  const ULONG channel = Channel(12);
  EXPECT_EQ(channel, 12u);
  EXPECT_TRUE(bus.ChannelAllocated(12));
  irb = IRB{};
  irb.FunctionNumber = REQUEST_ISOCH_ALLOCATE_CHANNEL;
  irb.u.IsochAllocateChannel.nRequestedChannel = 12;
  EXPECT_EQ(Send(irb), STATUS_INSUFFICIENT_RESOURCES) << "taken";
  irb.u.IsochAllocateChannel.nRequestedChannel = ISOCH_ANY_CHANNEL;
  ASSERT_EQ(Send(irb), STATUS_SUCCESS);
  EXPECT_EQ(irb.u.IsochAllocateChannel.ChannelsAvailable.QuadPart & (1ll << 12), 0);
  EXPECT_EQ(FreeChannel(irb.u.IsochAllocateChannel.Channel), STATUS_SUCCESS);
  EXPECT_EQ(FreeChannel(channel), STATUS_SUCCESS);
  EXPECT_EQ(FreeChannel(channel), STATUS_INVALID_PARAMETER);
  irb = IRB{};
  irb.FunctionNumber = REQUEST_ISOCH_FREE_BANDWIDTH;
  irb.u.IsochFreeBandwidth.hBandwidth = bandwidth;
  EXPECT_EQ(Send(irb), STATUS_SUCCESS);
  EXPECT_EQ(Send(irb), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(bus.BandwidthAvailable(), before);
}

// The list keeps its cycles through the reset: the packets of the cycles the reset took are lost.
TEST_F(Isoch, AcrossAResetChannelsAndBandwidthStayAndTheListGoesOnAfterTheLostCycles) {
  bus.SetResetCycles(8);
  const ULONG channel = Channel();
  simtest::Tap tap(bus, channel);
  Settle();
  IRB irb{};
  irb.FunctionNumber = REQUEST_ISOCH_ALLOCATE_BANDWIDTH;
  irb.u.IsochAllocateBandwidth.nMaxBytesPerFrameRequested = 1088;
  irb.u.IsochAllocateBandwidth.fulSpeed = SPEED_FLAGS_400;
  ASSERT_EQ(Send(irb), STATUS_SUCCESS);
  const uint32_t available = bus.BandwidthAvailable();
  HANDLE resource = Resource(kTalkFlags, channel);
  DescriptorList list(40, 1088);
  for (auto& d : list.d) d.ulLength = 8;
  list.SetCycleTime(0, sim::CycleTimeWord(bus.CurrentCycle() + 10));
  ASSERT_EQ(Attach(resource, list), STATUS_SUCCESS);
  ASSERT_EQ(Start(REQUEST_ISOCH_TALK, resource), STATUS_SUCCESS);
  sched.RunFor(30 * kNsPerCycle);
  bus.Reset();
  sched.RunFor(40 * kNsPerCycle);
  EXPECT_TRUE(bus.ChannelAllocated(channel));
  EXPECT_EQ(bus.BandwidthAvailable(), available);
  ASSERT_EQ(tap.packets.size(), 32u);
  uint64_t gaps = 0;
  for (size_t i = 1; i < tap.packets.size(); ++i) gaps += tap.packets[i].cycle - tap.packets[i - 1].cycle - 1;
  EXPECT_EQ(gaps, 8u) << "the reset's cycles carry nothing";
  EXPECT_EQ(tap.packets.back().cycle - tap.packets.front().cycle, 39u) << "the list's last packet keeps its cycle";
  EXPECT_EQ(list.callbacks, 1);
  Start(REQUEST_ISOCH_STOP, resource);
  Detach(resource, list);
  EXPECT_EQ(FreeResource(resource), STATUS_SUCCESS);
  EXPECT_EQ(FreeChannel(channel), STATUS_SUCCESS);
  irb.FunctionNumber = REQUEST_ISOCH_FREE_BANDWIDTH;
  irb.u.IsochFreeBandwidth.hBandwidth = irb.u.IsochAllocateBandwidth.hBandwidth;
  EXPECT_EQ(Send(irb), STATUS_SUCCESS);
}

TEST_F(Isoch, AtTheUnitsRemovalItsAttachedListsComeBackCancelled) {
  HANDLE resource = Resource(kListenFlags, 9);
  DescriptorList list(3, 64);
  ASSERT_EQ(Attach(resource, list), STATUS_SUCCESS);
  ASSERT_EQ(Start(REQUEST_ISOCH_LISTEN, resource), STATUS_SUCCESS);
  int callbacksAtRemoval = -1;
  dev->onRemove = [&](UnitDevice* d) {
    callbacksAtRemoval = list.callbacks;
    IRB irb{};
    irb.FunctionNumber = REQUEST_ISOCH_DETACH_BUFFERS;
    irb.u.IsochDetachBuffers.hResource = resource;
    irb.u.IsochDetachBuffers.nNumberOfDescriptors = 3;
    irb.u.IsochDetachBuffers.pIsochDescriptor = list.d.data();
    EXPECT_EQ(SendIrb(d, &irb), STATUS_SUCCESS);
    irb = IRB{};
    irb.FunctionNumber = REQUEST_ISOCH_FREE_RESOURCES;
    irb.u.IsochFreeResources.hResource = resource;
    EXPECT_EQ(SendIrb(d, &irb), STATUS_SUCCESS);
  };
  Unplug(main);
  EXPECT_EQ(callbacksAtRemoval, 1) << "handed back at the surprise removal";
  for (const auto& d : list.d) EXPECT_EQ(d.status, STATUS_CANCELLED);
}

}  // namespace
