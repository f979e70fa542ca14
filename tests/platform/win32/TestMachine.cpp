#include "tests/platform/win32/TestMachine.h"

#include <cstring>
#include <string>

#include "platform/kernel/PnpTestBus.h"
#include "platform/kernel/Process.h"
#include "platform/kernel/RegistryHive.h"
#include "platform/kernel/Scheduler.h"
#include "platform/kernel/include/wdm.h"
#include "tests/kframework/images/ProbeDriver.h"

namespace w32test {
namespace {

constexpr ULONG kFileTag = plat::PoolTag("W32f");
constexpr ULONG kBufferTag = plat::PoolTag("W32b");
const GUID kInterface = {0x6A1D0C42, 0x13B7, 0x4E0F, {0x9A, 0x51, 0x3C, 0x77, 0x08, 0xE2, 0x4B, 0x19}};

static_assert(sizeof(GUID) == sizeof kInterfaceClass);

struct Fdo {
  PDEVICE_OBJECT lower;
  PDEVICE_OBJECT pdo;
  UNICODE_STRING link;
  PVOID buffer;  // 2 pages shared with the programs
  PVOID index;   // a page whose first byte is the index cell
};

// What a file holds: the mappings made for its process.
struct FileState {
  PMDL bufferMdl;
  PMDL indexMdl;
  PVOID userBuffer;
  PVOID userIndex;
};

struct Globals {
  std::vector<std::string> log;
  bool leaveMappings = false;
  std::vector<FileState*> leftovers;  // files of a faulty driver that kept its MDLs
  std::u16string link;
} gDriver;

std::string Image() { return plat::ProcessOf(PsGetCurrentProcess())->ImageName(); }

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void Unmap(FileState* f) {
  if (f->userBuffer != nullptr) MmUnmapLockedPages(f->userBuffer, f->bufferMdl);
  if (f->userIndex != nullptr) MmUnmapLockedPages(f->userIndex, f->indexMdl);
  f->userBuffer = f->userIndex = nullptr;
}

void FreeFile(FileState* f) {
  if (f->bufferMdl != nullptr) IoFreeMdl(f->bufferMdl);
  if (f->indexMdl != nullptr) IoFreeMdl(f->indexMdl);
  ExFreePoolWithTag(f, kFileTag);
}

PMDL MdlFor(PVOID va, ULONG length) {
  PMDL mdl = IoAllocateMdl(va, length, FALSE, FALSE, nullptr);
  if (mdl != nullptr) MmBuildMdlForNonPagedPool(mdl);
  return mdl;
}

void CancelHeld(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  gDriver.log.push_back("cancel " + Image());
  Complete(irp, STATUS_CANCELLED);
}

NTSTATUS Control(Fdo* x, PIRP irp, PIO_STACK_LOCATION sp) {
  auto* f = static_cast<FileState*>(sp->FileObject->FsContext);
  ULONG out = sp->Parameters.DeviceIoControl.OutputBufferLength;
  PVOID system = irp->AssociatedIrp.SystemBuffer;
  switch (sp->Parameters.DeviceIoControl.IoControlCode) {
    case kWhoAmI: {
      if (out < sizeof(WhoAmI)) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
      WhoAmI who{static_cast<uint32_t>(reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId())),
                 IoIs32bitProcess(irp) ? 1u : 0u, static_cast<uint32_t>(irp->RequestorMode),
                 static_cast<uint32_t>(ExGetPreviousMode())};
      std::memcpy(system, &who, sizeof who);
      return Complete(irp, STATUS_SUCCESS, sizeof who);
    }
    case kMap: {
      if (out < sizeof(MapReply)) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
      if (f->userBuffer != nullptr) return Complete(irp, STATUS_DEVICE_BUSY);
      f->bufferMdl = f->bufferMdl != nullptr ? f->bufferMdl : MdlFor(x->buffer, 2 * PAGE_SIZE);
      f->indexMdl = f->indexMdl != nullptr ? f->indexMdl : MdlFor(x->index, 1);
      if (f->bufferMdl == nullptr || f->indexMdl == nullptr) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
      f->userBuffer = MmMapLockedPagesSpecifyCache(f->bufferMdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority);
      f->userIndex = MmMapLockedPagesSpecifyCache(f->indexMdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority);
      if (f->userBuffer == nullptr || f->userIndex == nullptr) {
        Unmap(f);
        return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
      }
      MapReply reply{reinterpret_cast<uint64_t>(f->userBuffer), reinterpret_cast<uint64_t>(f->userIndex)};
      std::memcpy(system, &reply, sizeof reply);
      return Complete(irp, STATUS_SUCCESS, sizeof reply);
    }
    case kHold: {
      gDriver.log.push_back("hold " + Image());
      KIRQL irql;
      IoAcquireCancelSpinLock(&irql);
      IoMarkIrpPending(irp);
      IoSetCancelRoutine(irp, CancelHeld);
      IoReleaseCancelSpinLock(irql);
      return STATUS_PENDING;
    }
    case kTick: {
      auto* words = static_cast<volatile ULONG*>(x->buffer);
      words[1] = words[0] * 2;
      auto* index = static_cast<volatile UCHAR*>(x->index);
      *index = static_cast<UCHAR>(*index ^ 1);
      return Complete(irp, STATUS_SUCCESS);
    }
    case kWriteOnly:
      return Complete(irp, STATUS_SUCCESS);
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS Dispatch(PDEVICE_OBJECT d, PIRP irp) {
  auto* x = static_cast<Fdo*>(d->DeviceExtension);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  switch (sp->MajorFunction) {
    case IRP_MJ_POWER:
      PoStartNextPowerIrp(irp);
      IoSkipCurrentIrpStackLocation(irp);
      return PoCallDriver(x->lower, irp);
    case IRP_MJ_PNP: {
      UCHAR minor = sp->MinorFunction;
      if (minor == IRP_MN_REMOVE_DEVICE) IoSetDeviceInterfaceState(&x->link, FALSE);
      IoSkipCurrentIrpStackLocation(irp);
      NTSTATUS status = IoCallDriver(x->lower, irp);
      if (minor == IRP_MN_START_DEVICE && NT_SUCCESS(status)) IoSetDeviceInterfaceState(&x->link, TRUE);
      if (minor == IRP_MN_REMOVE_DEVICE) {
        RtlFreeUnicodeString(&x->link);
        ExFreePoolWithTag(x->buffer, kBufferTag);
        ExFreePoolWithTag(x->index, kBufferTag);
        IoDetachDevice(x->lower);
        IoDeleteDevice(d);
      }
      return status;
    }
    case IRP_MJ_CREATE: {
      auto* f = static_cast<FileState*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(FileState), kFileTag));
      if (f == nullptr) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
      *f = {};
      sp->FileObject->FsContext = f;
      gDriver.log.push_back("create " + Image());
      return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MJ_CLEANUP: {
      gDriver.log.push_back("cleanup " + Image());
      if (!gDriver.leaveMappings) Unmap(static_cast<FileState*>(sp->FileObject->FsContext));
      return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MJ_CLOSE: {
      gDriver.log.push_back("close " + Image());
      auto* f = static_cast<FileState*>(sp->FileObject->FsContext);
      if (f->userBuffer != nullptr || f->userIndex != nullptr)
        gDriver.leftovers.push_back(f);
      else
        FreeFile(f);
      return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MJ_DEVICE_CONTROL:
      return Control(x, irp, sp);
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT d = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(Fdo), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &d);
  if (!NT_SUCCESS(status)) return status;
  auto* x = static_cast<Fdo*>(d->DeviceExtension);
  *x = {};
  x->pdo = pdo;
  x->buffer = ExAllocatePoolWithTag(NonPagedPool, 2 * PAGE_SIZE, kBufferTag);
  x->index = ExAllocatePoolWithTag(NonPagedPool, PAGE_SIZE, kBufferTag);
  std::memset(x->buffer, 0, 2 * PAGE_SIZE);
  std::memset(x->index, 0, PAGE_SIZE);
  status = IoRegisterDeviceInterface(pdo, &kInterface, nullptr, &x->link);
  if (!NT_SUCCESS(status)) return status;
  gDriver.link = plat::ToU16(x->link);
  x->lower = IoAttachDeviceToDeviceStack(d, pdo);
  d->Flags |= DO_BUFFERED_IO;
  d->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& fn : driver->MajorFunction) fn = Dispatch;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = [](PDRIVER_OBJECT) {};
  return STATUS_SUCCESS;
}

plat::Process* P(void* process) { return static_cast<plat::Process*>(process); }

}  // namespace

extern const unsigned char kInterfaceClass[16] = {0x42, 0x0C, 0x1D, 0x6A, 0xB7, 0x13, 0x0F, 0x4E,
                                                  0x9A, 0x51, 0x3C, 0x77, 0x08, 0xE2, 0x4B, 0x19};

struct Machine::State {
  plat::Scheduler sched;
};

Machine::Machine(uint64_t seed) : state_(new State) {
  state_->sched.SetSeed(seed);
  gDriver = Globals{};
  plat::RegistryHive::Clear();
  plat::PnpRegisterService(u"w32test", Entry);
  plat::PnpBindHardwareId(u"W32TEST\\DEV", u"w32test");
  plat::TestBus::Plug({u"W32TEST\\DEV", u"1"});
  plat::PnpSettle();
}

Machine::~Machine() {
  // What a faulty driver left mapped was undone when its process ended.
  for (FileState* f : gDriver.leftovers) FreeFile(f);
  gDriver.leftovers.clear();
  plat::PnpShutdown();
  plat::RegistryHive::Clear();
  delete state_;
}

extern const uint32_t kProbeState = probe::kIoctlState;
static_assert(sizeof(ProbeAnswer) == sizeof(probe::State) &&
              offsetof(ProbeAnswer, processId) == offsetof(probe::State, processId));
const void* ProbeInterfaceClass() { return &probe::kInterface; }

void Machine::PlugProbeDrivers() {
  for (std::u16string name : {u"KfwAlpha", u"KfwBeta"}) {
    plat::PnpRegisterService(name, name + u".sys");
    plat::PnpBindHardwareId(u"QXPROBE\\" + name, name);
    plat::TestBus::Plug({u"QXPROBE\\" + name, u"0"});
  }
  plat::PnpSettle();
}

std::string Machine::InterfacePath() const {
  // "\??\X" is "\\?\X" to user mode.
  std::string path = "\\\\?\\";
  for (char16_t c : gDriver.link.substr(4)) path += static_cast<char>(c);
  return path;
}

std::vector<std::string>& Machine::Log() { return gDriver.log; }
void Machine::LeaveMappings() { gDriver.leaveMappings = true; }

size_t Machine::FilePool() const {
  size_t n = 0;
  for (const auto& use : plat::PoolLedger::Outstanding())
    if (use.tag == kFileTag || use.tag == plat::PoolTag("Mdl ")) n += use.allocations;
  return n;
}

size_t Machine::OutstandingPool() const { return plat::PoolLedger::OutstandingAllocations(); }

void* Machine::Start(const std::string& image, unsigned bits, std::function<uint32_t()> entry) {
  return plat::StartProcess(image, bits, std::move(entry));
}
void* Machine::StartProgram(const std::string& image, const std::string& commandLine, unsigned bits, uint32_t* error) {
  ULONG refused = 0;
  plat::Process* process = plat::StartProgram(image, commandLine, bits, &refused);
  if (error != nullptr) *error = refused;
  return process;
}

bool Machine::RunIn(void* process, std::function<void()> body) {
  bool done = false;
  plat::ThreadObject* thread = plat::StartThread(P(process), "test", [&done, body = std::move(body)]() -> ULONG {
    body();
    done = true;
    return 0;
  });
  state_->sched.RunUntil([&] { return done || P(process)->Ended(); }, INT64_MAX);
  ObDereferenceObject(thread);
  return done;
}

void Machine::Kill(void* process) { plat::KillProcess(P(process), 1); }
void Machine::Wait(void* process) { plat::WaitProcess(P(process)); }
void Machine::Release(void* process) { plat::ReleaseProcess(P(process)); }
uint32_t Machine::ExitCode(void* process) const { return P(process)->ExitCode(); }
std::string Machine::DebugOutput(void* process) const { return P(process)->DebugOutput(); }
bool Machine::Ended(void* process) const { return P(process)->Ended(); }

bool Machine::RunUntil(const std::function<bool()>& done, uint64_t ms) {
  return state_->sched.RunUntil(done, state_->sched.Now() + static_cast<plat::VTime>(ms) * plat::kNsPerMs);
}
void Machine::RunFor(uint64_t ms) { state_->sched.RunFor(static_cast<plat::VTime>(ms) * plat::kNsPerMs); }
uint64_t Machine::NowMs() const { return static_cast<uint64_t>(state_->sched.Now() / plat::kNsPerMs); }

}  // namespace w32test
