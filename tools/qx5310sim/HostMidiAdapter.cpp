#include "tools/qx5310sim/HostMidiAdapter.h"

#include <algorithm>
#include <map>
#include <new>

#include "driver/PdoDirectInterface.h"
#include "platform/bus1394/Bus1394.h"
#include "platform/kernel/PnpManager.h"

namespace {

struct Adapter {
  PDEVICE_OBJECT self;
  PDEVICE_OBJECT pdo;
  PDEVICE_OBJECT lower;
  PdoDirectInterface table;
  bool bound;
  uint64_t unitGuid;
};

std::vector<Adapter*> gAdapters;
std::vector<uint64_t> gWatched;
std::map<uint64_t, std::vector<uint32_t>> gMidiIn;

// DISPATCH_LEVEL: every event the unit delivers.
void MidiInCallback(PVOID client, const ULONG* packet) {
  gMidiIn[static_cast<Adapter*>(client)->unitGuid].push_back(*packet);
}

NTSTATUS Signal(PDEVICE_OBJECT, PIRP, PVOID event) {
  KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// PASSIVE_LEVEL.
NTSTATUS CallAndWait(PDEVICE_OBJECT target, PIRP irp) {
  PAGED_CODE();
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, Signal, &done, TRUE, TRUE, TRUE);
  IoCallDriver(target, irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

// The watched unit whose child this adapter sits on; 0 for none.
uint64_t UnitGuidOf(PDEVICE_OBJECT child) {
  for (uint64_t guid : gWatched) {
    PDEVICE_OBJECT unit = plat::Bus1394::PdoOf(guid);
    if (unit == nullptr) continue;
    const std::vector<PDEVICE_OBJECT> children = plat::PnpChildren(unit);
    if (std::find(children.begin(), children.end(), child) != children.end()) return guid;
  }
  return 0;
}

// PASSIVE_LEVEL, at start.
void Bind(Adapter* adapter) {
  PAGED_CODE();
  PIRP irp = IoAllocateIrp(adapter->lower->StackSize, FALSE);
  if (irp == nullptr) return;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = IRP_MJ_PNP;
  sp->MinorFunction = IRP_MN_QUERY_INTERFACE;
  sp->Parameters.QueryInterface.InterfaceType = &GUID_QX531_PDO_DIRECT_INTERFACE;
  sp->Parameters.QueryInterface.Size = sizeof(PdoDirectInterface);
  sp->Parameters.QueryInterface.Version = kPdoDirectInterfaceVersion;
  sp->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&adapter->table);
  const NTSTATUS status = CallAndWait(adapter->lower, irp);
  IoFreeIrp(irp);
  if (!NT_SUCCESS(status)) return;
  PdoDirectInterface& t = adapter->table;
  t.ConnectClient(t.Context, adapter->pdo, nullptr, nullptr);
  t.RegisterCallbacks(t.Context, adapter, MidiInCallback, nullptr);
  adapter->bound = true;
}

// PASSIVE_LEVEL, at removal.
void Unbind(Adapter* adapter) {
  PAGED_CODE();
  if (!adapter->bound) return;
  PdoDirectInterface& t = adapter->table;
  t.RegisterCallbacks(t.Context, nullptr, nullptr, nullptr);
  t.InterfaceDereference(t.Context);
  adapter->bound = false;
}

// PASSIVE_LEVEL.
NTSTATUS AdapterPnp(PDEVICE_OBJECT device, PIRP irp) {
  PAGED_CODE();
  auto* adapter = static_cast<Adapter*>(device->DeviceExtension);
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      IoCopyCurrentIrpStackLocationToNext(irp);
      const NTSTATUS status = CallAndWait(adapter->lower, irp);
      if (NT_SUCCESS(status)) Bind(adapter);
      irp->IoStatus.Status = status;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    }
    case IRP_MN_SURPRISE_REMOVAL:
      Unbind(adapter);
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(adapter->lower, irp);
    case IRP_MN_REMOVE_DEVICE: {
      Unbind(adapter);
      std::erase(gAdapters, adapter);
      IoSkipCurrentIrpStackLocation(irp);
      const NTSTATUS status = IoCallDriver(adapter->lower, irp);
      IoDetachDevice(adapter->lower);
      adapter->~Adapter();
      IoDeleteDevice(device);
      return status;
    }
    default:
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(adapter->lower, irp);
  }
}

NTSTATUS AdapterPower(PDEVICE_OBJECT device, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(static_cast<Adapter*>(device->DeviceExtension)->lower, irp);
}

// PASSIVE_LEVEL.
NTSTATUS AdapterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PAGED_CODE();
  PDEVICE_OBJECT device = nullptr;
  const NTSTATUS status = IoCreateDevice(driver, sizeof(Adapter), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  auto* adapter = new (device->DeviceExtension) Adapter{device, pdo, nullptr, {}, false, UnitGuidOf(pdo)};
  adapter->lower = IoAttachDeviceToDeviceStack(device, pdo);
  gAdapters.push_back(adapter);
  device->Flags |= DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

void AdapterUnload(PDRIVER_OBJECT) {}

NTSTATUS AdapterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverExtension->AddDevice = AdapterAddDevice;
  driver->MajorFunction[IRP_MJ_PNP] = AdapterPnp;
  driver->MajorFunction[IRP_MJ_POWER] = AdapterPower;
  driver->DriverUnload = AdapterUnload;
  return STATUS_SUCCESS;
}

Adapter* BoundAdapter(uint64_t unitGuid) {
  for (Adapter* a : gAdapters)
    if (a->bound && a->unitGuid == unitGuid) return a;
  return nullptr;
}

}  // namespace

namespace HostMidiAdapter {

void Install() {
  gAdapters.clear();
  gWatched.clear();
  gMidiIn.clear();
  plat::PnpRegisterService(u"qx5310hostmidi", AdapterEntry);
  plat::PnpBindHardwareId(u"*HVN0007", u"qx5310hostmidi");
}

void Watch(uint64_t unitGuid) { gWatched.push_back(unitGuid); }

bool Bound(uint64_t unitGuid) { return BoundAdapter(unitGuid) != nullptr; }

const std::vector<uint32_t>& MidiIn(uint64_t unitGuid) { return gMidiIn[unitGuid]; }

bool Send(uint64_t unitGuid, uint32_t packet) {
  Adapter* a = BoundAdapter(unitGuid);
  if (a == nullptr) return false;
  PdoDirectInterface& t = a->table;
  return NT_SUCCESS(t.SendMidiEvent(t.Context, static_cast<UCHAR>(packet >> 24), static_cast<UCHAR>(packet >> 16),
                                    static_cast<UCHAR>(packet >> 8), static_cast<UCHAR>(packet)));
}

}  // namespace HostMidiAdapter
