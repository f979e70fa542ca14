// System worker threads: work items on the critical and delayed queues, run at PASSIVE_LEVEL.
#pragma once

#include "KernelTypes.h"

enum WORK_QUEUE_TYPE { CriticalWorkQueue = 0, DelayedWorkQueue = 1, HyperCriticalWorkQueue = 2 };

using PWORKER_THREAD_ROUTINE = void (*)(PVOID Parameter);

struct WORK_QUEUE_ITEM {
  LIST_ENTRY List;
  PWORKER_THREAD_ROUTINE WorkerRoutine;
  PVOID Parameter;
};
using PWORK_QUEUE_ITEM = WORK_QUEUE_ITEM*;

void ExInitializeWorkItem(PWORK_QUEUE_ITEM Item, PWORKER_THREAD_ROUTINE Routine, PVOID Parameter);
void ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType);

struct DEVICE_OBJECT;
using PDEVICE_OBJECT = DEVICE_OBJECT*;
struct IO_WORKITEM;
using PIO_WORKITEM = IO_WORKITEM*;
using PIO_WORKITEM_ROUTINE = void (*)(PDEVICE_OBJECT DeviceObject, PVOID Context);

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject);
void IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context);
void IoFreeWorkItem(PIO_WORKITEM IoWorkItem);
