#include "platform/kernel/PowerManager.h"

#include <string>
#include <unordered_map>

#include "platform/kernel/IoInternal.h"
#include "platform/kernel/IoManager.h"
#include "platform/kernel/Scheduler.h"
#include "platform/kernel/Verifier.h"

namespace {

// Which stack locations a power IRP was dispatched to, and which of those drivers started the
// next power IRP: every one must, exactly once.
struct PowerIrpRecord {
  uint64_t dispatched = 0;
  uint64_t started = 0;
};

struct PowerState {
  uint64_t scheduler = 0;
  std::unordered_map<PIRP, PowerIrpRecord> irps;
};

PowerState& Po() {
  static PowerState po;
  auto* s = plat::Scheduler::TryCurrent();
  uint64_t serial = s != nullptr ? s->Serial() : 0;
  if (po.scheduler != serial) {
    po.irps.clear();
    po.scheduler = serial;
  }
  return po;
}

uint64_t Bit(PIRP irp) { return uint64_t{1} << static_cast<unsigned>(irp->CurrentLocation & 63); }

}  // namespace

namespace plat {

void PoNoteDispatch(PIRP irp) { Po().irps[irp].dispatched |= Bit(irp); }

void PoNoteIrpFreed(PIRP irp) {
  auto& irps = Po().irps;
  auto it = irps.find(irp);
  if (it == irps.end()) return;
  PowerIrpRecord rec = it->second;
  irps.erase(it);
  uint64_t missing = rec.dispatched & ~rec.started;
  if (missing != 0) {
    int location = __builtin_ctzll(missing);
    Violation("a power IRP finished without PoStartNextPowerIrp from the driver at stack location " +
              std::to_string(location));
  }
}

DEVICE_POWER_STATE PoDeviceState(PDEVICE_OBJECT device) { return device->DeviceObjectExtension->DevicePowerState; }

}  // namespace plat

void PoStartNextPowerIrp(PIRP Irp) {
  plat::CheckIrqlAtMost(DISPATCH_LEVEL, "PoStartNextPowerIrp");
  if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
    plat::Violation("PoStartNextPowerIrp of an IRP that is not a power IRP");
  auto& rec = Po().irps[Irp];
  if (rec.started & Bit(Irp)) plat::Violation("PoStartNextPowerIrp called twice by one driver for one power IRP");
  rec.started |= Bit(Irp);
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
    plat::Violation("PoCallDriver of an IRP that is not a power IRP");
  return IoCallDriver(DeviceObject, Irp);
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  PDEVOBJ_EXTENSION ext = DeviceObject->DeviceObjectExtension;
  POWER_STATE old;
  if (Type == DevicePowerState) {
    old.DeviceState = ext->DevicePowerState;
    ext->DevicePowerState = State.DeviceState;
  } else {
    old.SystemState = ext->SystemPowerState;
    ext->SystemPowerState = State.SystemState;
  }
  return old;
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  plat::CheckIrqlAtMost(DISPATCH_LEVEL, "PoRequestPowerIrp");
  if (MinorFunction != IRP_MN_WAIT_WAKE && MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER)
    return STATUS_INVALID_PARAMETER;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
  PIRP irp = plat::IoAllocateOwnedIrp(top->StackSize, [=](PIRP done) {
    IO_STATUS_BLOCK status = done->IoStatus;
    if (CompletionFunction != nullptr) CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &status);
    ObDereferenceObject(top);
  });
  if (irp == nullptr) {
    ObDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = IRP_MJ_POWER;
  sp->MinorFunction = MinorFunction;
  if (MinorFunction == IRP_MN_WAIT_WAKE) {
    sp->Parameters.WaitWake.PowerState = PowerState.SystemState;
  } else {
    sp->Parameters.Power.Type = DevicePowerState;
    sp->Parameters.Power.State = PowerState;
  }
  if (Irp != nullptr) *Irp = irp;
  PoCallDriver(top, irp);
  return STATUS_PENDING;
}
