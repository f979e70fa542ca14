// The function device of one unit on the bus (main unit or expansion unit): plug and play's
// device on one side, the unit engine on the bus driver on the other. It runs the start, stop,
// surprise-removal and removal roads, carries device I/O controls to the unit, and keeps one
// worker for bus resets and one for stream re-initialisation.
#pragma once

#include <wdm.h>

#include "driver/QX531ChildList.h"
#include "driver/QX531WinDevice.h"
#include "driver/WdmClientState.h"
#include "kframework/KernelUtil.h"
#include "kframework/LowerDeviceLink.h"
#include "kframework/PnpDeviceBase.h"

// The device interface class by which user mode finds the units.
inline const GUID GUID_QX531_DEVICE_INTERFACE = {
    0xF8080C46, 0x1BDA, 0x4A20, {0x9D, 0x58, 0xD7, 0x8E, 0x62, 0x7C, 0x8F, 0xC5}};

class QX531PnpDevice : public PnpDeviceBase, public QX531WinDevice {
 public:
  // Requests served by this layer rather than by the unit engine.
  static constexpr uint32_t kFirstAsioRequest = 256;
  static constexpr uint32_t kLastAsioRequest = 266;

  QX531PnpDevice(ULONG stamp, PDEVICE_OBJECT physicalDevice, ULONG unitNumber);
  ~QX531PnpDevice() override;

  // Plug and play device face.
  NTSTATUS Create(PIRP irp) override;
  NTSTATUS Close(PIRP irp) override;
  NTSTATUS DeviceControl(PIRP irp) override;
  NTSTATUS InternalDeviceControl(PIRP irp) override;
  NTSTATUS CleanUp(PIRP irp) override;
  NTSTATUS OnStartDevice(PIRP irp) override;
  NTSTATUS OnStopDevice(PIRP irp) override;
  NTSTATUS OnRemoveDevice(PIRP irp) override;
  NTSTATUS OnQueryDeviceRelations(PIRP irp) override;
  NTSTATUS OnQueryCapabilities(PIRP irp) override;
  NTSTATUS OnSetPower(PIRP irp) override;
  NTSTATUS OnSurpriseRemoval(PIRP irp) override;
  NTSTATUS OnPrivatePnp(PIRP irp) override;
  NTSTATUS DefaultPnp(PIRP irp) override;
  NTSTATUS DefaultPower(PIRP irp) override;
  void OnDevicePowerUp(PIRP irp) override;
  void OnDevicePowerDown(PIRP irp) override;
  DEVICE_POWER_STATE DevicePowerStateFor(SYSTEM_POWER_STATE systemState) override;

  // Unit face.
  int32_t HandleControlRequest(uint32_t request, void* buffer, uint32_t inputLength, uint32_t outputLength,
                               uint32_t* bytesReturned) override;
  void SignalForIsocReinitialize() override;
  int32_t OnPanelRequest() override { return 0; }
  LowerDeviceLink* GetLowerDeviceLink() override { return &mLowerLink; }
  // MIDI to the host also goes to the audio adapter, when it has registered for it.
  int32_t DeliverMIDIInEvent(uint32_t packet) override;
  void QueueRestartClients() override;

  // Client face: MIDI out to the unit, and MIDI from the unit parsed for the kernel client.
  BOOLEAN QueueMidiOut(ULONG packet) override;
  void DeliverMidiWord(ULONG packet) override;

  bool ConverterDelayOn() const { return mConverterDelay != 0; }

  // Called by the bus driver after every bus reset.
  static void BusResetNotification(PVOID context);

  // Set by each bus-reset notification, taken by the bus-reset worker.
  volatile LONG mBusResetPending = 0;
  // 1 from the notification that queues the bus-reset worker until that worker has finished.
  volatile LONG mBusResetRunning = 0;
  // 1 while a stream re-initialisation is queued or running.
  volatile LONG mReinitPending = 0;
  // The audio child device, made at the first start and kept until removal.
  QX531ChildList mChildren{this};
  // What the audio adapter on the child drives through the direct-call table.
  WdmClientState mWdmClient;
  LONG mUnitNumber = 0;
  LowerDeviceLink mLowerLink;

 private:
  // Removal's bit in the work gate: once it is set no work item is queued any more.
  static constexpr LONG kWorkGateClosed = 0x40000000;

  struct WorkItem;

  QX531PnpDevice(ULONG stamp, PDEVICE_OBJECT physicalDevice, ULONG unitNumber, NumberedName name);

  NTSTATUS SetBusResetNotification(ULONG flags);
  void MakeChild();
  void WaitForBusToSettle();
  void StopWorkers();
  bool OpenWork();
  void CloseWork();
  WorkItem* AllocateWork(PWORKER_THREAD_ROUTINE routine);
  bool MakeRestartWork();
  void FinishWork(WorkItem* work);
  static void BusResetWorker(PVOID context);
  static void IsocReinitializeWorker(PVOID context);
  static void ClientRestartWorker(PVOID context);
  static NTSTATUS OnQueryCapabilitiesDone(PDEVICE_OBJECT device, PIRP irp, PVOID context);

  BOOLEAN mBusResetRegistered = FALSE;
  // 1 while a client restart is queued and has not begun.
  volatile LONG mClientRestartQueued = 0;
  // The client restart's work item, made at the first start and freed at removal.
  WorkItem* mRestartWork = nullptr;
  // The work items queued and not yet finished, with removal's bit.
  volatile LONG mWorkGate = 0;
  // Signalled when the last work item finishes behind a closed gate.
  KEVENT mWorkDrained;
  // Orders plug-in, unplug and the bus-reset worker's pass over the unit.
  MutexHolder mUnitMutex{1};
};
