#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/kernel/PowerManager.h"
#include "platform/kernel/Verifier.h"
#include "tests/platform/kernel/IoTestDriver.h"

namespace {

using PowerManager = iotest::Machine;

// Enough seeds for both choices a stack without DO_POWER_PAGABLE leaves open to come up.
constexpr uint64_t kSeeds[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

// Requests device power for `dev` as a driver would, from `irql`, and lets the machine run.
bool RequestD0(plat::Scheduler& sched, PDEVICE_OBJECT dev, KIRQL irql) {
  bool done = false;
  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  KIRQL old;
  KeRaiseIrql(irql, &old);
  PoRequestPowerIrp(dev, IRP_MN_SET_POWER, d0, [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID ctx, PIO_STATUS_BLOCK) {
    *static_cast<bool*>(ctx) = true;
  }, &done, nullptr);
  KeLowerIrql(old);
  sched.RunUntilIdle();
  return done;
}

TEST_F(PowerManager, EveryDriverOfAPowerIrpMustStartTheNextOneExactlyOnce) {
  struct Case {
    const char* what;
    int starts;  // by the one driver the IRP reaches
    const char* violation;
  } cases[] = {
      {"once", 1, ""},
      {"never", 0, "not having called PoStartNextPowerIrp"},
      {"twice", 2, "more often"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PIRP held = nullptr;
    PDEVICE_OBJECT dev = iotest::NewDevice(drv, {}, [&](PDEVICE_OBJECT, PIRP irp) {
      held = irp;
      for (int i = 0; i < c.starts; ++i) PoStartNextPowerIrp(irp);
      held = nullptr;
      return iotest::Complete(irp, STATUS_SUCCESS);
    });
    std::string v = plat::ExpectViolation([&] {
      plat::IoSend(dev, IRP_MJ_POWER, IRP_MN_SET_POWER, nullptr, [](PIO_STACK_LOCATION sp) {
        sp->Parameters.Power.Type = DevicePowerState;
        sp->Parameters.Power.State.DeviceState = PowerDeviceD3;
      });
    });
    EXPECT_NE(v.find(c.violation), std::string::npos) << v;
    if (held != nullptr) iotest::Complete(held, STATUS_SUCCESS);  // stopped by the second start
    if (*c.violation == 0) {
      EXPECT_TRUE(v.empty());
    }
    iotest::DeleteDevice(dev);
  }
}

TEST_F(PowerManager, ARequestedPowerIrpGoesToTheTopOfTheStackAndReportsBack) {
  PDEVICE_OBJECT bottom = iotest::NewDevice(drv, {}, [](PDEVICE_OBJECT d, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    PoSetPowerState(d, DevicePowerState, sp->Parameters.Power.State);
    return iotest::Complete(irp, STATUS_SUCCESS);
  });
  bool topSaw = false;
  PDEVICE_OBJECT top = iotest::NewDevice(drv, {}, [&](PDEVICE_OBJECT, PIRP irp) {
    topSaw = true;
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(bottom, irp);
  });
  IoAttachDeviceToDeviceStack(top, bottom);
  struct Result {
    NTSTATUS status = STATUS_PENDING;
    DEVICE_POWER_STATE state = PowerDeviceUnspecified;
  } result;
  POWER_STATE d2;
  d2.DeviceState = PowerDeviceD2;
  EXPECT_EQ(PoRequestPowerIrp(bottom, IRP_MN_SET_POWER, d2, [](PDEVICE_OBJECT, UCHAR, POWER_STATE s, PVOID ctx,
                                                                PIO_STATUS_BLOCK io) {
              static_cast<Result*>(ctx)->status = io->Status;
              static_cast<Result*>(ctx)->state = s.DeviceState;
            }, &result, nullptr),
            STATUS_PENDING);
  EXPECT_TRUE(topSaw);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.state, PowerDeviceD2);
  EXPECT_EQ(plat::PoDeviceState(bottom), PowerDeviceD2);
  EXPECT_EQ(PoRequestPowerIrp(bottom, IRP_MN_POWER_SEQUENCE, d2, nullptr, nullptr, nullptr), STATUS_INVALID_PARAMETER);
  IoDetachDevice(bottom);
  iotest::DeleteDevice(top);
  iotest::DeleteDevice(bottom);
}

TEST_F(PowerManager, ASetOrQueryWaitsUntilTheDeviceStartsTheNextOfItsType) {
  struct Case {
    const char* what;
    UCHAR firstMinor;
    POWER_STATE_TYPE firstType;
    UCHAR secondMinor;
    POWER_STATE_TYPE secondType;
    bool waits;
  } cases[] = {
      {"device set after device set", IRP_MN_SET_POWER, DevicePowerState, IRP_MN_SET_POWER, DevicePowerState, true},
      {"device query after device set", IRP_MN_SET_POWER, DevicePowerState, IRP_MN_QUERY_POWER, DevicePowerState, true},
      {"system set after system query", IRP_MN_QUERY_POWER, SystemPowerState, IRP_MN_SET_POWER, SystemPowerState, true},
      {"system set after device set", IRP_MN_SET_POWER, DevicePowerState, IRP_MN_SET_POWER, SystemPowerState, false},
      {"wait-wake after device set", IRP_MN_SET_POWER, DevicePowerState, IRP_MN_WAIT_WAKE, DevicePowerState, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<PIRP> got;
    std::vector<KIRQL> irqls;
    PDEVICE_OBJECT dev = iotest::NewDevice(drv, {}, [&](PDEVICE_OBJECT, PIRP irp) {
      got.push_back(irp);
      irqls.push_back(KeGetCurrentIrql());
      IoMarkIrpPending(irp);
      return STATUS_PENDING;
    });
    auto send = [&](UCHAR minor, POWER_STATE_TYPE type) {
      PIRP irp = IoAllocateIrp(dev->StackSize, FALSE);
      PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
      sp->MajorFunction = IRP_MJ_POWER;
      sp->MinorFunction = minor;
      sp->Parameters.Power.Type = type;
      IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT, PIRP done, PVOID) {
        IoFreeIrp(done);
        return STATUS_MORE_PROCESSING_REQUIRED;
      }, nullptr, TRUE, TRUE, TRUE);
      return PoCallDriver(dev, irp);
    };
    EXPECT_EQ(send(c.firstMinor, c.firstType), STATUS_PENDING);
    EXPECT_EQ(send(c.secondMinor, c.secondType), STATUS_PENDING);
    sched.RunUntilIdle();
    EXPECT_EQ(got.size(), c.waits ? 1u : 2u);
    PoStartNextPowerIrp(got[0]);
    sched.RunUntilIdle();
    ASSERT_EQ(got.size(), 2u) << "the next one goes once the first has started it";
    EXPECT_EQ(irqls[1], PASSIVE_LEVEL);
    PoStartNextPowerIrp(got[1]);
    for (PIRP irp : got) iotest::Complete(irp, STATUS_SUCCESS);
    iotest::DeleteDevice(dev);
  }
}

TEST_F(PowerManager, APagableDeviceGetsPowerIrpsAtPassiveLevelAndOneWithoutTheFlagMayGetThemAtDispatchLevel) {
  struct Case {
    const char* what;
    bool pagable;
    KIRQL sentAt;
    std::set<KIRQL> seen;  // over the seeds
  } cases[] = {
      {"pagable, sent at PASSIVE_LEVEL", true, PASSIVE_LEVEL, {PASSIVE_LEVEL}},
      {"pagable, sent at DISPATCH_LEVEL", true, DISPATCH_LEVEL, {PASSIVE_LEVEL}},
      {"not pagable, sent at PASSIVE_LEVEL", false, PASSIVE_LEVEL, {PASSIVE_LEVEL, DISPATCH_LEVEL}},
      {"not pagable, sent at DISPATCH_LEVEL", false, DISPATCH_LEVEL, {DISPATCH_LEVEL}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    KIRQL got = 0xFF;
    PDEVICE_OBJECT dev = iotest::NewDevice(drv, {}, [&got](PDEVICE_OBJECT, PIRP irp) {
      got = KeGetCurrentIrql();
      PoStartNextPowerIrp(irp);
      return iotest::Complete(irp, STATUS_SUCCESS);
    });
    if (c.pagable) dev->Flags |= DO_POWER_PAGABLE;
    std::set<KIRQL> seen;
    for (uint64_t seed : kSeeds) {
      sched.SetSeed(seed);
      got = 0xFF;
      EXPECT_TRUE(RequestD0(sched, dev, c.sentAt)) << "seed " << seed;
      seen.insert(got);
      if (seed == 0) {
        EXPECT_EQ(got, c.pagable ? PASSIVE_LEVEL : c.sentAt) << "seed 0 delivers as the sender calls";
      }
    }
    EXPECT_EQ(seen, c.seen);
    iotest::DeleteDevice(dev);
  }
}

TEST_F(PowerManager, ADriverThatWaitsInItsPowerPathWithoutTheFlagIsCaughtUnderSomeSeed) {
  for (bool pagable : {true, false}) {
    SCOPED_TRACE(pagable ? "pagable" : "not pagable");
    PDEVICE_OBJECT dev = iotest::NewDevice(drv, {}, [](PDEVICE_OBJECT, PIRP irp) {
      PoStartNextPowerIrp(irp);
      iotest::Complete(irp, STATUS_SUCCESS);
      LARGE_INTEGER settle;
      settle.QuadPart = -10000;  // 1 ms, as a driver waiting for its hardware would
      KeDelayExecutionThread(KernelMode, FALSE, &settle);
      return STATUS_SUCCESS;
    });
    if (pagable) dev->Flags |= DO_POWER_PAGABLE;
    std::vector<uint64_t> caught;
    for (uint64_t seed : kSeeds) {
      sched.SetSeed(seed);
      std::string v = plat::ExpectViolation([&] { RequestD0(sched, dev, PASSIVE_LEVEL); });
      if (!v.empty()) caught.push_back(seed);
      EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    }
    if (pagable) {
      EXPECT_TRUE(caught.empty());
    } else {
      EXPECT_FALSE(caught.empty());
      EXPECT_EQ(std::count(caught.begin(), caught.end(), 0u), 0) << "seed 0 keeps today's order";
    }
    iotest::DeleteDevice(dev);
  }
}

}  // namespace
