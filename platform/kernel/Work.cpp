#include "platform/kernel/Work.h"

#include <algorithm>
#include <deque>

#include "platform/kernel/KernelInternal.h"
#include "platform/kernel/Leftovers.h"
#include "platform/kernel/ObjectManager.h"
#include "platform/kernel/Pool.h"
#include "platform/kernel/Sync.h"
#include "platform/kernel/Verifier.h"

namespace {

using plat::Scheduler;

// A queue gets another worker whenever an item arrives and no worker is free, so an item that
// waits for a later item of its own queue does not deadlock it, as on Windows.
struct WorkQueue {
  std::deque<PWORK_QUEUE_ITEM> items;
  KSEMAPHORE ready;
  int idle = 0;
  int workers = 0;
  int running = 0;
};

struct WorkQueues {
  uint64_t scheduler = 0;
  WorkQueue queues[2];
};

WorkQueues& Queues() {
  static WorkQueues q;
  uint64_t serial = Scheduler::Current().Serial();
  if (q.scheduler != serial) {
    // A new machine: the workers of the last one ended with its scheduler.
    for (auto& wq : q.queues) {
      wq.items.clear();
      wq.idle = wq.workers = wq.running = 0;
      KeInitializeSemaphore(&wq.ready, 0, 0x7FFFFFFF);
    }
    q.scheduler = serial;
  }
  return q;
}

void WorkerLoop(WorkQueue* wq) {
  while (true) {
    wq->idle += 1;
    NTSTATUS status = KeWaitForSingleObject(&wq->ready, Executive, KernelMode, FALSE, nullptr);
    wq->idle -= 1;
    if (status == STATUS_THREAD_IS_TERMINATING) return;  // the machine is ending
    PWORK_QUEUE_ITEM item = wq->items.front();
    wq->items.pop_front();
    wq->running += 1;
    item->WorkerRoutine(item->Parameter);
    wq->running -= 1;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) plat::Violation("a work item returned above PASSIVE_LEVEL");
  }
}

}  // namespace

void ExInitializeWorkItem(PWORK_QUEUE_ITEM Item, PWORKER_THREAD_ROUTINE Routine, PVOID Parameter) {
  Item->List.Flink = Item->List.Blink = nullptr;
  Item->WorkerRoutine = Routine;
  Item->Parameter = Parameter;
}

void ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType) {
  plat::CheckIrqlAtMost(DISPATCH_LEVEL, "ExQueueWorkItem");
  for (const WorkQueue& queue : Queues().queues)
    if (std::find(queue.items.begin(), queue.items.end(), WorkItem) != queue.items.end())
      plat::Violation("ExQueueWorkItem of a work item that is queued already");
  WorkQueue* wq = &Queues().queues[QueueType == DelayedWorkQueue ? 1 : 0];
  wq->items.push_back(WorkItem);
  if (static_cast<int>(wq->items.size()) > wq->idle) {
    wq->workers += 1;
    std::string name = std::string(QueueType == DelayedWorkQueue ? "delayed" : "critical") + " worker " +
                       std::to_string(wq->workers);
    Scheduler::Current().Spawn(name, [wq] { WorkerLoop(wq); }, true);
  }
  KeReleaseSemaphore(&wq->ready, IO_NO_INCREMENT, 1, FALSE);
}

struct IO_WORKITEM {
  WORK_QUEUE_ITEM Item;
  PDEVICE_OBJECT DeviceObject;
  PIO_WORKITEM_ROUTINE Routine;
  PVOID Context;
  BOOLEAN Queued;
};

namespace {
constexpr ULONG kIoWorkItemTag = plat::PoolTag("IoWk");

void RunIoWorkItem(PVOID Parameter) {
  auto* w = static_cast<PIO_WORKITEM>(Parameter);
  PDEVICE_OBJECT device = w->DeviceObject;
  w->Queued = FALSE;
  // The routine may free the item; the device stays until it has returned.
  w->Routine(device, w->Context);
  ObDereferenceObject(device);
}
}  // namespace

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  plat::CheckIrqlAtMost(DISPATCH_LEVEL, "IoAllocateWorkItem");
  auto* w = static_cast<PIO_WORKITEM>(ExAllocatePoolWithTag(NonPagedPool, sizeof(IO_WORKITEM), kIoWorkItemTag));
  if (w == nullptr) return nullptr;
  *w = {};
  w->DeviceObject = DeviceObject;
  return w;
}

void IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context) {
  if (IoWorkItem->Queued) plat::Violation("IoQueueWorkItem of a work item that is already queued");
  IoWorkItem->Queued = TRUE;
  ObReferenceObject(IoWorkItem->DeviceObject);
  IoWorkItem->Routine = WorkerRoutine;
  IoWorkItem->Context = Context;
  ExInitializeWorkItem(&IoWorkItem->Item, RunIoWorkItem, IoWorkItem);
  ExQueueWorkItem(&IoWorkItem->Item, QueueType);
}

void IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  if (IoWorkItem->Queued) plat::Violation("IoFreeWorkItem of a work item that is still queued");
  ExFreePoolWithTag(IoWorkItem, kIoWorkItemTag);
}

namespace plat {
size_t PendingWorkItems() {
  size_t n = 0;
  for (auto& wq : Queues().queues) n += wq.items.size() + static_cast<size_t>(wq.running);
  return n;
}
}  // namespace plat
