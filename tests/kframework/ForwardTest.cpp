#include <gtest/gtest.h>

#include "kframework/LowerDeviceLink.h"
#include "tests/kframework/TestStack.h"
#include "tests/platform/kernel/IoTestDriver.h"

namespace {

using iotest::Complete;
using iotest::NewDevice;

struct ForwardCase {
  const char* what;
  bool pend;            // the lower driver completes 1 ms later
  BOOLEAN keep;
  bool callerRoutine;   // the caller put its own routine in the next location first
  NTSTATUS callerResult;
  bool power = false;   // a SET_POWER forwarded with ForwardPowerAndWait
};

class Forward : public iotest::Machine {};

TEST_F(Forward, AndWaitReturnsTheFinalStatusAndChainsTheCallersRoutine) {
  const ForwardCase cases[] = {
      {"synchronous lower, kept", false, TRUE, false, 0},
      {"pending lower, kept", true, TRUE, false, 0},
      {"pending lower, let go", true, FALSE, false, 0},
      {"caller's routine keeps it", true, FALSE, true, STATUS_MORE_PROCESSING_REQUIRED},
      {"caller's routine lets it go", false, TRUE, true, STATUS_SUCCESS},
      {"power, pending lower, kept", true, TRUE, false, 0, true},
      {"power, synchronous lower, let go", false, FALSE, false, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PDEVICE_OBJECT lower = NewDevice(drv, {}, [&](PDEVICE_OBJECT, PIRP irp) {
      if (c.power) PoStartNextPowerIrp(irp);
      irp->IoStatus.Information = 42;
      if (!c.pend) return Complete(irp, STATUS_DEVICE_BUSY, 42);
      IoMarkIrpPending(irp);
      sched.After(plat::kNsPerMs, [irp] { Complete(irp, STATUS_DEVICE_BUSY, 42); });
      return STATUS_PENDING;
    });
    PDEVICE_OBJECT upper = NewDevice(drv);
    LowerDeviceLink link;
    link.LinkToLowerDevice(IoAttachDeviceToDeviceStack(upper, lower), lower);
    bool routineRan = false;
    NTSTATUS forwarded = STATUS_PENDING;
    ULONG_PTR info = 0;
    iotest::SetHandler(upper, [&](PDEVICE_OBJECT, PIRP irp) {
      if (c.power) PoStartNextPowerIrp(irp);
      bool kept = c.callerRoutine ? c.callerResult == STATUS_MORE_PROCESSING_REQUIRED : c.keep;
      // An IRP let go completes through this location, pending when the lower driver pended it: the
      // dispatch routine cannot tell afterwards, so it marks it first and answers STATUS_PENDING.
      if (!kept) IoMarkIrpPending(irp);
      IoCopyCurrentIrpStackLocationToNext(irp);
      if (c.callerRoutine) {
        struct Ctx { bool* ran; NTSTATUS result; };
        static Ctx ctx;
        ctx = Ctx{&routineRan, c.callerResult};
        IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT, PIRP, PVOID p) {
          auto* x = static_cast<Ctx*>(p);
          *x->ran = true;
          return x->result;
        }, &ctx, TRUE, TRUE, TRUE);
      }
      forwarded = c.power ? ForwardPowerAndWait(&link, irp, c.keep, &info) : ForwardAndWait(&link, irp, c.keep, &info);
      if (!kept) return STATUS_PENDING;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return forwarded;
    });
    auto r = c.power ? plat::IoSend(upper, IRP_MJ_POWER, IRP_MN_SET_POWER, nullptr,
                                    [](PIO_STACK_LOCATION sp) { sp->Parameters.Power.Type = DevicePowerState; })
                     : plat::IoSend(upper, IRP_MJ_DEVICE_CONTROL, 0);
    sched.RunUntilIdle();
    EXPECT_EQ(forwarded, STATUS_DEVICE_BUSY) << "never STATUS_PENDING";
    EXPECT_EQ(info, 42u);
    EXPECT_EQ(routineRan, c.callerRoutine);
    EXPECT_TRUE(r->done);
    EXPECT_EQ(r->status.Status, STATUS_DEVICE_BUSY);
    link.Detach();
    iotest::DeleteDevice(upper);
    iotest::DeleteDevice(lower);
  }
}

// A child device of the framework whose queries go to the top of its parent's stack.
class Child : public PnpDeviceBase {
 public:
  Child(ULONG stamp, PDEVICE_OBJECT parent)
      : PnpDeviceBase(stamp, parent, nullptr, FILE_DEVICE_UNKNOWN, nullptr, 0, 0), mParent(parent) {}
  NTSTATUS DefaultPnp(PIRP irp) override { return CompleteRequest(irp, irp->IoStatus.Status); }
  NTSTATUS DefaultPower(PIRP irp) override {
    PoStartNextPowerIrp(irp);
    return CompleteRequest(irp, irp->IoStatus.Status);
  }
  NTSTATUS OnQueryBusInformation(PIRP irp) override { return ForwardToParentStack(this, mParent, irp, failIfUnsupported); }
  NTSTATUS OnQueryInterface(PIRP irp) override { return ForwardToParentStack(this, mParent, irp, failIfUnsupported); }
  // A system power IRP is answered once a device power request on the parent has finished.
  NTSTATUS OnSetPower(PIRP irp) override {
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    IoMarkIrpPending(irp);
    PoRequestPowerIrp(mParent, IRP_MN_SET_POWER, d0, CompleteIrpWithPowerRequest, irp, nullptr);
    return STATUS_PENDING;
  }
  PDEVICE_OBJECT mParent;
  BOOLEAN failIfUnsupported = FALSE;
};

using ToParent = kfwtest::Stack;

TEST_F(ToParent, TheChildsIrpGetsTheParentStacksAnswerOrKeepsItsOwn) {
  Child* child = KernelNew<Child>(NonPagedPool, Fdo());
  child->mDeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
  LONG parentRefs = plat::ObReferenceCount(Fdo());
  struct Case {
    const char* what;
    UCHAR minor;
    BOOLEAN failIfUnsupported;
    NTSTATUS status;
  } cases[] = {
      {"answered by the parent's bus", IRP_MN_QUERY_BUS_INFORMATION, FALSE, STATUS_SUCCESS},
      {"not handled: the child's own status", IRP_MN_QUERY_INTERFACE, FALSE, STATUS_NOT_SUPPORTED},
      {"not handled, and that is a failure", IRP_MN_QUERY_INTERFACE, TRUE, STATUS_UNSUCCESSFUL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    child->failIfUnsupported = c.failIfUnsupported;
    auto r = plat::IoSend(child->mDeviceObject, IRP_MJ_PNP, c.minor);
    sched.RunUntilIdle();
    EXPECT_TRUE(r->done);
    EXPECT_EQ(r->status.Status, c.status);
    if (c.minor == IRP_MN_QUERY_BUS_INFORMATION) {
      auto* info = reinterpret_cast<PPNP_BUS_INFORMATION>(r->status.Information);
      ASSERT_NE(info, nullptr);
      EXPECT_EQ(info->LegacyBusType, PNPBus);
      ExFreePool(info);
    }
    EXPECT_EQ(child->mRequestCount, 1);
  }
  EXPECT_EQ(plat::ObReferenceCount(Fdo()), parentRefs) << "the parent's top is dereferenced again";
  child->Delete();
}

TEST_F(ToParent, AnIrpAnsweredByAPowerRequestStartsTheNextAndReleasesItsCount) {
  Child* child = KernelNew<Child>(NonPagedPool, Fdo());
  child->mDeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
  plat::TestBus::ClearReceived(pdo);
  auto r = plat::IoSend(child->mDeviceObject, IRP_MJ_POWER, IRP_MN_SET_POWER, nullptr, [](PIO_STACK_LOCATION sp) {
    sp->Parameters.Power.Type = SystemPowerState;
    sp->Parameters.Power.State.SystemState = PowerSystemWorking;
  });
  sched.RunUntilIdle();
  EXPECT_TRUE(r->done);
  EXPECT_EQ(r->status.Status, STATUS_SUCCESS);
  EXPECT_EQ(plat::TestBus::Received(pdo), (std::vector<std::string>{"POWER 0x02"}));
  EXPECT_EQ(child->mRequestCount, 1);
  child->Delete();
}

TEST_F(ToParent, NoPoolForTheCopyFailsTheChildsIrp) {
  Child* child = KernelNew<Child>(NonPagedPool, Fdo());
  child->mDeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
  plat::PoolLedger::FailNth(2);  // the request itself is the first allocation, the copy the second
  auto r = plat::IoSend(child->mDeviceObject, IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE);
  plat::PoolLedger::ClearFailures();
  EXPECT_EQ(r->status.Status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(child->mRequestCount, 1);
  child->Delete();
}

}  // namespace
