#include <gtest/gtest.h>

#include "kframework/KernelDriverBase.h"
#include "kframework/PnpDeviceBase.h"
#include "tests/platform/kernel/IoTestDriver.h"

namespace {

// A function device of the framework with its default policy, over a device of the test driver.
class Fdo : public PnpDeviceBase {
 public:
  Fdo(ULONG stamp, PDEVICE_OBJECT lower)
      : PnpDeviceBase(stamp, lower, L"KfwRemoveFdo", FILE_DEVICE_UNKNOWN, nullptr, 0, 0) {
    if (!NT_SUCCESS(mConstructStatus)) return;
    mConstructStatus = mLink.AttachToStack(this, lower);
    mLowerLink = &mLink;
    SetDefaultPnpPolicy();
    mDeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  NTSTATUS DefaultPnp(PIRP irp) override {
    IoSkipCurrentIrpStackLocation(irp);
    return PassDown(irp);
  }
  NTSTATUS DefaultPower(PIRP irp) override {
    PoStartNextPowerIrp(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    return PassPowerDown(irp);
  }
  LowerDeviceLink mLink;
};

class Remove : public iotest::Machine {
 protected:
  void SetUp() override {
    iotest::Machine::SetUp();
    NTSTATUS status;
    framework = plat::IoLoadDriver(u"kfwremove", FrameworkDriverEntry<KernelDriverBase>, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
  }
  void TearDown() override {
    plat::IoUnloadDriver(framework);
    iotest::Machine::TearDown();
  }
  PDRIVER_OBJECT framework = nullptr;
};

TEST_F(Remove, ReturnsWhatTheLowerDriverReturnedOnceItsOwnPartIsDone) {
  struct Case {
    const char* what;
    bool pend;  // the lower driver completes 1 ms later
    NTSTATUS returned;
  } cases[] = {
      {"the lower driver completes it at once", false, STATUS_SUCCESS},
      {"the lower driver pends it", true, STATUS_PENDING},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PDEVICE_OBJECT lower = iotest::NewDevice(drv, {}, [&](PDEVICE_OBJECT, PIRP irp) {
      if (!c.pend) return iotest::Complete(irp, STATUS_SUCCESS);
      IoMarkIrpPending(irp);
      sched.After(plat::kNsPerMs, [irp] { iotest::Complete(irp, STATUS_SUCCESS); });
      return STATUS_PENDING;
    });
    Fdo* fdo = KernelNew<Fdo>(NonPagedPool, lower);
    ASSERT_NE(fdo, nullptr);
    ASSERT_EQ(fdo->mConstructStatus, STATUS_SUCCESS);
    size_t names = plat::ObNamespaceSize();
    auto r = plat::IoSend(fdo->mDeviceObject, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(r->returned, c.returned);
    EXPECT_EQ(r->done, !c.pend);
    EXPECT_EQ(lower->AttachedDevice, nullptr) << "detached";
    EXPECT_EQ(plat::ObNamespaceSize(), names - 1) << "the device is deleted whether or not the lower one is done";
    sched.RunFor(2 * plat::kNsPerMs);
    EXPECT_TRUE(r->done);
    EXPECT_EQ(r->status.Status, STATUS_SUCCESS);
    iotest::DeleteDevice(lower);
  }
}

}  // namespace
