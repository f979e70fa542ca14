// The unit's writes into its host windows through the unit driver: status records reach the
// engine's status words, MIDI records are taken, and writes that are no whole records change
// nothing and cost no receive buffer, however many of them come.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "driver/QX531PnpDevice.h"
#include "platform/bus1394/Bus1394.h"
#include "sim/units/Kr6Unit.h"
#include "sim/units/MainUnit.h"
#include "tests/driver/DriverRig.h"
#include "sim/host/UserClient.h"
#include "unit/ControlRequests.h"
#include "unit/QX531Device.h"

namespace {

using drvtest::DriverRig;

class WindowWrites : public testing::Test {
 protected:
  void SetUp() override {
    rig.Plug(unit);
    rig.Quiesce();
    device = rig.DeviceOf(unit);
    ASSERT_NE(device, nullptr);
    const host::Control startMidi{IOCTL_QX531_SET_STREAM_MASK, host::Words({QX531Device::kStreamMaskMidi}), 0};
    ASSERT_EQ(rig.RunProgram(64, [&]() -> uint32_t {
                std::vector<std::string> units = host::FindUnitInterfaces();
                return units.size() == 1 && host::SendControl(units[0], startMidi).ok ? 0 : 1;
              }),
              0u);
    rig.Quiesce();
  }

  DriverRig rig;
  sim::MainUnit unit;
  QX531PnpDevice* device = nullptr;
};

// An expansion unit reports its surface by status writes into its window.
TEST(WindowWritesOfAnExpansionUnit, AFaderMovedAtTheUnitReachesTheEnginesStatusWords) {
  DriverRig rig;
  sim::Kr6Unit kr6(4);
  rig.Plug(kr6);
  rig.Quiesce();
  QX531PnpDevice* device = rig.DeviceOf(kr6);
  ASSERT_NE(device, nullptr);
  const host::Control startMidi{IOCTL_QX531_SET_STREAM_MASK, host::Words({QX531Device::kStreamMaskMidi}), 0};
  ASSERT_EQ(rig.RunProgram(64, [&]() -> uint32_t {
              std::vector<std::string> units = host::FindUnitInterfaces();
              return units.size() == 1 && host::SendControl(units[0], startMidi).ok ? 0 : 1;
            }),
            0u);
  rig.Quiesce();
  const uint64_t writes = plat::Bus1394::Counters().rangeWrites;
  const uint16_t before = device->Status().Slot(0);
  kr6.MoveFader(0, 0x0280);
  rig.Quiesce();
  EXPECT_NE(device->Status().Slot(0), before);
  EXPECT_GT(plat::Bus1394::Counters().rangeWrites, writes);
  EXPECT_EQ(kr6.Counters().hostWritesFailed, 0u);
}

// More broken writes than the window has receive buffers, each one's buffer back for the next.
TEST_F(WindowWrites, WritesOfNoWholeRecordChangeNothingAndLoseNoReceiveBuffer) {
  const uint64_t refused = plat::Bus1394::Counters().rangeWritesRefused;
  const uint16_t status = device->Status().Slot(0);
  for (size_t length : {1u, 4u, 12u, 20u}) {
    for (int i = 0; i < 10; ++i) {
      std::vector<uint8_t> bytes(length, 0x90);
      unit.WriteRawToMidiWindow(bytes);
      rig.Quiesce();
    }
  }
  EXPECT_EQ(device->Status().Slot(0), status);
  const uint64_t sent = unit.Counters().midiRecordsSent;
  for (int i = 0; i < 20; ++i) {
    const std::array<uint8_t, 3> note{0x90, static_cast<uint8_t>(0x30 + i), 0x7F};
    unit.SendMidiIn(0, note);
    rig.Quiesce();
  }
  EXPECT_EQ(unit.Counters().midiRecordsSent, sent + 20);
  EXPECT_EQ(unit.Counters().hostWritesFailed, 0u);
  EXPECT_EQ(plat::Bus1394::Counters().rangeWritesRefused, refused);
}

}  // namespace
