#include "platform/bus1394/UnitDispatch.h"

#include <cstring>

#include "platform/bus1394/AddressRanges.h"
#include "platform/bus1394/AsyncTransfer.h"
#include "platform/bus1394/BusDriver.h"
#include "platform/bus1394/Isochronous.h"
#include "platform/kernel/Scheduler.h"
#include "platform/kernel/Verifier.h"

namespace plat::bus1394 {

namespace {

// The bus type of IEEE 1394 devices.
constexpr GUID kBusType1394 = {0xF74E73EB, 0x9AC5, 0x45EB, {0xBE, 0x4D, 0x77, 0x2C, 0xC7, 0x1D, 0xDF, 0xB3}};

// A terminated id, or a list of them ending in an empty one, in paged pool for plug and play.
PWCHAR PoolIds(const std::vector<std::u16string>& ids, bool multi) {
  size_t chars = multi ? 1 : 0;
  for (const auto& id : ids) chars += id.size() + 1;
  auto* p = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), kBusTag));
  if (p == nullptr) return nullptr;
  PWCHAR at = p;
  for (const auto& id : ids) {
    std::memcpy(at, id.data(), id.size() * sizeof(WCHAR));
    at += id.size();
    *at++ = 0;
  }
  if (multi) *at = 0;
  return p;
}

NTSTATUS QueryId(UnitPdo* unit, PIRP irp, BUS_QUERY_ID_TYPE type) {
  const NodeIdentity& id = unit->identity;
  PWCHAR ids = nullptr;
  switch (type) {
    case BusQueryDeviceID: ids = PoolIds({id.DeviceId()}, false); break;
    case BusQueryHardwareIDs: ids = PoolIds(id.HardwareIds(), true); break;
    case BusQueryCompatibleIDs: ids = PoolIds(id.CompatibleIds(), true); break;
    case BusQueryInstanceID: ids = PoolIds({id.InstanceId()}, false); break;
    default: return irp->IoStatus.Status;
  }
  if (ids == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(ids);
  return STATUS_SUCCESS;
}

NTSTATUS UnitPnp(PDEVICE_OBJECT pdo, PIRP irp) {
  BusDriver& bus = BusDriver::Require("a unit's PnP IRP");
  UnitPdo* unit = BusDriver::Unit(pdo);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  switch (sp->MinorFunction) {
    case IRP_MN_QUERY_ID:
      status = QueryId(unit, irp, sp->Parameters.QueryId.IdType);
      break;
    case IRP_MN_QUERY_DEVICE_TEXT:
      if (sp->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) {
        PWCHAR text = PoolIds({unit->identity.Description()}, false);
        if (text == nullptr) {
          status = STATUS_INSUFFICIENT_RESOURCES;
          break;
        }
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(text);
        status = STATUS_SUCCESS;
      }
      break;
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
      caps->Removable = 1;
      caps->SurpriseRemovalOK = 1;
      caps->UniqueID = 1;
      caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
      for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) caps->DeviceState[s] = PowerDeviceD3;
      caps->SystemWake = PowerSystemUnspecified;
      caps->DeviceWake = PowerDeviceUnspecified;
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_QUERY_BUS_INFORMATION: {
      auto* info = static_cast<PPNP_BUS_INFORMATION>(ExAllocatePoolWithTag(PagedPool, sizeof(PNP_BUS_INFORMATION), kBusTag));
      if (info == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        break;
      }
      *info = PNP_BUS_INFORMATION{kBusType1394, InterfaceTypeUndefined, 0};
      irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(info);
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      if (sp->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) break;
      auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kBusTag));
      if (relations == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        break;
      }
      relations->Count = 1;
      relations->Objects[0] = pdo;
      ObReferenceObject(pdo);
      irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_SURPRISE_REMOVAL:
      unit->departed = true;
      bus.EndTransfers(pdo);
      IsochResource::HandBack(bus, pdo);
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE:
      bus.EndTransfers(pdo);
      IsochResource::HandBack(bus, pdo);
      if (!unit->present) {
        CompleteIrp(irp, STATUS_SUCCESS);
        bus.DeleteUnitPdo(pdo);
        return STATUS_SUCCESS;
      }
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
      status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  return CompleteIrp(irp, status);
}

NTSTATUS UnitPower(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  PoStartNextPowerIrp(irp);
  switch (sp->MinorFunction) {
    case IRP_MN_SET_POWER:
      if (sp->Parameters.Power.Type == DevicePowerState) PoSetPowerState(pdo, DevicePowerState, sp->Parameters.Power.State);
      return CompleteIrp(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_POWER:
      return CompleteIrp(irp, STATUS_SUCCESS);
    case IRP_MN_WAIT_WAKE:
      return CompleteIrp(irp, STATUS_NOT_SUPPORTED);
    default:
      return CompleteIrp(irp, irp->IoStatus.Status);
  }
}

NTSTATUS GetNodeAddress(BusDriver& bus, UnitPdo* unit, PIRB irb) {
  auto& request = irb->u.Get1394AddressFromDeviceObject;
  uint8_t node;
  if (request.fulFlags & USE_LOCAL_NODE) {
    node = bus.hostNodeId;
  } else {
    if (unit->departed) return STATUS_IO_DEVICE_ERROR_1394_DEPARTED;
    node = unit->nodeId;
  }
  request.NodeAddress.NA_Node_Number = node & 0x3F;
  request.NodeAddress.NA_Bus_Number = kLocalBusNumber;
  return STATUS_SUCCESS;
}

NTSTATUS GetSpeed(PIRB irb) {
  auto& request = irb->u.GetMaxSpeedBetweenDevices;
  if (request.ulNumberOfDestinations == 0 || request.ulNumberOfDestinations > kMaxSpeedDestinations)
    return STATUS_INVALID_PARAMETER;
  for (ULONG i = 0; i < request.ulNumberOfDestinations; ++i) {
    UnitPdo* destination = BusDriver::Unit(request.hDestinationDeviceObjects[i]);
    if (destination == nullptr) return STATUS_INVALID_PARAMETER;
    if (destination->departed) return STATUS_IO_DEVICE_ERROR_1394_DEPARTED;
  }
  // Every node of the simulated bus runs at S400.
  request.fulSpeed = SPEED_FLAGS_400;
  return STATUS_SUCCESS;
}

NTSTATUS ResetNotification(UnitPdo* unit, PIRB irb) {
  auto& request = irb->u.BusResetNotification;
  if (request.fulFlags == REGISTER_NOTIFICATION_ROUTINE) {
    if (request.ResetRoutine == nullptr) return STATUS_INVALID_PARAMETER;
    unit->resetRoutine = request.ResetRoutine;
    unit->resetContext = request.ResetContext;
    return STATUS_SUCCESS;
  }
  if (request.fulFlags == DEREGISTER_NOTIFICATION_ROUTINE) {
    if (unit->resetRoutine == nullptr) return STATUS_INVALID_PARAMETER;
    unit->resetRoutine = nullptr;
    unit->resetContext = nullptr;
    return STATUS_SUCCESS;
  }
  return STATUS_INVALID_PARAMETER;
}

// The flags word of the functions that have one.
ULONG RequestFlags(const IRB& irb) {
  switch (irb.FunctionNumber) {
    case REQUEST_ASYNC_READ: return irb.u.AsyncRead.fulFlags;
    case REQUEST_ASYNC_WRITE: return irb.u.AsyncWrite.fulFlags;
    case REQUEST_ISOCH_ALLOCATE_RESOURCES: return irb.u.IsochAllocateResources.fulFlags;
    case REQUEST_ISOCH_LISTEN: return irb.u.IsochListen.fulFlags;
    case REQUEST_ISOCH_TALK: return irb.u.IsochTalk.fulFlags;
    case REQUEST_ISOCH_STOP: return irb.u.IsochStop.fulFlags;
    case REQUEST_ALLOCATE_ADDRESS_RANGE: return irb.u.AllocateAddressRange.fulFlags;
    case REQUEST_GET_ADDR_FROM_DEVICE_OBJECT: return irb.u.Get1394AddressFromDeviceObject.fulFlags;
    case REQUEST_GET_SPEED_BETWEEN_DEVICES: return irb.u.GetMaxSpeedBetweenDevices.fulFlags;
    case REQUEST_BUS_RESET_NOTIFICATION: return irb.u.BusResetNotification.fulFlags;
    default: return 0;
  }
}

// Into the space reserved when the log was started: nothing allocates here.
void LogRequest(BusDriver& bus, PDEVICE_OBJECT pdo, const IRB& irb) {
  if (!bus.logging) return;
  if (bus.log.size() == bus.log.capacity()) {
    bus.logOverflow += 1;
    return;
  }
  const ULONG generation = irb.FunctionNumber == REQUEST_ASYNC_READ    ? irb.u.AsyncRead.ulGeneration
                           : irb.FunctionNumber == REQUEST_ASYNC_WRITE ? irb.u.AsyncWrite.ulGeneration
                                                                       : bus.generation;
  bus.log.push_back({Scheduler::Current().Now(), pdo, irb.FunctionNumber, RequestFlags(irb), generation});
}

NTSTATUS Irb(PDEVICE_OBJECT pdo, PIRP irp) {
  BusDriver& bus = BusDriver::Require("an IRB");
  UnitPdo* unit = BusDriver::Unit(pdo);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  if (sp->Parameters.DeviceIoControl.IoControlCode != IOCTL_1394_CLASS)
    return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
  auto* irb = static_cast<PIRB>(sp->Parameters.Others.Argument1);
  if (irb == nullptr) return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
  if (irb->FunctionNumber < std::size(bus.counters.requests)) bus.counters.requests[irb->FunctionNumber] += 1;
  LogRequest(bus, pdo, *irb);
  for (auto r = bus.refusals.begin(); r != bus.refusals.end(); ++r) {
    if (r->function != irb->FunctionNumber) continue;
    NTSTATUS status = r->status;
    if (--r->count == 0) bus.refusals.erase(r);
    return CompleteIrp(irp, status);
  }
  switch (irb->FunctionNumber) {
    case REQUEST_ASYNC_READ:
    case REQUEST_ASYNC_WRITE:
      return AsyncTransfer::Start(bus, pdo, irp, irb);
    case REQUEST_GET_GENERATION_COUNT:
      irb->u.GetGenerationCount.GenerationCount = bus.generation;
      return CompleteIrp(irp, STATUS_SUCCESS);
    case REQUEST_GET_ADDR_FROM_DEVICE_OBJECT:
      return CompleteIrp(irp, GetNodeAddress(bus, unit, irb));
    case REQUEST_GET_SPEED_BETWEEN_DEVICES:
      return CompleteIrp(irp, GetSpeed(irb));
    case REQUEST_BUS_RESET_NOTIFICATION:
      return CompleteIrp(irp, ResetNotification(unit, irb));
    case REQUEST_ALLOCATE_ADDRESS_RANGE:
      return AddressRange::Allocate(bus, pdo, irp, irb);
    case REQUEST_FREE_ADDRESS_RANGE:
      return CompleteIrp(irp, AddressRange::Free(bus, irb));
    case REQUEST_ISOCH_ALLOCATE_BANDWIDTH:
      return CompleteIrp(irp, AllocateBandwidth(bus, pdo, irb));
    case REQUEST_ISOCH_FREE_BANDWIDTH:
      return CompleteIrp(irp, FreeBandwidth(bus, irb));
    case REQUEST_ISOCH_ALLOCATE_CHANNEL:
      return CompleteIrp(irp, AllocateChannel(bus, pdo, irb));
    case REQUEST_ISOCH_FREE_CHANNEL:
      return CompleteIrp(irp, FreeChannel(bus, irb));
    case REQUEST_ISOCH_ALLOCATE_RESOURCES:
      return CompleteIrp(irp, IsochResource::Allocate(bus, pdo, irb));
    case REQUEST_ISOCH_FREE_RESOURCES:
      return CompleteIrp(irp, IsochResource::Free(bus, irb));
    case REQUEST_ISOCH_ATTACH_BUFFERS:
    case REQUEST_ISOCH_DETACH_BUFFERS:
    case REQUEST_ISOCH_LISTEN:
    case REQUEST_ISOCH_TALK:
    case REQUEST_ISOCH_STOP:
      return IsochResource::Request(bus, irp, irb);
    case REQUEST_ISOCH_QUERY_CYCLE_TIME: {
      uint32_t word = bus.host.CycleTime();
      std::memcpy(&irb->u.IsochQueryCycleTime.CycleTime, &word, sizeof word);
      return CompleteIrp(irp, STATUS_SUCCESS);
    }
    default:
      return CompleteIrp(irp, STATUS_NOT_IMPLEMENTED);
  }
}

}  // namespace

NTSTATUS UnitDispatch(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  switch (sp->MajorFunction) {
    case IRP_MJ_PNP: return UnitPnp(pdo, irp);
    case IRP_MJ_POWER: return UnitPower(pdo, irp);
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP: return CompleteIrp(irp, STATUS_SUCCESS);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: return Irb(pdo, irp);
    default: return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

}  // namespace plat::bus1394
