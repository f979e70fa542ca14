// Plug and play of the units: each unit node is a PDO whose ids come from its configuration ROM;
// plugging a unit in starts its driver, pulling it out surprise-removes and removes it.
#include <gtest/gtest.h>

#include "platform/kernel/PnpManager.h"
#include "sim/units/Kr6Unit.h"
#include "sim/units/MainUnit.h"
#include "tests/platform/bus1394/UnitTestDriver.h"

namespace {

using namespace bus1394test;

class Pnp : public Machine {
 protected:
  // The ids of one kind the unit's stack answers, as plug and play asks for them.
  std::vector<std::u16string> Ids(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type) {
    auto r = plat::IoSend(pdo, IRP_MJ_PNP, IRP_MN_QUERY_ID, nullptr,
                          [type](PIO_STACK_LOCATION sp) { sp->Parameters.QueryId.IdType = type; });
    sched.RunUntilIdle();
    std::vector<std::u16string> ids;
    EXPECT_TRUE(r->done);
    if (!NT_SUCCESS(r->status.Status)) return ids;
    auto* p = reinterpret_cast<PWCHAR>(r->status.Information);
    bool multi = type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs;
    for (PWCHAR at = p; (multi || ids.empty()) && *at != 0; at += ids.back().size() + 1) ids.emplace_back(at);
    ExFreePool(p);
    return ids;
  }
};

TEST_F(Pnp, EveryUnitIsAPdoWithIdsFromItsRomAndItsDriverIsAddedAndStarted) {
  sim::MainUnit main;
  sim::Kr6Unit first(0x11), second(0x12);
  for (sim::Node* unit : {static_cast<sim::Node*>(&main), static_cast<sim::Node*>(&first), static_cast<sim::Node*>(&second)})
    Plug(*unit);
  EXPECT_EQ(Events(), (std::vector<std::string>{"add 0050C2A153100001", "start 0050C2A153100001",
                                                 "add 0050C2A100000011", "start 0050C2A100000011",
                                                 "add 0050C2A100000012", "start 0050C2A100000012"}));
  ASSERT_EQ(plat::Bus1394::Units().size(), 3u);
  struct Expect {
    uint64_t guid;
    std::u16string deviceId;
  };
  for (const Expect& e : {Expect{main.Guid(), u"1394\\Halvern&QX-5310"}, Expect{first.Guid(), u"1394\\Halvern&KR-6"}}) {
    PDEVICE_OBJECT pdo = plat::Bus1394::PdoOf(e.guid);
    ASSERT_NE(pdo, nullptr);
    EXPECT_EQ(Ids(pdo, BusQueryDeviceID), std::vector<std::u16string>{e.deviceId});
    EXPECT_EQ(Ids(pdo, BusQueryHardwareIDs), (std::vector<std::u16string>{e.deviceId, u"1394\\0050C2&000001"}));
    EXPECT_EQ(Ids(pdo, BusQueryCompatibleIDs), std::vector<std::u16string>{u"1394\\0050C2&000001"});
    EXPECT_EQ(plat::PnpState(pdo), plat::DevnodeState::Started);
    EXPECT_NE(pdo->Flags & DO_POWER_PAGABLE, 0u);
  }
}

TEST_F(Pnp, PullingAUnitOutResetsTheBusThenSurpriseRemovesAndRemovesIt) {
  sim::MainUnit main;
  sim::Kr6Unit kr6(0x21);
  Plug(main);
  Plug(kr6);
  UnitDevice* mainDevice = DeviceOf(main.Guid());
  const ULONG resets = mainDevice->resets;
  Events().clear();
  Unplug(kr6);
  EXPECT_EQ(Events(), (std::vector<std::string>{"surprise 0050C2A100000021", "remove 0050C2A100000021"}));
  EXPECT_EQ(plat::Bus1394::PdoOf(kr6.Guid()), nullptr);
  EXPECT_EQ(plat::Bus1394::Units().size(), 1u);
  EXPECT_EQ(mainDevice->resets, resets + 1) << "the units that stay hear of the reset";

  Events().clear();
  Plug(kr6);
  EXPECT_EQ(Events(), (std::vector<std::string>{"add 0050C2A100000021", "start 0050C2A100000021"}));
}

TEST_F(Pnp, AUnitWhoseRomCannotBeReadIsNotEnumerated) {
  sim::MainUnit main;
  bus.SetReachable(main.Guid(), false);
  Plug(main);
  EXPECT_TRUE(Events().empty());
  bus.SetReachable(main.Guid(), true);
  bus.Reset();
  Settle();
  EXPECT_EQ(Events(), (std::vector<std::string>{"add 0050C2A153100001", "start 0050C2A153100001"}));
}

}  // namespace
