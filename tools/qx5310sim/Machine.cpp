#include "tools/qx5310sim/Machine.h"

#include <cstdio>
#include <filesystem>

#include "platform/bus1394/Bus1394.h"
#include "platform/kernel/IoManager.h"
#include "platform/kernel/Leftovers.h"
#include "platform/kernel/ObjectManager.h"
#include "platform/kernel/PnpManager.h"
#include "platform/kernel/Pool.h"
#include "platform/kernel/RegistryHive.h"
#include "platform/win32/ComRegistration.h"
#include "sim/units/Unit.h"
#include "tools/qx5310sim/Report.h"

namespace {

constexpr char16_t kServiceKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\qx5310";
constexpr char16_t kAdapterServiceKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\qx5310wdm";

// What the unit driver's installation makes: its service key, and its image bound to the hardware
// ids of both kinds of unit.
void InstallUnitDriver() {
  plat::RegistryHive::CreateKey(kServiceKey);
  plat::PnpRegisterService(u"qx5310", u"qx5310.sys");
  plat::PnpBindHardwareId(u"1394\\Halvern&QX-5310", u"qx5310");
  plat::PnpBindHardwareId(u"1394\\Halvern&KR-6", u"qx5310");
}

// What the audio adapter's installation makes: its service key, and its image bound to the
// hardware id of the audio child device the unit driver reports for every unit.
void InstallAudioAdapter() {
  plat::RegistryHive::CreateKey(kAdapterServiceKey);
  plat::PnpRegisterService(u"qx5310wdm", u"QX5310Wdm.sys");
  plat::PnpBindHardwareId(u"*HVN0007", u"qx5310wdm");
}

// What the ASIO driver's installation makes: its class as an in-process server whose DLL
// (Qx5310A24x64.dll, beside the programs) hosts load, and the key under which ASIO hosts list it.
bool InstallAsioDriver() {
  static constexpr GUID kClsid = {0x3CC6396F, 0xD6D9, 0x4101, {0xAC, 0x20, 0xD9, 0xAD, 0x05, 0xEB, 0x16, 0x37}};
  return plat::win32::RegisterInprocServer(&kClsid, "QX531 Audio", "Qx5310A24x64.dll", "Apartment") &&
         plat::win32::RegisterAsioDriver("QX531 24-bit", &kClsid, "QX-5310 ASIO driver");
}

}  // namespace

Machine::Machine(std::string stateFile) : stateFile_(std::move(stateFile)) {}

Machine::~Machine() = default;

void Machine::Boot(Report& report) {
  scheduler_ = std::make_unique<plat::Scheduler>();
  plat::RegistryHive::Clear();
  std::string error;
  if (!std::filesystem::exists(stateFile_)) {
    report.Value("registry", "new (no state file yet)");
  } else if (plat::RegistryHive::Load(stateFile_, &error)) {
    report.Value("registry", "loaded from " + stateFile_);
  } else {
    report.Value("registry", "new (" + stateFile_ + " unreadable: " + error + ")");
  }
  InstallUnitDriver();
  InstallAudioAdapter();
  if (!InstallAsioDriver()) report.Lost("the ASIO driver could not be registered");
  bus_ = std::make_unique<sim::Bus>(*scheduler_);
  plat::Bus1394::Install(*bus_);
  Settle();
}

void Machine::Plug(sim::Unit& unit) {
  unit.Plug(*bus_);
  Settle();
}

void Machine::Unplug(sim::Unit& unit) {
  unit.Unplug();
  Settle();
}

void Machine::Settle() { plat::Bus1394::Settle(); }

std::string Machine::DeviceState(const sim::Unit& unit) const {
  auto state = [](PDEVICE_OBJECT pdo) -> std::string {
    static const char* const kStates[] = {"enumerated", "started", "failed", "stop pending", "stopped",
                                          "remove pending", "surprise-removed", "removed"};
    const plat::DevnodeState s = plat::PnpState(pdo);
    std::string text = kStates[static_cast<int>(s)];
    if (s == plat::DevnodeState::Failed) {
      char status[16];
      std::snprintf(status, sizeof status, " (0x%08X)", static_cast<uint32_t>(plat::PnpProblemStatus(pdo)));
      text += status;
    }
    return text;
  };
  PDEVICE_OBJECT pdo = plat::Bus1394::PdoOf(unit.Guid());
  if (pdo == nullptr) return "not on the bus";
  std::string text = state(pdo);
  const std::vector<PDEVICE_OBJECT> children = plat::PnpChildren(pdo);
  if (children.empty()) return text + ", no child";
  for (PDEVICE_OBJECT child : children) text += ", child " + state(child);
  return text;
}

void Machine::Shutdown(Report& report) {
  Settle();
  if (!plat::PnpShutdown()) report.Lost("plug and play could not remove every device and unload every driver");
  scheduler_->RunUntilIdle();
  if (plat::PendingWorkItems() != 0) report.Lost(std::to_string(plat::PendingWorkItems()) + " work item(s) never ran");
  if (plat::IoLiveIrps() != 0) report.Lost(std::to_string(plat::IoLiveIrps()) + " I/O request(s) never completed");
  if (plat::ObNamespaceSize() != 0) report.Lost(std::to_string(plat::ObNamespaceSize()) + " named object(s) left behind");
  traceHash_ = scheduler_->TraceHash();
  report.Value("trace hash", std::to_string(traceHash_));
  bus_.reset();
  scheduler_.reset();
  for (const std::string& name : plat::Scheduler::TakeAbandonedThreads())
    report.Lost("thread '" + name + "' was still running at shutdown");
  std::string error;
  if (!plat::RegistryHive::Save(stateFile_, &error)) report.Lost("the registry could not be saved: " + error);
  std::string devices = plat::IoDeviceObjectsLeft();
  if (!devices.empty()) report.Lost("device objects left at shutdown:\n" + devices);
  std::string leaks = plat::PoolLedger::LeakReport();
  if (!leaks.empty()) report.Lost("kernel pool left allocated at shutdown:\n" + leaks);
}
