#include "tests/driver/TestAdapter.h"

#include <algorithm>
#include <new>

#include "platform/kernel/PnpManager.h"

namespace drvtest {

namespace {

std::vector<TestAdapter*> gAdapters;

void AdapterMidiIn(PVOID client, const ULONG* packet) { static_cast<TestAdapter*>(client)->midiIn.push_back(*packet); }

void AdapterWaveNotify(PVOID client, ULONG pin, ULONG direction) {
  auto* adapter = static_cast<TestAdapter*>(client);
  if (pin < 34 && direction < 2) ++adapter->notifies[pin][direction];
  if (adapter->onNotify != nullptr) adapter->onNotify(adapter, pin, direction);
}

NTSTATUS Signal(PDEVICE_OBJECT, PIRP, PVOID event) {
  KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CallAndWait(PDEVICE_OBJECT target, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, Signal, &done, TRUE, TRUE, TRUE);
  IoCallDriver(target, irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

void Bind(TestAdapter* adapter) {
  PIRP irp = IoAllocateIrp(adapter->lower->StackSize, FALSE);
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
  t.ConnectClient(t.Context, adapter->lower, nullptr, nullptr);
  t.GetDeviceFlags(t.Context, adapter, &adapter->flags);
  t.RegisterCallbacks(t.Context, adapter, AdapterMidiIn, AdapterWaveNotify);
  adapter->bound = true;
}

void Unbind(TestAdapter* adapter) {
  if (!adapter->bound) return;
  PdoDirectInterface& t = adapter->table;
  t.RegisterCallbacks(t.Context, nullptr, nullptr, nullptr);
  t.InterfaceDereference(t.Context);
  adapter->bound = false;
}

NTSTATUS AdapterPnp(PDEVICE_OBJECT device, PIRP irp) {
  auto* adapter = static_cast<TestAdapter*>(device->DeviceExtension);
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      IoCopyCurrentIrpStackLocationToNext(irp);
      const NTSTATUS status = CallAndWait(adapter->lower, irp);
      if (NT_SUCCESS(status)) {
        Bind(adapter);
        gAdapters.push_back(adapter);
      }
      irp->IoStatus.Status = status;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    }
    case IRP_MN_REMOVE_DEVICE: {
      Unbind(adapter);
      std::erase(gAdapters, adapter);
      IoSkipCurrentIrpStackLocation(irp);
      const NTSTATUS status = IoCallDriver(adapter->lower, irp);
      IoDetachDevice(adapter->lower);
      adapter->~TestAdapter();
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
  return PoCallDriver(static_cast<TestAdapter*>(device->DeviceExtension)->lower, irp);
}

NTSTATUS AdapterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(TestAdapter), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  auto* adapter = new (device->DeviceExtension) TestAdapter{};
  adapter->self = device;
  adapter->lower = IoAttachDeviceToDeviceStack(device, pdo);
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

}  // namespace

void InstallTestAdapter() {
  gAdapters.clear();
  plat::PnpRegisterService(u"qxtestadapter", AdapterEntry);
  plat::PnpBindHardwareId(u"*HVN0007", u"qxtestadapter");
}

std::vector<TestAdapter*>& TestAdapters() { return gAdapters; }

TestAdapter* MainUnitAdapter() {
  auto it = std::find_if(gAdapters.begin(), gAdapters.end(),
                         [](const TestAdapter* a) { return a->bound && !(a->flags & kWdmDeviceExpansionUnit); });
  return it == gAdapters.end() ? nullptr : *it;
}

}  // namespace drvtest
