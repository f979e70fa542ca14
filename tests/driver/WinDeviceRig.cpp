#include "tests/driver/WinDeviceRig.h"

#include "platform/kernel/Pool.h"
#include "platform/kernel/RegistryHive.h"
#include "platform/kernel/WideText.h"

namespace drivertest {

WinDeviceRig::WinDeviceRig(sim::Node& unit, uint64_t seed) : bus1394test::Rig(seed) {
  Plug(unit);
  device = bus1394test::DeviceOf(unit.Guid());
  EXPECT_NE(device, nullptr);
  if (device == nullptr) return;
  EXPECT_EQ(plat::RegistryHive::CreateKey(plat::U16(kServiceKey)), STATUS_SUCCESS);
  driver.mDriverObject = device->self->DriverObject;
  driver.mRegistryPath.Buffer = const_cast<PWCHAR>(kServiceKey);
  driver.mRegistryPath.Length = static_cast<USHORT>((plat::WideLength(kServiceKey)) * 2);
  driver.mRegistryPath.MaximumLength = static_cast<USHORT>(driver.mRegistryPath.Length + 2);
  DriverInstance = &driver;
  counted = KernelNew<CountingDevice>(NonPagedPool, device->pdo);
  win = std::make_unique<TestUnit>(device, counted);
}

WinDeviceRig::~WinDeviceRig() {
  Run();
  win.reset();
  if (counted != nullptr) counted->Delete();
  DriverInstance = nullptr;
  Shutdown();
}

size_t WinDeviceRig::FrameworkPoolBytes() {
  size_t bytes = 0;
  for (const auto& use : plat::PoolLedger::Outstanding())
    if (use.tag == kFrameworkPoolTag) bytes += use.bytes;
  return bytes;
}

}  // namespace drivertest
