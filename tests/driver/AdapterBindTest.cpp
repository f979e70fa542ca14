// An audio adapter stand-in loaded by plug and play on a unit's child device: it asks the child
// for the direct-call table at its start, registers for MIDI in, and unregisters at its removal.
// MIDI from the main unit's ports reaches it as the unit sent it, an expansion unit's surface
// reaches its adapter on the surface cable, MIDI it sends reaches the unit, and nothing of either
// driver is left once the units are gone.
#include <gtest/gtest.h>

#include <new>
#include <vector>

#include "driver/PdoDirectInterface.h"
#include "driver/QX531PnpDevice.h"
#include "platform/kernel/PnpManager.h"
#include "sim/units/Kr6Unit.h"
#include "sim/units/MainUnit.h"
#include "tests/driver/DriverRig.h"

namespace {

using drvtest::DriverRig;

struct Adapter {
  PDEVICE_OBJECT self;
  PDEVICE_OBJECT lower;
  PdoDirectInterface table;
  bool bound;
  std::vector<ULONG>* midiIn;
};

// What the tests see of the adapters: one per child, in the order they started.
std::vector<Adapter*> gAdapters;
std::vector<ULONG> gMidiIn[2];

void AdapterMidiIn(PVOID client, const ULONG* packet) { static_cast<Adapter*>(client)->midiIn->push_back(*packet); }

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

void Bind(Adapter* adapter) {
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
  ULONG flags = 0;
  t.ConnectClient(t.Context, adapter->lower, nullptr, nullptr);
  t.GetDeviceFlags(t.Context, adapter, &flags);
  adapter->midiIn = &gMidiIn[flags & kWdmDeviceExpansionUnit];
  t.RegisterCallbacks(t.Context, adapter, AdapterMidiIn, nullptr);
  adapter->bound = true;
}

void Unbind(Adapter* adapter) {
  if (!adapter->bound) return;
  PdoDirectInterface& t = adapter->table;
  t.RegisterCallbacks(t.Context, nullptr, nullptr, nullptr);
  t.InterfaceDereference(t.Context);
  adapter->bound = false;
}

NTSTATUS AdapterPnp(PDEVICE_OBJECT device, PIRP irp) {
  auto* adapter = static_cast<Adapter*>(device->DeviceExtension);
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
      IoDeleteDevice(adapter->self);
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

NTSTATUS AdapterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(Adapter), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  auto* adapter = new (device->DeviceExtension) Adapter{device, nullptr, {}, false, nullptr};
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

TEST(AdapterOnTheChild, BindsExchangesMidiBothWaysWithEachUnitAndLeavesNothingOnceTheUnitsAreGone) {
  gAdapters.clear();
  gMidiIn[0].clear();
  gMidiIn[1].clear();
  {
    DriverRig rig;
    plat::PnpRegisterService(u"qxtestadapter", AdapterEntry);
    plat::PnpBindHardwareId(u"*HVN0007", u"qxtestadapter");
    sim::MainUnit main;
    sim::Kr6Unit kr6(7);
    rig.Plug(main);
    rig.Plug(kr6);
    ASSERT_EQ(gAdapters.size(), 2u);
    for (Adapter* adapter : gAdapters) EXPECT_TRUE(adapter->bound);
    // MIDI on, as a client of the unit asks for it.
    uint32_t midiOnly = QX531Device::kStreamMaskMidi;
    uint32_t returned = 0;
    ASSERT_EQ(rig.DeviceOf(main)->HandleControlRequest(5, &midiOnly, sizeof midiOnly, 0, &returned), 0);
    ASSERT_EQ(rig.DeviceOf(kr6)->HandleControlRequest(5, &midiOnly, sizeof midiOnly, 0, &returned), 0);
    rig.Quiesce();

    const std::vector<ULONG> sent = {0x09903C40, 0x19B00705, 0x2BC00500, 0x3E807F00};
    for (ULONG packet : sent) main.SendMidiInPacket(packet);
    rig.Quiesce();
    EXPECT_EQ(gMidiIn[0], sent) << "every port of the main unit, as the unit sent it";

    Adapter* mainAdapter = gMidiIn[0].empty() ? nullptr : gAdapters[0];
    ASSERT_NE(mainAdapter, nullptr);
    PdoDirectInterface& t = mainAdapter->table;
    main.ClearMidiOut();
    EXPECT_EQ(t.SendMidiEvent(t.Context, 0x09, 0x90, 0x3C, 0x40), STATUS_SUCCESS);
    rig.Quiesce();
    EXPECT_EQ(main.MidiOutPackets(0), std::vector<uint32_t>{0x09903C40});

    // The expansion unit's surface reaches its own adapter on the surface cable.
    kr6.MoveFader(0, 0x2000);
    rig.Quiesce();
    ASSERT_FALSE(gMidiIn[1].empty());
    for (ULONG packet : gMidiIn[1]) EXPECT_EQ(packet >> 28, 4u) << std::hex << packet;

    rig.Unplug(kr6);
    EXPECT_EQ(gAdapters.size(), 1u) << "the expansion unit's adapter unbound with its unit";
    rig.Unplug(main);
    EXPECT_TRUE(gAdapters.empty());
  }
}

}  // namespace
