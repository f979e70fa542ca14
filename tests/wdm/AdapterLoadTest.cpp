// The audio adapter through plug and play: it loads on the main unit's child and on an expansion
// unit's, registers the subdevices of each with their interfaces and physical connections, binds
// to the unit driver, passes MIDI both ways, and leaves nothing behind at removal, whether the
// unit goes or only the child is removed.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "platform/kernel/ObjectManager.h"
#include "platform/kernel/PnpManager.h"
#include "platform/kernel/Pool.h"
#include "platform/portcls/include/ks.h"
#include "sim/units/Kr6Unit.h"
#include "sim/units/MainUnit.h"
#include "tests/wdm/WdmRig.h"

namespace {

using wdmtest::WdmRig;

const std::vector<std::u16string> kMainSubdevices = {
    u"Midi1",  u"Midi2",  u"Midi3",  u"Midi4",  u"MidiC",  u"MidiVP1", u"MidiVP2", u"WaveA1", u"WaveA2",
    u"WaveA3", u"WaveA4", u"WaveB1", u"WaveB2", u"WaveB3", u"WaveB4",  u"WaveC1",  u"Topology"};

bool Has(const std::vector<GUID>& v, const GUID& g) { return std::find(v.begin(), v.end(), g) != v.end(); }

TEST(AdapterLoad, MainUnitRegistersSevenMidiNineWaveAndTheTopologyWithTheirConnections) {
  WdmRig rig;
  sim::MainUnit main;
  rig.Plug(main);
  EXPECT_EQ(rig.SubdeviceNames(main), kMainSubdevices);
  for (const plat::PcSubdeviceInfo& s : plat::PcSubdevices(rig.ChildOf(main))) {
    SCOPED_TRACE(std::string(s.name.begin(), s.name.end()));
    EXPECT_TRUE(Has(s.categories, KSCATEGORY_AUDIO));
    const bool topology = s.name == u"Topology";
    EXPECT_EQ(Has(s.categories, KSCATEGORY_TOPOLOGY), topology);
    EXPECT_EQ(Has(s.categories, KSCATEGORY_RENDER), !topology);
    EXPECT_EQ(Has(s.categories, KSCATEGORY_CAPTURE), !topology);
    for (const std::u16string& link : s.links) EXPECT_TRUE(link.ends_with(u"\\" + s.name)) << "reference string";
  }
  const std::vector<plat::PcConnectionInfo> connections = plat::PcPhysicalConnections(rig.ChildOf(main));
  ASSERT_EQ(connections.size(), 18u);
  for (ULONG pair = 0; pair < 9; ++pair) {
    const std::u16string wave = kMainSubdevices[7 + pair];
    const plat::PcConnectionInfo& in = connections[2 * pair];
    const plat::PcConnectionInfo& out = connections[2 * pair + 1];
    EXPECT_TRUE(in.from == u"Topology" && in.fromPin == 19 + 2 * pair && in.to == wave && in.toPin == 1) << pair;
    EXPECT_TRUE(out.from == wave && out.fromPin == 3 && out.to == u"Topology" && out.toPin == 2 * pair) << pair;
  }
  EXPECT_NE(plat::ObLookupName(u"\\Device\\QX5310Wdm0"), nullptr) << "the adapter's own named device";
}

TEST(AdapterLoad, ExpansionUnitRegistersOnlyMidiKR6) {
  WdmRig rig;
  sim::MainUnit main;
  sim::Kr6Unit kr6(7);
  rig.Plug(main);
  rig.Plug(kr6);
  EXPECT_EQ(rig.SubdeviceNames(kr6), std::vector<std::u16string>{u"MidiKR6"});
  EXPECT_TRUE(plat::PcPhysicalConnections(rig.ChildOf(kr6)).empty());
  EXPECT_NE(plat::ObLookupName(u"\\Device\\QX5310Wdm1"), nullptr);
  rig.Unplug(kr6);
  EXPECT_EQ(plat::ObLookupName(u"\\Device\\QX5310Wdm1"), nullptr) << "gone with its unit";
  EXPECT_EQ(rig.SubdeviceNames(main), kMainSubdevices);
}

TEST(AdapterLoad, RemovingOnlyTheChildTearsTheAdapterDownAndLeavesTheChildsStackWhole) {
  WdmRig rig;
  sim::MainUnit main;
  rig.Plug(main);
  PDEVICE_OBJECT child = rig.ChildOf(main);
  ASSERT_NE(child, nullptr);
  ASSERT_TRUE(plat::PnpQueryRemoveAndRemove(child));
  rig.Settle();
  EXPECT_EQ(plat::ObLookupName(u"\\Device\\QX5310Wdm0"), nullptr) << "the named device goes at removal";
  EXPECT_EQ(child->AttachedDevice, nullptr) << "port class's device detached; nothing else was";
  EXPECT_TRUE(rig.SubdeviceNames(main).empty());
  rig.Unplug(main);
}

// Port class attached its device over the child and detaches it at removal; the adapter, which
// attached nothing, detaches nothing (a second detach is a verifier violation), whichever road
// the removal comes by.
TEST(AdapterLoad, RemovalAfterAStopAndRestartDetachesOnlyPortClassesDevice) {
  WdmRig rig;
  sim::MainUnit main;
  rig.Plug(main);
  PDEVICE_OBJECT child = rig.ChildOf(main);
  ASSERT_NE(child, nullptr);
  ASSERT_TRUE(plat::PnpStopAndRestart(child));
  rig.Settle();
  EXPECT_EQ(plat::PnpState(child), plat::DevnodeState::Started);
  EXPECT_EQ(rig.SubdeviceNames(main), kMainSubdevices);
  ASSERT_NE(child->AttachedDevice, nullptr);
  ASSERT_TRUE(plat::PnpQueryRemoveAndRemove(child));
  rig.Settle();
  EXPECT_EQ(child->AttachedDevice, nullptr);
  EXPECT_EQ(plat::ObLookupName(u"\\Device\\QX5310Wdm0"), nullptr);
  rig.Unplug(main);
}

TEST(AdapterLoad, AFailedStartIsUndoneByTheRemovalThatFollowsIt) {
  WdmRig rig;
  sim::MainUnit main;
  plat::PoolLedger::FailTag(plat::PoolTag("PcCl"), true);
  rig.Plug(main);
  plat::PoolLedger::FailTag(plat::PoolTag("PcCl"), false);
  PDEVICE_OBJECT child = rig.ChildOf(main);
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(plat::PnpState(child), plat::DevnodeState::Failed);
  EXPECT_EQ(plat::PnpProblemStatus(child), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(child->AttachedDevice, nullptr);
  EXPECT_EQ(plat::ObLookupName(u"\\Device\\QX5310Wdm0"), nullptr) << "gone with the removal";
  rig.Unplug(main);
}

// How many allocations a main unit's plug-in makes, with or without the adapter on its child.
size_t PlugInAllocations(bool adapter) {
  std::unique_ptr<drvtest::DriverRig> rig =
      adapter ? std::make_unique<WdmRig>() : std::make_unique<drvtest::DriverRig>();
  sim::MainUnit main;
  plat::PoolLedger::Reset();
  rig->Plug(main);
  return plat::PoolLedger::AllocationCount();
}

// The sweep over every allocation is cut into shards that run side by side: shard k fails the
// allocations k, k + kSweepShards, ... of the range.
constexpr size_t kSweepShards = 8;

class AdapterLoadSweep : public testing::TestWithParam<size_t> {};

TEST_P(AdapterLoadSweep, AFailedAllocationAnywhereInTheAdaptersLoadAndStartLeavesNothingBehind) {
  const size_t driverOnly = PlugInAllocations(false);
  const size_t withAdapter = PlugInAllocations(true);
  ASSERT_GT(withAdapter, driverOnly);
  for (size_t n = driverOnly - 10 + GetParam(); n <= withAdapter; n += kSweepShards) {
    SCOPED_TRACE(testing::Message() << "allocation " << n);
    WdmRig rig;
    sim::MainUnit main;
    plat::PoolLedger::Reset();
    plat::PoolLedger::FailNth(n);
    rig.Plug(main);
    plat::PoolLedger::ClearFailures();
    rig.Unplug(main);
    rig.Shutdown();
    if (testing::Test::HasFailure()) break;
  }
}

INSTANTIATE_TEST_SUITE_P(Shards, AdapterLoadSweep, testing::Range(size_t{0}, kSweepShards));

}  // namespace
