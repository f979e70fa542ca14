// The main unit streaming with the default stream mask through the unit driver: the unit's lamp
// and fader tests keep the engine's writers sending register writes from the lists' completions
// and the surface, and none of those writes touches the pool.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "driver/QX531PnpDevice.h"
#include "platform/bus1394/Bus1394.h"
#include "platform/kernel/Pool.h"
#include "sim/units/MainUnit.h"
#include "tests/driver/DriverRig.h"
#include "sim/host/UserClient.h"
#include "unit/ControlRequests.h"
#include "unit/PreferencesBlock.h"
#include "unit/QX531Device.h"
#include "unit/RegisterMap.h"

namespace {

using host::Control;
using drvtest::DriverRig;
using host::Words;
using plat::kNsPerMs;
using plat::kNsPerSecond;

constexpr uint32_t kAllChannels = 0x3FFFF;
constexpr uint32_t kDefaultStreamMask = QX531Device::kStreamMaskAudio | QX531Device::kStreamMaskMidi;

Control SetPreference(uint32_t id, uint32_t value) {
  return {IOCTL_QX531_SET_PREFERENCE, Words({PreferencesBlock::kMagic, PreferencesBlock::kVersion, id, value}), 0};
}

Control SetStreamMask(uint32_t mask) { return {IOCTL_QX531_SET_STREAM_MASK, Words({mask}), 0}; }

class QueuedWriteStream : public testing::Test {
 protected:
  void SetUp() override {
    rig = std::make_unique<DriverRig>(0);
    rig->Plug(unit);
    rig->Quiesce();
    device = rig->DeviceOf(unit);
    ASSERT_NE(device, nullptr);
  }
  void TearDown() override {
    if (rig) rig->Shutdown();
  }

  bool Send(const std::vector<Control>& controls) { return rig->SendToUnit(controls); }
  bool Start(uint32_t rate, uint32_t frames, uint32_t mask) {
    if (!Send({SetPreference(PreferencesBlock::kParamSampleRate, rate),
               SetPreference(PreferencesBlock::kParamBufferSizeIndex, BufferSizeIndexOf(frames))}))
      return false;
    rig->Quiesce();
    device->SetInputChannelMask(kAllChannels);
    device->SetOutputChannelMask(kAllChannels);
    return Send({SetStreamMask(mask)});
  }
  bool Locked() const { return device->IsStreamValid() && device->LockState() == 2; }

  sim::MainUnit unit;
  std::unique_ptr<DriverRig> rig;
  QX531PnpDevice* device = nullptr;
};

uint64_t AsyncWrites() { return plat::Bus1394::Counters().requests[REQUEST_ASYNC_WRITE]; }

TEST_F(QueuedWriteStream, TheLampAndFaderTestsWriteWithoutAllocatingWhileStreaming) {
  ASSERT_TRUE(Start(48000, 64, kDefaultStreamMask));
  ASSERT_TRUE(rig->sched.RunUntil([this] { return Locked(); }, rig->sched.Now() + 5 * kNsPerSecond));
  rig->sched.RunFor(100 * kNsPerMs);
  const uint64_t writes = AsyncWrites();
  const uint64_t attaches = plat::Bus1394::Counters().requests[REQUEST_ISOCH_ATTACH_BUFFERS];
  const size_t allocations = plat::PoolLedger::AllocationCount();
  rig->sched.RunFor(500 * kNsPerMs);
  EXPECT_EQ(plat::PoolLedger::AllocationCount() - allocations, 0u);
  EXPECT_GT(AsyncWrites() - writes, 200u) << "the lamp and fader tests kept the writers busy";
  EXPECT_GT(plat::Bus1394::Counters().requests[REQUEST_ISOCH_ATTACH_BUFFERS] - attaches, 600u);
  EXPECT_TRUE(Locked());
  ASSERT_TRUE(Send({SetStreamMask(0)}));
}

}  // namespace
