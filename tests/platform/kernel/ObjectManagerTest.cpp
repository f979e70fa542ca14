#include <gtest/gtest.h>

#include "tests/platform/kernel/IoTestDriver.h"

namespace {

using ObjectManager = iotest::Machine;

TEST_F(ObjectManager, PathsResolveThroughLinksToTheDeviceAndKeepTheRest) {
  PDEVICE_OBJECT dev = iotest::NewDevice(drv, u"\\Device\\Resolved");
  ASSERT_EQ(plat::ObCreateSymbolicLink(u"\\??\\First", u"\\Device\\Resolved"), STATUS_SUCCESS);
  ASSERT_EQ(plat::ObCreateSymbolicLink(u"\\DosDevices\\Second", u"\\??\\First"), STATUS_SUCCESS);
  struct Case {
    std::u16string path;
    bool found;
    std::u16string rest;
  } cases[] = {
      {u"\\Device\\Resolved", true, u""},
      {u"\\device\\RESOLVED\\a\\b", true, u"\\a\\b"},
      {u"\\??\\First\\x", true, u"\\x"},
      {u"\\GLOBAL??\\Second", true, u""},
      {u"\\??\\Third", false, u""},
      {u"Device\\Resolved", false, u""},
  };
  for (const auto& c : cases) {
    std::u16string rest = u"unset";
    PVOID object = plat::ObLookupPath(c.path, &rest);
    EXPECT_EQ(object == dev, c.found);
    if (c.found) {
      EXPECT_EQ(rest, c.rest);
    }
  }
  plat::ObDeleteSymbolicLink(u"\\??\\Second");
  plat::ObDeleteSymbolicLink(u"\\??\\First");
  iotest::DeleteDevice(dev);
}

TEST_F(ObjectManager, NameQueryTellsTheSizeItNeedsAndGivesNothingForAnUnnamedObject) {
  PDEVICE_OBJECT named = iotest::NewDevice(drv, u"\\Device\\Asked");
  PDEVICE_OBJECT unnamed = iotest::NewDevice(drv);
  alignas(8) char buffer[128];
  auto* info = reinterpret_cast<POBJECT_NAME_INFORMATION>(buffer);
  ULONG needed = 0;
  EXPECT_EQ(ObQueryNameString(named, info, 8, &needed), STATUS_INFO_LENGTH_MISMATCH);
  EXPECT_EQ(needed, sizeof(OBJECT_NAME_INFORMATION) + sizeof(u"\\Device\\Asked"));
  ASSERT_EQ(ObQueryNameString(named, info, needed, &needed), STATUS_SUCCESS);
  EXPECT_EQ(plat::ToU16(info->Name), u"\\Device\\Asked");
  ASSERT_EQ(ObQueryNameString(unnamed, info, sizeof buffer, &needed), STATUS_SUCCESS);
  EXPECT_EQ(info->Name.Length, 0);
  iotest::DeleteDevice(unnamed);
  iotest::DeleteDevice(named);
}

TEST_F(ObjectManager, AHandleIsReferencedOnlyAsTheTypeTheCallerNames) {
  HANDLE handle = nullptr;
  ASSERT_EQ(ZwCreateEvent(&handle, 0, nullptr, NotificationEvent, FALSE), STATUS_SUCCESS);
  struct Case {
    const char* what;
    POBJECT_TYPE type;
    NTSTATUS status;
  } cases[] = {
      {"an event", *ExEventObjectType, STATUS_SUCCESS},
      {"any type", nullptr, STATUS_SUCCESS},
      {"a file", *IoFileObjectType, STATUS_OBJECT_TYPE_MISMATCH},
      {"a device", *IoDeviceObjectType, STATUS_OBJECT_TYPE_MISMATCH},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, c.type, KernelMode, &object, nullptr), c.status);
    EXPECT_EQ(object != nullptr, NT_SUCCESS(c.status));
    if (object != nullptr) {
      EXPECT_EQ(KeReadStateEvent(static_cast<PKEVENT>(object)), 0);
      ObDereferenceObject(object);
    }
  }
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

}  // namespace
