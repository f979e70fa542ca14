// Plug and play of the units: each unit node is a PDO whose ids come from its configuration ROM;
// plugging a unit in starts its driver, pulling it out surprise-removes and removes it.
#include <gtest/gtest.h>

#include "platform/kernel/PnpManager.h"
#include "platform/kernel/PowerManager.h"
#include "sim/bus/ConfigRom.h"
#include "sim/units/Kr6Unit.h"
#include "sim/units/MainUnit.h"
#include "tests/platform/bus1394/UnitTestDriver.h"
#include "platform/kernel/WideText.h"

namespace {

using namespace bus1394test;

// A node that answers nothing but the configuration ROM it was given.
class RomNode : public sim::Node {
 public:
  explicit RomNode(const sim::RomIdentity& id) : Node(id.guid), rom_(sim::BuildConfigRom(id)) {}
  sim::AsyncStatus OnRead(uint8_t, uint64_t offset, std::span<uint8_t> out) override {
    uint64_t index = (offset - sim::kConfigRomAddress) / 4;
    if (offset < sim::kConfigRomAddress || index >= rom_.size() || out.size() != 4) return sim::AsyncStatus::AddressError;
    PutBe32(out.data(), rom_[index]);
    return sim::AsyncStatus::Complete;
  }

 private:
  std::vector<uint32_t> rom_;
};

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
    for (PWCHAR at = p; (multi || ids.empty()) && *at != 0; at += ids.back().size() + 1) ids.push_back(plat::U16(at));
    ExFreePool(p);
    return ids;
  }
  // A PnP query to the PDO's stack whose answer is in pool; the caller frees it.
  std::shared_ptr<plat::IoRequest> Query(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& setup = {}) {
    auto r = plat::IoSend(pdo, IRP_MJ_PNP, minor, nullptr, setup);
    sched.RunUntilIdle();
    EXPECT_TRUE(r->done);
    return r;
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

TEST_F(Pnp, IdsAreWhatTheRomSaysAndNumbersStandInForMissingNames) {
  sim::RomIdentity id;
  id.guid = 0x00A0B1'0000'0000ABull;
  id.vendorId = 0x00A0B1;
  id.modelId = 0x0000AB;
  id.unitSpecId = 0x00A02D;
  id.unitSwVersion = 0x010001;
  RomNode node(id);
  Plug(node);
  PDEVICE_OBJECT pdo = plat::Bus1394::PdoOf(id.guid);
  ASSERT_NE(pdo, nullptr);
  EXPECT_EQ(Ids(pdo, BusQueryDeviceID), std::vector<std::u16string>{u"1394\\00A0B1&0000AB"});
  EXPECT_EQ(Ids(pdo, BusQueryCompatibleIDs), std::vector<std::u16string>{u"1394\\00A02D&010001"});
  EXPECT_EQ(Ids(pdo, BusQueryInstanceID), std::vector<std::u16string>{u"00A0B100000000AB"});
  EXPECT_EQ(plat::PnpState(pdo), plat::DevnodeState::Enumerated) << "no driver is bound to it";
  EXPECT_TRUE(Events().empty());
  Unplug(node);
}

TEST_F(Pnp, AUnitPdoAnswersCapabilitiesBusTypeTextAndPower) {
  sim::MainUnit main;
  Plug(main);
  PDEVICE_OBJECT pdo = plat::Bus1394::PdoOf(main.Guid());
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  EXPECT_EQ(Query(pdo, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION sp) {
              sp->Parameters.DeviceCapabilities.Capabilities = &caps;
            })->status.Status, STATUS_SUCCESS);
  EXPECT_EQ(caps.Removable, 1u);
  EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
  EXPECT_EQ(caps.UniqueID, 1u);
  EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);

  auto bus = Query(pdo, IRP_MN_QUERY_BUS_INFORMATION);
  ASSERT_EQ(bus->status.Status, STATUS_SUCCESS);
  auto* info = reinterpret_cast<PPNP_BUS_INFORMATION>(bus->status.Information);
  const GUID busType1394 = {0xF74E73EB, 0x9AC5, 0x45EB, {0xBE, 0x4D, 0x77, 0x2C, 0xC7, 0x1D, 0xDF, 0xB3}};
  EXPECT_TRUE(info->BusTypeGuid == busType1394);
  ExFreePool(info);

  auto text = Query(pdo, IRP_MN_QUERY_DEVICE_TEXT, [](PIO_STACK_LOCATION sp) {
    sp->Parameters.QueryDeviceText.DeviceTextType = DeviceTextDescription;
  });
  ASSERT_EQ(text->status.Status, STATUS_SUCCESS);
  auto* description = reinterpret_cast<PWCHAR>(text->status.Information);
  EXPECT_EQ(plat::U16(description), u"QX-5310");
  ExFreePool(description);

  EXPECT_TRUE(plat::PoSetSystemState(PowerSystemSleeping3));
  EXPECT_TRUE(plat::PoSetSystemState(PowerSystemWorking));
  Settle();
  uint32_t version = 0;
  EXPECT_EQ(ReadQuadlet(DeviceOf(main.Guid()), 0x000, &version), STATUS_SUCCESS) << "the unit still answers";
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
