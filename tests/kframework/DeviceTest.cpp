#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <vector>

#include "kframework/KernelDeviceBase.h"
#include "kframework/KernelDriverBase.h"
#include "platform/kernel/Scheduler.h"

namespace {

// A device that serves device control and nothing else.
class ControlDevice : public KernelDeviceBase {
 public:
  using KernelDeviceBase::KernelDeviceBase;
  NTSTATUS DeviceControl(PIRP irp) override {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }
};

class Devices : public testing::Test {
 protected:
  void SetUp() override {
    NTSTATUS status;
    driver = plat::IoLoadDriver(u"kfwdevices", FrameworkDriverEntry<KernelDriverBase>, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
  }
  void TearDown() override {
    plat::IoUnloadDriver(driver);
    EXPECT_EQ(plat::ObNamespaceSize(), 0u);
    EXPECT_EQ(DriverInstance, nullptr);
  }
  static std::u16string LinkTarget(const std::u16string& link) {
    std::u16string target;
    return plat::ObSymbolicLinkTarget(link, &target) ? target : u"";
  }
  plat::Scheduler sched;
  PDRIVER_OBJECT driver = nullptr;
};

TEST_F(Devices, CreationNamesAndLinksOrFailsLeavingNothing) {
  ControlDevice* taken = KernelNew<ControlDevice>(NonPagedPool, L"Taken", FILE_DEVICE_UNKNOWN, L"TakenLink", 0, 0);
  struct Case {
    const char* what;
    PCWSTR name;
    PCWSTR link;
    bool failNamePool;
    NTSTATUS status;
    std::u16string deviceName;
    std::u16string linkName;
  } cases[] = {
      {"named, no link", L"KfwA", nullptr, false, STATUS_SUCCESS, u"\\Device\\KfwA", u""},
      {"named and linked", L"KfwB", L"KfwLinkB", false, STATUS_SUCCESS, u"\\Device\\KfwB", u"\\??\\KfwLinkB"},
      {"unnamed never linked", nullptr, L"KfwLinkC", false, STATUS_SUCCESS, u"", u""},
      {"generated name, linked", kGeneratedDeviceName, L"KfwLinkD", false, STATUS_SUCCESS, u"\\Device\\00000000",
       u"\\??\\KfwLinkD"},
      {"name taken", L"Taken", nullptr, false, STATUS_OBJECT_NAME_COLLISION, u"", u""},
      {"link taken", L"KfwE", L"TakenLink", false, STATUS_OBJECT_NAME_COLLISION, u"", u""},
      {"no pool for the name", L"KfwF", nullptr, true, STATUS_INSUFFICIENT_RESOURCES, u"", u""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    size_t names = plat::ObNamespaceSize();
    if (c.failNamePool) plat::PoolLedger::FailTag(kFrameworkPoolTag, true);
    ControlDevice* d = nullptr;
    if (c.failNamePool) {
      // The object itself comes from elsewhere; only the name's pool fails.
      static std::aligned_storage_t<sizeof(ControlDevice), alignof(ControlDevice)> storage;
      d = new (&storage) ControlDevice(0, c.name, FILE_DEVICE_UNKNOWN, c.link, 0, 0);
    } else {
      d = KernelNew<ControlDevice>(NonPagedPool, c.name, FILE_DEVICE_UNKNOWN, c.link, 0, 0);
    }
    plat::PoolLedger::ClearFailures();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->mConstructStatus, c.status);
    EXPECT_EQ(d->mDeviceObject != nullptr, NT_SUCCESS(c.status));
    EXPECT_EQ(plat::ToU16(d->mDeviceName), c.deviceName);
    EXPECT_EQ(plat::ToU16(d->mLinkName), c.linkName);
    if (!c.linkName.empty()) {
      EXPECT_EQ(LinkTarget(c.linkName), c.deviceName);
    }
    if (d->mDeviceObject != nullptr) {
      EXPECT_EQ(d->mDeviceObject->DeviceExtension, d);
    }
    if (!NT_SUCCESS(c.status)) {
      EXPECT_EQ(plat::ObNamespaceSize(), names) << "nothing left behind";
    }
    d->Delete();
    EXPECT_EQ(plat::ObNamespaceSize(), names);
  }
  taken->Delete();
}

TEST_F(Devices, AnObjectInTheExtensionGoesWithItsDeviceObject) {
  DeviceCreation made;
  PVOID memory = KernelDeviceBase::CreateDeviceObject(sizeof(ControlDevice), L"InExt", FILE_DEVICE_UNKNOWN, L"InExtLink",
                                                      0, DO_BUFFERED_IO, &made);
  ASSERT_NE(memory, nullptr);
  auto* d = new (memory) ControlDevice(kExtensionObjectStamp, made);
  EXPECT_EQ(d->mSignature, kExtensionObjectStamp);
  EXPECT_EQ(d->mDeviceObject, made.device);
  EXPECT_EQ(made.device->DeviceExtension, d);
  EXPECT_TRUE(made.device->Flags & DO_BUFFERED_IO);
  EXPECT_EQ(LinkTarget(u"\\??\\InExtLink"), u"\\Device\\InExt");
  d->Delete();
}

// Work of a class's part that is destroyed after its device part (a base listed before the
// device base): it frees pool, and can be made to wait, so that another deletion runs meanwhile.
struct Afterwards {
  Afterwards() : scratch(ExAllocatePoolWithTag(NonPagedPool, 16, plat::PoolTag("Aftr"))) {}
  ~Afterwards() {
    if (hold != nullptr) KeWaitForSingleObject(hold, Executive, KernelMode, FALSE, nullptr);
    ExFreePoolWithTag(scratch, plat::PoolTag("Aftr"));
  }
  PVOID scratch;
  PKEVENT hold = nullptr;
};

class LateDevice : public Afterwards, public ControlDevice {
 public:
  LateDevice(ULONG stamp, const DeviceCreation& made) : ControlDevice(stamp, made) {}
};

LateDevice* NewLateDevice(PCWSTR name, PCWSTR link) {
  DeviceCreation made;
  PVOID memory = KernelDeviceBase::CreateDeviceObject(sizeof(LateDevice), name, FILE_DEVICE_UNKNOWN, link, 0, 0, &made);
  return memory != nullptr ? new (memory) LateDevice(kExtensionObjectStamp, made) : nullptr;
}

TEST_F(Devices, TwoDeletionsAtOnceEachDeleteTheirOwnDeviceObject) {
  struct Case {
    const char* what;
    uint64_t seed;
    bool holdFirst;  // the first waits between its destructors and the deletion of its device object
  };
  std::vector<Case> cases;
  for (uint64_t seed = 0; seed < 16; ++seed) cases.push_back({"interleaved by the seed", seed, false});
  cases.push_back({"the second runs whole while the first stands between its destructors and its deletion", 0, true});
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.what) + ", seed " + std::to_string(c.seed));
    sched.SetProcessors(2);
    sched.SetSeed(c.seed);
    size_t names = plat::ObNamespaceSize();
    LateDevice* first = NewLateDevice(L"KfwFirst", L"KfwFirstLink");
    LateDevice* second = NewLateDevice(L"KfwSecond", L"KfwSecondLink");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    KEVENT secondDone;
    KeInitializeEvent(&secondDone, NotificationEvent, FALSE);
    if (c.holdFirst) first->hold = &secondDone;
    uint32_t a = sched.Spawn("first", [first] { first->Delete(); });
    uint32_t b = sched.Spawn("second", [second, &secondDone] {
      second->Delete();
      KeSetEvent(&secondDone, IO_NO_INCREMENT, FALSE);
    });
    sched.RunUntilIdle();
    ASSERT_TRUE(sched.ThreadDone(a) && sched.ThreadDone(b));
    EXPECT_EQ(LinkTarget(u"\\??\\KfwFirstLink"), u"");
    EXPECT_EQ(LinkTarget(u"\\??\\KfwSecondLink"), u"");
    EXPECT_EQ(plat::ObNamespaceSize(), names) << "both device objects are deleted";
  }
  sched.SetSeed(0);
}

TEST_F(Devices, IrpsReachTheSlotOfTheirMajorFunctionOrAreNotImplemented) {
  ControlDevice* d = KernelNew<ControlDevice>(NonPagedPool, nullptr, FILE_DEVICE_UNKNOWN, nullptr, 0, 0);
  d->mDeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
  struct Case {
    UCHAR major;
    NTSTATUS status;
  } cases[] = {
      {IRP_MJ_DEVICE_CONTROL, STATUS_SUCCESS},
      {IRP_MJ_CREATE, STATUS_NOT_IMPLEMENTED},
      {IRP_MJ_PNP, STATUS_NOT_IMPLEMENTED},
      {IRP_MJ_POWER, STATUS_NOT_IMPLEMENTED},  // and the next power IRP is started
      {IRP_MJ_READ, STATUS_INVALID_DEVICE_REQUEST},  // the unit driver's entry installs no READ routine
  };
  for (const auto& c : cases) {
    auto r = plat::IoSend(d->mDeviceObject, c.major, 0);
    EXPECT_EQ(r->status.Status, c.status) << int(c.major);
  }
  // A major function beyond the table never indexes past it.
  PIRP irp = plat::IoAllocateOwnedIrp(1, {});
  IoSetNextIrpStackLocation(irp);
  IoGetCurrentIrpStackLocation(irp)->MajorFunction = 0x40;
  IoGetCurrentIrpStackLocation(irp)->DeviceObject = d->mDeviceObject;
  EXPECT_EQ(d->Dispatch(irp), STATUS_NOT_IMPLEMENTED);
  d->Delete();
}

}  // namespace
