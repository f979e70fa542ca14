// What the unit driver keeps in the registry: settings and unit names set by user mode that
// survive a restart of the machine.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/kernel/RegistryHive.h"
#include "sim/units/Kr6Unit.h"
#include "sim/units/MainUnit.h"
#include "tests/driver/DriverRig.h"
#include "sim/host/UserClient.h"
#include "unit/ControlRequests.h"
#include "unit/PreferencesBlock.h"
#include "unit/UnitNameRecord.h"

namespace {

using drvtest::DriverRig;
using host::Words;

host::Control SetPreference(uint32_t id, uint32_t value) {
  return {IOCTL_QX531_SET_PREFERENCE, Words({PreferencesBlock::kMagic, PreferencesBlock::kVersion, id, value}), 0};
}

host::Control SetUnitName(uint32_t serial, const char* name) {
  UnitNameRecord record{};
  record.mSerial = serial;
  std::strncpy(record.mName, name, sizeof record.mName - 1);
  std::vector<uint8_t> bytes(sizeof record);
  std::memcpy(bytes.data(), &record, sizeof record);
  return {IOCTL_QX531_SET_UNIT_RECORD, bytes, 0};
}

// The preferences as the first unit's driver answers them to a program.
PreferencesBlock PreferencesOf(DriverRig& rig, const std::vector<host::Control>& before = {}) {
  PreferencesBlock block{};
  rig.RunProgram(64, [&]() -> uint32_t {
    std::vector<std::string> units = host::FindUnitInterfaces();
    if (units.empty()) return 1;
    std::vector<host::Control> controls = before;
    controls.push_back({IOCTL_QX531_GET_PREFERENCES, {}, sizeof block});
    std::vector<host::Reply> replies = host::SendControls(units[0], controls);
    for (const host::Reply& r : replies)
      if (!r.ok) return 2;
    std::memcpy(&block, replies.back().output.data(), sizeof block);
    return 0;
  });
  return block;
}

class Registry : public testing::Test {
 protected:
  void SetUp() override { plat::RegistryHive::Clear(); }
  void TearDown() override {
    plat::RegistryHive::Clear();
    std::remove(file_.c_str());
  }
  std::string file_ = testing::TempDir() + "qx5310-driver-test.registry";
};

TEST_F(Registry, SettingsAndUnitNamesSetThroughTheDriverAreThereAfterTheMachineRestarts) {
  {
    DriverRig rig(0, 2, drvtest::Load::Image);
    sim::MainUnit main;
    sim::Kr6Unit kr6(3);
    rig.Plug(main);
    rig.Plug(kr6);
    PreferencesBlock set = PreferencesOf(rig, {SetPreference(PreferencesBlock::kParamControlProtocol, 3),
                                               SetPreference(PreferencesBlock::kParamBufferSizeIndex, 6),
                                               SetUnitName(3, "Left wing")});
    EXPECT_EQ(set.mControlProtocol, 3u);
    EXPECT_EQ(set.mBufferSizeIndex, 6u);
    rig.Shutdown();
  }
  ASSERT_TRUE(plat::RegistryHive::Save(file_));
  plat::RegistryHive::Clear();
  ASSERT_TRUE(plat::RegistryHive::Load(file_));

  DriverRig rig(0, 2, drvtest::Load::Image);
  sim::MainUnit main;
  sim::Kr6Unit kr6(3);
  rig.Plug(main);
  rig.Plug(kr6);
  PreferencesBlock found = PreferencesOf(rig);
  EXPECT_EQ(found.mControlProtocol, 3u);
  EXPECT_EQ(found.mBufferSizeIndex, 6u);
  bool named = false;
  for (const UnitNameRecord& record : found.mUnitNames)
    named = named || (record.mSerial == 3 && std::string(record.mName) == "Left wing");
  EXPECT_TRUE(named);
}

}  // namespace
