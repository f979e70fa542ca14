#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kframework/KernelDeviceBase.h"
#include "kframework/KernelDriverBase.h"
#include "kframework/RegistryKey.h"
#include "platform/kernel/RegistryHive.h"
#include "platform/kernel/Scheduler.h"
#include "platform/kernel/WideText.h"

namespace {

std::vector<std::string> gEvents;
NTSTATUS gEntryStatus = STATUS_SUCCESS;

class EventDevice : public KernelDeviceBase {
 public:
  EventDevice(ULONG stamp, PCWSTR name) : KernelDeviceBase(stamp, name, FILE_DEVICE_UNKNOWN, nullptr, 0, 0), mName(plat::U16(name)) {}
  ~EventDevice() override { gEvents.push_back("delete " + std::string(mName.begin(), mName.end())); }
  std::u16string mName;
};

// A driver whose entry registers a static destructor and returns gEntryStatus.
class EntryDriver : public KernelDriverBase {
 public:
  ~EntryDriver() override { gEvents.push_back("driver destroyed"); }
  NTSTATUS DriverEntry(PUNICODE_STRING) override {
    RegisterStaticDestructor([] { gEvents.push_back("static destructor"); });
    return gEntryStatus;
  }
};

// A driver that makes its devices in its entry, not in add-device.
class LegacyDriver : public KernelDriverBase {
 public:
  NTSTATUS DriverEntry(PUNICODE_STRING) override {
    KernelNew<EventDevice>(NonPagedPool, L"First");
    KernelNew<EventDevice>(NonPagedPool, L"Second");
    KernelNew<EventDevice>(NonPagedPool, L"Third");
    return STATUS_SUCCESS;
  }
};

class Drivers : public testing::Test {
 protected:
  void SetUp() override {
    gEvents.clear();
    gEntryStatus = STATUS_SUCCESS;
    plat::RegistryHive::Clear();
  }
  void TearDown() override {
    EXPECT_EQ(DriverInstance, nullptr);
    EXPECT_EQ(plat::ObNamespaceSize(), 0u);
    plat::RegistryHive::Clear();
  }
  plat::Scheduler sched;
};

TEST_F(Drivers, EntryInstallsTheDispatchRoutineForExactlyItsSevenMajorFunctions) {
  NTSTATUS status;
  PDRIVER_OBJECT driver = plat::IoLoadDriver(u"kfwentry", FrameworkDriverEntry<EntryDriver>, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  const UCHAR served[] = {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_INTERNAL_DEVICE_CONTROL,
                          IRP_MJ_CLEANUP, IRP_MJ_POWER, IRP_MJ_PNP};
  for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
    bool expected = std::find(std::begin(served), std::end(served), major) != std::end(served);
    EXPECT_EQ(driver->MajorFunction[major] == DispatchIrp, expected) << int(major);
  }
  EXPECT_EQ(driver->DriverUnload, DriverUnloadRoutine);
  EXPECT_EQ(driver->DriverExtension->AddDevice, DispatchAddDevice);
  ASSERT_NE(DriverInstance, nullptr);
  EXPECT_EQ(plat::ToU16(DriverInstance->mRegistryPath),
            u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kfwentry");
  EXPECT_FALSE(DriverInstance->mDevicesAtEntry);
  plat::IoUnloadDriver(driver);
  EXPECT_EQ(gEvents, (std::vector<std::string>{"driver destroyed", "static destructor"}));
}

TEST_F(Drivers, AnyFailedEntryFreesTheDriverClassAndRunsTheDestructors) {
  for (NTSTATUS failure : {STATUS_UNSUCCESSFUL, STATUS_BUFFER_OVERFLOW}) {
    SCOPED_TRACE(failure);
    gEvents.clear();
    gEntryStatus = failure;
    NTSTATUS status;
    EXPECT_EQ(plat::IoLoadDriver(u"kfwfail", FrameworkDriverEntry<EntryDriver>, &status), nullptr);
    EXPECT_EQ(status, failure);
    EXPECT_EQ(DriverInstance, nullptr);
    EXPECT_EQ(gEvents, (std::vector<std::string>{"driver destroyed", "static destructor"}));
  }
}

TEST_F(Drivers, LinksGoUnderDosDevicesOnlyWhenTheControlClassKeyIsMissingAndTheServicesOneIsNot) {
  struct Case {
    bool control, services, dosDevices;
  } cases[] = {{true, true, false}, {true, false, false}, {false, true, true}, {false, false, false}};
  for (const auto& c : cases) {
    plat::RegistryHive::Clear();
    if (c.control) plat::RegistryHive::CreateKey(u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class");
    if (c.services) plat::RegistryHive::CreateKey(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Class");
    NTSTATUS status;
    PDRIVER_OBJECT driver = plat::IoLoadDriver(u"kfwprefix", FrameworkDriverEntry<KernelDriverBase>, &status);
    EXPECT_EQ(UseDosDevicesPrefix, c.dosDevices ? TRUE : FALSE) << c.control << c.services;
    plat::IoUnloadDriver(driver);
  }
}

TEST_F(Drivers, AnOddLengthRegistryPathLosesItsHalfCharacterAndIsTerminated) {
  NTSTATUS status;
  PDRIVER_OBJECT driver = plat::IoLoadDriver(u"kfwodd", FrameworkDriverEntry<KernelDriverBase>, &status);
  KernelDriverBase* first = DriverInstance;
  plat::WideString path(u"\\Registry\\X");
  UNICODE_STRING odd{static_cast<USHORT>(path.size() * 2 - 1), static_cast<USHORT>(path.size() * 2), path.data()};
  ASSERT_EQ(CreateDriverObject(driver, &odd, DriverClassOf<KernelDriverBase>()), STATUS_SUCCESS);
  EXPECT_EQ(plat::ToU16(DriverInstance->mRegistryPath), u"\\Registry\\");
  EXPECT_EQ(DriverInstance->mRegistryPath.Buffer[DriverInstance->mRegistryPath.Length / 2], 0);
  DriverUnloadRoutine(driver);  // the second class object
  DriverInstance = first;
  plat::IoUnloadDriver(driver);
}

TEST_F(Drivers, ARegistryPathTooLongForASixteenBitMaximumIsNotCopiedAndTheEntryGoesOn) {
  NTSTATUS status;
  PDRIVER_OBJECT driver = plat::IoLoadDriver(u"kfwlong", FrameworkDriverEntry<KernelDriverBase>, &status);
  KernelDriverBase* first = DriverInstance;
  plat::WideString path(std::u16string(0x7FFF, u'x'));
  UNICODE_STRING longest{0xFFFE, 0xFFFE, path.data()};
  ASSERT_EQ(CreateDriverObject(driver, &longest, DriverClassOf<KernelDriverBase>()), STATUS_SUCCESS);
  EXPECT_EQ(DriverInstance->mRegistryPath.Buffer, nullptr);
  EXPECT_EQ(DriverInstance->mRegistryPath.Length, 0);
  EXPECT_EQ(DriverInstance->mRegistryPath.MaximumLength, 0);
  DriverUnloadRoutine(driver);
  DriverInstance = first;
  plat::IoUnloadDriver(driver);
}

TEST_F(Drivers, UnloadDeletesDevicesMadeAtEntryTheFirstMadeFirst) {
  NTSTATUS status;
  PDRIVER_OBJECT driver = plat::IoLoadDriver(u"kfwlegacy", FrameworkDriverEntry<LegacyDriver>, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_TRUE(DriverInstance->mDevicesAtEntry);
  plat::IoUnloadDriver(driver);
  EXPECT_EQ(gEvents, (std::vector<std::string>{"delete First", "delete Second", "delete Third"}));
}

TEST_F(Drivers, AddDeviceClearsInitializingOnlyWhenItSucceeds) {
  static NTSTATUS addStatus;
  class AddingDriver : public KernelDriverBase {
   public:
    NTSTATUS AddDevice(PDEVICE_OBJECT) override {
      mDevice = KernelNew<EventDevice>(NonPagedPool, L"Added");
      return addStatus;
    }
    EventDevice* mDevice = nullptr;
  };
  for (NTSTATUS s : {STATUS_SUCCESS, STATUS_UNSUCCESSFUL}) {
    addStatus = s;
    NTSTATUS status;
    PDRIVER_OBJECT driver = plat::IoLoadDriver(u"kfwadd", FrameworkDriverEntry<AddingDriver>, &status);
    ASSERT_EQ(DispatchAddDevice(driver, nullptr), s);
    auto* added = static_cast<AddingDriver*>(DriverInstance)->mDevice;
    EXPECT_EQ((added->mDeviceObject->Flags & DO_DEVICE_INITIALIZING) == 0, NT_SUCCESS(s));
    added->Delete();
    plat::IoUnloadDriver(driver);
  }
}

}  // namespace
