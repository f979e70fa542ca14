// The I/O manager: driver and device objects, the device namespace and symbolic links, device
// stacks, IRPs with their completion and cancel rules, device queues, file objects and MDLs.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "Irp.h"
#include "ObjectManager.h"
#include "Pool.h"

// Control codes
constexpr ULONG METHOD_BUFFERED = 0;
constexpr ULONG METHOD_IN_DIRECT = 1;
constexpr ULONG METHOD_OUT_DIRECT = 2;
constexpr ULONG METHOD_NEITHER = 3;
constexpr ULONG FILE_ANY_ACCESS = 0;
constexpr ULONG FILE_READ_ACCESS = 1;
constexpr ULONG FILE_WRITE_ACCESS = 2;
constexpr ULONG CTL_CODE(ULONG DeviceType, ULONG Function, ULONG Method, ULONG Access) {
  return (DeviceType << 16) | (Access << 14) | (Function << 2) | Method;
}

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject);
void IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName);
NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName);

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice);
void IoDetachDevice(PDEVICE_OBJECT TargetDevice);
PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject);
PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject);
PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT FileObject);
NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess, PFILE_OBJECT* FileObject,
                                  PDEVICE_OBJECT* DeviceObject);

PIRP IoAllocateIrp(CHAR StackSize, BOOLEAN ChargeQuota);
void IoFreeIrp(PIRP Irp);
void IoReuseIrp(PIRP Irp, NTSTATUS Status);
NTSTATUS IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void IoCompleteRequest(PIRP Irp, CHAR PriorityBoost);
PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock);
// Whether the request comes from a 32-bit process (its thread's process, or the current process
// for a null IRP).
BOOLEAN IoIs32bitProcess(PIRP Irp);

BOOLEAN IoCancelIrp(PIRP Irp);
void IoAcquireCancelSpinLock(PKIRQL Irql);
void IoReleaseCancelSpinLock(KIRQL Irql);

void KeInitializeDeviceQueue(PKDEVICE_QUEUE DeviceQueue);
BOOLEAN KeInsertDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry);
BOOLEAN KeInsertByKeyDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry, ULONG SortKey);
PKDEVICE_QUEUE_ENTRY KeRemoveDeviceQueue(PKDEVICE_QUEUE DeviceQueue);
BOOLEAN KeRemoveEntryDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry);
void IoStartPacket(PDEVICE_OBJECT DeviceObject, PIRP Irp, PULONG Key, PDRIVER_CANCEL CancelFunction);
void IoStartNextPacket(PDEVICE_OBJECT DeviceObject, BOOLEAN Cancelable);

enum LOCK_OPERATION { IoReadAccess = 0, IoWriteAccess = 1, IoModifyAccess = 2 };
enum MM_PAGE_PRIORITY { LowPagePriority = 0, NormalPagePriority = 16, HighPagePriority = 32 };
PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp);
void IoFreeMdl(PMDL Mdl);
void MmBuildMdlForNonPagedPool(PMDL Mdl);
void MmProbeAndLockPages(PMDL Mdl, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation);
void MmUnlockPages(PMDL Mdl);
PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority);

// Normal kernel APCs are not simulated: a critical region only has to be entered and left in pairs
// at or below APC_LEVEL.
void KeEnterCriticalRegion();
void KeLeaveCriticalRegion();

// Stops the machine: on the stand-in a loud verifier failure naming the code and arguments.
[[noreturn]] void KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4);

namespace plat {

// Loads a driver as the service `serviceName`: its driver object "\Driver\<serviceName>" and the
// registry path of its service key. Null, with the entry's status, when the entry fails.
PDRIVER_OBJECT IoLoadDriver(std::u16string_view serviceName, PDRIVER_INITIALIZE entry, NTSTATUS* status);
// Calls the unload routine and drops the driver object; false when the driver has none.
bool IoUnloadDriver(PDRIVER_OBJECT driver);

// Opens a device by path ("\Device\X", "\??\X", or a device interface's link) as a caller would:
// CREATE and every later IRP on the file go to the top of the device's stack as it is at the time.
NTSTATUS IoOpenFile(std::u16string_view path, PFILE_OBJECT* file, KPROCESSOR_MODE mode = UserMode);
// Closes the handle: CLEANUP now, CLOSE when the last reference to the file object goes.
void IoCloseFile(PFILE_OBJECT file);
// A device control on an open file as the current process makes it: the IRP is built from the
// caller's own buffers for the code's transfer method (see IoBuildControlIrp), sent to the top of
// the file's stack and waited for. `information` receives the byte count the driver reported.
NTSTATUS IoDeviceControl(PFILE_OBJECT file, ULONG code, const void* input, ULONG inputLength, void* output,
                         ULONG outputLength, ULONG_PTR* information);
// The same, the request taking over the caller's reference to the file (as a handle's reference
// becomes the request's in the system service): it is dropped when the request completes.
NTSTATUS IoDeviceControlReferenced(PFILE_OBJECT file, ULONG code, const void* input, ULONG inputLength, void* output,
                                   ULONG outputLength, ULONG_PTR* information);
// A request of the current thread (its process is the one the I/O manager cancels it for when the
// process ends).
void IoTagThreadRequest(PIRP irp);
// Cancels every request of the process's threads, oldest first; how many there were.
size_t IoCancelProcessRequests(void* process);
// Requests of the process's threads not yet completed.
size_t IoProcessRequests(void* process);

// A device control's buffers as its caller passed them.
struct IoControlBuffers {
  ULONG code;
  PVOID input;
  ULONG inputLength;
  PVOID output;
  ULONG outputLength;
};
// Builds the IRP of a device control for a stack of `stackSize` locations as the I/O manager does,
// for every transfer method, so the driver decides what a method it does not serve gets:
// - METHOD_BUFFERED: one system buffer of max(in, out) bytes (none when both are 0), the input at
//   its start and the rest fresh pool; Information bytes of it are copied to the caller's output
//   unless the status is an error.
// - METHOD_IN_DIRECT, METHOD_OUT_DIRECT: the input in a system buffer, the output described by a
//   locked MDL at MdlAddress.
// - METHOD_NEITHER: the caller's pointers, in Type3InputBuffer and UserBuffer.
// An Information above the output length is a violation when the IRP completes. `then` runs after
// the I/O manager's completion work; the IRP is the I/O manager's and is freed after it. Null, with
// STATUS_ACCESS_VIOLATION for a missing buffer or STATUS_INSUFFICIENT_RESOURCES, when none is built.
PIRP IoBuildControlIrp(CHAR stackSize, const IoControlBuffers& caller, bool internal, KPROCESSOR_MODE mode,
                       std::function<void(PIRP)> then, NTSTATUS* status);

// An IRP the I/O manager owns: when its completion passes the top location, `done` runs and the
// IRP is freed.
PIRP IoAllocateOwnedIrp(CHAR stackSize, std::function<void(PIRP)> done);
// Sends an owned IRP to `device` (a power IRP as the power manager delivers it) and waits for it
// at PASSIVE_LEVEL; `userWait` waits as a program's request does, where its thread may be ended.
NTSTATUS IoCallAndWait(PDEVICE_OBJECT device, PIRP irp, ULONG_PTR* information, bool userWait = false);

// A request in flight that a test watches.
struct IoRequest {
  PIRP irp = nullptr;  // valid while !done
  bool done = false;
  NTSTATUS returned = STATUS_PENDING;  // what IoCallDriver gave
  IO_STATUS_BLOCK status{};
};
// Sends major/minor (with `setup` filling in the rest of the first location) to the top of the
// stack of `device`, without waiting; a power IRP at the IRQL the power manager would give it.
std::shared_ptr<IoRequest> IoSend(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, PFILE_OBJECT file = nullptr,
                                  const std::function<void(PIO_STACK_LOCATION)>& setup = {});

size_t IoLiveIrps();

}  // namespace plat
