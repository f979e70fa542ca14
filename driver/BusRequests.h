// The ways a unit's bus request (IRB) reaches the 1394 bus driver below it: sent and waited for,
// or sent with a completion routine, in an IRP of its own or in one the caller keeps.
#pragma once

#include <wdm.h>
// after <wdm.h>, whose types it uses, as on Windows
#include <1394.h>

class LowerDeviceLink;

// Runs once per asynchronous request, with the IRP whose status tells the outcome; at
// DISPATCH_LEVEL when the bus driver completes it, at the sender's IRQL when the request never
// went out. The IRP is the sender's: it is freed after the routine returns.
using BusRequestCompletion = void (*)(PDEVICE_OBJECT device, PIRP irp, PVOID context);

// PASSIVE_LEVEL. Sends the request down the link and waits for it. With `irp` the request travels
// in the caller's IRP, which is completed afterwards; else in one allocated for it. Returns the
// IRP's final status.
NTSTATUS SubmitIrb(LowerDeviceLink* link, PIRB irb, PIRP irp);

// DISPATCH_LEVEL or below. Sends the request without waiting; `completion` runs exactly once,
// with STATUS_INSUFFICIENT_RESOURCES at once when the IRP or its context cannot be had. Returns
// what the lower driver returned, or that status.
NTSTATUS SubmitIrbAsync(LowerDeviceLink* link, PIRB irb, BusRequestCompletion completion, PVOID context);

// DISPATCH_LEVEL or below. Sends the request in `irp`, the caller's own IRP from IoAllocateIrp for
// the link's lower device, reused for it, so nothing is allocated. `completion` runs when the
// lower driver completes it and returns STATUS_MORE_PROCESSING_REQUIRED: the IRP stays the
// caller's, to send again or free. Returns what the lower driver returned.
NTSTATUS SubmitIrbInIrp(LowerDeviceLink* link, PIRB irb, PIRP irp, PIO_COMPLETION_ROUTINE completion, PVOID context);
