#include "platform/kernel/PnpTestBus.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/kernel/Dma.h"
#include "platform/kernel/include/wdmguid.h"
#include "platform/kernel/IoInternal.h"
#include "platform/kernel/PowerManager.h"
#include "platform/kernel/Scheduler.h"
#include "platform/kernel/Verifier.h"

namespace plat {
namespace {

constexpr ULONG kBusTag = plat::PoolTag("TBus");

struct BusExtension {
  bool isBus;
  PDEVICE_OBJECT lower;                   // the bus: the device it attached to
  std::vector<PDEVICE_OBJECT> children;   // the bus: children present
  TestBusChild options;                   // a child
  bool present;
  PIRP waitWake;
  std::vector<std::string> received;
  POWER_SEQUENCE sequence;
};

struct BusState {
  uint64_t scheduler = 0;
  PDEVICE_OBJECT bus = nullptr;
  PDRIVER_OBJECT driver = nullptr;
};

BusState& B() {
  static BusState b;
  uint64_t serial = Scheduler::Current().Serial();
  if (b.scheduler != serial) b = BusState{serial, nullptr, nullptr};
  return b;
}

BusExtension* X(PDEVICE_OBJECT d) { return static_cast<BusExtension*>(d->DeviceExtension); }

void DeleteBusDevice(PDEVICE_OBJECT d) {
  X(d)->~BusExtension();
  IoDeleteDevice(d);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

PWCHAR PoolString(const std::u16string& s, bool multi) {
  size_t chars = s.size() + (multi ? 2 : 1);
  auto* p = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), kBusTag));
  if (p == nullptr) return nullptr;
  std::memset(p, 0, chars * sizeof(WCHAR));
  std::memcpy(p, s.data(), s.size() * sizeof(WCHAR));
  return p;
}

NTSTATUS BusFdoPnp(PDEVICE_OBJECT d, PIRP irp) {
  BusExtension* x = X(d);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  if (sp->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS && sp->Parameters.QueryDeviceRelations.Type == BusRelations) {
    size_t n = x->children.size();
    size_t bytes = sizeof(DEVICE_RELATIONS) + (n == 0 ? 0 : n - 1) * sizeof(PDEVICE_OBJECT);
    auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, bytes, kBusTag));
    if (relations == nullptr) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    relations->Count = static_cast<ULONG>(n);
    for (size_t i = 0; i < n; ++i) {
      relations->Objects[i] = x->children[i];
      ObReferenceObject(x->children[i]);
    }
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    irp->IoStatus.Status = STATUS_SUCCESS;
  }
  if (sp->MinorFunction == IRP_MN_REMOVE_DEVICE) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(x->lower, irp);
    for (PDEVICE_OBJECT child : x->children) DeleteBusDevice(child);
    x->children.clear();
    IoDetachDevice(x->lower);
    B().bus = nullptr;
    DeleteBusDevice(d);
    return status;
  }
  if (sp->MinorFunction <= IRP_MN_CANCEL_STOP_DEVICE || sp->MinorFunction == IRP_MN_SURPRISE_REMOVAL)
    irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(x->lower, irp);
}

// The standard bus interface: the bus hands bus-master devices their DMA adapters.
void ReferenceChild(PVOID context) { ObReferenceObject(context); }
void DereferenceChild(PVOID context) { ObDereferenceObject(context); }
PDMA_ADAPTER ChildDmaAdapter(PVOID, PDEVICE_DESCRIPTION description, PULONG mapRegisters) {
  return NewBusMasterDmaAdapter(*description, mapRegisters);
}

void CompleteLater(PIRP irp, NTSTATUS status) {
  IoMarkIrpPending(irp);
  Scheduler::Current().After(kNsPerMs, [irp, status] { Complete(irp, status); }, DISPATCH_LEVEL, "test bus completes");
}

NTSTATUS ChildPnp(PDEVICE_OBJECT d, PIRP irp) {
  BusExtension* x = X(d);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  switch (sp->MinorFunction) {
    case IRP_MN_QUERY_ID: {
      PWCHAR ids = nullptr;
      switch (sp->Parameters.QueryId.IdType) {
        case BusQueryDeviceID: ids = PoolString(x->options.hardwareId, false); break;
        case BusQueryHardwareIDs: ids = PoolString(x->options.hardwareId, true); break;
        case BusQueryInstanceID: ids = PoolString(x->options.instanceId, false); break;
        default: break;
      }
      if (ids != nullptr) {
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(ids);
        status = STATUS_SUCCESS;
      }
      break;
    }
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
      caps->DeviceD1 = caps->DeviceD2 = 1;
      caps->Removable = caps->SurpriseRemovalOK = 1;
      caps->UniqueID = x->options.uniqueId ? 1 : 0;
      caps->WakeFromD0 = caps->WakeFromD1 = caps->WakeFromD2 = 1;
      caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
      for (int s = PowerSystemSleeping1; s <= PowerSystemSleeping3; ++s) caps->DeviceState[s] = PowerDeviceD2;
      caps->DeviceState[PowerSystemHibernate] = caps->DeviceState[PowerSystemShutdown] = PowerDeviceD3;
      caps->DeviceWake = x->options.deviceWake;
      caps->SystemWake = x->options.systemWake;
      status = STATUS_SUCCESS;
      if (x->options.pendIrps) {
        CompleteLater(irp, status);
        return STATUS_PENDING;
      }
      break;
    }
    case IRP_MN_QUERY_INTERFACE: {
      auto& q = sp->Parameters.QueryInterface;
      if (q.InterfaceType != nullptr && *q.InterfaceType == GUID_BUS_INTERFACE_STANDARD &&
          q.Size >= sizeof(BUS_INTERFACE_STANDARD) && q.Interface != nullptr && q.Version >= 1) {
        auto* bus = reinterpret_cast<PBUS_INTERFACE_STANDARD>(q.Interface);
        *bus = BUS_INTERFACE_STANDARD{sizeof(BUS_INTERFACE_STANDARD), 1, d, ReferenceChild, DereferenceChild,
                                      nullptr, ChildDmaAdapter, nullptr, nullptr};
        ReferenceChild(d);
        status = STATUS_SUCCESS;
      }
      break;
    }
    case IRP_MN_QUERY_BUS_INFORMATION: {
      auto* info = static_cast<PPNP_BUS_INFORMATION>(ExAllocatePoolWithTag(PagedPool, sizeof(PNP_BUS_INFORMATION), kBusTag));
      if (info != nullptr) {
        *info = PNP_BUS_INFORMATION{{0x7A3E51C2, 0x0B44, 0x4F1D, {0x9E, 0x21, 0x5C, 0x60, 0x13, 0x88, 0xA4, 0x07}}, PNPBus, 0};
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(info);
        status = STATUS_SUCCESS;
      }
      break;
    }
    case IRP_MN_START_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      status = sp->MinorFunction == IRP_MN_START_DEVICE ? x->options.startStatus : STATUS_SUCCESS;
      if (x->options.pendIrps) {
        CompleteLater(irp, status);
        return STATUS_PENDING;
      }
      break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_EJECT: {
      // Out of the bus: the PnP manager learns it from the next enumeration.
      auto& siblings = X(B().bus)->children;
      siblings.erase(std::remove(siblings.begin(), siblings.end(), d), siblings.end());
      x->present = false;
      IoInvalidateDeviceRelations(B().bus, BusRelations);
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_REMOVE_DEVICE:
      if (x->waitWake != nullptr && IoSetCancelRoutine(x->waitWake, nullptr) != nullptr) {
        PIRP ww = x->waitWake;
        x->waitWake = nullptr;
        PoStartNextPowerIrp(ww);
        Complete(ww, STATUS_NO_SUCH_DEVICE);
      }
      Complete(irp, STATUS_SUCCESS);
      if (!x->present) DeleteBusDevice(d);
      return STATUS_SUCCESS;
    default:
      break;
  }
  return Complete(irp, status);
}

void WaitWakeCancel(PDEVICE_OBJECT d, PIRP irp) {
  X(d)->waitWake = nullptr;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  Complete(irp, STATUS_CANCELLED);
}

NTSTATUS ChildPower(PDEVICE_OBJECT d, PIRP irp) {
  BusExtension* x = X(d);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  PoStartNextPowerIrp(irp);
  switch (sp->MinorFunction) {
    case IRP_MN_SET_POWER:
      if (sp->Parameters.Power.Type == DevicePowerState) {
        DEVICE_POWER_STATE state = sp->Parameters.Power.State.DeviceState;
        if (state == PowerDeviceD1) x->sequence.SequenceD1++;
        if (state == PowerDeviceD2) x->sequence.SequenceD2++;
        if (state == PowerDeviceD3) x->sequence.SequenceD3++;
        PoSetPowerState(d, DevicePowerState, sp->Parameters.Power.State);
        if (x->options.pendIrps) {
          CompleteLater(irp, STATUS_SUCCESS);
          return STATUS_PENDING;
        }
      }
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_POWER:
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_POWER_SEQUENCE:
      *sp->Parameters.PowerSequence.PowerSequence = x->sequence;
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_WAIT_WAKE: {
      if (x->waitWake != nullptr) return Complete(irp, STATUS_DEVICE_BUSY);
      KIRQL irql;
      IoAcquireCancelSpinLock(&irql);
      IoMarkIrpPending(irp);
      IoSetCancelRoutine(irp, WaitWakeCancel);
      x->waitWake = irp;
      IoReleaseCancelSpinLock(irql);
      return STATUS_PENDING;
    }
    default:
      return Complete(irp, irp->IoStatus.Status);
  }
}

NTSTATUS BusDispatch(PDEVICE_OBJECT d, PIRP irp) {
  BusExtension* x = X(d);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  if (x->isBus) {
    if (sp->MajorFunction == IRP_MJ_PNP) return BusFdoPnp(d, irp);
    if (sp->MajorFunction == IRP_MJ_POWER) {
      PoStartNextPowerIrp(irp);
      IoSkipCurrentIrpStackLocation(irp);
      return PoCallDriver(x->lower, irp);
    }
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
  char line[32];
  std::snprintf(line, sizeof line, "%s 0x%02X", sp->MajorFunction == IRP_MJ_PNP ? "PNP" : sp->MajorFunction == IRP_MJ_POWER ? "POWER" : "IRP",
                sp->MajorFunction == IRP_MJ_PNP || sp->MajorFunction == IRP_MJ_POWER ? sp->MinorFunction : sp->MajorFunction);
  x->received.push_back(line);
  if (sp->MajorFunction == IRP_MJ_PNP) return ChildPnp(d, irp);
  if (sp->MajorFunction == IRP_MJ_POWER) return ChildPower(d, irp);
  bool fileIrp = sp->MajorFunction == IRP_MJ_CREATE || sp->MajorFunction == IRP_MJ_CLOSE || sp->MajorFunction == IRP_MJ_CLEANUP;
  return Complete(irp, fileIrp ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS BusAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(BusExtension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  auto* x = new (fdo->DeviceExtension) BusExtension{};
  x->isBus = true;
  x->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  // Its power path never waits, but the device below is pagable, and one above it must be too.
  fdo->Flags |= DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  B().bus = fdo;
  return STATUS_SUCCESS;
}

NTSTATUS BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& fn : driver->MajorFunction) fn = BusDispatch;
  driver->DriverExtension->AddDevice = BusAddDevice;
  driver->DriverUnload = [](PDRIVER_OBJECT) {};
  B().driver = driver;
  return STATUS_SUCCESS;
}

}  // namespace

void TestBus::Install() {
  if (B().bus != nullptr) return;
  PnpRegisterService(u"qxtestbus", BusEntry);
  PnpBindHardwareId(u"QXTESTBUS", u"qxtestbus");
  PnpAddRootDevice(u"QXTESTBUS", u"0");
  if (B().bus == nullptr) Violation("the test bus did not start");
}

PDEVICE_OBJECT TestBus::Plug(const TestBusChild& child) {
  Install();
  PDEVICE_OBJECT pdo = nullptr;
  if (!NT_SUCCESS(IoCreateDevice(B().driver, sizeof(BusExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                 FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo)))
    return nullptr;
  auto* x = new (pdo->DeviceExtension) BusExtension{};
  x->options = child;
  x->present = true;
  // As bus drivers' PDOs ordinarily are: their power IRPs come at PASSIVE_LEVEL.
  pdo->Flags |= DO_POWER_PAGABLE;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  X(B().bus)->children.push_back(pdo);
  IoInvalidateDeviceRelations(B().bus, BusRelations);
  PnpSettle();
  return pdo;
}

void TestBus::Unplug(PDEVICE_OBJECT pdo) {
  auto& children = X(B().bus)->children;
  children.erase(std::remove(children.begin(), children.end(), pdo), children.end());
  X(pdo)->present = false;
  IoInvalidateDeviceRelations(B().bus, BusRelations);
  PnpSettle();
}

bool TestBus::Wake(PDEVICE_OBJECT pdo) {
  BusExtension* x = X(pdo);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP irp = x->waitWake;
  if (irp == nullptr || IoSetCancelRoutine(irp, nullptr) == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return false;
  }
  x->waitWake = nullptr;
  IoReleaseCancelSpinLock(irql);
  Complete(irp, STATUS_SUCCESS);
  PnpSettle();
  return true;
}

bool TestBus::WaitWakePending(PDEVICE_OBJECT pdo) { return X(pdo)->waitWake != nullptr; }
std::vector<PDEVICE_OBJECT> TestBus::Children() { return B().bus != nullptr ? X(B().bus)->children : std::vector<PDEVICE_OBJECT>{}; }
std::vector<std::string> TestBus::Received(PDEVICE_OBJECT pdo) { return X(pdo)->received; }
void TestBus::ClearReceived(PDEVICE_OBJECT pdo) { X(pdo)->received.clear(); }

}  // namespace plat
