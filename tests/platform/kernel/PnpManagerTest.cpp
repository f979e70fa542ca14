#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/kernel/PnpTestBus.h"
#include "platform/kernel/RegistryHive.h"
#include "platform/kernel/Scheduler.h"
#include "platform/kernel/Verifier.h"
#include "platform/kernel/include/wdm.h"
#include "platform/kernel/WideText.h"

namespace {

// A plain WDM function driver: it passes PnP and power down, serves file IRPs, and refuses
// QUERY_REMOVE when told to.
struct Fdo {
  PDEVICE_OBJECT lower;
  std::vector<UCHAR>* seen;
};
std::vector<UCHAR> gSeen;
bool gRefuseQueryRemove = false;
bool gKeepOnRemove = false;       // REMOVE detaches the device but leaves deleting it to the test
PDEVICE_OBJECT gKept = nullptr;
int gUnloads = 0;
const GUID kInterface = {0x0D7C1E55, 0x41A2, 0x4B8E, {0x91, 0x3C, 0x22, 0x6F, 0x0A, 0xB4, 0x58, 0xE1}};

NTSTATUS FdoDispatch(PDEVICE_OBJECT d, PIRP irp) {
  auto* x = static_cast<Fdo*>(d->DeviceExtension);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  if (sp->MajorFunction == IRP_MJ_POWER) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(x->lower, irp);
  }
  if (sp->MajorFunction != IRP_MJ_PNP) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }
  gSeen.push_back(sp->MinorFunction);
  if (sp->MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE && gRefuseQueryRemove) {
    irp->IoStatus.Status = STATUS_DEVICE_BUSY;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_DEVICE_BUSY;
  }
  UCHAR minor = sp->MinorFunction;
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(x->lower, irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    IoDetachDevice(x->lower);
    if (gKeepOnRemove)
      gKept = d;
    else
      IoDeleteDevice(d);
  }
  return status;
}

NTSTATUS FdoAdd(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT d = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(Fdo), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &d);
  if (!NT_SUCCESS(status)) return status;
  auto* x = static_cast<Fdo*>(d->DeviceExtension);
  x->lower = IoAttachDeviceToDeviceStack(d, pdo);
  d->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS FdoEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& fn : driver->MajorFunction) fn = FdoDispatch;
  driver->DriverExtension->AddDevice = FdoAdd;
  driver->DriverUnload = [](PDRIVER_OBJECT) { ++gUnloads; };
  return STATUS_SUCCESS;
}

// A bus of one child for a root device: the child's PDO answers its ids; each deletes itself at
// its removal (the child is removed only when its bus is pulled).
struct MiniBus {
  PDEVICE_OBJECT lower;  // the bus: the device it attached to
  PDEVICE_OBJECT child;  // the bus: its child; null for the child
};

PWCHAR PoolId(const std::u16string& id) {
  auto* p = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, (id.size() + 2) * sizeof(WCHAR), plat::PoolTag("MBus")));
  if (p == nullptr) return nullptr;
  std::memset(p, 0, (id.size() + 2) * sizeof(WCHAR));
  std::memcpy(p, id.data(), id.size() * sizeof(WCHAR));
  return p;
}

NTSTATUS MiniBusDispatch(PDEVICE_OBJECT d, PIRP irp) {
  auto* x = static_cast<MiniBus*>(d->DeviceExtension);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  if (sp->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
  if (x->child != nullptr) {
    if (sp->MajorFunction == IRP_MJ_PNP && sp->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS &&
        sp->Parameters.QueryDeviceRelations.Type == BusRelations) {
      auto* relations =
          static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), plat::PoolTag("MBus")));
      if (relations == nullptr) {
        irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INSUFFICIENT_RESOURCES;
      }
      relations->Count = 1;
      relations->Objects[0] = x->child;
      ObReferenceObject(x->child);
      irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
      irp->IoStatus.Status = STATUS_SUCCESS;
    } else if (sp->MajorFunction == IRP_MJ_PNP) {
      irp->IoStatus.Status = STATUS_SUCCESS;
    }
    const bool remove = sp->MajorFunction == IRP_MJ_PNP && sp->MinorFunction == IRP_MN_REMOVE_DEVICE;
    PDEVICE_OBJECT lower = x->lower;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = sp->MajorFunction == IRP_MJ_POWER ? PoCallDriver(lower, irp) : IoCallDriver(lower, irp);
    if (remove) {
      IoDetachDevice(lower);
      IoDeleteDevice(d);
    }
    return status;
  }
  NTSTATUS status = irp->IoStatus.Status;
  if (sp->MajorFunction == IRP_MJ_POWER) {
    status = STATUS_SUCCESS;
  } else if (sp->MinorFunction == IRP_MN_QUERY_ID) {
    const BUS_QUERY_ID_TYPE type = sp->Parameters.QueryId.IdType;
    PWCHAR id = type == BusQueryInstanceID ? PoolId(u"7")
                : type == BusQueryDeviceID || type == BusQueryHardwareIDs ? PoolId(u"PNPTEST\\DEV")
                                                                           : nullptr;
    if (id != nullptr) {
      irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(id);
      status = STATUS_SUCCESS;
    }
  } else if (sp->MinorFunction == IRP_MN_QUERY_CAPABILITIES) {
    sp->Parameters.DeviceCapabilities.Capabilities->UniqueID = 1;
    status = STATUS_SUCCESS;
  } else if (sp->MinorFunction <= IRP_MN_CANCEL_STOP_DEVICE || sp->MinorFunction == IRP_MN_SURPRISE_REMOVAL) {
    status = STATUS_SUCCESS;
  }
  const bool deleteNow = sp->MajorFunction == IRP_MJ_PNP && sp->MinorFunction == IRP_MN_REMOVE_DEVICE;
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  if (deleteNow) IoDeleteDevice(d);
  return status;
}

NTSTATUS MiniBusAdd(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT bus = nullptr;
  PDEVICE_OBJECT child = nullptr;
  IoCreateDevice(driver, sizeof(MiniBus), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &bus);
  IoCreateDevice(driver, sizeof(MiniBus), nullptr, FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &child);
  *static_cast<MiniBus*>(child->DeviceExtension) = {nullptr, nullptr};
  *static_cast<MiniBus*>(bus->DeviceExtension) = {IoAttachDeviceToDeviceStack(bus, pdo), child};
  child->Flags &= ~DO_DEVICE_INITIALIZING;
  bus->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS MiniBusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& fn : driver->MajorFunction) fn = MiniBusDispatch;
  driver->DriverExtension->AddDevice = MiniBusAdd;
  driver->DriverUnload = [](PDRIVER_OBJECT) {};
  return STATUS_SUCCESS;
}

class Pnp : public testing::Test {
 protected:
  void SetUp() override {
    gSeen.clear();
    gRefuseQueryRemove = false;
    gKeepOnRemove = false;
    gKept = nullptr;
    gUnloads = 0;
    plat::RegistryHive::Clear();
    plat::PnpRegisterService(u"pnptestfdo", FdoEntry);
    plat::PnpBindHardwareId(u"PNPTEST\\DEV", u"pnptestfdo");
  }
  void TearDown() override {
    EXPECT_TRUE(plat::PnpShutdown());
    EXPECT_EQ(plat::ObNamespaceSize(), 0u);
    EXPECT_EQ(plat::IoLiveIrps(), 0u);
    plat::RegistryHive::Clear();
  }
  std::vector<std::string> LogFor(const std::string& instance) {
    std::vector<std::string> out;
    for (auto& line : plat::PnpLog())
      if (line.size() > instance.size() && line.compare(line.size() - instance.size(), instance.size(), instance) == 0)
        out.push_back(line.substr(0, line.size() - instance.size() - 1));
    return out;
  }
  plat::Scheduler sched;
};

// An id the bus does not vouch for is prefixed with its parent's depth and a hash of the parent's
// path, so it stays unique beside the same id under another parent.
TEST_F(Pnp, AnInstanceIdTheBusDoesNotVouchForIsPrefixedByItsParent) {
  PDEVICE_OBJECT vouched = plat::TestBus::Plug({u"PNPTEST\\ID", u"1"});
  plat::TestBusChild plain{u"PNPTEST\\ID", u"2"};
  plain.uniqueId = false;
  PDEVICE_OBJECT prefixed = plat::TestBus::Plug(plain);
  EXPECT_EQ(plat::PnpInstancePath(vouched), u"PNPTEST\\ID\\1");
  const std::u16string path = plat::PnpInstancePath(prefixed);
  const std::u16string head = u"PNPTEST\\ID\\";  // then the depth, "&", eight hex digits
  const std::u16string tail = u"&0&2";
  ASSERT_EQ(path.size(), head.size() + 2 + 8 + tail.size());
  EXPECT_EQ(path.substr(0, head.size()), head);
  EXPECT_EQ(path.substr(path.size() - tail.size()), tail);
}

TEST_F(Pnp, ADeviceIsIdentifiedAddedStartedAndAskedForChildrenInWindowsOrder) {
  PDEVICE_OBJECT pdo = plat::TestBus::Plug({u"PNPTEST\\DEV", u"1"});
  EXPECT_EQ(plat::PnpState(pdo), plat::DevnodeState::Started);
  EXPECT_EQ(plat::PnpInstancePath(pdo), u"PNPTEST\\DEV\\1");
  EXPECT_EQ(LogFor("PNPTEST\\DEV\\1"),
            (std::vector<std::string>{"QUERY_ID", "QUERY_ID", "QUERY_CAPABILITIES", "QUERY_DEVICE_TEXT",
                                      "QUERY_DEVICE_TEXT", "QUERY_BUS_INFORMATION", "QUERY_RESOURCES",
                                      "QUERY_RESOURCE_REQUIREMENTS", "FILTER_RESOURCE_REQUIREMENTS", "START",
                                      "QUERY_CAPABILITIES", "QUERY_PNP_DEVICE_STATE", "QUERY_RELATIONS"}));
  EXPECT_EQ(gSeen.front(), IRP_MN_FILTER_RESOURCE_REQUIREMENTS) << "the function driver joins after AddDevice";
}

uint64_t TraceOfPluggingTwoDevices() {
  plat::Scheduler s;
  plat::RegistryHive::Clear();
  plat::PnpRegisterService(u"pnptestfdo", FdoEntry);
  plat::PnpBindHardwareId(u"PNPTEST\\DEV", u"pnptestfdo");
  plat::TestBus::Plug({u"PNPTEST\\DEV", u"1"});
  plat::TestBus::Plug({u"PNPTEST\\DEV", u"2"});
  uint64_t hash = s.TraceHash();
  EXPECT_TRUE(plat::PnpShutdown());
  plat::RegistryHive::Clear();
  return hash;
}

TEST(PnpTrace, PluggingDevicesGivesTheSameTraceInEveryMachine) {
  uint64_t first = TraceOfPluggingTwoDevices();
  std::vector<void*> shift(64);
  for (auto& p : shift) p = ExAllocatePoolWithTag(PagedPool, 48, plat::PoolTag("Shft"));
  EXPECT_EQ(TraceOfPluggingTwoDevices(), first) << "pointers must not reach the trace";
  for (void* p : shift) ExFreePoolWithTag(p, plat::PoolTag("Shft"));
}

TEST_F(Pnp, ChildrenAreRemovedBeforeTheirParent) {
  plat::TestBus::Plug({u"PNPTEST\\DEV", u"1"});
  plat::TestBus::Plug({u"PNPTEST\\DEV", u"2"});
  plat::PnpLog().clear();
  ASSERT_TRUE(plat::PnpShutdown());
  std::vector<std::string> removes;
  for (auto& line : plat::PnpLog())
    if (line.rfind("REMOVE@", 0) == 0) removes.push_back(line.substr(7));
  EXPECT_EQ(removes, (std::vector<std::string>{"PNPTEST\\DEV\\1", "PNPTEST\\DEV\\2", "ROOT\\QXTESTBUS\\0"}));
}

TEST_F(Pnp, ARefusedQueryRemoveIsCancelledAndARemovalOtherwiseFollows) {
  struct Case {
    bool refuse;
    bool removed;
    std::vector<UCHAR> seen;
  } cases[] = {
      {true, false, {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}},
      {false, true, {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}},
  };
  int instance = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.refuse ? "refused" : "agreed");
    PDEVICE_OBJECT pdo = plat::TestBus::Plug({u"PNPTEST\\DEV", std::u16string(1, static_cast<char16_t>(u'0' + instance++))});
    gSeen.clear();
    gRefuseQueryRemove = c.refuse;
    EXPECT_EQ(plat::PnpQueryRemoveAndRemove(pdo), c.removed);
    EXPECT_EQ(gSeen, c.seen);
    EXPECT_EQ(plat::PnpState(pdo), c.removed ? plat::DevnodeState::Removed : plat::DevnodeState::Started);
  }
}

TEST_F(Pnp, AStopForRebalanceStartsTheDeviceAgain) {
  PDEVICE_OBJECT pdo = plat::TestBus::Plug({u"PNPTEST\\DEV", u"1"});
  gSeen.clear();
  EXPECT_TRUE(plat::PnpStopAndRestart(pdo));
  EXPECT_EQ(gSeen, (std::vector<UCHAR>{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE}));
  EXPECT_EQ(plat::PnpState(pdo), plat::DevnodeState::Started);
}

TEST_F(Pnp, SurpriseRemovalWaitsForTheLastFileBeforeRemove) {
  PDEVICE_OBJECT pdo = plat::TestBus::Plug({u"PNPTEST\\DEV", u"1"});
  PFILE_OBJECT file = nullptr;
  std::u16string name = plat::ObFullName(pdo);
  ASSERT_EQ(plat::IoOpenFile(name, &file), STATUS_SUCCESS);
  gSeen.clear();
  plat::TestBus::Unplug(pdo);
  EXPECT_EQ(gSeen, (std::vector<UCHAR>{IRP_MN_SURPRISE_REMOVAL}));
  plat::IoCloseFile(file);
  plat::PnpSettle();
  EXPECT_EQ(gSeen, (std::vector<UCHAR>{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
}

TEST_F(Pnp, APulledBusIsRemovedOnlyAfterItsChildWhoseLastFileClosedLate) {
  plat::PnpRegisterService(u"pnptestminibus", MiniBusEntry);
  plat::PnpBindHardwareId(u"PNPTEST\\BUS", u"pnptestminibus");
  PDEVICE_OBJECT root = plat::PnpAddRootDevice(u"PNPTEST\\BUS", u"0");
  std::vector<PDEVICE_OBJECT> children = plat::PnpChildren(root);
  ASSERT_EQ(children.size(), 1u);
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(plat::IoOpenFile(plat::ObFullName(children[0]), &file), STATUS_SUCCESS);
  plat::PnpLog().clear();
  plat::PnpRemoveRootDevice(root);
  plat::PnpSettle();
  auto removals = [] {
    std::vector<std::string> out;
    for (auto& line : plat::PnpLog())
      if (line.rfind("SURPRISE_REMOVAL@", 0) == 0 || line.rfind("REMOVE@", 0) == 0) out.push_back(line);
    return out;
  };
  EXPECT_EQ(removals(), (std::vector<std::string>{"SURPRISE_REMOVAL@PNPTEST\\DEV\\7",
                                                  "SURPRISE_REMOVAL@ROOT\\PNPTEST\\BUS\\0"}))
      << "the bus waits for its child, which waits for its file";
  plat::IoCloseFile(file);
  plat::PnpSettle();
  EXPECT_EQ(removals(), (std::vector<std::string>{"SURPRISE_REMOVAL@PNPTEST\\DEV\\7",
                                                  "SURPRISE_REMOVAL@ROOT\\PNPTEST\\BUS\\0",
                                                  "REMOVE@PNPTEST\\DEV\\7", "REMOVE@ROOT\\PNPTEST\\BUS\\0"}));
}

TEST_F(Pnp, AnEjectIsQueriedThenRemovesTheStackAndTakesTheDeviceOffTheBus) {
  struct Case {
    const char* what;
    bool refuse;
    std::vector<UCHAR> seen;
    std::vector<std::string> log;
  } cases[] = {
      {"refused", true, {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE},
       {"QUERY_REMOVE", "CANCEL_REMOVE"}},
      {"agreed", false, {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE},
       {"QUERY_REMOVE", "REMOVE", "EJECT", "REMOVE"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PDEVICE_OBJECT pdo = plat::TestBus::Plug({u"PNPTEST\\DEV", u"1"});
    gSeen.clear();
    plat::PnpLog().clear();
    gRefuseQueryRemove = c.refuse;
    IoRequestDeviceEject(pdo);
    plat::PnpSettle();
    EXPECT_EQ(gSeen, c.seen);
    EXPECT_EQ(LogFor("PNPTEST\\DEV\\1"), c.log) << "the second REMOVE deletes the PDO once it has left the bus";
    if (c.refuse) {
      EXPECT_EQ(plat::PnpState(pdo), plat::DevnodeState::Started);
      gRefuseQueryRemove = false;
      plat::TestBus::Unplug(pdo);
    }
  }
}

TEST_F(Pnp, ADriverIsUnloadedOnlyOnceItsLastDeviceObjectIsDeleted) {
  struct Case {
    const char* what;
    bool deletesLater;
    bool newDeviceMeanwhile;  // another device of the driver arrives before the deletion
    int unloadsAfterRemove, unloadsAfterDelete;
  } cases[] = {
      {"deleted in REMOVE", false, false, 1, 1},
      {"deleted after REMOVE", true, false, 0, 1},
      {"deleted after another device arrived", true, true, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    gUnloads = 0;
    gKept = nullptr;
    gKeepOnRemove = c.deletesLater;
    PDEVICE_OBJECT pdo = plat::TestBus::Plug({u"PNPTEST\\DEV", u"1"});
    PDRIVER_OBJECT driver = pdo->AttachedDevice->DriverObject;
    plat::TestBus::Unplug(pdo);
    EXPECT_EQ(gUnloads, c.unloadsAfterRemove);
    gKeepOnRemove = false;
    PDEVICE_OBJECT other = c.newDeviceMeanwhile ? plat::TestBus::Plug({u"PNPTEST\\DEV", u"2"}) : nullptr;
    if (other != nullptr) {
      EXPECT_EQ(other->AttachedDevice->DriverObject, driver) << "the driver waiting for unload serves it";
    }
    if (gKept != nullptr) {
      bool listed = false;
      for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) listed = listed || d == gKept;
      EXPECT_TRUE(listed) << "the driver still has the device REMOVE left";
      IoDeleteDevice(gKept);
      plat::PnpSettle();
    }
    EXPECT_EQ(gUnloads, c.unloadsAfterDelete);
    if (other != nullptr) {
      plat::TestBus::Unplug(other);
      EXPECT_EQ(gUnloads, 1);
    }
  }
}

TEST_F(Pnp, ADeviceObjectLeftAtShutdownIsAViolationThatNamesIt) {
  gKeepOnRemove = true;
  plat::TestBus::Plug({u"PNPTEST\\DEV", u"1"});
  std::string v = plat::ExpectViolation([] { plat::PnpShutdown(); });
  EXPECT_NE(v.find("device objects left at machine shutdown:\nan unnamed device object of \\Driver\\pnptestfdo"),
            std::string::npos)
      << v;
  EXPECT_EQ(gUnloads, 0);
  ASSERT_NE(gKept, nullptr);
  IoDeleteDevice(gKept);
  plat::PnpSettle();
  EXPECT_EQ(gUnloads, 1);
}

TEST_F(Pnp, TheStandInBusDriversPdosArePowerPagable) {
  PDEVICE_OBJECT child = plat::TestBus::Plug({u"PNPTEST\\DEV", u"1"});
  EXPECT_TRUE(child->Flags & DO_POWER_PAGABLE);
  PDEVICE_OBJECT root = plat::PnpAddRootDevice(u"PNPTEST\\UNSERVED", u"0");
  EXPECT_TRUE(root->Flags & DO_POWER_PAGABLE);
  plat::PnpRemoveRootDevice(root);
}

TEST_F(Pnp, TwoChildrenOfOneBusWithOneInstancePathAreAFatalFault) {
  struct Case {
    const char* what;
    std::u16string first, second;
    bool fatal;
  } cases[] = {
      {"the same instance id", u"A1", u"A1", true},
      {"ids that differ only in case", u"B1", u"b1", true},
      {"another instance id", u"C1", u"C2", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PDEVICE_OBJECT first = plat::TestBus::Plug({u"PNPTEST\\DEV", c.first});
    std::string v = plat::ExpectViolation([&] { plat::TestBus::Plug({u"PNPTEST\\DEV", c.second}); });
    PDEVICE_OBJECT second = plat::TestBus::Children().back();
    EXPECT_EQ(v.find("instance path") != std::string::npos, c.fatal) << v;
    EXPECT_EQ(plat::PnpState(first), plat::DevnodeState::Started);
    if (c.fatal) {
      EXPECT_EQ(plat::PnpState(second), plat::DevnodeState::Failed) << "the duplicate is never started";
      plat::TestBus::Unplug(second);
    } else {
      EXPECT_EQ(plat::PnpState(second), plat::DevnodeState::Started);
    }
  }
}

TEST_F(Pnp, DeviceInterfacesAreLinksToThePdoWhileEnabled) {
  PDEVICE_OBJECT pdo = plat::TestBus::Plug({u"PNPTEST\\DEV", u"1"});
  UNICODE_STRING link{};
  EXPECT_EQ(IoRegisterDeviceInterface(pdo->AttachedDevice, &kInterface, nullptr, &link), STATUS_INVALID_DEVICE_REQUEST)
      << "only a PDO has interfaces";
  plat::WideString ref(u"wave");
  UNICODE_STRING refString{8, 8, ref.data()};
  ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kInterface, &refString, &link), STATUS_SUCCESS);
  EXPECT_EQ(plat::ToU16(link), u"\\??\\PNPTEST#DEV#1#{0d7c1e55-41a2-4b8e-913c-226f0ab458e1}\\wave");
  struct Step {
    const char* what;
    BOOLEAN enable;
    size_t active, all;
  } steps[] = {{"registered", 2, 0, 1}, {"enabled", TRUE, 1, 1}, {"disabled", FALSE, 0, 1}};
  for (const auto& s : steps) {
    SCOPED_TRACE(s.what);
    if (s.enable != 2) {
      EXPECT_EQ(IoSetDeviceInterfaceState(&link, s.enable), STATUS_SUCCESS);
    }
    for (ULONG flags : {0u, DEVICE_INTERFACE_INCLUDE_NONACTIVE}) {
      PWSTR list = nullptr;
      ASSERT_EQ(IoGetDeviceInterfaces(&kInterface, nullptr, flags, &list), STATUS_SUCCESS);
      size_t n = 0;
      for (PWSTR p = list; *p != 0; p += plat::WideLength(p) + 1) ++n;
      ExFreePool(list);
      EXPECT_EQ(n, flags ? s.all : s.active);
    }
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(plat::IoOpenFile(plat::ToU16(link), &file), s.active == 1 ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND);
    if (file != nullptr) {
      EXPECT_EQ(plat::ToU16(file->FileName), u"\\wave") << "the reference string reaches the device";
      plat::IoCloseFile(file);
    }
  }
  HANDLE key = nullptr;
  ASSERT_EQ(IoOpenDeviceInterfaceRegistryKey(&link, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
  ZwClose(key);
  EXPECT_TRUE(plat::RegistryHive::KeyExists(
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\DeviceClasses\\{0d7c1e55-41a2-4b8e-913c-226f0ab458e1}"
      u"\\##?#PNPTEST#DEV#1#{0d7c1e55-41a2-4b8e-913c-226f0ab458e1}\\#wave\\Device Parameters"));
  plat::WideString unknown(u"\\??\\NONE");
  UNICODE_STRING none{static_cast<USHORT>(unknown.size() * 2), static_cast<USHORT>(unknown.size() * 2), unknown.data()};
  EXPECT_EQ(IoSetDeviceInterfaceState(&none, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
  ExFreePool(link.Buffer);
}

TEST_F(Pnp, InterfaceWatchersHearArrivalAndRemovalOnThePnpThread) {
  struct Heard {
    std::vector<std::string> events;
  } heard;
  auto callback = [](PVOID n, PVOID ctx) -> NTSTATUS {
    auto* change = static_cast<PDEVICE_INTERFACE_CHANGE_NOTIFICATION>(n);
    bool arrival = change->Event == GUID_DEVICE_INTERFACE_ARRIVAL;
    static_cast<Heard*>(ctx)->events.push_back(std::string(arrival ? "arrival " : "removal ") +
                                               plat::Scheduler::Current().CurrentThreadName());
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    return STATUS_SUCCESS;
  };
  PDEVICE_OBJECT pdo = plat::TestBus::Plug({u"PNPTEST\\DEV", u"1"});
  UNICODE_STRING link{};
  ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kInterface, nullptr, &link), STATUS_SUCCESS);
  ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
  PVOID entry = nullptr;
  ASSERT_EQ(IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange,
                                           PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES,
                                           const_cast<GUID*>(&kInterface), nullptr, callback, &heard, &entry),
            STATUS_SUCCESS);
  plat::PnpSettle();
  plat::TestBus::Unplug(pdo);
  EXPECT_EQ(heard.events, (std::vector<std::string>{"arrival PnP", "removal PnP"}));
  EXPECT_EQ(IoUnregisterPlugPlayNotification(entry), STATUS_SUCCESS);
  ExFreePool(link.Buffer);
}

}  // namespace
