#include "tests/driver/EngineUnit.h"

#include "driver/BusRequests.h"

namespace drivertest {

EngineUnit::EngineUnit(bus1394test::UnitDevice* device, PnpDeviceBase* counted)
    : TestUnit(device, counted), device_(device) {
  KeInitializeSpinLock(&lock_);
  KeInitializeEvent(&idle_, NotificationEvent, TRUE);
  ExInitializeWorkItem(&work_, ResetWorker, this);
}

EngineUnit::~EngineUnit() {
  if (!removed) {
    Drain();
    device_->onRemove = nullptr;
  }
}

void EngineUnit::FollowBusResets() {
  IRB irb{};
  irb.FunctionNumber = REQUEST_BUS_RESET_NOTIFICATION;
  irb.u.BusResetNotification.fulFlags = REGISTER_NOTIFICATION_ROUTINE;
  irb.u.BusResetNotification.ResetRoutine = OnBusReset;
  irb.u.BusResetNotification.ResetContext = this;
  EXPECT_EQ(SubmitIrb(&mLink, &irb, nullptr), STATUS_SUCCESS);
  following_ = true;
  device_->onRemove = [this](bus1394test::UnitDevice*) { Removing(); };
}

int32_t EngineUnit::DeliverMIDIInEvent(uint32_t event) {
  midiIn.push_back(event);
  return 0;
}

// DISPATCH_LEVEL. A reset that comes while the worker runs is taken by its next pass.
void EngineUnit::OnBusReset(PVOID context) {
  auto* self = static_cast<EngineUnit*>(context);
  KIRQL irql;
  KeAcquireSpinLock(&self->lock_, &irql);
  self->resetPending_ = true;
  if (!self->closed_ && !self->resetRunning_) {
    self->resetRunning_ = true;
    KeClearEvent(&self->idle_);
    ExQueueWorkItem(&self->work_, CriticalWorkQueue);
  }
  KeReleaseSpinLock(&self->lock_, irql);
}

void EngineUnit::ResetWorker(PVOID context) {
  auto* self = static_cast<EngineUnit*>(context);
  for (;;) {
    KIRQL irql;
    KeAcquireSpinLock(&self->lock_, &irql);
    if (self->closed_ || !self->resetPending_) {
      self->resetRunning_ = false;
      KeSetEvent(&self->idle_, IO_NO_INCREMENT, FALSE);
      KeReleaseSpinLock(&self->lock_, irql);
      return;
    }
    self->resetPending_ = false;
    KeReleaseSpinLock(&self->lock_, irql);
    self->ExtractNodeAndGenerationIDs();
    self->HandleBusReset();
    ++self->resetsHandled;
  }
}

// PASSIVE_LEVEL: no worker is queued after this, and the one running has finished.
void EngineUnit::Drain() {
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  closed_ = true;
  KeReleaseSpinLock(&lock_, irql);
  KeWaitForSingleObject(&idle_, Executive, KernelMode, FALSE, nullptr);
  if (!following_) return;
  following_ = false;
  IRB irb{};
  irb.FunctionNumber = REQUEST_BUS_RESET_NOTIFICATION;
  irb.u.BusResetNotification.fulFlags = DEREGISTER_NOTIFICATION_ROUTINE;
  SubmitIrb(&mLink, &irb, nullptr);
}

// The test driver deregisters its own routine after this, which the bus driver answers as it
// answers a second deregistration.
void EngineUnit::Removing() {
  Drain();
  StopMidi();
  if (IsPluggedIn()) HandleUnPlug();
  ClearReachable();
  removed = true;
}

}  // namespace drivertest
