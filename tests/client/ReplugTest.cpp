// A unit pulled and plugged back while a program still holds its old device through the library:
// the machine runs on, the program's calls on the old unit fail, and the unit comes back (started,
// found by discovery) once the program lets the old one go, under a table of seeds.
#include <gtest/gtest.h>

#include <memory>

#include "tests/client/DriverMachine.h"
#include "tests/client/TestClient.h"
#include "tests/support/Seeds.h"

namespace {

using ctest::DriverMachine;
using ctest::Program;

constexpr uint32_t kSerial = 3;

struct ReplugCase {
  const char* unit;
  bool expansion;
};

TEST(Replug, AUnitPluggedBackWhileAProgramHoldsItsOldDeviceComesUpOnceTheProgramLetsItGo) {
  for (const ReplugCase c : {ReplugCase{"KR-6", true}, ReplugCase{"main unit", false}}) {
    for (uint64_t seed : qxtest::InterleavingSeeds(6)) {
      SCOPED_TRACE(c.unit);
      SCOPED_TRACE(qxtest::SeedTrace(seed));
      DriverMachine m(seed);
      m.PlugMain();
      m.PlugKr6(kSerial);
      auto started = [&] { return c.expansion ? m.Kr6Started(kSerial) : m.MainStarted(); };
      {
        Program program(m.Run());
        std::unique_ptr<TestClient> client;
        DeviceHandle held = kNoDevice;
        DeviceHandle other = kNoDevice;
        program.Do([&] {
          client = std::make_unique<TestClient>();
          client->EnumerateDevices(kQX531InterfaceClass);
          held = c.expansion ? client->mKR6HandleList[0] : client->mMainHandle;
          other = c.expansion ? client->mMainHandle : client->mKR6HandleList[0];
        });
        ASSERT_NE(held, kNoDevice);
        ASSERT_NE(other, kNoDevice);

        if (c.expansion) {
          m.UnplugKr6(kSerial);
          m.PlugKr6(kSerial);
        } else {
          m.UnplugMain();
          m.PlugMain();
        }
        EXPECT_FALSE(started()) << "held until the old device's last handle goes";
        program.Do([&] {
          EXPECT_EQ(client->GetChangeCountOf(held), kQX531Failure) << "the old unit's device is gone";
          EXPECT_NE(client->GetChangeCountOf(other), kQX531Failure) << "the other unit answers";
        });
        program.Do([&] { client.reset(); });
      }
      m.Settle();
      EXPECT_TRUE(started()) << "started once the program let the old device go";
      Program again(m.Run());
      again.Do([&] {
        TestClient client;
        client.EnumerateDevices(kQX531InterfaceClass);
        EXPECT_NE(client.mMainHandle, kNoDevice);
        EXPECT_EQ(client.CountExpansionUnits(), 1u);
        EXPECT_NE(client.GetChangeCountOf(c.expansion ? client.mKR6HandleList[0] : client.mMainHandle), kQX531Failure);
      });
    }
  }
}

}  // namespace
