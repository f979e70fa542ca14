#include <gtest/gtest.h>

#include "platform/kernel/Pool.h"
#include "platform/kernel/Verifier.h"
#include "tests/kframework/TestStack.h"

namespace {

using kfwtest::TestFdo;

class Powered : public kfwtest::Stack {
 protected:
  void SetUp() override {}
  void Start(bool wake, bool pend = false) {
    kfwtest::gPowerPolicy = true;
    kfwtest::gWake = wake;
    plat::TestBusChild child{kfwtest::kFunctionId, u"1"};
    child.pendIrps = pend;
    Plug(child);
    ASSERT_NE(fdo, nullptr);
    ASSERT_EQ(fdo->mDevicePowerState, PowerDeviceD0);
  }
  std::shared_ptr<plat::IoRequest> WaitWake() {
    auto r = plat::IoSend(Fdo(), IRP_MJ_POWER, IRP_MN_WAIT_WAKE, nullptr,
                          [](PIO_STACK_LOCATION sp) { sp->Parameters.WaitWake.PowerState = PowerSystemSleeping3; });
    sched.RunUntilIdle();
    return r;
  }
};

TEST_F(Powered, SystemSleepTakesTheDeviceToItsMappedStateAndAnIrpBringsItBack) {
  for (bool wake : {false, true}) {
    SCOPED_TRACE(wake ? "wake armed" : "no wake");
    if (fdo != nullptr) TearDown();
    Start(wake);
    ASSERT_TRUE(plat::PoSetSystemState(PowerSystemSleeping3));
    EXPECT_EQ(fdo->mSystemPowerState, PowerSystemSleeping3);
    EXPECT_EQ(fdo->mDevicePowerState, PowerDeviceD2) << "the stack maps S3 to D2";
    EXPECT_EQ(plat::PoDeviceState(Fdo()), PowerDeviceD2);
    EXPECT_EQ(plat::TestBus::WaitWakePending(pdo), wake);
    EXPECT_EQ(fdo->mRequestCount, wake ? 2 : 1) << "only a pending wait-wake holds a count";
    ASSERT_TRUE(plat::PoSetSystemState(PowerSystemWorking));
    EXPECT_EQ(fdo->mSystemPowerState, PowerSystemWorking);
    EXPECT_EQ(fdo->mDevicePowerState, PowerDeviceD2) << "nothing needs it yet";
    PFILE_OBJECT file = Open();
    EXPECT_EQ(fdo->mDevicePowerState, PowerDeviceD0) << "opening powers it up";
    auto r = Control(file);
    EXPECT_EQ(r->status.Status, STATUS_SUCCESS);
    Close(file);
    EXPECT_EQ(fdo->mRequestCount, wake ? 2 : 1);
  }
}

TEST_F(Powered, AWakeSignalBringsTheDeviceBackToD0) {
  Start(true);
  ASSERT_TRUE(plat::PoSetSystemState(PowerSystemSleeping3));
  ASSERT_NE(fdo->mWaitWakeIrp, nullptr);
  EXPECT_TRUE(fdo->mPowerFlags & 0x1);
  ASSERT_TRUE(plat::TestBus::Wake(pdo));
  EXPECT_EQ(fdo->mWaitWakeIrp, nullptr);
  EXPECT_FALSE(fdo->mPowerFlags & 0x1);
  EXPECT_EQ(fdo->mDevicePowerState, PowerDeviceD0);
  ASSERT_TRUE(plat::PoSetSystemState(PowerSystemWorking));
}

TEST_F(Powered, SleepIsRefusedWhileAHandleIsOpen) {
  Start(false);
  PFILE_OBJECT file = Open();
  plat::TestBus::ClearReceived(pdo);
  EXPECT_FALSE(plat::PoSetSystemState(PowerSystemSleeping3));
  EXPECT_EQ(plat::PoSystemState(), PowerSystemWorking);
  EXPECT_EQ(fdo->mDevicePowerState, PowerDeviceD0);
  EXPECT_EQ(fdo->mPowerFlags & 0x6, 0u) << "no transition left marked";
  Close(file);
}

TEST_F(Powered, WaitWakeIsRefusedWhereItCannotBeServed) {
  struct Case {
    const char* what;
    bool wake;
    std::function<void(TestFdo*, Powered*)> setup;
    NTSTATUS status;
  } cases[] = {
      {"wake not armed", false, [](TestFdo* f, Powered*) { f->mPowerMinorPolicy |= 0x4; }, STATUS_NOT_SUPPORTED},
      {"stop pending", true,
       [](TestFdo*, Powered* t) { t->Send(IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE); }, STATUS_DEVICE_BUSY},
      {"a state it cannot wake from", true, [](TestFdo* f, Powered*) { f->mDevicePowerState = PowerDeviceD3; },
       STATUS_INVALID_DEVICE_STATE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (fdo != nullptr) TearDown();
    Start(c.wake);
    c.setup(fdo, this);
    auto r = WaitWake();
    EXPECT_EQ(r->status.Status, c.status);
    EXPECT_EQ(fdo->mRequestCount, 1);
    fdo->mDevicePowerState = PowerDeviceD0;
  }
}

TEST_F(Powered, PowerIrpsAfterRemovalAreRefusedAndStillStartTheNextOne) {
  Start(false);
  PFILE_OBJECT file = Open();
  plat::TestBus::Unplug(pdo);
  auto r = plat::IoSend(Fdo(), IRP_MJ_POWER, IRP_MN_SET_POWER, nullptr, [](PIO_STACK_LOCATION sp) {
    sp->Parameters.Power.Type = DevicePowerState;
    sp->Parameters.Power.State.DeviceState = PowerDeviceD3;
  });
  EXPECT_EQ(r->status.Status, STATUS_DELETE_PENDING);
  Close(file);
}

TEST_F(Powered, ASleepWhoseDeviceStateCannotBeRequestedFailsAndStillReturnsPendingAsMarked) {
  Start(false);
  auto r = plat::IoSend(Fdo(), IRP_MJ_POWER, IRP_MN_SET_POWER, nullptr, [](PIO_STACK_LOCATION sp) {
    sp->Parameters.Power.Type = SystemPowerState;
    sp->Parameters.Power.State.SystemState = PowerSystemSleeping3;
    plat::PoolLedger::FailTag(plat::PoolTag("Irp "), true);  // no IRP for the device request
  });
  plat::PoolLedger::ClearFailures();
  sched.RunUntilIdle();
  ASSERT_TRUE(r->done);
  EXPECT_EQ(r->status.Status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(r->returned, STATUS_PENDING);
  EXPECT_EQ(fdo->mRequestCount, 1);
  fdo->mPowerFlags &= ~0x6u;
  fdo->mSystemPowerState = PowerSystemWorking;
}

TEST_F(Powered, HeldRequestsReleasedByAPowerUpAtDispatchLevelRunAtPassiveLevel) {
  Start(false, true);
  ASSERT_TRUE(plat::PoSetSystemState(PowerSystemSleeping3));
  PFILE_OBJECT file = Open(STATUS_SUCCESS);
  fdo->served.clear();
  // Asleep: the open powered the device up; let it drop back before the request arrives.
  ASSERT_EQ(fdo->RequestDevicePower(IRP_MN_SET_POWER, PowerDeviceD2), STATUS_SUCCESS);
  auto r = Control(file);
  EXPECT_FALSE(r->done) << "held while the system sleeps";
  ASSERT_TRUE(plat::PoSetSystemState(PowerSystemWorking));
  sched.RunFor(10 * plat::kNsPerMs);
  EXPECT_TRUE(r->done);
  EXPECT_EQ(fdo->servedAt, PASSIVE_LEVEL);
  EXPECT_EQ(fdo->mDevicePowerState, PowerDeviceD0);
  Close(file);
}

TEST_F(Powered, AWaitThatTimesOutCancelsHeldRequestsOnlyWhenItsPolicyAsks) {
  auto systemPower = [this](UCHAR minor, SYSTEM_POWER_STATE state) {
    return [this, minor, state] {
      plat::IoSend(Fdo(), IRP_MJ_POWER, minor, nullptr, [state](PIO_STACK_LOCATION sp) {
        sp->Parameters.Power.Type = SystemPowerState;
        sp->Parameters.Power.State.SystemState = state;
      });
    };
  };
  struct Case {
    const char* what;
    ULONG PnpDeviceBase::*policy;
    LONGLONG PnpDeviceBase::*timeout;
    std::function<void()> road, undo;
    bool cancel;
  };
  std::vector<Case> cases;
  for (bool cancel : {false, true}) {
    cases.push_back({"query-stop", &PnpDeviceBase::mQueryStopPolicy, &PnpDeviceBase::mQueryStopTimeout,
                     [this] { Send(IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE); },
                     [this] { Send(IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE); }, cancel});
    cases.push_back({"query-remove", &PnpDeviceBase::mQueryRemovePolicy, &PnpDeviceBase::mQueryRemoveTimeout,
                     [this] { Send(IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE); },
                     [this] { Send(IRP_MJ_PNP, IRP_MN_CANCEL_REMOVE_DEVICE); }, cancel});
    cases.push_back({"system query to sleep", &PnpDeviceBase::mSystemQueryPolicy, &PnpDeviceBase::mSystemQueryTimeout,
                     systemPower(IRP_MN_QUERY_POWER, PowerSystemSleeping3),
                     systemPower(IRP_MN_SET_POWER, PowerSystemWorking), cancel});
    cases.push_back({"system power-down", &PnpDeviceBase::mPowerDownPolicy, &PnpDeviceBase::mPowerDownTimeout,
                     [] { ASSERT_TRUE(plat::PoSetSystemState(PowerSystemSleeping3)); },
                     [] { ASSERT_TRUE(plat::PoSetSystemState(PowerSystemWorking)); }, cancel});
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.what) + (c.cancel ? ", with 0x40" : ", without 0x40"));
    if (fdo != nullptr) TearDown();
    Start(false);
    fdo->mSystemQueryPolicy = 0;
    fdo->*c.policy = 0x10 | (c.cancel ? 0x40 : 0);
    fdo->*c.timeout = 10 * 10000;  // 10 ms
    fdo->keepAsStream = true;
    auto stream = Control(nullptr);
    fdo->keepAsStream = false;
    // Arrives while the road waits for the stream, and is held by the state the road set.
    std::shared_ptr<plat::IoRequest> held;
    sched.After(plat::kNsPerMs, [&] {
      sched.Spawn("sender", [&] {
        held = plat::IoSend(Fdo(), IRP_MJ_DEVICE_CONTROL, 0, nullptr,
                            [](PIO_STACK_LOCATION sp) { sp->Parameters.DeviceIoControl.IoControlCode = kfwtest::Ioctl(2); });
      });
    });
    c.road();
    sched.RunUntilIdle();
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(held->done, c.cancel);
    c.undo();
    sched.RunUntilIdle();
    EXPECT_TRUE(held->done) << "what stayed held runs once the road is undone";
    EXPECT_EQ(held->status.Status, c.cancel ? STATUS_CANCELLED : STATUS_SUCCESS);
    EXPECT_FALSE(stream->done);
    fdo->StopStreams();
    EXPECT_EQ(fdo->mRequestCount, 1);
  }
}

TEST_F(Powered, ASleepWaitsForRequestsInFlightAtMostItsLimitThenSleepsWithoutThem) {
  constexpr plat::VTime kLimit = plat::FromKernelUnits(PnpDeviceBase::kSleepDrainTimeout);
  constexpr plat::VTime kNever = -1;
  struct Case {
    const char* what;
    plat::VTime streamEnds;      // when the request in flight ends; 0: there is none
    LONGLONG ownTimeout;         // mPowerDownTimeout the class set; 0: the default
    plat::VTime sleepsAfter;
  } cases[] = {
      {"nothing in flight: at once", 0, 0, 0},
      {"a request that ends: as it ends", 5 * plat::kNsPerMs, 0, 5 * plat::kNsPerMs},
      {"a request that never ends: at the limit", kNever, 0, kLimit},
      {"a request that never ends, the class's own time-out: at that", kNever, 20 * 10000, 20 * plat::kNsPerMs},
  };
  auto systemPower = [this](SYSTEM_POWER_STATE state) {
    return plat::IoSend(Fdo(), IRP_MJ_POWER, IRP_MN_SET_POWER, nullptr, [state](PIO_STACK_LOCATION sp) {
      sp->Parameters.Power.Type = SystemPowerState;
      sp->Parameters.Power.State.SystemState = state;
    });
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (fdo != nullptr) TearDown();
    Start(false);
    fdo->mPowerDownTimeout = c.ownTimeout;
    std::shared_ptr<plat::IoRequest> stream;
    if (c.streamEnds != 0) {
      fdo->keepAsStream = true;
      stream = Control(nullptr);
      fdo->keepAsStream = false;
      if (c.streamEnds != kNever) sched.After(c.streamEnds, [this] { fdo->StopStreams(); });
    }
    plat::VTime start = sched.Now();
    std::shared_ptr<plat::IoRequest> sleep;
    sched.Spawn("power", [&] { sleep = systemPower(PowerSystemSleeping3); });
    bool slept = sched.RunUntil([&] { return sleep != nullptr && sleep->done; }, start + 2 * kLimit);
    EXPECT_TRUE(slept) << "the sleep waited without end";
    EXPECT_EQ(sched.Now() - start, c.sleepsAfter);
    if (!slept) fdo->StopStreams();
    sched.RunUntilIdle();
    ASSERT_TRUE(sleep->done);
    EXPECT_EQ(sleep->status.Status, STATUS_SUCCESS) << "a system sleep is never failed";
    EXPECT_EQ(fdo->mDevicePowerState, PowerDeviceD2);
    if (stream != nullptr) {
      EXPECT_EQ(stream->done, c.streamEnds != kNever) << "what the driver holds stays with the driver";
    }
    systemPower(PowerSystemWorking);
    sched.RunUntilIdle();
    fdo->StopStreams();
    EXPECT_EQ(fdo->mRequestCount, 1);
  }
}

TEST_F(Powered, TrackingThePowerSequenceReadsTheBusCountsAtPowerDownAndMarksContextLostAtPowerUp) {
  struct Case {
    const char* what;
    bool track;   // mPowerPolicy 0x2
    bool answer;  // mPowerMinorPolicy 0x8
    ULONG answeredD2;
  } cases[] = {
      {"not tracked: the bus answers the sequence query", false, false, 2},
      {"tracked: the device answers with the counts of its last power-down", true, true, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (fdo != nullptr) TearDown();
    Start(false);
    if (c.track) fdo->mPowerPolicy |= 0x2;
    if (c.answer) fdo->mPowerMinorPolicy |= 0x8;
    for (int cycle = 0; cycle < 2; ++cycle) {
      ASSERT_TRUE(plat::PoSetSystemState(PowerSystemSleeping3));
      ASSERT_TRUE(plat::PoSetSystemState(PowerSystemWorking));
      ASSERT_EQ(fdo->RequestDevicePower(IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
    }
    EXPECT_EQ(fdo->mSequenceD2, c.track ? 1u : 0u) << "read before the bus saw the second D2";
    EXPECT_EQ((fdo->mPowerFlags & 0x20) != 0, c.track);
    POWER_SEQUENCE answered{};
    auto r = plat::IoSend(Fdo(), IRP_MJ_POWER, IRP_MN_POWER_SEQUENCE, nullptr, [&answered](PIO_STACK_LOCATION sp) {
      sp->Parameters.PowerSequence.PowerSequence = &answered;
    });
    sched.RunUntilIdle();
    EXPECT_EQ(r->status.Status, STATUS_SUCCESS);
    EXPECT_EQ(answered.SequenceD2, c.answeredD2);
    EXPECT_EQ(fdo->mRequestCount, 1);
  }
}

struct Owner {
  KMUTEX mutex;
  int wakes = 0;
};

TEST_F(Powered, OneWaitWakeServesEveryArmAndIsRearmedAfterAWakeUntilTheLastDisarm) {
  Start(true);
  Owner owner;
  KeInitializeMutex(&owner.mutex, 1);
  WaitWakeArming arming(fdo, &owner.mutex, [](PVOID o) { static_cast<Owner*>(o)->wakes++; }, &owner);
  struct Step {
    const char* what;
    std::function<void()> act;
    LONG armCount;
    bool pending;
    int wakes;
  } steps[] = {
      {"first arm asks for the IRP", [&] { arming.Arm(); }, 1, true, 0},
      {"second arm only counts", [&] { arming.Arm(); }, 2, true, 0},
      {"a wake runs the owner and re-arms for the other", [&] { plat::TestBus::Wake(pdo); }, 1, true, 1},
      {"the last disarm cancels it", [&] { arming.Disarm(); }, 0, false, 1},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.what);
    s.act();
    sched.RunUntilIdle();
    EXPECT_EQ(arming.mArmCount, s.armCount);
    EXPECT_EQ(plat::TestBus::WaitWakePending(pdo), s.pending);
    EXPECT_EQ(arming.mWaitWakeIrp != nullptr, s.pending);
    EXPECT_EQ(owner.wakes, s.wakes);
  }
  EXPECT_EQ(fdo->mRequestCount, 1);
}

}  // namespace
