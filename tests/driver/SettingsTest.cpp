// The settings block in the registry under the service key's "Parameters", and the unit instance
// table.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "driver/UnitInstanceTable.h"
#include "platform/kernel/RegistryHive.h"
#include "tests/driver/WinDeviceRig.h"
#include "unit/ControlRequests.h"

namespace {

using drivertest::kParametersKey;
using drivertest::WinDeviceRig;

class Preferences : public testing::Test {
 protected:
  // Whatever an earlier machine of this process left in the registry goes.
  void SetUp() override { plat::RegistryHive::DeleteTree(kParametersKey); }

  sim::MainUnit unit;
  WinDeviceRig rig{unit};
  drivertest::TestUnit& win = *rig.win;
};

PreferencesBlock Changed() {
  PreferencesBlock block = PreferencesBlock::Defaults();
  block.mSampleRate = 96000;
  block.mUnitNames[3] = UnitNameRecord::Default(77);
  return block;
}

TEST_F(Preferences, AWrittenBlockIsReadBackWhole) {
  const PreferencesBlock written = Changed();
  ASSERT_EQ(win.WritePreferences(&written, sizeof written), 0);
  PreferencesBlock read{};
  ASSERT_EQ(win.ReadPreferences(&read, sizeof read), 0);
  EXPECT_EQ(std::memcmp(&read, &written, sizeof read), 0);
}

TEST_F(Preferences, OnlyAWholeBinaryBlockOfTheCurrentLayoutIsTaken) {
  const PreferencesBlock good = Changed();
  PreferencesBlock oldVersion = good;
  oldVersion.mVersion = 6;
  PreferencesBlock wrongMagic = good;
  wrongMagic.mMagic = 0x31333551;
  std::vector<uint8_t> longer(1200, 0);
  std::memcpy(longer.data(), &good, sizeof good);
  struct Case {
    const char* what;
    ULONG type;
    const void* data;
    ULONG size;
    int32_t result;
  };
  const Case cases[] = {
      {"the current block", REG_BINARY, &good, sizeof good, 0},
      {"version 6", REG_BINARY, &oldVersion, sizeof oldVersion, 99},
      {"another magic", REG_BINARY, &wrongMagic, sizeof wrongMagic, 99},
      {"1200 bytes", REG_BINARY, longer.data(), 1200, 99},
      {"1164 bytes", REG_BINARY, &good, sizeof good - 4, 99},
      {"a DWORD", REG_DWORD, &good, 4, 99},
      {"the right bytes as another type", REG_NONE, &good, sizeof good, 99},
  };
  ASSERT_EQ(plat::RegistryHive::CreateKey(kParametersKey), STATUS_SUCCESS);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(plat::RegistryHive::SetValue(kParametersKey, u"Preferences", c.type, c.data, c.size), STATUS_SUCCESS);
    PreferencesBlock read = PreferencesBlock::Defaults();
    const PreferencesBlock before = read;
    EXPECT_EQ(win.ReadPreferences(&read, sizeof read), c.result);
    if (c.result == 0) {
      EXPECT_EQ(std::memcmp(&read, &good, sizeof read), 0);
    } else {
      EXPECT_EQ(std::memcmp(&read, &before, sizeof read), 0) << "a refused value leaves the block alone";
    }
  }
}

TEST_F(Preferences, NoStoredBlockIsAFailureAndCreatesTheKey) {
  PreferencesBlock read{};
  EXPECT_EQ(win.ReadPreferences(&read, sizeof read), 99);
  EXPECT_TRUE(plat::RegistryHive::KeyExists(kParametersKey));
}

TEST_F(Preferences, AUnitsLogStartsWithTheConstructorsMarker) {
  char text[256] = {};
  uint32_t returned = 0;
  ASSERT_EQ(win.HandleControlRequest(QX531RequestNumber(IOCTL_QX531_READ_LOG), text, 0, sizeof text - 1, &returned), 0);
  EXPECT_EQ(std::string(text, returned),
            "QX531WinDevice::QX531WinDevice() 0x00123456\nQX531WinDevice::QX531WinDevice()  0007890\n");
}

TEST(UnitInstances, EntriesAreFoundOnlyWhileInUse) {
  UnitInstanceTable table;
  auto device = [](uintptr_t n) { return reinterpret_cast<PDEVICE_OBJECT>(n * 16); };
  EXPECT_EQ(table.Find(0), nullptr) << "the main unit's key 0 is not an empty entry's";
  table.Register(device(1), 0);
  table.Register(device(2), 5001);
  EXPECT_EQ(table.Find(0), device(1));
  EXPECT_EQ(table.Find(5001), device(2));
  table.Unregister(0, FALSE);
  EXPECT_EQ(table.Find(0), nullptr);
  table.Unregister(0, FALSE);
  EXPECT_EQ(table.Find(5001), device(2)) << "no match clears nothing, not even an empty entry's neighbour";
  table.Register(device(3), 6001);
  EXPECT_EQ(table.mEntries[0].mChild, device(3)) << "the first free entry is reused";
  table.Unregister(1234, TRUE);
  EXPECT_EQ(table.Find(6001), nullptr) << "the flag clears entry 0 whatever its key";
  EXPECT_EQ(table.Find(5001), device(2));
}

TEST(UnitInstances, ASeventeenthUnitIsNotRecorded) {
  UnitInstanceTable table;
  auto device = [](uintptr_t n) { return reinterpret_cast<PDEVICE_OBJECT>(n * 16); };
  for (LONG serial = 1; serial <= 16; ++serial) table.Register(device(serial), serial);
  table.Register(device(17), 17);
  EXPECT_EQ(table.Find(17), nullptr);
  for (LONG serial = 1; serial <= 16; ++serial) EXPECT_EQ(table.Find(serial), device(serial));
}

}  // namespace
