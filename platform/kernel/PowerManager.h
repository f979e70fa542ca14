// The power manager: power IRPs requested for devices, their serialisation per device object and
// its checks, the power state a driver reports, and system power transitions driven from a test
// or a scenario.
#pragma once

#include "Irp.h"

using PREQUEST_POWER_COMPLETE = void (*)(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                         PVOID Context, PIO_STATUS_BLOCK IoStatus);

// Sends a power IRP to the top of the stack of DeviceObject; the callback runs when it is done.
// STATUS_PENDING once sent. Only WAIT_WAKE, SET_POWER and QUERY_POWER of device power.
NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp);
// The device's driver is ready for its next set or query power IRP of the same type (system or
// device); one that waited is then sent to it at PASSIVE_LEVEL.
void PoStartNextPowerIrp(PIRP Irp);
// A set or query power IRP for a device that has not yet started the next one of its type waits
// (STATUS_PENDING); other power IRPs go straight to the driver: at PASSIVE_LEVEL when its device
// object has DO_POWER_PAGABLE (later, on a power thread, when the caller is above it), possibly at
// DISPATCH_LEVEL when it has not.
NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State);

namespace plat {

// Moves the machine to a system power state: QUERY_POWER then SET_POWER to every started device
// stack, leaves first going down and roots first coming up. Runs on the PnP thread; false when a
// device refused the query (the machine then stays where it was).
bool PoSetSystemState(SYSTEM_POWER_STATE state);
SYSTEM_POWER_STATE PoSystemState();
// The device power state a driver last reported with PoSetPowerState.
DEVICE_POWER_STATE PoDeviceState(PDEVICE_OBJECT device);

}  // namespace plat
