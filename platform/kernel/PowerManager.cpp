#include "platform/kernel/PowerManager.h"

#include <algorithm>
#include <deque>
#include <exception>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/kernel/IoInternal.h"
#include "platform/kernel/IoManager.h"
#include "platform/kernel/KernelInternal.h"
#include "platform/kernel/Scheduler.h"
#include "platform/kernel/Verifier.h"

namespace {

// Set and query IRPs are serialised per device object, system and device power apart, until the
// driver that has one calls PoStartNextPowerIrp; later ones wait at the gate.
struct Gate {
  bool busy = false;
  std::deque<PIRP> waiting;
};
using GateKey = std::pair<PDEVICE_OBJECT, int>;

// How many drivers a power IRP was dispatched to, and how many started the next power IRP: every
// one must, exactly once. Counted, not by location: a driver that skips shares its location.
struct PowerIrpRecord {
  int dispatched = 0;
  int started = 0;
  std::vector<GateKey> holding;  // the gates this IRP keeps shut
};

struct PowerState {
  uint64_t scheduler = 0;
  std::unordered_map<PIRP, PowerIrpRecord> irps;
  std::map<GateKey, Gate> gates;
};

PowerState& Po() {
  static PowerState po;
  auto* s = plat::Scheduler::TryCurrent();
  uint64_t serial = s != nullptr ? s->Serial() : 0;
  if (po.scheduler != serial) {
    po.irps.clear();
    po.gates.clear();
    po.scheduler = serial;
  }
  return po;
}

// -1 for the minors that are never held back (WAIT_WAKE, POWER_SEQUENCE).
int SerialKind(PIO_STACK_LOCATION sp) {
  if (sp->MinorFunction != IRP_MN_SET_POWER && sp->MinorFunction != IRP_MN_QUERY_POWER) return -1;
  return sp->Parameters.Power.Type == SystemPowerState ? 0 : 1;
}

// The next waiting IRP goes to its device at PASSIVE_LEVEL, never inside the caller that opened the gate.
void OpenGate(const GateKey& key) {
  Gate& gate = Po().gates[key];
  gate.busy = false;
  if (gate.waiting.empty()) return;
  PIRP next = gate.waiting.front();
  gate.waiting.pop_front();
  gate.busy = true;
  PDEVICE_OBJECT device = key.first;
  plat::Scheduler::Current().Spawn("Power", [device, next] {
    plat::PoDeliver(device, next);
    ObDereferenceObject(device);
  });
}

// Puts the IRQL back however a dispatch routine ends: a violation a test expects may unwind
// through it.
class RaisedToDispatch {
 public:
  RaisedToDispatch() { KeRaiseIrql(DISPATCH_LEVEL, &old_); }
  ~RaisedToDispatch() {
    if (std::uncaught_exceptions() > 0)
      plat::CurrentIrqlRef() = old_;
    else
      KeLowerIrql(old_);
  }
  RaisedToDispatch(const RaisedToDispatch&) = delete;
  RaisedToDispatch& operator=(const RaisedToDispatch&) = delete;

 private:
  KIRQL old_ = PASSIVE_LEVEL;
};

}  // namespace

namespace plat {

NTSTATUS PoDeliver(PDEVICE_OBJECT device, PIRP irp) {
  KIRQL irql = KeGetCurrentIrql();
  if (device->Flags & DO_POWER_PAGABLE) {
    if (irql == PASSIVE_LEVEL) return IoCallDriver(device, irp);
    // Not at this IRQL: on a power thread, the device's location answered later, so pending there.
    ObReferenceObject(device);
    IoGetNextIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
    Scheduler::Current().Spawn("Power", [device, irp] {
      IoCallDriver(device, irp);
      ObDereferenceObject(device);
    });
    return STATUS_PENDING;
  }
  if (irql >= DISPATCH_LEVEL || Scheduler::Current().Choose(2) == 0) return IoCallDriver(device, irp);
  RaisedToDispatch raised;
  return IoCallDriver(device, irp);
}

void PoNoteDispatch(PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  auto& po = Po();
  PowerIrpRecord& rec = po.irps[irp];
  rec.dispatched += 1;
  int kind = SerialKind(sp);
  if (kind < 0) return;
  po.gates[{sp->DeviceObject, kind}].busy = true;
  rec.holding.push_back({sp->DeviceObject, kind});
}

void PoNoteIrpFreed(PIRP irp) {
  auto& irps = Po().irps;
  auto it = irps.find(irp);
  if (it == irps.end()) return;
  PowerIrpRecord rec = it->second;
  irps.erase(it);
  for (const GateKey& key : rec.holding) OpenGate(key);
  if (rec.started < rec.dispatched)
    Violation("a power IRP finished with " + std::to_string(rec.dispatched - rec.started) +
              " of its drivers not having called PoStartNextPowerIrp");
}

DEVICE_POWER_STATE PoDeviceState(PDEVICE_OBJECT device) { return device->DeviceObjectExtension->DevicePowerState; }

}  // namespace plat

void PoStartNextPowerIrp(PIRP Irp) {
  plat::CheckIrqlAtMost(DISPATCH_LEVEL, "PoStartNextPowerIrp");
  if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
    plat::Violation("PoStartNextPowerIrp of an IRP that is not a power IRP");
  auto& rec = Po().irps[Irp];
  if (rec.started >= rec.dispatched) plat::Violation("PoStartNextPowerIrp called more often than drivers got the IRP");
  rec.started += 1;
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
  int kind = SerialKind(sp);
  auto held = std::find(rec.holding.begin(), rec.holding.end(), GateKey{sp->DeviceObject, kind});
  if (kind < 0 || held == rec.holding.end()) return;
  rec.holding.erase(held);
  OpenGate({sp->DeviceObject, kind});
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  if (next->MajorFunction != IRP_MJ_POWER) plat::Violation("PoCallDriver of an IRP that is not a power IRP");
  int kind = SerialKind(next);
  if (kind >= 0) {
    Gate& gate = Po().gates[{DeviceObject, kind}];
    if (gate.busy) {
      ObReferenceObject(DeviceObject);
      // The device's location: it is answered later, so it counts as pending there.
      next->Control |= SL_PENDING_RETURNED;
      gate.waiting.push_back(Irp);
      return STATUS_PENDING;
    }
  }
  return plat::PoDeliver(DeviceObject, Irp);
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
