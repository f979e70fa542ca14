// Dispatcher objects, spin locks, mutexes, waits, DPCs, timers and interlocked operations.
#pragma once

#include "Irql.h"
#include "KernelTypes.h"
#include "NtStatus.h"

enum EVENT_TYPE { NotificationEvent, SynchronizationEvent };
enum WAIT_TYPE { WaitAll, WaitAny };
enum KWAIT_REASON { Executive = 0, UserRequest = 6, Suspended = 5 };
enum KPROCESSOR_MODE : CHAR { KernelMode = 0, UserMode = 1 };
enum TIMER_TYPE { NotificationTimer, SynchronizationTimer };

using KPRIORITY_INCREMENT = LONG;
constexpr LONG IO_NO_INCREMENT = 0;
constexpr LONG EVENT_INCREMENT = 1;
constexpr LONG SEMAPHORE_INCREMENT = 1;

// Dispatcher object kinds.
enum : UCHAR {
  DispatcherNotificationEvent = 0,
  DispatcherSynchronizationEvent = 1,
  DispatcherMutant = 2,
  DispatcherSemaphore = 5,
  DispatcherNotificationTimer = 8,
  DispatcherSynchronizationTimer = 9,
};

struct DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Inserted;
  UCHAR Reserved[2];
  LONG SignalState;
  LIST_ENTRY WaitListHead;  // unused by the stand-in, kept for layout
};

struct KEVENT {
  DISPATCHER_HEADER Header;
};
using PKEVENT = KEVENT*;
using PRKEVENT = KEVENT*;

struct KTHREAD;
using PKTHREAD = KTHREAD*;
using PETHREAD = KTHREAD*;

struct KMUTANT {
  DISPATCHER_HEADER Header;
  PKTHREAD OwnerThread;
  ULONG Level;
  BOOLEAN Abandoned;
};
using KMUTEX = KMUTANT;
using PKMUTEX = KMUTEX*;
using PRKMUTEX = KMUTEX*;

struct KSEMAPHORE {
  DISPATCHER_HEADER Header;
  LONG Limit;
};
using PKSEMAPHORE = KSEMAPHORE*;
using PRKSEMAPHORE = KSEMAPHORE*;

using KSPIN_LOCK = ULONG_PTR;
using PKSPIN_LOCK = KSPIN_LOCK*;

struct FAST_MUTEX {
  LONG Count;  // 1 free, 0 owned
  PKTHREAD Owner;
  KEVENT Event;
  KIRQL OldIrql;
};
using PFAST_MUTEX = FAST_MUTEX*;

struct KDPC;
using PKDPC = KDPC*;
using PRKDPC = KDPC*;
using PKDEFERRED_ROUTINE = void (*)(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                    PVOID SystemArgument2);
struct KDPC {
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  BOOLEAN Inserted;
  ULONG Serial;  // tells a removed and re-inserted DPC from its stale queue entry
};

struct KTIMER {
  DISPATCHER_HEADER Header;
  ULONGLONG DueTime;  // virtual time in 100-ns units
  ULONGLONG EventId;  // the scheduler's event, 0 when not set
  PKDPC Dpc;
  LONG Period;        // milliseconds, 0 for a one-shot timer
};
using PKTIMER = KTIMER*;

// Events
void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
void KeClearEvent(PRKEVENT Event);
LONG KeResetEvent(PRKEVENT Event);
LONG KeReadStateEvent(PRKEVENT Event);

// Mutexes and semaphores
void KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
LONG KeReadStateMutex(PRKMUTEX Mutex);
void KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit);
LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait);

void ExInitializeFastMutex(PFAST_MUTEX FastMutex);
void ExAcquireFastMutex(PFAST_MUTEX FastMutex);
void ExReleaseFastMutex(PFAST_MUTEX FastMutex);
BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex);

// Waits. Timeout: null waits without end; negative is relative, positive absolute, in 100 ns.
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                  KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                  BOOLEAN Alertable, PLARGE_INTEGER Timeout, PVOID WaitBlockArray);
#define KeWaitForMutexObject KeWaitForSingleObject
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);
NTSTATUS ZwYieldExecution();
PKTHREAD KeGetCurrentThread();

// Spin locks
void KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql);
void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);

// DPCs and timers
void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc);
void KeInitializeTimer(PKTIMER Timer);
void KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
BOOLEAN KeCancelTimer(PKTIMER Timer);
BOOLEAN KeReadStateTimer(PKTIMER Timer);

// Interlocked operations (full barriers)
LONG InterlockedIncrement(LONG volatile* Addend);
LONG InterlockedDecrement(LONG volatile* Addend);
LONG InterlockedExchange(LONG volatile* Target, LONG Value);
LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value);
LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand);
LONG InterlockedOr(LONG volatile* Destination, LONG Value);
LONG InterlockedAnd(LONG volatile* Destination, LONG Value);
LONG64 InterlockedIncrement64(LONG64 volatile* Addend);
LONG64 InterlockedDecrement64(LONG64 volatile* Addend);
LONG64 InterlockedExchange64(LONG64 volatile* Target, LONG64 Value);
LONG64 InterlockedCompareExchange64(LONG64 volatile* Destination, LONG64 Exchange, LONG64 Comparand);
PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value);
PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange, PVOID Comparand);
