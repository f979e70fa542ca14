// Two drivers on the framework as images of their own in one machine: the PnP manager loads each
// through the loader by its image name, and each image keeps the framework's process-wide state
// (driver instance, DOS-devices prefix, static constructors and destructors, derived pool tag)
// to itself.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kframework/KernelDriverBase.h"
#include "platform/kernel/Loader.h"
#include "platform/kernel/RegistryHive.h"
#include "platform/kernel/Scheduler.h"
#include "tests/kframework/images/ProbeDriver.h"
#include "platform/kernel/WideText.h"

namespace {

constexpr char16_t kControlClass[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class";
constexpr char16_t kServicesClass[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Class";

class TwoDriverImages : public testing::Test {
 protected:
  void SetUp() override {
    plat::RegistryHive::Clear();
    for (std::u16string name : {u"KfwAlpha", u"KfwBeta"}) {
      plat::PnpRegisterService(name, name + u".sys");
      plat::PnpBindHardwareId(u"QXPROBE\\" + name, name);
    }
  }
  void TearDown() override {
    EXPECT_TRUE(plat::PnpShutdown());
    EXPECT_TRUE(plat::LdrLoadedDrivers().empty());
    EXPECT_EQ(plat::ObNamespaceSize(), 0u);
    // The test program's own copy of the framework saw none of it.
    EXPECT_EQ(DriverInstance, nullptr);
    EXPECT_EQ(DerivedPoolTag, kLoadPoolTag);
    plat::RegistryHive::Clear();
  }

  static PDEVICE_OBJECT Plug(const std::u16string& driver, const std::u16string& instance) {
    return plat::PnpAddRootDevice(u"QXPROBE\\" + driver, instance);
  }
  static ULONG Events(const std::u16string& driver, std::u16string_view event) {
    plat::RegistryValue value;
    ULONG n = 0;
    if (NT_SUCCESS(plat::RegistryHive::QueryValue(std::u16string(probe::kEventsKey) + u"\\" + driver, event, &value)) &&
        value.data.size() == sizeof n)
      std::memcpy(&n, value.data.data(), sizeof n);
    return n;
  }
  // What the driver of the device on `pdo` says of its framework state, asked as a program asks:
  // through its device interface and a device control.
  static probe::State Ask(PDEVICE_OBJECT pdo) {
    probe::State state{};
    PWSTR list = nullptr;
    EXPECT_EQ(IoGetDeviceInterfaces(&probe::kInterface, pdo, 0, &list), STATUS_SUCCESS);
    std::u16string link = plat::U16(list);
    ExFreePool(list);
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(plat::IoOpenFile(link, &file), STATUS_SUCCESS);
    if (file == nullptr) return state;
    ULONG_PTR information = 0;
    EXPECT_EQ(plat::IoDeviceControl(file, probe::kIoctlState, nullptr, 0, &state, sizeof state, &information),
              STATUS_SUCCESS);
    EXPECT_EQ(information, sizeof state);
    plat::IoCloseFile(file);
    return state;
  }

  plat::Scheduler sched;
};

TEST_F(TwoDriverImages, KeepTheirDriverInstancePrefixConstructorsAndPoolTagApart) {
  // The first driver starts where links go under \DosDevices, the second where they do not.
  plat::RegistryHive::CreateKey(kServicesClass);
  PDEVICE_OBJECT alpha = Plug(u"KfwAlpha", u"0");
  plat::RegistryHive::CreateKey(kControlClass);
  PDEVICE_OBJECT beta = Plug(u"KfwBeta", u"0");
  EXPECT_EQ(plat::LdrLoadedDrivers(), (std::vector<std::u16string>{u"KfwAlpha.sys", u"KfwBeta.sys"}));

  struct Case {
    PDEVICE_OBJECT pdo;
    std::u16string service;
    BOOLEAN dosDevices;
    ULONG tag;
  } cases[] = {{alpha, u"KfwAlpha", TRUE, plat::PoolTag("PrbA")}, {beta, u"KfwBeta", FALSE, plat::PoolTag("PrbB")}};
  for (const Case& c : cases) {
    probe::State state = Ask(c.pdo);
    EXPECT_EQ(plat::U16(state.service), c.service);
    EXPECT_TRUE(state.instanceIsOwn);
    EXPECT_EQ(state.dosDevicesPrefix, c.dosDevices) << std::string(c.service.begin(), c.service.end());
    EXPECT_EQ(state.derivedPoolTag, c.tag);
    EXPECT_EQ(state.constructorsRun, 1u);
  }

  plat::PnpRemoveRootDevice(alpha);
  plat::PnpRemoveRootDevice(beta);
  for (std::u16string driver : {u"KfwAlpha", u"KfwBeta"})
    for (auto event : {u"Entries", u"Unloads", u"StaticDestructors"})
      EXPECT_EQ(Events(driver, event), 1u) << std::string(driver.begin(), driver.end());
}

TEST_F(TwoDriverImages, GetDriverEntryAtTheirFirstDeviceAndDriverUnloadOnceTheLastHasGone) {
  EXPECT_EQ(Events(u"KfwAlpha", u"Entries"), 0u);
  PDEVICE_OBJECT first = Plug(u"KfwAlpha", u"0");
  PDEVICE_OBJECT second = Plug(u"KfwAlpha", u"1");
  EXPECT_EQ(Events(u"KfwAlpha", u"Entries"), 1u);
  EXPECT_EQ(plat::LdrLoadedDrivers(), std::vector<std::u16string>{u"KfwAlpha.sys"});

  plat::PnpRemoveRootDevice(first);
  EXPECT_EQ(Events(u"KfwAlpha", u"Unloads"), 0u);
  EXPECT_TRUE(Ask(second).instanceIsOwn);

  plat::PnpRemoveRootDevice(second);
  EXPECT_EQ(Events(u"KfwAlpha", u"Unloads"), 1u);
  EXPECT_EQ(Events(u"KfwAlpha", u"StaticDestructors"), 1u);
  EXPECT_TRUE(plat::LdrLoadedDrivers().empty());

  // Loaded again, the image starts from fresh globals: its static constructor has run once.
  PDEVICE_OBJECT again = Plug(u"KfwAlpha", u"2");
  EXPECT_EQ(Events(u"KfwAlpha", u"Entries"), 2u);
  EXPECT_EQ(Ask(again).constructorsRun, 1u);
  plat::PnpRemoveRootDevice(again);
  EXPECT_EQ(Events(u"KfwAlpha", u"Unloads"), 2u);
}

TEST_F(TwoDriverImages, AFailedDriverEntryUnloadsTheImageWithoutItsUnloadRoutine) {
  plat::RegistryHive::CreateKey(std::u16string(probe::kEventsKey) + u"\\KfwAlpha");
  plat::RegistryHive::SetDword(std::u16string(probe::kEventsKey) + u"\\KfwAlpha", u"FailEntry", 1);
  PDEVICE_OBJECT pdo = Plug(u"KfwAlpha", u"0");
  EXPECT_EQ(plat::PnpState(pdo), plat::DevnodeState::Failed);
  EXPECT_EQ(Events(u"KfwAlpha", u"Entries"), 1u);
  EXPECT_EQ(Events(u"KfwAlpha", u"Unloads"), 0u);
  EXPECT_EQ(Events(u"KfwAlpha", u"StaticDestructors"), 1u);
  EXPECT_TRUE(plat::LdrLoadedDrivers().empty());
  plat::PnpRemoveRootDevice(pdo);
}

TEST_F(TwoDriverImages, ADriverImageIsRefusedWhenMissingOfTheWrongMachineWithoutAnEntryOrLoadedAlready) {
  PDEVICE_OBJECT alpha = Plug(u"KfwAlpha", u"0");
  struct Case {
    std::u16string image;
    NTSTATUS status;
  } cases[] = {{u"Missing.sys", STATUS_OBJECT_NAME_NOT_FOUND},
               {u"LoaderProbe32.dll", STATUS_INVALID_IMAGE_FORMAT},
               {u"LoaderProbe.dll", STATUS_INVALID_IMAGE_FORMAT},
               {u"kfwalpha.sys", STATUS_IMAGE_ALREADY_LOADED}};
  for (const Case& c : cases) {
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(plat::LdrLoadDriver(u"Refused", c.image, &status), nullptr);
    EXPECT_EQ(status, c.status) << std::string(c.image.begin(), c.image.end());
  }
  EXPECT_EQ(plat::LdrLoadedDrivers(), std::vector<std::u16string>{u"KfwAlpha.sys"});
  plat::PnpRemoveRootDevice(alpha);
}

}  // namespace
