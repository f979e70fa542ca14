#include "platform/bus1394/Bus1394.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/bus1394/AddressRanges.h"
#include "platform/bus1394/AsyncTransfer.h"
#include "platform/bus1394/BusDriver.h"
#include "platform/bus1394/Isochronous.h"
#include "platform/bus1394/UnitDispatch.h"
#include "platform/kernel/Scheduler.h"
#include "platform/kernel/Verifier.h"

namespace plat::bus1394 {

namespace {

constexpr VTime kSettleLimit = 3600 * kNsPerSecond;
constexpr VTime kCompletionStep = 10000;  // 10 us

struct Machine {
  uint64_t scheduler = 0;
  std::unique_ptr<BusDriver> driver;
};

Machine& M() {
  static Machine m;
  Scheduler* s = Scheduler::TryCurrent();
  uint64_t serial = s != nullptr ? s->Serial() : 0;
  if (m.scheduler != serial) {
    m.driver.reset();
    m.scheduler = serial;
  }
  return m;
}

NTSTATUS FdoPnp(PDEVICE_OBJECT device, PIRP irp) {
  BusDriver& bus = BusDriver::Require("the bus's PnP IRP");
  auto* fdo = static_cast<BusFdo*>(device->DeviceExtension);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  switch (sp->MinorFunction) {
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      if (sp->Parameters.QueryDeviceRelations.Type != BusRelations) break;
      // A PDO plug and play never heard of is the bus driver's alone: once its unit has left,
      // nobody will send it a removal, so it goes here.
      std::vector<PDEVICE_OBJECT> unknown;
      for (PDEVICE_OBJECT pdo : bus.units)
        if (!BusDriver::Unit(pdo)->present && !BusDriver::Unit(pdo)->reported) unknown.push_back(pdo);
      for (PDEVICE_OBJECT pdo : unknown) bus.DeleteUnitPdo(pdo);
      std::vector<PDEVICE_OBJECT> present;
      for (PDEVICE_OBJECT pdo : bus.units)
        if (BusDriver::Unit(pdo)->present) present.push_back(pdo);
      size_t bytes = sizeof(DEVICE_RELATIONS) + (present.empty() ? 0 : present.size() - 1) * sizeof(PDEVICE_OBJECT);
      auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, bytes, kBusTag));
      if (relations == nullptr) return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
      relations->Count = static_cast<ULONG>(present.size());
      for (size_t i = 0; i < present.size(); ++i) {
        relations->Objects[i] = present[i];
        ObReferenceObject(present[i]);
        BusDriver::Unit(present[i])->reported = true;
      }
      irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_REMOVE_DEVICE: {
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      NTSTATUS status = IoCallDriver(fdo->lower, irp);
      std::vector<PDEVICE_OBJECT> units = bus.units;
      for (PDEVICE_OBJECT pdo : units) bus.DeleteUnitPdo(pdo);
      IoDetachDevice(fdo->lower);
      bus.fdo = nullptr;
      fdo->~BusFdo();
      IoDeleteDevice(device);
      return status;
    }
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(fdo->lower, irp);
}

NTSTATUS FdoDispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto* fdo = static_cast<BusFdo*>(device->DeviceExtension);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  if (sp->MajorFunction == IRP_MJ_PNP) return FdoPnp(device, irp);
  if (sp->MajorFunction == IRP_MJ_POWER) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(fdo->lower, irp);
  }
  return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  if (static_cast<BusDevice*>(device->DeviceExtension)->isUnit) return UnitDispatch(device, irp);
  return FdoDispatch(device, irp);
}

NTSTATUS AddBus(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  BusDriver& bus = BusDriver::Require("the bus's AddDevice");
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(BusFdo), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  auto* fdo = new (device->DeviceExtension) BusFdo{};
  fdo->isUnit = false;
  fdo->lower = IoAttachDeviceToDeviceStack(device, pdo);
  device->Flags |= DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  bus.fdo = device;
  return STATUS_SUCCESS;
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& fn : driver->MajorFunction) fn = Dispatch;
  driver->DriverExtension->AddDevice = AddBus;
  driver->DriverUnload = [](PDRIVER_OBJECT) {
    if (BusDriver* bus = BusDriver::Get()) bus->driver = nullptr;
  };
  BusDriver::Require("the bus driver's entry").driver = driver;
  return STATUS_SUCCESS;
}

}  // namespace

BusDriver::BusDriver(sim::Bus& simBus) : bus(simBus) {
  host.AddResetListener([this](uint32_t) { OnBusReset(); });
}

BusDriver* BusDriver::Get() { return M().driver.get(); }

BusDriver& BusDriver::Create(sim::Bus& bus) {
  Machine& m = M();
  if (m.driver != nullptr) Violation("the 1394 bus driver is installed once per machine");
  m.driver = std::make_unique<BusDriver>(bus);
  return *m.driver;
}

BusDriver& BusDriver::Require(const char* what) {
  BusDriver* bus = Get();
  if (bus == nullptr) Violation(std::string(what) + " without the 1394 bus driver installed");
  return *bus;
}

UnitPdo* BusDriver::Unit(PDEVICE_OBJECT device) {
  BusDriver* bus = Get();
  if (bus == nullptr || device == nullptr || std::find(bus->units.begin(), bus->units.end(), device) == bus->units.end())
    return nullptr;
  return static_cast<UnitPdo*>(device->DeviceExtension);
}

// A reset during a scan is caught by the scan itself, which reads again until the generation
// holds still.
void BusDriver::OnBusReset() {
  if (fdo == nullptr || scanQueued || scanning) return;
  scanQueued = true;
  Scheduler::Current().Spawn("1394 bus scan", [this] { Scan(); });
}

void BusDriver::Scan() {
  PAGED_CODE();
  scanning = true;
  scanQueued = false;
  uint32_t scanned;
  std::vector<std::pair<uint8_t, NodeIdentity>> found;
  do {
    found.clear();
    scanned = host.Generation();
    for (size_t id = 0; id < bus.Nodes().size(); ++id) {
      if (id == host.NodeId()) continue;
      auto identity = ReadNodeIdentity(host, static_cast<uint8_t>(id), scanned);
      if (identity) found.emplace_back(static_cast<uint8_t>(id), *identity);
    }
  } while (host.Generation() != scanned);

  bool changed = false;
  std::vector<PDEVICE_OBJECT> seen;
  for (auto& [id, identity] : found) {
    const uint64_t guid = identity.guid;
    auto known = std::find_if(units.begin(), units.end(), [guid](PDEVICE_OBJECT pdo) {
      UnitPdo* u = Unit(pdo);
      return u->present && u->identity.guid == guid;
    });
    if (known != units.end()) {
      Unit(*known)->nodeId = id;
      seen.push_back(*known);
    } else if (PDEVICE_OBJECT pdo = NewUnitPdo(identity, id)) {
      seen.push_back(pdo);
      changed = true;
    }
  }
  for (PDEVICE_OBJECT pdo : units) {
    UnitPdo* u = Unit(pdo);
    if (!u->present || std::find(seen.begin(), seen.end(), pdo) != seen.end()) continue;
    u->present = false;
    u->departed = true;
    EndTransfers(pdo);
    changed = true;
  }
  generation = scanned;
  hostNodeId = host.NodeId();
  counters.scans += 1;
  scanning = false;
  if (changed && fdo != nullptr) IoInvalidateDeviceRelations(fdo, BusRelations);
  // The clients hear of the reset once the driver answers from its generation.
  Scheduler::Current().After(0, [] {
    BusDriver* bus = Get();
    if (bus == nullptr) return;
    std::vector<PDEVICE_OBJECT> units = bus->units;
    for (PDEVICE_OBJECT pdo : units) {
      UnitPdo* u = Unit(pdo);
      if (u == nullptr || u->resetRoutine == nullptr) continue;
      bus->counters.resetNotifications += 1;
      u->resetRoutine(u->resetContext);
    }
  }, DISPATCH_LEVEL, "1394 bus reset notification");
}

PDEVICE_OBJECT BusDriver::NewUnitPdo(const NodeIdentity& identity, uint8_t nodeId) {
  PAGED_CODE();
  if (driver == nullptr) return nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  if (!NT_SUCCESS(IoCreateDevice(driver, sizeof(UnitPdo), nullptr, FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME,
                                 FALSE, &pdo)))
    return nullptr;
  auto* u = new (pdo->DeviceExtension) UnitPdo{};
  u->isUnit = true;
  u->identity = identity;
  u->nodeId = nodeId;
  // As bus drivers do: power IRPs reach the unit at PASSIVE_LEVEL.
  pdo->Flags |= DO_POWER_PAGABLE;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  units.push_back(pdo);
  return pdo;
}

void BusDriver::DeleteUnitPdo(PDEVICE_OBJECT pdo) {
  CheckNothingLeft(pdo);
  EndTransfers(pdo);
  units.erase(std::remove(units.begin(), units.end(), pdo), units.end());
  static_cast<UnitPdo*>(pdo->DeviceExtension)->~UnitPdo();
  IoDeleteDevice(pdo);
}

void BusDriver::CheckNothingLeft(PDEVICE_OBJECT pdo) {
  UnitPdo* u = Unit(pdo);
  if (u->resetRoutine != nullptr)
    Violation("a unit's PDO was removed with its bus-reset notification still registered");
  if (AddressRange::HeldBy(*this, pdo) != 0) Violation("a unit's PDO was removed with address ranges still allocated");
  if (IsochResource::HeldBy(*this, pdo) != 0)
    Violation("a unit's PDO was removed with isochronous resources, bandwidth or channels still allocated");
}

void BusDriver::EndTransfers(PDEVICE_OBJECT pdo) {
  std::vector<std::shared_ptr<AsyncTransfer>> transfers = std::move(Unit(pdo)->transfers);
  Unit(pdo)->transfers.clear();
  for (auto& t : transfers) t->End(STATUS_IO_DEVICE_ERROR_1394_DEPARTED);
}

VTime BusDriver::CompletionDelay() const { return Scheduler::Current().Choose(4) * kCompletionStep; }

NTSTATUS StatusOf(sim::AsyncStatus status) {
  switch (status) {
    case sim::AsyncStatus::Complete: return STATUS_SUCCESS;
    case sim::AsyncStatus::Departed:
    case sim::AsyncStatus::StaleGeneration: return STATUS_IO_DEVICE_ERROR_1394_DEPARTED;
    case sim::AsyncStatus::Timeout: return STATUS_IO_TIMEOUT;
    case sim::AsyncStatus::Busy: return STATUS_DEVICE_BUSY;
    case sim::AsyncStatus::TypeError: return STATUS_INVALID_DEVICE_REQUEST;
    case sim::AsyncStatus::AddressError: return STATUS_INVALID_ADDRESS;
    case sim::AsyncStatus::DataError: return STATUS_DEVICE_DATA_ERROR;
  }
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace plat::bus1394

namespace plat {

using bus1394::BusDriver;

void Bus1394::Install(sim::Bus& bus) {
  BusDriver& driver = BusDriver::Create(bus);
  PnpRegisterService(u"1394bus", bus1394::Entry);
  PnpBindHardwareId(u"1394BUS", u"1394bus");
  PnpAddRootDevice(u"1394BUS", u"0");
  if (driver.fdo == nullptr) Violation("the 1394 bus driver did not start");
  if (!bus.Attach(driver.host)) Violation("the host's node could not join the bus");
}

bool Bus1394::Installed() { return BusDriver::Get() != nullptr; }

sim::HostNode& Bus1394::Host() { return BusDriver::Require("Bus1394::Host").host; }

void Bus1394::Settle() {
  BusDriver& bus = BusDriver::Require("Bus1394::Settle");
  auto& s = Scheduler::Current();
  do {
    s.RunUntilIdle();
    s.RunUntil([&bus] { return !bus.scanQueued && !bus.scanning; }, s.Now() + bus1394::kSettleLimit);
    PnpSettle();
    s.RunUntilIdle();
  } while (bus.scanQueued || bus.scanning);
}

std::vector<PDEVICE_OBJECT> Bus1394::Units() {
  std::vector<PDEVICE_OBJECT> present;
  for (PDEVICE_OBJECT pdo : BusDriver::Require("Bus1394::Units").units)
    if (BusDriver::Unit(pdo)->present) present.push_back(pdo);
  return present;
}

PDEVICE_OBJECT Bus1394::PdoOf(uint64_t guid) {
  for (PDEVICE_OBJECT pdo : Units())
    if (BusDriver::Unit(pdo)->identity.guid == guid) return pdo;
  return nullptr;
}

size_t Bus1394::IsochHeldBy(PDEVICE_OBJECT pdo) {
  return bus1394::IsochResource::HeldBy(BusDriver::Require("Bus1394::IsochHeldBy"), pdo);
}

uint32_t Bus1394::Generation() { return BusDriver::Require("Bus1394::Generation").generation; }

const Bus1394Counters& Bus1394::Counters() { return BusDriver::Require("Bus1394::Counters").counters; }

void Bus1394::StartRequestLog(size_t capacity) {
  BusDriver& bus = BusDriver::Require("Bus1394::StartRequestLog");
  bus.log.clear();
  bus.log.reserve(capacity);
  bus.logOverflow = 0;
  bus.logging = true;
}

void Bus1394::StopRequestLog() { BusDriver::Require("Bus1394::StopRequestLog").logging = false; }

const std::vector<BusRequestRecord>& Bus1394::RequestLog() { return BusDriver::Require("Bus1394::RequestLog").log; }

uint64_t Bus1394::RequestLogOverflow() { return BusDriver::Require("Bus1394::RequestLogOverflow").logOverflow; }

void Bus1394::RefuseRequests(ULONG function, NTSTATUS status, uint32_t count) {
  BusDriver::Require("Bus1394::RefuseRequests").refusals.push_back({function, status, count});
}

void Bus1394::SetIsochContexts(uint32_t talk, uint32_t listen) {
  BusDriver::Require("Bus1394::SetIsochContexts").host.SetIsoContexts(talk, listen);
}

}  // namespace plat
