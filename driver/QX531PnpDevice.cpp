#include "driver/QX531PnpDevice.h"

#include "driver/BusRequests.h"
#include "driver/QX531AudioPdo.h"
#include "driver/QX531Driver.h"
#include "driver/QX531KernelInterface.h"
#include "driver/UnitInstanceTable.h"
#include "unit/ControlRequests.h"
#include "unit/MIDIEventPacket.h"

namespace {

// Start waits for the unit's node number to hold still between two readings this far apart.
constexpr LONGLONG kSettleInterval = 7'500'000;  // 750 ms in 100-ns units
constexpr int kSettleWaits = 6;

// What plug-in answers when the stream buffers could not be allocated.
constexpr int32_t kPlugInOutOfMemory = 2;

void LockMutex(PKMUTEX mutex) { KeWaitForSingleObject(mutex, Executive, KernelMode, FALSE, nullptr); }

}  // namespace

struct QX531PnpDevice::WorkItem {
  WORK_QUEUE_ITEM item;
  QX531PnpDevice* device;
};

QX531PnpDevice::QX531PnpDevice(ULONG stamp, PDEVICE_OBJECT physicalDevice, ULONG unitNumber)
    : QX531PnpDevice(stamp, physicalDevice, unitNumber,
                     MakeNumberedName(QX531Driver::kDeviceNameStem, unitNumber, 10)) {}

QX531PnpDevice::QX531PnpDevice(ULONG stamp, PDEVICE_OBJECT physicalDevice, ULONG unitNumber, NumberedName name)
    : PnpDeviceBase(stamp, physicalDevice, name.Buffer, FILE_DEVICE_UNKNOWN, &GUID_QX531_DEVICE_INTERFACE, 0,
                    DO_DIRECT_IO),
      QX531WinDevice(physicalDevice, this) {
  PAGED_CODE();
  const bool named = name.Buffer != nullptr;
  FreeNumberedName(&name);
  KeInitializeEvent(&mWorkDrained, NotificationEvent, FALSE);
  mWdm = &mWdmClient;
  mStreamsMutex = mUnitMutex.Get();
  if (!NT_SUCCESS(mConstructStatus)) return;
  // Without its name the device could not be told apart from the others.
  if (!named) {
    mConstructStatus = STATUS_INSUFFICIENT_RESOURCES;
    return;
  }
  mUnitNumber = static_cast<LONG>(unitNumber);
  mConstructStatus = mLowerLink.AttachToStack(this, physicalDevice);
  if (!NT_SUCCESS(mConstructStatus)) return;
  PnpDeviceBase::mLowerLink = &mLowerLink;
  SetDefaultPnpPolicy();
}

QX531PnpDevice::~QX531PnpDevice() {
  mLowerLink.Detach();
  PnpDeviceBase::mLowerLink = nullptr;
  mUnitMutex.Release();
}

// Requests this device does not serve go to the unit's stack below.

NTSTATUS QX531PnpDevice::DefaultPnp(PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return PassDown(irp);
}

NTSTATUS QX531PnpDevice::Create(PIRP irp) { return DefaultPnp(irp); }
NTSTATUS QX531PnpDevice::Close(PIRP irp) { return DefaultPnp(irp); }
NTSTATUS QX531PnpDevice::InternalDeviceControl(PIRP irp) { return DefaultPnp(irp); }
NTSTATUS QX531PnpDevice::OnPrivatePnp(PIRP irp) { return DefaultPnp(irp); }

NTSTATUS QX531PnpDevice::DefaultPower(PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoCopyCurrentIrpStackLocationToNext(irp);
  return PassPowerDown(irp);
}

NTSTATUS QX531PnpDevice::CleanUp(PIRP irp) {
  PAGED_CODE();
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  CancelFileIrps(&mDeviceObject->DeviceQueue, this, file);
  CloseAsioSession(file);
  irp->IoStatus.Information = 0;
  return CompleteRequest(irp, STATUS_SUCCESS);
}

// Device I/O controls: the request number is the control code's function less 0x800, whatever
// its device type; the system buffer holds the input on entry and the reply on return.
NTSTATUS QX531PnpDevice::DeviceControl(PIRP irp) {
  PAGED_CODE();
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  const ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
  const ULONG inputLength = sp->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG outputLength = sp->Parameters.DeviceIoControl.OutputBufferLength;
  irp->IoStatus.Information = 0;
  // Only a buffered request hands the driver one system buffer of known size.
  if ((code & 0x3) != METHOD_BUFFERED) return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);

  uint32_t request = QX531RequestNumber(code);
  if (IoIs32bitProcess(irp)) request |= kQX531Caller32Bit;
  uint32_t bytesReturned = 0;
  PVOID buffer = irp->AssociatedIrp.SystemBuffer;
  // The ASIO requests keep the caller's bit, for the 32-bit layouts, and go with the file object
  // they came through, which owns the session.
  const uint32_t plain = request & ~kQX531Caller32Bit;
  const int32_t result =
      plain >= kFirstAsioRequest && plain <= kLastAsioRequest
          ? HandleAsioRequest(sp->FileObject, request, buffer, inputLength, outputLength, &bytesReturned)
          : HandleControlRequest(request, buffer, inputLength, outputLength, &bytesReturned);
  // The I/O manager copies Information bytes back to the caller: never more than it gave room for.
  irp->IoStatus.Information = bytesReturned < outputLength ? bytesReturned : outputLength;
  const NTSTATUS status = result == kQX531Success      ? STATUS_SUCCESS
                          : result == kAsioSessionBusy ? STATUS_DEVICE_BUSY
                                                       : STATUS_INVALID_PARAMETER;
  return CompleteRequest(irp, status);
}

int32_t QX531PnpDevice::HandleControlRequest(uint32_t request, void* buffer, uint32_t inputLength,
                                             uint32_t outputLength, uint32_t* bytesReturned) {
  PAGED_CODE();
  *bytesReturned = 0;
  const uint32_t plain = request & ~kQX531Caller32Bit;
  // An ASIO request without the file object it came through belongs to no session.
  if (plain >= kFirstAsioRequest && plain <= kLastAsioRequest) return kQX531Failure;
  // Starting and stopping the streams is ordered with plug-in, unplug and their rebuilding.
  if (plain != QX531RequestNumber(IOCTL_QX531_SET_STREAM_MASK))
    return QX531WinDevice::HandleControlRequest(plain, buffer, inputLength, outputLength, bytesReturned);
  LockMutex(mUnitMutex.Get());
  const int32_t result = QX531WinDevice::HandleControlRequest(plain, buffer, inputLength, outputLength, bytesReturned);
  KeReleaseMutex(mUnitMutex.Get(), FALSE);
  return result;
}

// Start, stop and removal

NTSTATUS QX531PnpDevice::SetBusResetNotification(ULONG flags) {
  PAGED_CODE();
  IRB irb{};
  irb.FunctionNumber = REQUEST_BUS_RESET_NOTIFICATION;
  irb.u.BusResetNotification.fulFlags = flags;
  irb.u.BusResetNotification.ResetRoutine = BusResetNotification;
  irb.u.BusResetNotification.ResetContext = this;
  return SubmitIrb(&mLowerLink, &irb, nullptr);
}

// Right after a unit arrives the bus may still be resetting; its node number holding still
// between two readings tells that it has settled.
void QX531PnpDevice::WaitForBusToSettle() {
  PAGED_CODE();
  ExtractNodeAndGenerationIDs();
  uint32_t previous = mNodeNum;
  for (int wait = 0; wait < kSettleWaits; ++wait) {
    LARGE_INTEGER interval;
    interval.QuadPart = -kSettleInterval;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    ExtractNodeAndGenerationIDs();
    if (mNodeNum == previous) return;
    previous = mNodeNum;
  }
}

// The framework has passed the start down and seen it succeed. A start after a stop finds the
// bus-reset registration in place and makes no second one.
NTSTATUS QX531PnpDevice::OnStartDevice(PIRP irp) {
  PAGED_CODE();
  irp->IoStatus.Information = 0;
  if (!mBusResetRegistered) {
    const NTSTATUS status = SetBusResetNotification(REGISTER_NOTIFICATION_ROUTINE);
    if (!NT_SUCCESS(status)) return status;
    mBusResetRegistered = TRUE;
  }
  MakeChild();
  if (!MakeRestartWork() || !NT_SUCCESS(AllocateChannelBuffers())) {
    SetBusResetNotification(DEREGISTER_NOTIFICATION_ROUTINE);
    mBusResetRegistered = FALSE;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  WaitForBusToSettle();

  LockMutex(mUnitMutex.Get());
  const int32_t plugged = HandlePlugIn();
  KeReleaseMutex(mUnitMutex.Get(), FALSE);
  if (plugged != 0) {
    // A unit that never came up keeps no registration: nothing of it is left to serve.
    SetBusResetNotification(DEREGISTER_NOTIFICATION_ROUTINE);
    mBusResetRegistered = FALSE;
    return plugged == kPlugInOutOfMemory ? STATUS_INSUFFICIENT_RESOURCES : STATUS_UNSUCCESSFUL;
  }
  if (QX531PdoBase* child = mChildren.FirstChild()) RegisterUnitInstance(child->mDeviceObject, static_cast<LONG>(Serial()));
  // Another kernel driver may bind to the main unit; a start after a stop keeps the publication.
  if (UnitKind() == kKindMain) PublishKernelInterface(mPhysicalDevice, this);
  // From now on the unit runs its streams (a unit that has audio) and MIDI with or without a client.
  SetDriverWantsStreaming();
  SetClientMode();
  return STATUS_SUCCESS;
}

// The unit's one child device, on which the audio adapter loads. A start after a stop keeps the
// child it made before, so the adapter on it and its instance path stay. Without a child the unit
// still serves its own clients; the next start tries again.
void QX531PnpDevice::MakeChild() {
  PAGED_CODE();
  if (mChildren.FirstChild() != nullptr) return;
  NTSTATUS status;
  QX531AudioPdo* child = QX531AudioPdo::Create(this, &mChildren, 0, &status);
  if (child == nullptr) return;
  if (!NT_SUCCESS(status)) {
    child->Delete();
    return;
  }
  mWdmClient.Reset();
  mChildren.AddChild(child);
  child->mDeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
  IoInvalidateDeviceRelations(mPhysicalDevice, BusRelations);
}

// The bus-reset registration stays for the next start.
NTSTATUS QX531PnpDevice::OnStopDevice(PIRP) {
  PAGED_CODE();
  UnregisterUnitInstance(static_cast<LONG>(Serial()), FALSE);
  LockMutex(mUnitMutex.Get());
  StopMidi();
  HandleUnPlug();
  KeReleaseMutex(mUnitMutex.Get(), FALSE);
  return STATUS_SUCCESS;
}

// The unit has left the bus: its registers are no longer reached, and user mode stops finding it.
NTSTATUS QX531PnpDevice::OnSurpriseRemoval(PIRP) {
  PAGED_CODE();
  ClearReachable();
  DisableDeviceInterfaces(nullptr);
  if (mKernelInterface != nullptr) UnpublishKernelInterface(this);
  mChildren.MarkChildrenMissing();
  return STATUS_SUCCESS;
}

// The workers are drained first, so no reset handling runs into the teardown. A unit that is
// still on the bus is told to stop before it becomes unreachable.
NTSTATUS QX531PnpDevice::OnRemoveDevice(PIRP) {
  PAGED_CODE();
  StopWorkers();
  if (mRestartWork != nullptr) {
    ExFreePoolWithTag(mRestartWork, kFrameworkPoolTag);
    mRestartWork = nullptr;
  }
  UnregisterUnitInstance(static_cast<LONG>(Serial()), FALSE);
  LockMutex(mUnitMutex.Get());
  StopMidi();
  HandleUnPlug();
  KeReleaseMutex(mUnitMutex.Get(), FALSE);
  ClearReachable();
  if (mBusResetRegistered) {
    SetBusResetNotification(DEREGISTER_NOTIFICATION_ROUTINE);
    mBusResetRegistered = FALSE;
  }
  FreeChannelBuffers();
  mChildren.RemoveAllChildren();
  // A kernel client hears of it once, then its object no longer reaches this device.
  if (mKernelInterface != nullptr) {
    NotifyKernelClientOfRemoval(this);
    UnpublishKernelInterface(this);
    DetachKernelInterface(this);
  }
  return STATUS_SUCCESS;
}

// Up to DISPATCH_LEVEL. The surface's cable never fills the ring: the engine takes it at once.
BOOLEAN QX531PnpDevice::QueueMidiOut(ULONG packet) {
  if (packet >> 28 != kSurfaceCable && MidiOutRingFull()) return FALSE;
  SendMIDIOut(packet);
  return TRUE;
}

// Up to DISPATCH_LEVEL. Whole messages per cable, for a kernel client that asked for MIDI in.
void QX531PnpDevice::DeliverMidiWord(ULONG packet) {
  UnpackMidiWord(&mMidiParsers, packet, KernelClientMidiSink, static_cast<ClientPort*>(this));
}

// Up to DISPATCH_LEVEL. MIDI to the host goes to the audio adapter and to the kernel client.
int32_t QX531PnpDevice::DeliverMIDIInEvent(uint32_t packet) {
  mWdmClient.DeliverMidiIn(packet);
  DeliverMidiWord(packet);
  return 0;
}

// The children are this device's bus relations; the request then goes on down the stack.
NTSTATUS QX531PnpDevice::OnQueryDeviceRelations(PIRP irp) {
  PAGED_CODE();
  const NTSTATUS status = mChildren.QueryBusRelations(irp);
  if (!NT_SUCCESS(status)) return CompleteRequest(irp, status);
  return DefaultPnp(irp);
}

// The stack's device power state is followed from every device SET_POWER that passes, so that
// the children's power policy knows where the unit's stack is.
NTSTATUS QX531PnpDevice::OnSetPower(PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  if (sp->Parameters.Power.Type == DevicePowerState) {
    if (sp->Parameters.Power.State.DeviceState < mChildren.DevicePowerState())
      OnDevicePowerUp(irp);
    else
      OnDevicePowerDown(irp);
  }
  return DefaultPower(irp);
}

void QX531PnpDevice::OnDevicePowerUp(PIRP irp) {
  mChildren.SetDevicePowerState(IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.DeviceState);
}

void QX531PnpDevice::OnDevicePowerDown(PIRP irp) {
  mChildren.SetDevicePowerState(IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.DeviceState);
}

// No deeper than any child still needs.
DEVICE_POWER_STATE QX531PnpDevice::DevicePowerStateFor(SYSTEM_POWER_STATE systemState) {
  PAGED_CODE();
  const DEVICE_POWER_STATE own = PnpDeviceBase::DevicePowerStateFor(systemState);
  const DEVICE_POWER_STATE children = mChildren.LowestChildPowerState();
  return children < own ? children : own;
}

NTSTATUS QX531PnpDevice::OnQueryCapabilities(PIRP irp) {
  PAGED_CODE();
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, OnQueryCapabilitiesDone, nullptr, TRUE, TRUE, TRUE);
  return PassDown(irp);
}

// DISPATCH_LEVEL or below. The unit may be pulled at any time: it never asks before it goes.
NTSTATUS QX531PnpDevice::OnQueryCapabilitiesDone(PDEVICE_OBJECT, PIRP irp, PVOID) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities->SurpriseRemovalOK = 1;
  return STATUS_SUCCESS;
}

// Work items. Each holds a request count and a place in the work gate until it has finished;
// removal closes the gate and waits for the gate to empty.

bool QX531PnpDevice::OpenWork() {
  LONG seen = mWorkGate;
  for (;;) {
    if (seen & kWorkGateClosed) return false;
    const LONG before = InterlockedCompareExchange(&mWorkGate, seen + 1, seen);
    if (before == seen) return true;
    seen = before;
  }
}

void QX531PnpDevice::CloseWork() {
  if (InterlockedDecrement(&mWorkGate) == kWorkGateClosed) KeSetEvent(&mWorkDrained, IO_NO_INCREMENT, FALSE);
}

void QX531PnpDevice::StopWorkers() {
  PAGED_CODE();
  if ((InterlockedOr(&mWorkGate, kWorkGateClosed) & ~kWorkGateClosed) != 0)
    KeWaitForSingleObject(&mWorkDrained, Executive, KernelMode, FALSE, nullptr);
}

// DISPATCH_LEVEL or below. Null when the gate is closed or pool is short.
QX531PnpDevice::WorkItem* QX531PnpDevice::AllocateWork(PWORKER_THREAD_ROUTINE routine) {
  if (!OpenWork()) return nullptr;
  auto* work = static_cast<WorkItem*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(WorkItem), kFrameworkPoolTag));
  if (work == nullptr) {
    CloseWork();
    return nullptr;
  }
  ExInitializeWorkItem(&work->item, routine, work);
  work->device = this;
  IncrementRequestCount();
  return work;
}

// PASSIVE_LEVEL, at a worker's end. The gate is left last: once it is empty, removal goes on.
void QX531PnpDevice::FinishWork(WorkItem* work) {
  ExFreePoolWithTag(work, kFrameworkPoolTag);
  DecrementRequestCount();
  CloseWork();
}

// DISPATCH_LEVEL, in the bus driver's context. Only the notification that finds no worker
// running queues one; the running worker sees the resets that come meanwhile.
void QX531PnpDevice::BusResetNotification(PVOID context) {
  auto* self = static_cast<QX531PnpDevice*>(context);
  InterlockedExchange(&self->mBusResetPending, 1);
  if (InterlockedCompareExchange(&self->mBusResetRunning, 1, 0) != 0) return;
  WorkItem* work = self->AllocateWork(BusResetWorker);
  if (work == nullptr) {
    // The reset stays pending for the next notification.
    InterlockedExchange(&self->mBusResetRunning, 0);
    return;
  }
  ExQueueWorkItem(&work->item, CriticalWorkQueue);
}

// PASSIVE_LEVEL, on the critical work queue. After a reset the streams' bus resources are claimed
// again for the new generation before the unit is told of it. The restart takes the client mutex
// before the unit's, so the unit's is not held across it.
void QX531PnpDevice::BusResetWorker(PVOID context) {
  PAGED_CODE();
  auto* work = static_cast<WorkItem*>(context);
  QX531PnpDevice* self = work->device;
  for (;;) {
    while (!(self->mWorkGate & kWorkGateClosed) && InterlockedExchange(&self->mBusResetPending, 0) != 0) {
      LockMutex(self->mUnitMutex.Get());
      self->ExtractNodeAndGenerationIDs();
      KeReleaseMutex(self->mUnitMutex.Get(), FALSE);
      self->RestartClients();
      LockMutex(self->mUnitMutex.Get());
      self->HandleBusReset();
      KeReleaseMutex(self->mUnitMutex.Get(), FALSE);
    }
    InterlockedExchange(&self->mBusResetRunning, 0);
    // A reset between the last pass and the clear above queued no worker: this one takes it.
    if (self->mWorkGate & kWorkGateClosed || self->mBusResetPending == 0 ||
        InterlockedCompareExchange(&self->mBusResetRunning, 1, 0) != 0)
      break;
  }
  self->FinishWork(work);
}

// DISPATCH_LEVEL, from an isochronous completion. The lists stop going back to the bus only once
// the re-initialisation worker is sure to run; without one they keep running and the stream is
// signalled again.
void QX531PnpDevice::SignalForIsocReinitialize() {
  QX531WinDevice::SignalForIsocReinitialize();
  if (InterlockedExchange(&mReinitPending, 1) != 0) return;
  WorkItem* work = AllocateWork(IsocReinitializeWorker);
  if (work == nullptr) {
    InterlockedExchange(&mReinitPending, 0);
    return;
  }
  mIsochRunning = 0;
  ExQueueWorkItem(&work->item, DelayedWorkQueue);
}

// PASSIVE_LEVEL, on the delayed work queue. The stream may be signalled again as soon as this
// worker has begun: a fault seen during the restart brings a second one.
void QX531PnpDevice::IsocReinitializeWorker(PVOID context) {
  PAGED_CODE();
  auto* work = static_cast<WorkItem*>(context);
  QX531PnpDevice* self = work->device;
  InterlockedExchange(&self->mReinitPending, 0);
  if (!(self->mWorkGate & kWorkGateClosed)) self->RestartClients();
  self->FinishWork(work);
}

// PASSIVE_LEVEL, at start. The restart's work item is made once and kept until removal, so that a
// restart asked for at DISPATCH_LEVEL is never lost for want of pool.
bool QX531PnpDevice::MakeRestartWork() {
  PAGED_CODE();
  if (mRestartWork != nullptr) return true;
  auto* work = static_cast<WorkItem*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(WorkItem), kFrameworkPoolTag));
  if (work == nullptr) return false;
  ExInitializeWorkItem(&work->item, ClientRestartWorker, work);
  work->device = this;
  mRestartWork = work;
  return true;
}

// Up to DISPATCH_LEVEL. One restart queued at a time; one asked for while it runs queues the next.
// Only removal, which closes the gate, or a device never started stops it.
void QX531PnpDevice::QueueRestartClients() {
  if (InterlockedExchange(&mClientRestartQueued, 1) != 0) return;
  if (mRestartWork == nullptr || !OpenWork()) {
    InterlockedExchange(&mClientRestartQueued, 0);
    return;
  }
  IncrementRequestCount();
  ExQueueWorkItem(&mRestartWork->item, DelayedWorkQueue);
}

// PASSIVE_LEVEL, on the delayed work queue.
void QX531PnpDevice::ClientRestartWorker(PVOID context) {
  PAGED_CODE();
  auto* work = static_cast<WorkItem*>(context);
  QX531PnpDevice* self = work->device;
  InterlockedExchange(&self->mClientRestartQueued, 0);
  if (!(self->mWorkGate & kWorkGateClosed)) self->RestartClients();
  // The item is the device's own and stays; only its place in the gate and its request go.
  self->DecrementRequestCount();
  self->CloseWork();
}
