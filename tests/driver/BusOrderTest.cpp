// The order in which a unit's device sends its bus requests at start and at removal, as the bus
// driver logged them: the reset registration before plug-in, the stream resources taken and given
// back in their orders, the deregistration after everything else.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/bus1394/Bus1394.h"
#include "platform/kernel/include/wdm.h"
// after <wdm.h>, whose types it uses
#include <1394.h>
#include "platform/kernel/PnpManager.h"
#include "sim/units/Kr6Unit.h"
#include "sim/units/MainUnit.h"
#include "tests/driver/DriverRig.h"

namespace {

using drvtest::DriverRig;

constexpr size_t kLogCapacity = 1 << 16;
// The deregistration of the bus-reset routine, told apart from the registration.
constexpr ULONG kDeregistration = 0x100 | REQUEST_BUS_RESET_NOTIFICATION;

// The requests sent through the unit's PDO since the log started, as function numbers, keeping
// only those of `kept`.
std::vector<ULONG> RequestsOf(PDEVICE_OBJECT pdo, const std::vector<ULONG>& kept) {
  std::vector<ULONG> seen;
  for (const plat::BusRequestRecord& r : plat::Bus1394::RequestLog()) {
    if (r.device != pdo || std::find(kept.begin(), kept.end(), r.function) == kept.end()) continue;
    seen.push_back(r.function == REQUEST_BUS_RESET_NOTIFICATION && r.flags == DEREGISTER_NOTIFICATION_ROUTINE
                       ? kDeregistration
                       : r.function);
  }
  return seen;
}

TEST(BusOrder, AStartRegistersForResetsFirstThenPlugsInThenTakesEachStreamsBandwidthChannelAndResource) {
  DriverRig rig;
  sim::MainUnit main;
  plat::Bus1394::StartRequestLog(kLogCapacity);
  rig.Plug(main);
  ASSERT_TRUE(rig.DrainWork());
  plat::Bus1394::StopRequestLog();
  ASSERT_EQ(plat::Bus1394::RequestLogOverflow(), 0u);
  PDEVICE_OBJECT pdo = rig.PdoOf(main);
  const std::vector<ULONG> first = RequestsOf(pdo, {REQUEST_BUS_RESET_NOTIFICATION, REQUEST_ASYNC_READ});
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(first.front(), ULONG{REQUEST_BUS_RESET_NOTIFICATION}) << "registered before plug-in reads the unit";
  EXPECT_EQ(RequestsOf(pdo, {REQUEST_ISOCH_ALLOCATE_BANDWIDTH, REQUEST_ISOCH_ALLOCATE_CHANNEL,
                             REQUEST_ISOCH_ALLOCATE_RESOURCES, REQUEST_ISOCH_LISTEN, REQUEST_ISOCH_TALK}),
            (std::vector<ULONG>{REQUEST_ISOCH_ALLOCATE_BANDWIDTH, REQUEST_ISOCH_ALLOCATE_CHANNEL,
                                REQUEST_ISOCH_ALLOCATE_RESOURCES, REQUEST_ISOCH_ALLOCATE_BANDWIDTH,
                                REQUEST_ISOCH_ALLOCATE_CHANNEL, REQUEST_ISOCH_ALLOCATE_RESOURCES, REQUEST_ISOCH_LISTEN,
                                REQUEST_ISOCH_TALK}))
      << "record, then playback, then both started";
  // Every request of the start carries the generation the bus driver answered from.
  for (const plat::BusRequestRecord& r : plat::Bus1394::RequestLog()) EXPECT_EQ(r.generation, rig.bus.Generation());
}

struct RemovalCase {
  const char* name;
  bool pulled;
};

TEST(BusOrder, ARemovalStopsTheStreamsGivesBackResourceChannelAndBandwidthAndDeregistersLast) {
  for (const RemovalCase c : {RemovalCase{"orderly removal", false}, RemovalCase{"pulled out", true}}) {
    SCOPED_TRACE(c.name);
    DriverRig rig;
    sim::MainUnit main;
    rig.Plug(main);
    ASSERT_TRUE(rig.DrainWork());
    rig.Quiesce();
    PDEVICE_OBJECT pdo = rig.PdoOf(main);
    plat::Bus1394::StartRequestLog(kLogCapacity);
    if (c.pulled) {
      rig.Unplug(main);
    } else {
      ASSERT_TRUE(plat::PnpQueryRemoveAndRemove(pdo));
      rig.Settle();
    }
    plat::Bus1394::StopRequestLog();
    const std::vector<ULONG> frees =
        RequestsOf(pdo, {REQUEST_ISOCH_STOP, REQUEST_ISOCH_FREE_RESOURCES, REQUEST_ISOCH_FREE_CHANNEL,
                         REQUEST_ISOCH_FREE_BANDWIDTH, REQUEST_FREE_ADDRESS_RANGE, REQUEST_BUS_RESET_NOTIFICATION});
    EXPECT_EQ(frees, (std::vector<ULONG>{REQUEST_ISOCH_STOP, REQUEST_ISOCH_STOP, REQUEST_ISOCH_FREE_RESOURCES,
                                         REQUEST_ISOCH_FREE_CHANNEL, REQUEST_ISOCH_FREE_BANDWIDTH,
                                         REQUEST_ISOCH_FREE_RESOURCES, REQUEST_ISOCH_FREE_CHANNEL,
                                         REQUEST_ISOCH_FREE_BANDWIDTH, REQUEST_FREE_ADDRESS_RANGE, kDeregistration}))
        << "the main unit has its MIDI window only";
    const std::vector<plat::BusRequestRecord>& log = plat::Bus1394::RequestLog();
    auto last = std::find_if(log.rbegin(), log.rend(), [pdo](const plat::BusRequestRecord& r) { return r.device == pdo; });
    ASSERT_NE(last, log.rend());
    EXPECT_EQ(last->function, ULONG{REQUEST_BUS_RESET_NOTIFICATION}) << "nothing after the deregistration";
    EXPECT_EQ(last->flags, ULONG{DEREGISTER_NOTIFICATION_ROUTINE});
  }
}

// Logging takes no pool once started, and a full log counts what it could not keep.
TEST(BusOrder, TheRequestLogAllocatesNothingAndCountsWhatDidNotFit) {
  DriverRig rig;
  sim::Kr6Unit kr6(4);
  plat::Bus1394::StartRequestLog(8);
  rig.Plug(kr6);
  EXPECT_EQ(plat::Bus1394::RequestLog().size(), 8u);
  EXPECT_GT(plat::Bus1394::RequestLogOverflow(), 0u);
  EXPECT_EQ(plat::Bus1394::RequestLog().capacity(), 8u);
  plat::Bus1394::StopRequestLog();
  const uint64_t overflow = plat::Bus1394::RequestLogOverflow();
  rig.bus.Reset();
  rig.Settle();
  EXPECT_EQ(plat::Bus1394::RequestLogOverflow(), overflow) << "off once stopped";
}

}  // namespace
