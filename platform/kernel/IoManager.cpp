#include "platform/kernel/IoManager.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/kernel/IoInternal.h"
#include "platform/kernel/Leftovers.h"
#include "platform/kernel/Irql.h"
#include "platform/kernel/Pool.h"
#include "platform/kernel/Memory.h"
#include "platform/kernel/PowerManager.h"
#include "platform/kernel/Process.h"
#include "platform/kernel/Scheduler.h"
#include "platform/kernel/ThreadState.h"
#include "platform/kernel/Verifier.h"

using plat::Violation;

namespace {

constexpr ULONG kIrpTag = plat::PoolTag("Irp ");
constexpr ULONG kMdlTag = plat::PoolTag("Mdl ");
constexpr ULONG kBufferTag = plat::PoolTag("IoBf");
constexpr size_t kAlign = 16;

size_t RoundUp(size_t n) { return (n + kAlign - 1) & ~(kAlign - 1); }

struct IrpRecord {
  bool owned = false;
  std::function<void(PIRP)> done;
  void* process = nullptr;  // the process of the thread whose request it is; null for none
  std::string fault;  // what the I/O manager's completion work found wrong, raised once the IRP is freed
  uint64_t serial = 0;  // tells an IRP apart from a later one at the same address
};

// A dispatch routine running for one stack location of an IRP. Its mark of pending is read when it
// returns, or, when completion has walked past its location meanwhile, as the walk found it.
struct DispatchFrame {
  PIRP irp;
  uint64_t serial;
  PIO_STACK_LOCATION location;
  bool markedOnEntry;  // by the driver above that skipped its location, or by the power manager
  bool walkedPast = false;
  bool markedWhenWalked = false;
};

struct IoState {
  uint64_t scheduler = 0;
  std::unordered_map<PIRP, IrpRecord> irps;
  // The IRP looked up last, for a request is looked up several times in a row; a record stays
  // where it is until it is erased.
  PIRP lastIrp = nullptr;
  IrpRecord* lastRecord = nullptr;
  ULONG nextAutoName = 0;
  uint64_t nextIrpSerial = 1;
  std::list<DispatchFrame> dispatching;
};

IoState& Io() {
  static IoState io;
  auto* s = plat::Scheduler::TryCurrent();
  uint64_t serial = s != nullptr ? s->Serial() : 0;
  if (io.scheduler != serial) {
    io.irps.clear();
    io.lastIrp = nullptr;
    io.nextAutoName = 0;
    io.dispatching.clear();
    io.scheduler = serial;
  }
  return io;
}

IrpRecord& RecordOf(PIRP irp, const char* what) {
  IoState& io = Io();
  if (irp == io.lastIrp && irp != nullptr) return *io.lastRecord;
  auto it = io.irps.find(irp);
  if (it == io.irps.end()) Violation(std::string(what) + " of an IRP that does not exist (freed or completed already)");
  io.lastIrp = irp;
  io.lastRecord = &it->second;
  return it->second;
}

std::string Hex(ULONG v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", v);
  return text;
}

KSPIN_LOCK gCancelLock = 0;

struct FileBody {
  FILE_OBJECT file;
  PDEVICE_OBJECT bottom;  // the bottom of the stack when it was opened: the PnP manager counts files by it
  bool opened;            // CREATE succeeded, so CLOSE is owed
  bool cleanedUp;
};

void DeleteDeviceBody(PVOID body) {
  auto* dev = static_cast<PDEVICE_OBJECT>(body);
  ObDereferenceObject(dev->DriverObject);
}

void DeleteDriverBody(PVOID) {}

NTSTATUS SendFileIrp(PFILE_OBJECT file, UCHAR major);

// The top of a file's stack, referenced while a request on the file is in it; a violation a test
// expects may unwind through the request.
class FileTarget {
 public:
  explicit FileTarget(PFILE_OBJECT file) : top_(IoGetAttachedDeviceReference(file->DeviceObject)) {}
  ~FileTarget() { ObDereferenceObject(top_); }
  FileTarget(const FileTarget&) = delete;
  FileTarget& operator=(const FileTarget&) = delete;
  PDEVICE_OBJECT Get() const { return top_; }

 private:
  PDEVICE_OBJECT top_;
};

// The file's last handle closed.
void CleanupFileBody(PVOID body) {
  auto* f = static_cast<FileBody*>(body);
  if (!f->opened || f->cleanedUp) return;
  f->cleanedUp = true;
  SendFileIrp(&f->file, IRP_MJ_CLEANUP);
}

void DeleteFileBody(PVOID body) {
  auto* f = static_cast<FileBody*>(body);
  PDEVICE_OBJECT opened = f->file.DeviceObject;
  if (f->opened) SendFileIrp(&f->file, IRP_MJ_CLOSE);
  InterlockedDecrement(&opened->ReferenceCount);
  plat::PnpFileClosed(f->bottom);
  ObDereferenceObject(f->bottom);
  ObDereferenceObject(opened);
}

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP Irp) {
  if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(Irp);
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

PDEVOBJ_EXTENSION Ext(PDEVICE_OBJECT dev) { return dev->DeviceObjectExtension; }

void CheckDevice(PDEVICE_OBJECT dev, const char* what) {
  if (dev == nullptr) Violation(std::string(what) + " with a null device object");
  if (plat::ObTypeOf(dev) != *IoDeviceObjectType) Violation(std::string(what) + " of an object that is not a device");
}

// Device objects created and not yet deleted, on every machine: what one leaves is reported when it
// shuts down and after each test, by the names it had.
class DeviceLedger {
 public:
  void Add(PDEVICE_OBJECT dev, PDRIVER_OBJECT driver, const std::u16string& name) {
    std::string text = name.empty() ? "an unnamed device object" : "device object " + Narrow(name);
    text += " of " + Narrow(plat::ToU16(driver->DriverName));
    std::lock_guard<std::mutex> lock(m_);
    live_[dev] = text;
  }
  void Remove(PDEVICE_OBJECT dev) {
    std::lock_guard<std::mutex> lock(m_);
    live_.erase(dev);
  }
  std::string Report() {
    std::lock_guard<std::mutex> lock(m_);
    std::string report;
    for (const auto& [dev, text] : live_) report += text + "\n";
    return report;
  }
  void Forget() {
    std::lock_guard<std::mutex> lock(m_);
    live_.clear();
  }

 private:
  static std::string Narrow(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
  }
  std::mutex m_;
  std::map<PDEVICE_OBJECT, std::string> live_;
};

DeviceLedger& LiveDevices() {
  static DeviceLedger* ledger = new DeviceLedger;
  return *ledger;
}

std::u16string HexName(ULONG n) {
  static const char16_t digits[] = u"0123456789abcdef";
  std::u16string s(8, u'0');
  for (int i = 7; i >= 0; --i, n >>= 4) s[static_cast<size_t>(i)] = digits[n & 0xF];
  return s;
}

}  // namespace

struct OBJECT_TYPE {
  plat::ObjectTypeInfo info;
};

namespace {
OBJECT_TYPE gDeviceType{{"Device", plat::PoolTag("Devi"), DeleteDeviceBody, nullptr}};
OBJECT_TYPE gDriverType{{"Driver", plat::PoolTag("Driv"), DeleteDriverBody, nullptr}};
OBJECT_TYPE gFileType{{"File", plat::PoolTag("File"), DeleteFileBody, CleanupFileBody}};
}  // namespace

namespace {
POBJECT_TYPE gDeviceTypePointer = &gDeviceType;
POBJECT_TYPE gDriverTypePointer = &gDriverType;
POBJECT_TYPE gFileTypePointer = &gFileType;
}  // namespace

POBJECT_TYPE* IoDeviceObjectType = &gDeviceTypePointer;
POBJECT_TYPE* IoDriverObjectType = &gDriverTypePointer;
POBJECT_TYPE* IoFileObjectType = &gFileTypePointer;

// Driver and device objects

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
  PAGED_CODE();
  *DeviceObject = nullptr;
  std::u16string name;
  if (DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME)
    name = u"\\Device\\" + HexName(Io().nextAutoName++);
  else if (DeviceName != nullptr && DeviceName->Length != 0)
    name = plat::ToU16(*DeviceName);
  size_t devSize = RoundUp(sizeof(DEVICE_OBJECT));
  size_t extSize = RoundUp(DeviceExtensionSize);
  auto* dev = static_cast<PDEVICE_OBJECT>(plat::ObCreateObject(*IoDeviceObjectType, devSize + extSize + sizeof(DEVOBJ_EXTENSION)));
  if (dev == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  char* base = reinterpret_cast<char*>(dev);
  dev->Type = 3;
  dev->Size = static_cast<USHORT>(devSize + extSize);
  dev->DriverObject = DriverObject;
  ObReferenceObject(DriverObject);
  dev->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) | (name.empty() ? 0 : DO_DEVICE_HAS_NAME);
  dev->Characteristics = DeviceCharacteristics;
  dev->DeviceType = DeviceType;
  dev->StackSize = 1;
  dev->DeviceExtension = DeviceExtensionSize != 0 ? base + devSize : nullptr;
  dev->DeviceObjectExtension = reinterpret_cast<PDEVOBJ_EXTENSION>(base + devSize + extSize);
  dev->DeviceObjectExtension->Type = 13;
  dev->DeviceObjectExtension->Size = sizeof(DEVOBJ_EXTENSION);
  dev->DeviceObjectExtension->DeviceObject = dev;
  KeInitializeDeviceQueue(&dev->DeviceQueue);
  KeInitializeEvent(&dev->DeviceLock, SynchronizationEvent, TRUE);
  if (!name.empty()) {
    NTSTATUS status = plat::ObInsertName(dev, name);
    if (!NT_SUCCESS(status)) {
      ObDereferenceObject(dev);
      return status;
    }
  }
  dev->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = dev;
  *DeviceObject = dev;
  LiveDevices().Add(dev, DriverObject, name);
  return STATUS_SUCCESS;
}

void IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  PAGED_CODE();
  CheckDevice(DeviceObject, "IoDeleteDevice");
  PDEVOBJ_EXTENSION ext = Ext(DeviceObject);
  if (ext->ExtensionFlags & DOE_DELETE_PENDING) Violation("IoDeleteDevice of a device that was deleted already");
  if (ext->AttachedTo != nullptr) Violation("IoDeleteDevice of a device still attached to a lower device");
  ext->ExtensionFlags |= DOE_DELETE_PENDING;
  for (PDEVICE_OBJECT* p = &DeviceObject->DriverObject->DeviceObject; *p != nullptr; p = &(*p)->NextDevice) {
    if (*p == DeviceObject) {
      *p = DeviceObject->NextDevice;
      break;
    }
  }
  DeviceObject->NextDevice = nullptr;
  LiveDevices().Remove(DeviceObject);
  plat::ObRemoveName(DeviceObject);
  PDRIVER_OBJECT driver = DeviceObject->DriverObject;
  bool last = driver->DeviceObject == nullptr;
  ObDereferenceObject(DeviceObject);
  if (last) plat::PnpLastDeviceDeleted(driver);
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  PAGED_CODE();
  return plat::ObCreateSymbolicLink(plat::ToU16(*SymbolicLinkName), plat::ToU16(*DeviceName));
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  PAGED_CODE();
  return plat::ObDeleteSymbolicLink(plat::ToU16(*SymbolicLinkName));
}

// Stacks

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
  while (DeviceObject->AttachedDevice != nullptr) DeviceObject = DeviceObject->AttachedDevice;
  return DeviceObject;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  CheckDevice(DeviceObject, "IoGetAttachedDeviceReference");
  PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
  ObReferenceObject(top);
  return top;
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  CheckDevice(SourceDevice, "IoAttachDeviceToDeviceStack");
  CheckDevice(TargetDevice, "IoAttachDeviceToDeviceStack");
  if (Ext(SourceDevice)->AttachedTo != nullptr) Violation("IoAttachDeviceToDeviceStack of a device already attached");
  PDEVICE_OBJECT top = IoGetAttachedDevice(TargetDevice);
  if (Ext(top)->ExtensionFlags & (DOE_DELETE_PENDING | DOE_UNLOAD_PENDING)) return nullptr;
  top->AttachedDevice = SourceDevice;
  SourceDevice->StackSize = static_cast<CHAR>(top->StackSize + 1);
  SourceDevice->AlignmentRequirement = std::max(SourceDevice->AlignmentRequirement, top->AlignmentRequirement);
  Ext(SourceDevice)->AttachedTo = top;
  // The device below may not go away while a device sits on it.
  ObReferenceObject(top);
  return top;
}

void IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  CheckDevice(TargetDevice, "IoDetachDevice");
  PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
  if (above == nullptr) Violation("IoDetachDevice of a device with nothing attached to it");
  Ext(above)->AttachedTo = nullptr;
  TargetDevice->AttachedDevice = nullptr;
  ObDereferenceObject(TargetDevice);
}

// The top of the opened device's stack as it is now: a filter attached after the open sees the
// file's later IRPs.
PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT FileObject) { return IoGetAttachedDevice(FileObject->DeviceObject); }

namespace plat {
PDEVICE_OBJECT IoStackBottom(PDEVICE_OBJECT device) {
  while (Ext(device)->AttachedTo != nullptr) device = Ext(device)->AttachedTo;
  return device;
}
}  // namespace plat

// IRPs

namespace {
PIRP NewIrp(CHAR StackSize) {
  if (StackSize < 1) Violation("IoAllocateIrp with no stack location");
  auto* irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPool, IoSizeOfIrp(StackSize), kIrpTag));
  if (irp == nullptr) return nullptr;
  std::memset(irp, 0, IoSizeOfIrp(StackSize));
  irp->Type = 6;
  irp->Size = static_cast<USHORT>(IoSizeOfIrp(StackSize));
  irp->StackCount = StackSize;
  irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + StackSize;
  irp->IoStatus.Status = STATUS_SUCCESS;
  IrpRecord rec;
  rec.serial = Io().nextIrpSerial++;
  Io().irps.emplace(irp, std::move(rec));
  return irp;
}

// Keeps a dispatch frame for the length of a dispatch routine's call; a violation a test expects
// may unwind through it.
class Dispatching {
 public:
  Dispatching(PIRP irp, uint64_t serial, PIO_STACK_LOCATION location)
      : frame_(Io().dispatching.insert(Io().dispatching.end(),
                                       DispatchFrame{irp, serial, location, (location->Control & SL_PENDING_RETURNED) != 0})) {
    if (auto* s = plat::Scheduler::TryCurrent()) s->EnterDriver();
  }
  ~Dispatching() {
    if (auto* s = plat::Scheduler::TryCurrent()) s->LeaveDriver();
    Io().dispatching.erase(frame_);
  }
  Dispatching(const Dispatching&) = delete;
  Dispatching& operator=(const Dispatching&) = delete;

  // Whether the routine marked its location pending (IoMarkIrpPending), as far as it is its own mark.
  bool MarkedPending() const {
    if (frame_->markedOnEntry) return false;
    if (frame_->walkedPast) return frame_->markedWhenWalked;
    return (frame_->location->Control & SL_PENDING_RETURNED) != 0;
  }

 private:
  std::list<DispatchFrame>::iterator frame_;
};

// Completion passes `location`: what a dispatch routine still running for it marked is read now,
// before the walk clears it (and the IRP may be freed).
void NoteWalkedPast(PIRP irp, uint64_t serial, PIO_STACK_LOCATION location) {
  for (DispatchFrame& f : Io().dispatching) {
    if (f.irp != irp || f.serial != serial || f.location != location || f.walkedPast) continue;
    f.walkedPast = true;
    f.markedWhenWalked = (location->Control & SL_PENDING_RETURNED) != 0;
  }
}

void FreeIrpMemory(PIRP irp) {
  IoState& io = Io();
  if (io.lastIrp == irp) io.lastIrp = nullptr;
  io.irps.erase(irp);
  ExFreePoolWithTag(irp, kIrpTag);
  // Checked last, by address only: a violation here leaves nothing allocated.
  plat::PoNoteIrpFreed(irp);
}
}  // namespace

PIRP IoAllocateIrp(CHAR StackSize, BOOLEAN) {
  plat::CheckIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
  return NewIrp(StackSize);
}

void IoFreeIrp(PIRP Irp) {
  IrpRecord& rec = RecordOf(Irp, "IoFreeIrp");
  if (rec.owned) Violation("IoFreeIrp of an IRP the I/O manager owns");
  if (Irp->CancelRoutine != nullptr) Violation("IoFreeIrp of an IRP that still has a cancel routine");
  FreeIrpMemory(Irp);
}

// Only for an IRP of the caller's own from IoAllocateIrp that no driver holds any longer: sent and
// come back (its completion routine kept it), or never sent. It then counts as a new request.
void IoReuseIrp(PIRP Irp, NTSTATUS Status) {
  IrpRecord& rec = RecordOf(Irp, "IoReuseIrp");
  if (rec.owned) Violation("IoReuseIrp of an IRP the I/O manager owns");
  if (Irp->CancelRoutine != nullptr) Violation("IoReuseIrp of an IRP that still has a cancel routine");
  if (Irp->CurrentLocation <= Irp->StackCount) Violation("IoReuseIrp of an IRP that a driver still holds");
  rec.serial = Io().nextIrpSerial++;
  CHAR count = Irp->StackCount;
  std::memset(Irp, 0, IoSizeOfIrp(count));
  Irp->Type = 6;
  Irp->Size = static_cast<USHORT>(IoSizeOfIrp(count));
  Irp->StackCount = count;
  Irp->CurrentLocation = static_cast<CHAR>(count + 1);
  Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + count;
  Irp->IoStatus.Status = Status;
}

NTSTATUS IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  plat::CheckIrqlAtMost(DISPATCH_LEVEL, "IoCallDriver");
  CheckDevice(DeviceObject, "IoCallDriver");
  RecordOf(Irp, "IoCallDriver");
  IoSetNextIrpStackLocation(Irp);
  if (Irp->CurrentLocation <= 0) Violation("IoCallDriver with no stack location left for the device");
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
  sp->DeviceObject = DeviceObject;
  if (sp->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) Violation("IoCallDriver with an invalid major function");
  if (sp->MajorFunction == IRP_MJ_POWER) plat::PoNoteDispatch(Irp);
  if (auto* s = plat::Scheduler::TryCurrent())
    s->Record(plat::Scheduler::Trace::IrpDispatch, sp->MajorFunction, sp->MinorFunction);
  plat::PreemptionPoint();
  KIRQL before = KeGetCurrentIrql();
  UCHAR major = sp->MajorFunction;
  Dispatching frame(Irp, RecordOf(Irp, "IoCallDriver").serial, sp);
  NTSTATUS status = DeviceObject->DriverObject->MajorFunction[major](DeviceObject, Irp);
  if (KeGetCurrentIrql() != before) Violation("a dispatch routine returned at another IRQL than it was called at");
  // Its caller would otherwise take the IRP as finished while its completion is still to come.
  if (status != STATUS_PENDING && frame.MarkedPending())
    Violation("a dispatch routine for major function " + std::to_string(major) + " marked the IRP pending and returned " +
              Hex(static_cast<ULONG>(status)) + " instead of STATUS_PENDING");
  return status;
}

void IoCompleteRequest(PIRP Irp, CHAR) {
  plat::CheckIrqlAtMost(DISPATCH_LEVEL, "IoCompleteRequest");
  IrpRecord* rec = &RecordOf(Irp, "IoCompleteRequest");
  if (Irp->CurrentLocation > Irp->StackCount) Violation("IoCompleteRequest of an IRP that no driver holds (completed twice?)");
  if (Irp->IoStatus.Status == STATUS_PENDING) Violation("IoCompleteRequest with STATUS_PENDING");
  if (Irp->CancelRoutine != nullptr) Violation("IoCompleteRequest of an IRP that still has a cancel routine");
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
  if (auto* s = plat::Scheduler::TryCurrent()) {
    // A PnP answer's Information is a pointer to pool, which differs from run to run.
    ULONG_PTR information = sp->MajorFunction == IRP_MJ_PNP ? 0 : Irp->IoStatus.Information;
    s->Record(plat::Scheduler::Trace::IrpComplete, static_cast<ULONG>(Irp->IoStatus.Status), information);
  }
  plat::PreemptionPoint();
  uint64_t serial = rec->serial;
  for (IoSkipCurrentIrpStackLocation(Irp); Irp->CurrentLocation <= Irp->StackCount + 1;
       ++sp, IoSkipCurrentIrpStackLocation(Irp)) {
    NoteWalkedPast(Irp, serial, sp);
    Irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) != 0;
    NTSTATUS status = Irp->IoStatus.Status;
    bool invoke = (NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_SUCCESS)) ||
                  (!NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_ERROR)) ||
                  (Irp->Cancel && (sp->Control & SL_INVOKE_ON_CANCEL));
    PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
    PVOID context = sp->Context;
    sp->Control = 0;
    sp->CompletionRoutine = nullptr;
    sp->Context = nullptr;
    if (invoke && routine != nullptr) {
      PDEVICE_OBJECT dev = Irp->CurrentLocation == Irp->StackCount + 1 ? nullptr
                                                                        : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
      KIRQL before = KeGetCurrentIrql();
      NTSTATUS result = routine(dev, Irp, context);
      if (KeGetCurrentIrql() != before) Violation("a completion routine returned at another IRQL");
      if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
      rec = &RecordOf(Irp, "IoCompleteRequest");
    } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
      IoMarkIrpPending(Irp);
    }
  }
  if (!rec->owned)
    Violation("an IRP from IoAllocateIrp completed past its top location: its completion routine must return "
              "STATUS_MORE_PROCESSING_REQUIRED");
  auto done = std::move(rec->done);
  if (done) done(Irp);
  // Raised only once the IRP is gone, so a test that expects it leaves nothing behind.
  std::string fault = std::move(RecordOf(Irp, "IoCompleteRequest").fault);
  FreeIrpMemory(Irp);
  if (!fault.empty()) Violation(fault);
}

BOOLEAN IoIs32bitProcess(PIRP Irp) {
  if (Irp == nullptr) return plat::ProcessOf(PsGetCurrentProcess())->Is32Bit() ? TRUE : FALSE;
  auto* process = static_cast<plat::Process*>(RecordOf(Irp, "IoIs32bitProcess").process);
  return process != nullptr && Irp->RequestorMode == UserMode && process->Is32Bit() ? TRUE : FALSE;
}

// Cancel

void IoAcquireCancelSpinLock(PKIRQL Irql) { KeAcquireSpinLock(&gCancelLock, Irql); }
void IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&gCancelLock, Irql); }

BOOLEAN IoCancelIrp(PIRP Irp) {
  plat::CheckIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp");
  RecordOf(Irp, "IoCancelIrp");
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  if (Irp->CurrentLocation > Irp->StackCount) Violation("a cancel routine set on an IRP that no driver holds");
  Irp->CancelIrql = irql;
  // The routine releases the cancel spin lock.
  routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
  if (KeGetCurrentIrql() != irql) Violation("a cancel routine returned without releasing the cancel spin lock");
  return TRUE;
}

// Device queues

void KeInitializeDeviceQueue(PKDEVICE_QUEUE DeviceQueue) {
  DeviceQueue->Type = 20;
  DeviceQueue->Size = sizeof(KDEVICE_QUEUE);
  InitializeListHead(&DeviceQueue->DeviceListHead);
  KeInitializeSpinLock(&DeviceQueue->Lock);
  DeviceQueue->Busy = FALSE;
}

namespace {
BOOLEAN InsertQueue(PKDEVICE_QUEUE q, PKDEVICE_QUEUE_ENTRY e, const ULONG* key) {
  KIRQL old;
  KeAcquireSpinLock(&q->Lock, &old);
  BOOLEAN inserted = q->Busy;
  if (!q->Busy) {
    q->Busy = TRUE;
  } else {
    PLIST_ENTRY before = &q->DeviceListHead;
    if (key != nullptr) {
      e->SortKey = *key;
      for (PLIST_ENTRY p = q->DeviceListHead.Flink; p != &q->DeviceListHead; p = p->Flink) {
        if (CONTAINING_RECORD(p, KDEVICE_QUEUE_ENTRY, DeviceListEntry)->SortKey > *key) {
          before = p;
          break;
        }
      }
    }
    InsertTailList(before, &e->DeviceListEntry);
  }
  e->Inserted = inserted;
  KeReleaseSpinLock(&q->Lock, old);
  return inserted;
}
}  // namespace

BOOLEAN KeInsertDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry) {
  return InsertQueue(DeviceQueue, DeviceQueueEntry, nullptr);
}

BOOLEAN KeInsertByKeyDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry, ULONG SortKey) {
  return InsertQueue(DeviceQueue, DeviceQueueEntry, &SortKey);
}

PKDEVICE_QUEUE_ENTRY KeRemoveDeviceQueue(PKDEVICE_QUEUE DeviceQueue) {
  KIRQL old;
  KeAcquireSpinLock(&DeviceQueue->Lock, &old);
  PKDEVICE_QUEUE_ENTRY e = nullptr;
  if (IsListEmpty(&DeviceQueue->DeviceListHead)) {
    DeviceQueue->Busy = FALSE;
  } else {
    e = CONTAINING_RECORD(RemoveHeadList(&DeviceQueue->DeviceListHead), KDEVICE_QUEUE_ENTRY, DeviceListEntry);
    e->Inserted = FALSE;
  }
  KeReleaseSpinLock(&DeviceQueue->Lock, old);
  return e;
}

BOOLEAN KeRemoveEntryDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry) {
  KIRQL old;
  KeAcquireSpinLock(&DeviceQueue->Lock, &old);
  BOOLEAN was = DeviceQueueEntry->Inserted;
  if (was) {
    RemoveEntryList(&DeviceQueueEntry->DeviceListEntry);
    DeviceQueueEntry->Inserted = FALSE;
  }
  KeReleaseSpinLock(&DeviceQueue->Lock, old);
  return was;
}

void IoStartPacket(PDEVICE_OBJECT DeviceObject, PIRP Irp, PULONG Key, PDRIVER_CANCEL CancelFunction) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  if (CancelFunction != nullptr) IoSetCancelRoutine(Irp, CancelFunction);
  PKDEVICE_QUEUE_ENTRY e = &Irp->Tail.Overlay.DeviceQueueEntry;
  BOOLEAN queued = Key != nullptr ? KeInsertByKeyDeviceQueue(&DeviceObject->DeviceQueue, e, *Key)
                                  : KeInsertDeviceQueue(&DeviceObject->DeviceQueue, e);
  if (!queued) {
    DeviceObject->CurrentIrp = Irp;
    IoReleaseCancelSpinLock(cancelIrql);
    DeviceObject->DriverObject->DriverStartIo(DeviceObject, Irp);
  } else if (Irp->Cancel && CancelFunction != nullptr && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
    Irp->CancelIrql = cancelIrql;
    CancelFunction(DeviceObject, Irp);
  } else {
    IoReleaseCancelSpinLock(cancelIrql);
  }
  KeLowerIrql(old);
}

void IoStartNextPacket(PDEVICE_OBJECT DeviceObject, BOOLEAN Cancelable) {
  KIRQL cancelIrql = PASSIVE_LEVEL;
  DeviceObject->CurrentIrp = nullptr;
  if (Cancelable) IoAcquireCancelSpinLock(&cancelIrql);
  PKDEVICE_QUEUE_ENTRY e = KeRemoveDeviceQueue(&DeviceObject->DeviceQueue);
  PIRP next = e != nullptr ? CONTAINING_RECORD(e, IRP, Tail.Overlay.DeviceQueueEntry) : nullptr;
  DeviceObject->CurrentIrp = next;
  if (Cancelable) IoReleaseCancelSpinLock(cancelIrql);
  if (next != nullptr) DeviceObject->DriverObject->DriverStartIo(DeviceObject, next);
}

// MDLs

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN, PIRP Irp) {
  plat::CheckIrqlAtMost(DISPATCH_LEVEL, "IoAllocateMdl");
  if (Length == 0) return nullptr;
  auto va = reinterpret_cast<ULONG_PTR>(VirtualAddress);
  ULONG offset = static_cast<ULONG>(va & (PAGE_SIZE - 1));
  size_t pages = (offset + static_cast<size_t>(Length) + PAGE_SIZE - 1) / PAGE_SIZE;
  size_t size = sizeof(MDL) + pages * sizeof(ULONG_PTR);
  auto* mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, size, kMdlTag));
  if (mdl == nullptr) return nullptr;
  std::memset(mdl, 0, size);
  mdl->Size = static_cast<SHORT>(size);
  mdl->StartVa = reinterpret_cast<PVOID>(va - offset);
  mdl->ByteOffset = offset;
  mdl->ByteCount = Length;
  if (Irp != nullptr) {
    if (!SecondaryBuffer) {
      Irp->MdlAddress = mdl;
    } else {
      PMDL* p = &Irp->MdlAddress;
      while (*p != nullptr) p = &(*p)->Next;
      *p = mdl;
    }
  }
  return mdl;
}

void IoFreeMdl(PMDL Mdl) {
  if (Mdl->MdlFlags & MDL_PAGES_LOCKED) Violation("IoFreeMdl of an MDL whose pages are still locked");
  if (plat::MmHasUserMapping(Mdl)) Violation("IoFreeMdl of an MDL still mapped into a process");
  ExFreePoolWithTag(Mdl, kMdlTag);
}

void MmBuildMdlForNonPagedPool(PMDL Mdl) {
  Mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
  Mdl->MappedSystemVa = MmGetMdlVirtualAddress(Mdl);
}

void MmProbeAndLockPages(PMDL Mdl, KPROCESSOR_MODE, LOCK_OPERATION) {
  plat::CheckIrqlAtMost(DISPATCH_LEVEL, "MmProbeAndLockPages");
  if (Mdl->MdlFlags & MDL_PAGES_LOCKED) Violation("MmProbeAndLockPages of an MDL already locked");
  Mdl->MdlFlags |= MDL_PAGES_LOCKED;
}

void MmUnlockPages(PMDL Mdl) {
  if (!(Mdl->MdlFlags & MDL_PAGES_LOCKED)) Violation("MmUnlockPages of an MDL that is not locked");
  if (plat::MmHasUserMapping(Mdl)) Violation("MmUnlockPages of pages still mapped into a process");
  Mdl->MdlFlags &= static_cast<SHORT>(~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA));
  if (!(Mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL)) Mdl->MappedSystemVa = nullptr;
}

PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG) {
  if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) return Mdl->MappedSystemVa;
  if (!(Mdl->MdlFlags & MDL_PAGES_LOCKED))
    Violation("MmGetSystemAddressForMdlSafe of an MDL whose pages are neither locked nor non-paged");
  Mdl->MappedSystemVa = MmGetMdlVirtualAddress(Mdl);
  Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  return Mdl->MappedSystemVa;
}

// Requests the I/O manager builds

namespace {

void FreeMdls(PIRP irp) {
  for (PMDL m = irp->MdlAddress; m != nullptr;) {
    PMDL next = m->Next;
    if (m->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(m);
    IoFreeMdl(m);
    m = next;
  }
  irp->MdlAddress = nullptr;
}

}  // namespace

namespace plat {

PIRP IoBuildControlIrp(CHAR stackSize, const IoControlBuffers& caller, bool internal, KPROCESSOR_MODE mode,
                       std::function<void(PIRP)> then, NTSTATUS* status) {
  *status = STATUS_SUCCESS;
  // The I/O manager touches these, so a missing buffer faults before any IRP exists.
  if ((caller.input == nullptr && caller.inputLength != 0) || (caller.output == nullptr && caller.outputLength != 0)) {
    *status = STATUS_ACCESS_VIOLATION;
    return nullptr;
  }
  ULONG method = caller.code & 3;
  ULONG systemLength = method == METHOD_BUFFERED  ? std::max(caller.inputLength, caller.outputLength)
                       : method == METHOD_NEITHER ? 0
                                                  : caller.inputLength;
  PVOID system = nullptr;
  if (systemLength != 0) {
    system = ExAllocatePoolWithTag(NonPagedPool, systemLength, kBufferTag);
    if (system == nullptr) {
      *status = STATUS_INSUFFICIENT_RESOURCES;
      return nullptr;
    }
    // Only the input is copied: the rest is fresh pool, as a driver that reads it finds on Windows.
    if (caller.inputLength != 0) std::memcpy(system, caller.input, caller.inputLength);
  }
  PIRP irp = IoAllocateOwnedIrp(stackSize, [caller, method, system, then = std::move(then)](PIRP done) {
    ULONG_PTR information = done->IoStatus.Information;
    bool error = NT_ERROR(done->IoStatus.Status);
    if (!error && information > caller.outputLength)
      Io().irps[done].fault = "a driver reported more output bytes (" + std::to_string(information) +
                              ") than the caller's buffer holds (" + std::to_string(caller.outputLength) +
                              ") for control code " + Hex(caller.code);
    if (method == METHOD_BUFFERED && !error && caller.outputLength != 0)
      std::memcpy(caller.output, system, std::min<ULONG_PTR>(information, caller.outputLength));
    if (system != nullptr) ExFreePoolWithTag(system, kBufferTag);
    FreeMdls(done);
    if (then) then(done);
  });
  if (irp == nullptr) {
    if (system != nullptr) ExFreePoolWithTag(system, kBufferTag);
    *status = STATUS_INSUFFICIENT_RESOURCES;
    return nullptr;
  }
  irp->RequestorMode = mode;
  plat::IoTagThreadRequest(irp);
  irp->AssociatedIrp.SystemBuffer = system;
  if (system != nullptr) irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
  if (method == METHOD_BUFFERED && caller.outputLength != 0) {
    irp->Flags |= IRP_INPUT_OPERATION;
    irp->UserBuffer = caller.output;
  }
  if (method == METHOD_NEITHER) irp->UserBuffer = caller.output;
  if ((method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) && caller.outputLength != 0) {
    PMDL mdl = IoAllocateMdl(caller.output, caller.outputLength, FALSE, FALSE, irp);
    if (mdl == nullptr) {
      if (system != nullptr) ExFreePoolWithTag(system, kBufferTag);
      Io().irps[irp].done = nullptr;
      FreeIrpMemory(irp);
      *status = STATUS_INSUFFICIENT_RESOURCES;
      return nullptr;
    }
    // IN_DIRECT's second buffer is read by the device, OUT_DIRECT's written.
    MmProbeAndLockPages(mdl, mode, method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
  }
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  sp->Parameters.DeviceIoControl.IoControlCode = caller.code;
  sp->Parameters.DeviceIoControl.InputBufferLength = caller.inputLength;
  sp->Parameters.DeviceIoControl.OutputBufferLength = caller.outputLength;
  if (method == METHOD_NEITHER) sp->Parameters.DeviceIoControl.Type3InputBuffer = caller.input;
  return irp;
}

}  // namespace plat

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  plat::CheckIrqlAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
  NTSTATUS status;
  return plat::IoBuildControlIrp(
      DeviceObject->StackSize,
      plat::IoControlBuffers{IoControlCode, InputBuffer, InputBufferLength, OutputBuffer, OutputBufferLength},
      InternalDeviceIoControl != FALSE, KernelMode,
      [Event, IoStatusBlock](PIRP done) {
        if (IoStatusBlock != nullptr) *IoStatusBlock = done->IoStatus;
        if (Event != nullptr) KeSetEvent(Event, IO_NO_INCREMENT, FALSE);
      },
      &status);
}

namespace plat {

PIRP IoAllocateOwnedIrp(CHAR stackSize, std::function<void(PIRP)> done) {
  PIRP irp = NewIrp(stackSize);
  if (irp == nullptr) return nullptr;
  IrpRecord& rec = Io().irps[irp];
  rec.owned = true;
  rec.done = std::move(done);
  return irp;
}

NTSTATUS IoCallAndWait(PDEVICE_OBJECT device, PIRP irp, ULONG_PTR* information, bool userWait) {
  CheckIrqlAtMost(PASSIVE_LEVEL, "a synchronous request");
  struct Waiter {
    KEVENT event;
    bool done = false;
    bool pendingReturned = false;
    IO_STATUS_BLOCK status{};
  };
  auto waiter = std::make_shared<Waiter>();
  KeInitializeEvent(&waiter->event, NotificationEvent, FALSE);
  IrpRecord& rec = RecordOf(irp, "IoCallAndWait");
  auto inner = std::move(rec.done);
  rec.done = [waiter, inner](PIRP done) {
    if (inner) inner(done);
    waiter->done = true;
    waiter->pendingReturned = done->PendingReturned != 0;
    waiter->status = done->IoStatus;
    KeSetEvent(&waiter->event, IO_NO_INCREMENT, FALSE);
  };
  UCHAR major = IoGetNextIrpStackLocation(irp)->MajorFunction;
  NTSTATUS returned = major == IRP_MJ_POWER ? PoDeliver(device, irp) : IoCallDriver(device, irp);
  if (returned == STATUS_PENDING) {
    KeWaitForSingleObject(&waiter->event, Executive, userWait ? UserMode : KernelMode, FALSE, nullptr);
    if (!waiter->pendingReturned)
      Violation("a driver returned STATUS_PENDING for major function " + std::to_string(major) +
                " without IoMarkIrpPending");
  } else if (!waiter->done) {
    Violation("a driver returned a status for major function " + std::to_string(major) +
              " without completing the IRP or returning STATUS_PENDING");
  }
  if (information != nullptr) *information = waiter->status.Information;
  return waiter->status.Status;
}

std::shared_ptr<IoRequest> IoSend(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, PFILE_OBJECT file,
                                  const std::function<void(PIO_STACK_LOCATION)>& setup) {
  auto request = std::make_shared<IoRequest>();
  PDEVICE_OBJECT top = file != nullptr ? IoGetRelatedDeviceObject(file) : IoGetAttachedDevice(device);
  PIRP irp = IoAllocateOwnedIrp(top->StackSize, [request](PIRP done) {
    request->done = true;
    request->irp = nullptr;
    request->status = done->IoStatus;
  });
  if (irp == nullptr) Violation("no pool for a test request");
  request->irp = irp;
  irp->RequestorMode = UserMode;
  irp->IoStatus.Status = major == IRP_MJ_PNP ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
  irp->Tail.Overlay.OriginalFileObject = file;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = major;
  sp->MinorFunction = minor;
  sp->FileObject = file;
  if (setup) setup(sp);
  request->returned = major == IRP_MJ_POWER ? PoDeliver(top, irp) : IoCallDriver(top, irp);
  return request;
}

size_t IoLiveIrps() { return Io().irps.size(); }

std::string IoDeviceObjectsLeft() { return LiveDevices().Report(); }
void IoForgetDeviceObjects() { LiveDevices().Forget(); }

// Files

namespace {
NTSTATUS SendFileIrpWith(PFILE_OBJECT file, UCHAR major, const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup,
                         ULONG_PTR* information) {
  FileTarget top(file);
  PIRP irp = IoAllocateOwnedIrp(top.Get()->StackSize, {});
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  irp->RequestorMode = UserMode;
  IoTagThreadRequest(irp);
  irp->Tail.Overlay.OriginalFileObject = file;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = major;
  sp->FileObject = file;
  if (setup) setup(irp, sp);
  return IoCallAndWait(top.Get(), irp, information);
}
}  // namespace

}  // namespace plat

namespace {
NTSTATUS SendFileIrp(PFILE_OBJECT file, UCHAR major) { return plat::SendFileIrpWith(file, major, {}, nullptr); }
}  // namespace

namespace plat {

NTSTATUS IoOpenFile(std::u16string_view path, PFILE_OBJECT* file, KPROCESSOR_MODE mode) {
  CheckIrqlAtMost(PASSIVE_LEVEL, "opening a file");
  *file = nullptr;
  std::u16string rest;
  PVOID object = ObLookupPath(path, &rest);
  if (object == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (ObTypeOf(object) != *IoDeviceObjectType) return STATUS_OBJECT_TYPE_MISMATCH;
  auto* dev = static_cast<PDEVICE_OBJECT>(object);
  if ((Ext(dev)->ExtensionFlags & (DOE_DELETE_PENDING | DOE_UNLOAD_PENDING)) || (dev->Flags & DO_DEVICE_INITIALIZING))
    return STATUS_NO_SUCH_DEVICE;
  if ((dev->Flags & DO_EXCLUSIVE) && dev->ReferenceCount > 0) return STATUS_ACCESS_DENIED;
  size_t nameBytes = rest.size() * sizeof(WCHAR);
  auto* body = static_cast<FileBody*>(ObCreateObject(*IoFileObjectType, sizeof(FileBody) + nameBytes + sizeof(WCHAR)));
  if (body == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  auto* name = reinterpret_cast<WCHAR*>(body + 1);
  std::memcpy(name, rest.data(), nameBytes);
  body->file.Type = 5;
  body->file.Size = sizeof(FILE_OBJECT);
  body->file.DeviceObject = dev;
  body->file.FileName = {static_cast<USHORT>(nameBytes), static_cast<USHORT>(nameBytes + sizeof(WCHAR)), name};
  ObReferenceObject(dev);
  InterlockedIncrement(&dev->ReferenceCount);
  body->bottom = IoStackBottom(dev);
  ObReferenceObject(body->bottom);
  PnpFileOpened(body->bottom);
  NTSTATUS status = SendFileIrpWith(&body->file, IRP_MJ_CREATE, [mode](PIRP irp, PIO_STACK_LOCATION) {
    irp->RequestorMode = mode;
  }, nullptr);
  if (!NT_SUCCESS(status)) {
    ObDereferenceObject(body);
    return status;
  }
  body->opened = true;
  *file = &body->file;
  return STATUS_SUCCESS;
}

void IoCloseFile(PFILE_OBJECT file) {
  auto* body = reinterpret_cast<FileBody*>(file);
  if (body->cleanedUp) Violation("a file was closed twice");
  body->cleanedUp = true;
  SendFileIrp(file, IRP_MJ_CLEANUP);
  ObDereferenceObject(file);
}

NTSTATUS IoDeviceControl(PFILE_OBJECT file, ULONG code, const void* input, ULONG inputLength, void* output,
                         ULONG outputLength, ULONG_PTR* information) {
  ObReferenceObject(file);
  return IoDeviceControlReferenced(file, code, input, inputLength, output, outputLength, information);
}

NTSTATUS IoDeviceControlReferenced(PFILE_OBJECT file, ULONG code, const void* input, ULONG inputLength, void* output,
                                   ULONG outputLength, ULONG_PTR* information) {
  CheckIrqlAtMost(PASSIVE_LEVEL, "a device control");
  if (information != nullptr) *information = 0;
  // The request holds the file and the top of its stack until it completes, not the caller's
  // stack: a thread of a process that ends meanwhile stops without unwinding.
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file->DeviceObject);
  NTSTATUS status;
  PIRP irp = IoBuildControlIrp(top->StackSize,
                               IoControlBuffers{code, const_cast<void*>(input), inputLength, output, outputLength},
                               false, UserMode, [top, file](PIRP) {
                                 ObDereferenceObject(top);
                                 ObDereferenceObject(file);
                               }, &status);
  if (irp == nullptr) {
    ObDereferenceObject(top);
    ObDereferenceObject(file);
    return status;
  }
  irp->Tail.Overlay.OriginalFileObject = file;
  IoGetNextIrpStackLocation(irp)->FileObject = file;
  return IoCallAndWait(top, irp, information, true);
}

void IoTagThreadRequest(PIRP irp) {
  auto* s = Scheduler::TryCurrent();
  if (s == nullptr) return;
  RecordOf(irp, "a thread's request").process = s->CurrentOwner();
  irp->Tail.Overlay.Thread = s->CurrentKThread();
}

size_t IoCancelProcessRequests(void* process) {
  std::vector<PIRP> mine;
  for (const auto& [irp, rec] : Io().irps)
    if (rec.process == process && process != nullptr) mine.push_back(irp);
  std::sort(mine.begin(), mine.end(), [](PIRP a, PIRP b) { return Io().irps[a].serial < Io().irps[b].serial; });
  for (PIRP irp : mine)
    if (Io().irps.count(irp) != 0) IoCancelIrp(irp);
  return mine.size();
}

size_t IoProcessRequests(void* process) {
  size_t n = 0;
  for (const auto& [irp, rec] : Io().irps)
    if (rec.process == process && process != nullptr) ++n;
  return n;
}

PDRIVER_OBJECT IoLoadDriver(std::u16string_view serviceName, PDRIVER_INITIALIZE entry, NTSTATUS* status) {
  CheckIrqlAtMost(PASSIVE_LEVEL, "loading a driver");
  std::u16string driverName = u"\\Driver\\" + std::u16string(serviceName);
  size_t nameBytes = driverName.size() * sizeof(WCHAR);
  size_t serviceBytes = serviceName.size() * sizeof(WCHAR);
  size_t size = RoundUp(sizeof(DRIVER_OBJECT)) + RoundUp(sizeof(DRIVER_EXTENSION)) + nameBytes + serviceBytes;
  auto* drv = static_cast<PDRIVER_OBJECT>(ObCreateObject(*IoDriverObjectType, size));
  if (drv == nullptr) {
    *status = STATUS_INSUFFICIENT_RESOURCES;
    return nullptr;
  }
  char* base = reinterpret_cast<char*>(drv);
  auto* ext = reinterpret_cast<PDRIVER_EXTENSION>(base + RoundUp(sizeof(DRIVER_OBJECT)));
  auto* nameChars = reinterpret_cast<WCHAR*>(base + RoundUp(sizeof(DRIVER_OBJECT)) + RoundUp(sizeof(DRIVER_EXTENSION)));
  auto* serviceChars = reinterpret_cast<WCHAR*>(reinterpret_cast<char*>(nameChars) + nameBytes);
  std::memcpy(nameChars, driverName.data(), nameBytes);
  std::memcpy(serviceChars, serviceName.data(), serviceBytes);
  drv->Type = 4;
  drv->Size = sizeof(DRIVER_OBJECT);
  drv->DriverExtension = ext;
  ext->DriverObject = drv;
  ext->ServiceKeyName = {static_cast<USHORT>(serviceBytes), static_cast<USHORT>(serviceBytes), serviceChars};
  drv->DriverName = {static_cast<USHORT>(nameBytes), static_cast<USHORT>(nameBytes), nameChars};
  drv->DriverInit = entry;
  for (auto& fn : drv->MajorFunction) fn = InvalidDeviceRequest;
  NTSTATUS named = ObInsertName(drv, driverName);
  if (!NT_SUCCESS(named)) {
    ObDereferenceObject(drv);
    *status = named;
    return nullptr;
  }
  // The path is the caller's only for the entry's duration: a driver must copy what it keeps.
  std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + std::u16string(serviceName);
  size_t pathBytes = path.size() * sizeof(WCHAR);
  auto* pathChars = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, pathBytes, kBufferTag));
  if (pathChars == nullptr) {
    ObRemoveName(drv);
    ObDereferenceObject(drv);
    *status = STATUS_INSUFFICIENT_RESOURCES;
    return nullptr;
  }
  std::memcpy(pathChars, path.data(), pathBytes);
  UNICODE_STRING registryPath{static_cast<USHORT>(pathBytes), static_cast<USHORT>(pathBytes), pathChars};
  *status = entry(drv, &registryPath);
  ExFreePoolWithTag(pathChars, kBufferTag);
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) Violation("DriverEntry returned above PASSIVE_LEVEL");
  if (!NT_SUCCESS(*status)) {
    if (drv->DeviceObject != nullptr) Violation("a failed DriverEntry left device objects behind");
    ObRemoveName(drv);
    ObDereferenceObject(drv);
    return nullptr;
  }
  return drv;
}

bool IoUnloadDriver(PDRIVER_OBJECT driver) {
  CheckIrqlAtMost(PASSIVE_LEVEL, "unloading a driver");
  if (driver->DriverUnload == nullptr) return false;
  driver->DriverUnload(driver);
  if (driver->DeviceObject != nullptr) Violation("a driver was unloaded with device objects left");
  ObRemoveName(driver);
  ObDereferenceObject(driver);
  return true;
}

}  // namespace plat

NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK, PFILE_OBJECT* FileObject,
                                  PDEVICE_OBJECT* DeviceObject) {
  PAGED_CODE();
  PFILE_OBJECT file = nullptr;
  NTSTATUS status = plat::IoOpenFile(plat::ToU16(*ObjectName), &file, KernelMode);
  if (!NT_SUCCESS(status)) return status;
  // The caller's reference to the file object stands for the handle that is closed at once.
  SendFileIrp(file, IRP_MJ_CLEANUP);
  reinterpret_cast<FileBody*>(file)->cleanedUp = true;
  *FileObject = file;
  *DeviceObject = IoGetRelatedDeviceObject(file);
  return STATUS_SUCCESS;
}

void KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
  char text[160];
  std::snprintf(text, sizeof text, "bug check 0x%X (0x%llX, 0x%llX, 0x%llX, 0x%llX)", BugCheckCode,
                static_cast<unsigned long long>(P1), static_cast<unsigned long long>(P2),
                static_cast<unsigned long long>(P3), static_cast<unsigned long long>(P4));
  Violation(text);
}

void KeEnterCriticalRegion() {
  plat::CheckIrqlAtMost(APC_LEVEL, "KeEnterCriticalRegion");
  ++plat::CurrentThreadState().criticalRegions;
}

void KeLeaveCriticalRegion() {
  plat::CheckIrqlAtMost(APC_LEVEL, "KeLeaveCriticalRegion");
  if (--plat::CurrentThreadState().criticalRegions < 0) Violation("KeLeaveCriticalRegion without KeEnterCriticalRegion");
}
