// Shared between the I/O, PnP and power managers of the stand-in; kernel code never includes it.
#pragma once

#include "Irp.h"

namespace plat {
// The bottom of the stack that `device` belongs to.
PDEVICE_OBJECT IoStackBottom(PDEVICE_OBJECT device);
// Open files per device stack, counted by the bottom of the stack they were opened on (a
// surprise-removed device is removed when its last file closes).
void PnpFileOpened(PDEVICE_OBJECT bottom);
void PnpFileClosed(PDEVICE_OBJECT bottom);
// The driver's last device object was deleted: a driver the PnP manager holds for unload goes now.
void PnpLastDeviceDeleted(PDRIVER_OBJECT driver);
// Sends a power IRP to `device` at the IRQL Windows gives it: a device object with
// DO_POWER_PAGABLE gets it at PASSIVE_LEVEL (on a power thread, STATUS_PENDING, when the sender is
// above it); one without may get it at DISPATCH_LEVEL, as the interleaving seed chooses (never
// under seed 0).
NTSTATUS PoDeliver(PDEVICE_OBJECT device, PIRP irp);
// The power manager's per-IRP checks.
void PoNoteDispatch(PIRP irp);
void PoNoteIrpFreed(PIRP irp);
}  // namespace plat
