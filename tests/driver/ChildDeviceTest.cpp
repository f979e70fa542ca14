// Each unit's audio child device through plug and play: its identity, bus information and
// capabilities, the bus relations it is reported in, its removal, its power and the function
// device's power that follows it, its wait-wake request, the standard bus interface with its DMA
// adapter, and the unit instance table that lets a renamed expansion unit's MIDI port follow.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/QX531AudioPdo.h"
#include "driver/QX531PnpDevice.h"
#include "driver/UnitInstanceTable.h"
#include "platform/kernel/Leftovers.h"
#include "platform/kernel/PnpManager.h"
#include "platform/kernel/Pool.h"
#include "platform/kernel/include/wdmguid.h"
#include "platform/kernel/PowerManager.h"
#include "sim/units/Kr6Unit.h"
#include "sim/units/MainUnit.h"
#include "tests/driver/DriverRig.h"

namespace {

using drvtest::DriverRig;

constexpr GUID kChildBusType = {0xD5AEA921, 0x17B5, 0x11D4, {0x87, 0x65, 0x00, 0x50, 0x04, 0xDF, 0x1A, 0x8A}};

struct Answer {
  NTSTATUS status;
  ULONG_PTR information;
};

// One PnP or power request sent to the top of the device's stack and waited for.
Answer Send(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& setup,
            NTSTATUS preset = STATUS_NOT_SUPPORTED) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  irp->IoStatus.Status = preset;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = major;
  sp->MinorFunction = minor;
  if (setup) setup(sp);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, SignalEventCompletion, &done, TRUE, TRUE, TRUE);
  if (major == IRP_MJ_POWER)
    PoCallDriver(top, irp);
  else
    IoCallDriver(top, irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  Answer answer{irp->IoStatus.Status, irp->IoStatus.Information};
  IoFreeIrp(irp);
  ObDereferenceObject(top);
  return answer;
}

Answer QueryId(PDEVICE_OBJECT child, BUS_QUERY_ID_TYPE type) {
  return Send(child, IRP_MJ_PNP, IRP_MN_QUERY_ID, [type](PIO_STACK_LOCATION sp) { sp->Parameters.QueryId.IdType = type; });
}

// The wide characters of a pool answer up to `bytes`, freeing it.
std::u16string TakeChars(const Answer& answer, size_t bytes) {
  auto* chars = reinterpret_cast<const char16_t*>(answer.information);
  std::u16string text(chars, bytes / sizeof(char16_t));
  ExFreePool(reinterpret_cast<PVOID>(answer.information));
  return text;
}

std::vector<PDEVICE_OBJECT> TakeRelations(const Answer& answer) {
  std::vector<PDEVICE_OBJECT> objects;
  auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(answer.information);
  if (relations == nullptr) return objects;
  for (ULONG i = 0; i < relations->Count; ++i) {
    objects.push_back(relations->Objects[i]);
    ObDereferenceObject(relations->Objects[i]);
  }
  ExFreePool(relations);
  return objects;
}

Answer QueryRelations(PDEVICE_OBJECT device, DEVICE_RELATION_TYPE type) {
  return Send(device, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS,
              [type](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceRelations.Type = type; });
}

PDEVICE_OBJECT OnlyChild(DriverRig& rig, const sim::Node& unit) {
  std::vector<PDEVICE_OBJECT> children = plat::PnpChildren(rig.PdoOf(unit));
  EXPECT_EQ(children.size(), 1u);
  return children.empty() ? nullptr : children[0];
}

size_t DeviceObjectCount() {
  const std::string left = plat::IoDeviceObjectsLeft();
  return static_cast<size_t>(std::count(left.begin(), left.end(), '\n'));
}

// A device power request the power manager sends to the device's stack, waited for.
NTSTATUS RequestDevicePower(DriverRig& rig, PDEVICE_OBJECT device, DEVICE_POWER_STATE state) {
  struct Result {
    bool done = false;
    NTSTATUS status = STATUS_PENDING;
  } result;
  POWER_STATE ps;
  ps.DeviceState = state;
  PoRequestPowerIrp(device, IRP_MN_SET_POWER, ps,
                    [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status) {
                      auto* r = static_cast<Result*>(context);
                      r->status = status->Status;
                      r->done = true;
                    },
                    &result, nullptr);
  rig.Settle();
  rig.sched.RunUntil([&] { return result.done; }, rig.sched.Now() + plat::kNsPerSecond);
  EXPECT_TRUE(result.done);
  return result.status;
}

TEST(AudioChild, IsEnumeratedUnderEachUnitWithItsIdentityAndBusInformation) {
  DriverRig rig;
  sim::MainUnit main;
  sim::Kr6Unit kr6(7);
  rig.Plug(main);
  rig.Plug(kr6);
  std::vector<std::u16string> paths;
  for (const sim::Node* unit : std::vector<const sim::Node*>{&main, &kr6}) {
    PDEVICE_OBJECT child = OnlyChild(rig, *unit);
    ASSERT_NE(child, nullptr);
    // The child does not vouch for its instance id, so plug and play puts its parent's prefix
    // before it and each unit's child has a path, and interfaces, of its own.
    const std::u16string path = plat::PnpInstancePath(child);
    const std::u16string head = u"QX5310\\*HVN0007\\";
    const std::u16string tail = u"&0&00000000";
    ASSERT_GT(path.size(), head.size() + tail.size());
    EXPECT_EQ(path.substr(0, head.size()), head);
    EXPECT_EQ(path.substr(path.size() - tail.size()), tail);
    paths.push_back(path);
    Answer id = QueryId(child, BusQueryDeviceID);
    ASSERT_EQ(id.status, STATUS_SUCCESS);
    EXPECT_EQ(TakeChars(id, 34), std::u16string(u"QX5310\\*HVN0007\0\0", 17));
    Answer hardware = QueryId(child, BusQueryHardwareIDs);
    ASSERT_EQ(hardware.status, STATUS_SUCCESS);
    EXPECT_EQ(TakeChars(hardware, 20), std::u16string(u"*HVN0007\0\0", 10));
    Answer instance = QueryId(child, BusQueryInstanceID);
    ASSERT_EQ(instance.status, STATUS_SUCCESS);
    EXPECT_EQ(TakeChars(instance, 24), std::u16string(u"00000000\0\0\0\0", 12));
    EXPECT_EQ(QueryId(child, BusQueryCompatibleIDs).status, STATUS_NOT_SUPPORTED) << "kept as it came";

    Answer bus = Send(child, IRP_MJ_PNP, IRP_MN_QUERY_BUS_INFORMATION, {});
    ASSERT_EQ(bus.status, STATUS_SUCCESS);
    auto* info = reinterpret_cast<PPNP_BUS_INFORMATION>(bus.information);
    EXPECT_TRUE(info->BusTypeGuid == kChildBusType);
    EXPECT_EQ(info->LegacyBusType, PNPBus);
    EXPECT_EQ(info->BusNumber, 0u);
    ExFreePool(info);

    EXPECT_EQ(Send(child, IRP_MJ_PNP, IRP_MN_DEVICE_USAGE_NOTIFICATION, {}).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Send(child, IRP_MJ_PNP, IRP_MN_QUERY_RESOURCES, {}, STATUS_NOT_SUPPORTED).status, STATUS_NOT_SUPPORTED);
  }
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_NE(paths[0], paths[1]);
}

struct CapabilityCase {
  USHORT size;
  USHORT version;
  NTSTATUS status;
};

TEST(AudioChild, AnswersCapabilitiesWithTheUnitsPowerMappingAndNoUniqueIdOnlyForAWellFormedRecord) {
  DriverRig rig;
  sim::MainUnit main;
  rig.Plug(main);
  PDEVICE_OBJECT child = OnlyChild(rig, main);
  ASSERT_NE(child, nullptr);
  // The unit's own stack: what its bus says of it.
  DEVICE_CAPABILITIES unit{};
  unit.Size = sizeof unit;
  unit.Version = 1;
  ASSERT_TRUE(NT_SUCCESS(Send(rig.PdoOf(main), IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
                              [&](PIO_STACK_LOCATION sp) { sp->Parameters.DeviceCapabilities.Capabilities = &unit; })
                             .status));
  for (const CapabilityCase& c : std::vector<CapabilityCase>{
           {64, 1, STATUS_SUCCESS}, {63, 1, STATUS_UNSUCCESSFUL}, {64, 2, STATUS_UNSUCCESSFUL}, {64, 0, STATUS_UNSUCCESSFUL}}) {
    SCOPED_TRACE(testing::Message() << "size " << c.size << " version " << c.version);
    DEVICE_CAPABILITIES caps{};
    caps.Size = c.size;
    caps.Version = c.version;
    caps.UniqueID = 1;
    caps.Removable = 1;
    caps.UINumber = 77;
    Answer answer = Send(child, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
                         [&](PIO_STACK_LOCATION sp) { sp->Parameters.DeviceCapabilities.Capabilities = &caps; });
    EXPECT_EQ(answer.status, c.status);
    if (c.status != STATUS_SUCCESS) {
      EXPECT_EQ(caps.UniqueID, 1u);
      continue;
    }
    EXPECT_EQ(caps.UniqueID, 0u);
    EXPECT_EQ(caps.Removable, 1u) << "the other fields stay as the request had them";
    EXPECT_EQ(caps.UINumber, 77u);
    for (int s = 0; s < PowerSystemMaximum; ++s) EXPECT_EQ(caps.DeviceState[s], unit.DeviceState[s]) << s;
  }
}

TEST(AudioChild, IsTheUnitsBusRelationAndItsOwnTargetRelation) {
  DriverRig rig;
  sim::MainUnit main;
  rig.Plug(main);
  PDEVICE_OBJECT child = OnlyChild(rig, main);
  ASSERT_NE(child, nullptr);
  Answer bus = QueryRelations(rig.PdoOf(main), BusRelations);
  ASSERT_EQ(bus.status, STATUS_SUCCESS);
  EXPECT_EQ(TakeRelations(bus), std::vector<PDEVICE_OBJECT>{child});
  Answer target = QueryRelations(child, TargetDeviceRelation);
  ASSERT_EQ(target.status, STATUS_SUCCESS);
  EXPECT_EQ(TakeRelations(target), std::vector<PDEVICE_OBJECT>{child});
  EXPECT_EQ(QueryRelations(child, RemovalRelations).status, STATUS_NOT_SUPPORTED) << "other relations keep their status";
}

TEST(AudioChild, RelationsAnUpperDriverFilledAreLeftAloneWhenThereAreNoChildren) {
  DriverRig rig;
  QX531ChildList list(nullptr);
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoSetNextIrpStackLocation(irp);
  IoGetCurrentIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP;
  IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDeviceRelations.Type = BusRelations;
  auto* upper = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), plat::PoolTag("Test")));
  upper->Count = 1;
  upper->Objects[0] = nullptr;
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(upper);
  EXPECT_EQ(list.QueryBusRelations(irp), STATUS_SUCCESS);
  EXPECT_EQ(irp->IoStatus.Information, reinterpret_cast<ULONG_PTR>(upper));
  EXPECT_EQ(upper->Count, 1u);
  EXPECT_EQ(list.LowestChildPowerState(), PowerDeviceD3) << "no child needs power";
  ExFreePool(upper);
  IoFreeIrp(irp);
}

TEST(AudioChild, APresentChildsRemovalKeepsItRestartableAndAMissingChildsRemovalDeletesIt) {
  DriverRig rig;
  sim::MainUnit main;
  rig.Plug(main);
  QX531PnpDevice* unit = rig.DeviceOf(main);
  ASSERT_NE(unit, nullptr);
  PDEVICE_OBJECT child = OnlyChild(rig, main);
  ASSERT_NE(child, nullptr);
  const size_t devices = DeviceObjectCount();

  ASSERT_TRUE(plat::PnpQueryRemoveAndRemove(child));
  rig.Settle();
  EXPECT_EQ(DeviceObjectCount(), devices) << "a present child keeps its device object";
  EXPECT_EQ(TakeRelations(QueryRelations(rig.PdoOf(main), BusRelations)), std::vector<PDEVICE_OBJECT>{child});
  EXPECT_EQ(Send(child, IRP_MJ_PNP, IRP_MN_START_DEVICE, {}).status, STATUS_SUCCESS) << "and starts again";
  EXPECT_EQ(unit->mChildren.Count(), 1);

  // The child leaves the bus: the next relations leave it out, and its removal deletes it.
  unit->mChildren.FirstChild()->mChildPresent = 0;
  IoInvalidateDeviceRelations(rig.PdoOf(main), BusRelations);
  rig.Settle();
  EXPECT_TRUE(plat::PnpChildren(rig.PdoOf(main)).empty());
  EXPECT_EQ(DeviceObjectCount(), devices - 1);
  EXPECT_EQ(unit->mChildren.Count(), 0) << "the count follows the list";
}

TEST(AudioChild, StopAndStartOfTheUnitKeepsItsOneChildAndItsInstanceEntry) {
  DriverRig rig;
  sim::Kr6Unit kr6(7);
  rig.Plug(kr6);
  QX531PnpDevice* unit = rig.DeviceOf(kr6);
  ASSERT_NE(unit, nullptr);
  PDEVICE_OBJECT child = OnlyChild(rig, kr6);
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(FindUnitInstance(static_cast<LONG>(kr6.Serial())), child);
  for (int cycle = 0; cycle < 2; ++cycle) {
    SCOPED_TRACE(cycle);
    rig.Quiesce();
    ASSERT_TRUE(plat::PnpStopAndRestart(rig.PdoOf(kr6)));
    rig.Settle();
    EXPECT_EQ(plat::PnpChildren(rig.PdoOf(kr6)), std::vector<PDEVICE_OBJECT>{child});
    EXPECT_EQ(unit->mChildren.Count(), 1);
    EXPECT_EQ(FindUnitInstance(static_cast<LONG>(kr6.Serial())), child);
  }
}

TEST(AudioChild, SurpriseRemovalAndRemovalOfTheUnitLeaveNoChildPoolOrDeviceObject) {
  DriverRig rig;
  sim::MainUnit main;
  const size_t devicesBefore = DeviceObjectCount();
  const size_t poolBefore = plat::PoolLedger::OutstandingAllocations();
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    rig.Plug(main);
    PDEVICE_OBJECT child = OnlyChild(rig, main);
    ASSERT_NE(child, nullptr);
    const LONG serial = static_cast<LONG>(rig.DeviceOf(main)->Serial());
    EXPECT_EQ(FindUnitInstance(serial), child);
    rig.Quiesce();
    if (round == 0)
      rig.Unplug(main);
    else
      ASSERT_TRUE(plat::PnpQueryRemoveAndRemove(rig.PdoOf(main)));
    rig.Settle();
    EXPECT_EQ(FindUnitInstance(serial), nullptr);
    if (round == 1) rig.Unplug(main);
    EXPECT_EQ(DeviceObjectCount(), devicesBefore) << plat::IoDeviceObjectsLeft();
    EXPECT_EQ(plat::PoolLedger::OutstandingAllocations(), poolBefore) << plat::PoolLedger::LeakReport();
  }
}

TEST(AudioChild, AChildsPowerDownAndUpNeverLeavesTheUnitsStackInD3) {
  DriverRig rig;
  sim::MainUnit main;
  rig.Plug(main);
  QX531PnpDevice* unit = rig.DeviceOf(main);
  PDEVICE_OBJECT child = OnlyChild(rig, main);
  ASSERT_NE(child, nullptr);
  rig.Quiesce();

  EXPECT_EQ(RequestDevicePower(rig, child, PowerDeviceD3), STATUS_SUCCESS);
  rig.Settle();
  EXPECT_EQ(plat::PoDeviceState(child), PowerDeviceD3);
  EXPECT_EQ(unit->mChildren.DevicePowerState(), PowerDeviceD3) << "the function device followed its child";
  EXPECT_EQ(plat::PoDeviceState(rig.PdoOf(main)), PowerDeviceD3);
  EXPECT_EQ(unit->DevicePowerStateFor(PowerSystemWorking), PowerDeviceD0) << "the unit's own mapping is higher";

  EXPECT_EQ(RequestDevicePower(rig, child, PowerDeviceD0), STATUS_SUCCESS);
  rig.Settle();
  EXPECT_EQ(plat::PoDeviceState(child), PowerDeviceD0);
  EXPECT_EQ(unit->mChildren.DevicePowerState(), PowerDeviceD0);
  EXPECT_EQ(plat::PoDeviceState(rig.PdoOf(main)), PowerDeviceD0) << "the unit's stack is back in D0";

  // A second power-up changes nothing below.
  EXPECT_EQ(RequestDevicePower(rig, child, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(plat::PoDeviceState(rig.PdoOf(main)), PowerDeviceD0);
}

TEST(AudioChild, HoldsOneWaitWakeRequestUntilItIsCancelledOrTheChildWakes) {
  DriverRig rig;
  sim::MainUnit main;
  rig.Plug(main);
  QX531PnpDevice* unit = rig.DeviceOf(main);
  PDEVICE_OBJECT child = OnlyChild(rig, main);
  ASSERT_NE(child, nullptr);
  struct Result {
    bool done = false;
    NTSTATUS status = STATUS_PENDING;
  };
  auto callback = [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status) {
    auto* r = static_cast<Result*>(context);
    r->status = status->Status;
    r->done = true;
  };
  POWER_STATE wake;
  wake.SystemState = PowerSystemSleeping3;

  Result cancelled, busy, woken;
  PIRP first = nullptr;
  PoRequestPowerIrp(child, IRP_MN_WAIT_WAKE, wake, callback, &cancelled, &first);
  rig.Settle();
  EXPECT_FALSE(cancelled.done);
  EXPECT_EQ(unit->mChildren.ArmedWakes(), 1);
  PoRequestPowerIrp(child, IRP_MN_WAIT_WAKE, wake, callback, &busy, nullptr);
  rig.Settle();
  EXPECT_TRUE(busy.done);
  EXPECT_EQ(busy.status, STATUS_DEVICE_BUSY) << "one at a time";
  IoCancelIrp(first);
  rig.Settle();
  EXPECT_TRUE(cancelled.done);
  EXPECT_EQ(cancelled.status, STATUS_CANCELLED);
  EXPECT_EQ(unit->mChildren.ArmedWakes(), 0);

  PoRequestPowerIrp(child, IRP_MN_WAIT_WAKE, wake, callback, &woken, nullptr);
  rig.Settle();
  unit->mChildren.CompleteChildWake();
  rig.Settle();
  EXPECT_TRUE(woken.done);
  EXPECT_EQ(woken.status, STATUS_SUCCESS);
  EXPECT_EQ(unit->mChildren.ArmedWakes(), 0);

  // One still held when the unit goes ends with it.
  Result held;
  PoRequestPowerIrp(child, IRP_MN_WAIT_WAKE, wake, callback, &held, nullptr);
  rig.Settle();
  rig.Quiesce();
  rig.Unplug(main);
  EXPECT_TRUE(held.done);
  EXPECT_EQ(held.status, STATUS_CANCELLED);
}

TEST(AudioChild, ItsStandardBusInterfaceGivesADmaAdapterThatItsPutFrees) {
  DriverRig rig;
  sim::MainUnit main;
  rig.Plug(main);
  PDEVICE_OBJECT child = OnlyChild(rig, main);
  ASSERT_NE(child, nullptr);
  const size_t pool = plat::PoolLedger::OutstandingAllocations();

  for (ULONG version : {DEVICE_DESCRIPTION_VERSION, DEVICE_DESCRIPTION_VERSION1}) {
    SCOPED_TRACE(version);
    DEVICE_DESCRIPTION description{};
    description.Version = version;
    description.Master = TRUE;
    description.MaximumLength = 0x10000;
    ULONG mapRegisters = 0;
    PDMA_ADAPTER adapter = IoGetDmaAdapter(child, &description, &mapRegisters);
    ASSERT_NE(adapter, nullptr);
    EXPECT_EQ(mapRegisters, 8u);
    EXPECT_EQ(adapter->Version, 1);
    EXPECT_EQ(adapter->Size, sizeof(DMA_ADAPTER));
    DMA_OPERATIONS* ops = adapter->DmaOperations;
    EXPECT_EQ(ops->Size, sizeof(DMA_OPERATIONS));
    EXPECT_EQ(ops->GetDmaAlignment(adapter), 4u);
    EXPECT_EQ(ops->ReadDmaCounter(adapter), 0u);
    EXPECT_TRUE(ops->FlushAdapterBuffers(adapter, nullptr, nullptr, nullptr, 0, FALSE));
    PHYSICAL_ADDRESS logical;
    logical.QuadPart = 0x1234;
    EXPECT_EQ(ops->AllocateCommonBuffer(adapter, 0, &logical, FALSE), nullptr);
    PVOID buffer = ops->AllocateCommonBuffer(adapter, 4096, &logical, FALSE);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(logical.QuadPart, 0x1234) << "left as the caller passed it";
    ops->FreeCommonBuffer(adapter, 4096, logical, buffer, FALSE);
    ops->FreeCommonBuffer(adapter, 0, logical, nullptr, FALSE);
    ops->PutDmaAdapter(adapter);
    EXPECT_EQ(plat::PoolLedger::OutstandingAllocations(), pool) << "nothing of the adapter is left";
  }
  DEVICE_DESCRIPTION v2{};
  v2.Version = DEVICE_DESCRIPTION_VERSION2;
  v2.Master = TRUE;
  ULONG untouched = 99;
  EXPECT_EQ(IoGetDmaAdapter(child, &v2, &untouched), nullptr);
  EXPECT_EQ(untouched, 99u);

  // Every member is filled, and only into a record that holds them all.
  BUS_INTERFACE_STANDARD bus{};
  std::memset(&bus, 0xCC, sizeof bus);
  auto query = [&](USHORT size) {
    return Send(child, IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE, [&](PIO_STACK_LOCATION sp) {
      sp->Parameters.QueryInterface.InterfaceType = &GUID_BUS_INTERFACE_STANDARD;
      sp->Parameters.QueryInterface.Size = size;
      sp->Parameters.QueryInterface.Version = 1;
      sp->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&bus);
    });
  };
  EXPECT_EQ(query(sizeof(INTERFACE)).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(bus.Size, 0xCCCC) << "a short record is not written";
  ASSERT_EQ(query(sizeof bus).status, STATUS_SUCCESS);
  EXPECT_EQ(bus.Size, sizeof bus);
  EXPECT_EQ(bus.Version, 1);
  EXPECT_EQ(bus.Context, static_cast<PVOID>(static_cast<PnpDeviceBase*>(rig.DeviceOf(main))));
  bus.InterfaceReference(bus.Context);
  bus.InterfaceDereference(bus.Context);
  EXPECT_FALSE(bus.TranslateBusAddress(bus.Context, PHYSICAL_ADDRESS{}, 0, nullptr, nullptr));
  EXPECT_EQ(bus.GetBusData(bus.Context, 0, nullptr, 0, 0), 0u);
  EXPECT_EQ(bus.SetBusData(bus.Context, 0, nullptr, 0, 0), 0u);
  const GUID other = {0x12345678, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
  EXPECT_EQ(Send(child, IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE, [&](PIO_STACK_LOCATION sp) {
              sp->Parameters.QueryInterface.InterfaceType = &other;
            }).status,
            STATUS_NOT_SUPPORTED);
}

// The audio adapter's install gives each MIDI port interface of the expansion unit's child its
// first name; renaming the unit from user mode renames them.
TEST(AudioChild, RenamingAnExpansionUnitFromUserModeRenamesItsMidiPortInterfaces) {
  DriverRig rig;
  sim::MainUnit main;
  sim::Kr6Unit kr6(7);
  rig.Plug(main);
  rig.Plug(kr6);
  PDEVICE_OBJECT child = OnlyChild(rig, kr6);
  ASSERT_NE(child, nullptr);
  const GUID classes[] = {{0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}},
                          {0x65E8773E, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}},
                          {0x65E8773D, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}}};
  UNICODE_STRING friendlyName;
  RtlInitUnicodeString(&friendlyName, L"FriendlyName");
  std::vector<UNICODE_STRING> links;
  for (const GUID& interfaceClass : classes) {
    UNICODE_STRING reference;
    RtlInitUnicodeString(&reference, L"MidiKR6");
    UNICODE_STRING link;
    ASSERT_EQ(IoRegisterDeviceInterface(child, &interfaceClass, &reference, &link), STATUS_SUCCESS);
    ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    HANDLE key;
    ASSERT_EQ(IoOpenDeviceInterfaceRegistryKey(&link, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    std::u16string first = u"KR-6 MIDI";
    ZwSetValueKey(key, &friendlyName, 0, REG_SZ, first.data(), static_cast<ULONG>((first.size() + 1) * 2));
    ZwClose(key);
    links.push_back(link);
  }

  const uint32_t serial = kr6.Serial();
  EXPECT_TRUE(rig.RenameUnit(serial, "Left wing"));

  for (UNICODE_STRING& link : links) {
    HANDLE key;
    ASSERT_EQ(IoOpenDeviceInterfaceRegistryKey(&link, KEY_READ, &key), STATUS_SUCCESS);
    std::vector<uint8_t> info(512);
    ULONG returned = 0;
    ASSERT_EQ(ZwQueryValueKey(key, &friendlyName, KeyValuePartialInformation, info.data(),
                              static_cast<ULONG>(info.size()), &returned),
              STATUS_SUCCESS);
    ZwClose(key);
    auto* value = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(info.data());
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(value->Data)), u"Left wing");
    RtlFreeUnicodeString(&link);
  }
}

}  // namespace
