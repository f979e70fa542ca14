#include "tests/driver/DriverRig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "driver/QX531PnpDevice.h"
#include "platform/bus1394/Bus1394.h"
#include "platform/kernel/Leftovers.h"
#include "platform/kernel/PnpManager.h"
#include "platform/kernel/Pool.h"
#include "platform/kernel/Process.h"
#include "platform/kernel/RegistryHive.h"
#include "unit/ControlRequests.h"
#include "unit/SharedStateBlock.h"
#include "unit/UnitNameRecord.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace drvtest {

DriverRig::DriverRig(uint64_t seed, uint32_t processors, Load load) {
  sched.SetSeed(seed);
  sched.SetProcessors(processors);
  if (load == Load::Image)
    plat::PnpRegisterService(u"qx5310", u"qx5310.sys");
  else
    plat::PnpRegisterService(u"qx5310", DriverEntry);
  // What the driver's installation made: its service key, bound to the units' hardware ids.
  plat::RegistryHive::CreateKey(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\qx5310");
  plat::PnpBindHardwareId(u"1394\\Halvern&QX-5310", u"qx5310");
  plat::PnpBindHardwareId(u"1394\\Halvern&KR-6", u"qx5310");
  plat::Bus1394::Install(bus);
  Settle();
}

DriverRig::~DriverRig() {
  if (!shutDown_) Shutdown();
}

void DriverRig::Settle() { plat::Bus1394::Settle(); }

void DriverRig::Quiesce() { sched.RunFor(10 * plat::kNsPerMs); }

bool DriverRig::DrainWork(plat::VTime limit) {
  return sched.RunUntil([] { return plat::PendingWorkItems() == 0; }, sched.Now() + limit);
}

void DriverRig::Plug(sim::Node& unit) {
  bus.Attach(unit);
  Settle();
}

void DriverRig::Unplug(sim::Node& unit) {
  bus.Detach(unit);
  Settle();
}

PDEVICE_OBJECT DriverRig::PdoOf(const sim::Node& unit) const { return plat::Bus1394::PdoOf(unit.Guid()); }

QX531PnpDevice* DriverRig::DeviceOf(const sim::Node& unit) const {
  PDEVICE_OBJECT pdo = PdoOf(unit);
  if (pdo == nullptr || pdo->AttachedDevice == nullptr) return nullptr;
  auto* device = static_cast<KernelDeviceBase*>(pdo->AttachedDevice->DeviceExtension);
  return static_cast<QX531PnpDevice*>(device);
}

uint32_t DriverRig::RunProgram(unsigned bits, const std::function<uint32_t()>& body) {
  plat::Process* process = plat::StartProcess(bits == 32 ? "client32.exe" : "client64.exe", bits,
                                              [&body]() -> ULONG { return body(); });
  plat::WaitProcess(process);
  const uint32_t code = process->ExitCode();
  plat::ReleaseProcess(process);
  return code;
}

bool DriverRig::SendToUnit(const std::vector<host::Control>& controls) {
  return RunProgram(64, [&]() -> uint32_t {
           std::vector<std::string> units = host::FindUnitInterfaces();
           if (units.size() != 1) return 1;
           for (const host::Reply& r : host::SendControls(units[0], controls))
             if (!r.ok) return 2;
           return 0;
         }) == 0;
}

bool DriverRig::RenameUnit(uint32_t serial, const char* name) {
  return RunProgram(64, [&]() -> uint32_t {
           for (const std::string& path : host::FindUnitInterfaces()) {
             host::Reply state = host::SendControl(path, {IOCTL_QX531_GET_SHARED_STATE, {}, sizeof(SharedStateBlock)});
             SharedStateBlock block{};
             std::memcpy(&block, state.output.data(), std::min(state.output.size(), sizeof block));
             if (block.mSerial != serial) continue;
             UnitNameRecord record{};
             record.mSerial = serial;
             std::strncpy(record.mName, name, sizeof record.mName - 1);
             std::vector<uint8_t> bytes(sizeof record);
             std::memcpy(bytes.data(), &record, sizeof record);
             return host::SendControl(path, {IOCTL_QX531_SET_UNIT_RECORD, bytes, 0}).ok ? 0 : 2;
           }
           return 1;
         }) == 0;
}

void DriverRig::Shutdown() {
  shutDown_ = true;
  Settle();
  EXPECT_TRUE(plat::PnpShutdown());
  EXPECT_EQ(plat::ObNamespaceSize(), 0u);
  EXPECT_EQ(plat::IoLiveIrps(), 0u);
  EXPECT_EQ(plat::PendingWorkItems(), 0u);
  EXPECT_EQ(plat::PoolLedger::LeakReport(), "");
}

}  // namespace drvtest
