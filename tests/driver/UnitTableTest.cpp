// Units plugged in one after the other through plug and play: each unit's driver tells the main
// unit from the expansion units by their registers and fills the shared unit table in the order
// they came, with the expansion units' names from their serials.
#include <gtest/gtest.h>

#include "driver/QX531PnpDevice.h"
#include "sim/units/Kr6Unit.h"
#include "sim/units/MainUnit.h"
#include "tests/driver/DriverRig.h"
#include "unit/PreferencesBlock.h"
#include "unit/UnitTable.h"

namespace {

TEST(UnitTable, PlugInTellsMainFromExpansionUnitsAndFillsTheTableInOrder) {
  drvtest::DriverRig rig;
  sim::MainUnit main;
  sim::Kr6Unit first(0x1234), second(0);
  for (sim::Node* unit : std::initializer_list<sim::Node*>{&main, &first, &second}) {
    rig.Plug(*unit);
    rig.Quiesce();
  }
  struct Expect {
    const sim::Node* unit;
    uint32_t kind;
    uint32_t serial;
    uint32_t slot;
    const char* name;
    uint32_t registerVersion;
    uint32_t active;
  };
  for (const Expect& e : {Expect{&main, QX531Device::kKindMain, 0, 0, "", 0x14, 1},
                          Expect{&first, QX531Device::kKindExpansion, 0x1234, 1, "KR-6 4660", 0x00010003, 0},
                          Expect{&second, QX531Device::kKindExpansion, 1, 2, "KR-6 1", 0x00010003, 0}}) {
    SCOPED_TRACE(e.slot);
    QX531PnpDevice* device = rig.DeviceOf(*e.unit);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->UnitKind(), e.kind);
    EXPECT_EQ(device->Serial(), e.serial);
    EXPECT_EQ(UnitTable::Shared().At(e.slot), static_cast<QX531Device*>(device));
    EXPECT_STREQ(device->SharedState().mUnitName.mName, e.name);
    EXPECT_EQ(device->SharedState().mUnitCount, 3);
    EXPECT_EQ(device->SharedState().mRegisterVersion, e.registerVersion);
    EXPECT_EQ(device->SharedState().mActive, e.active);
    PreferencesBlock stored{};
    EXPECT_EQ(device->ReadPreferences(&stored, sizeof stored), 0) << "the expansion units' names were stored";
  }
}

}  // namespace
