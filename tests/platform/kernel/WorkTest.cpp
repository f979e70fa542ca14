#include <gtest/gtest.h>

#include "platform/kernel/IoManager.h"
#include "platform/kernel/Leftovers.h"
#include "platform/kernel/Scheduler.h"
#include "platform/kernel/include/wdm.h"

namespace {

using plat::Scheduler;

struct Seen {
  KIRQL irql = 0xFF;
  std::string thread;
  int runs = 0;
};

void Record(PVOID p) {
  auto* seen = static_cast<Seen*>(p);
  seen->irql = KeGetCurrentIrql();
  seen->thread = Scheduler::Current().CurrentThreadName();
  seen->runs++;
}

TEST(WorkItems, RunAtPassiveLevelOnAWorkerThreadOfTheirQueue) {
  Scheduler s;
  for (WORK_QUEUE_TYPE q : {CriticalWorkQueue, DelayedWorkQueue}) {
    Seen seen;
    WORK_QUEUE_ITEM item;
    ExInitializeWorkItem(&item, Record, &seen);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);  // queued from a DPC, as a completion routine would
    ExQueueWorkItem(&item, q);
    KeLowerIrql(old);
    s.RunUntilIdle();
    EXPECT_EQ(seen.runs, 1);
    EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
    EXPECT_EQ(seen.thread.find(q == CriticalWorkQueue ? "critical" : "delayed"), 0u) << seen.thread;
  }
  EXPECT_EQ(plat::PendingWorkItems(), 0u);
}

TEST(WorkItems, AnItemWaitingForALaterItemOfItsQueueDoesNotDeadlock) {
  Scheduler s;
  static KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  static bool waited;
  waited = false;
  WORK_QUEUE_ITEM waiter, setter;
  ExInitializeWorkItem(&waiter, [](PVOID) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    waited = true;
  }, nullptr);
  ExInitializeWorkItem(&setter, [](PVOID) { KeSetEvent(&done, IO_NO_INCREMENT, FALSE); }, nullptr);
  ExQueueWorkItem(&waiter, DelayedWorkQueue);
  ExQueueWorkItem(&setter, DelayedWorkQueue);
  s.RunUntilIdle();
  EXPECT_TRUE(waited);
}

TEST(WorkItems, IoWorkItemPassesItsDeviceAndKeepsItWhileQueued) {
  Scheduler s;
  NTSTATUS status;
  PDRIVER_OBJECT driver = plat::IoLoadDriver(u"worktest", [](PDRIVER_OBJECT d, PUNICODE_STRING) {
    d->DriverUnload = [](PDRIVER_OBJECT) {};
    return STATUS_SUCCESS;
  }, &status);
  ASSERT_NE(driver, nullptr);
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
  PIO_WORKITEM item = IoAllocateWorkItem(device);
  ASSERT_NE(item, nullptr);
  struct Ctx {
    PDEVICE_OBJECT device = nullptr;
    KIRQL irql = 0xFF;
  } ctx;
  IoQueueWorkItem(item, [](PDEVICE_OBJECT d, PVOID c) {
    static_cast<Ctx*>(c)->device = d;
    static_cast<Ctx*>(c)->irql = KeGetCurrentIrql();
  }, CriticalWorkQueue, &ctx);
  EXPECT_EQ(plat::ObReferenceCount(device), 2);
  s.RunUntilIdle();
  EXPECT_EQ(plat::ObReferenceCount(device), 1);
  IoFreeWorkItem(item);
  EXPECT_EQ(ctx.device, device);
  EXPECT_EQ(ctx.irql, PASSIVE_LEVEL);
  IoDeleteDevice(device);
  plat::IoUnloadDriver(driver);
}

}  // namespace
