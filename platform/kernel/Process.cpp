#include "platform/kernel/Process.h"

#include <new>
#include <utility>

#include "platform/kernel/IoManager.h"
#include "platform/kernel/Irql.h"
#include "platform/kernel/Memory.h"
#include "platform/kernel/Pool.h"
#include "platform/kernel/ProcessAttach.h"
#include "platform/kernel/ThreadState.h"
#include "platform/kernel/Scheduler.h"
#include "platform/kernel/Verifier.h"

struct OBJECT_TYPE {
  plat::ObjectTypeInfo info;
};

namespace plat {

struct ProcessAccess {
  static bool& Ending(Process* p) { return p->ending_; }
  static ULONG& ExitCode(Process* p) { return p->exitCode_; }
  static std::string& Fault(Process* p) { return p->fault_; }
  static std::vector<ThreadObject*>& Threads(Process* p) { return p->threads_; }
};

namespace {

void DeleteProcessBody(PVOID body) { static_cast<Process*>(body)->~Process(); }
void DeleteThreadBody(PVOID body) { static_cast<ThreadObject*>(body)->~ThreadObject(); }

OBJECT_TYPE gProcessType{{"Process", plat::PoolTag("Proc"), DeleteProcessBody, nullptr}};
OBJECT_TYPE gThreadType{{"Thread", plat::PoolTag("Thre"), DeleteThreadBody, nullptr}};
POBJECT_TYPE gProcessTypePointer = &gProcessType;
POBJECT_TYPE gThreadTypePointer = &gThreadType;

// Process and thread ids share one space, multiples of 4 as Windows hands them out; each machine
// starts again.
ULONG NextId() {
  static uint64_t machine = 0;
  static ULONG next = 0;
  uint64_t serial = Scheduler::Current().Serial();
  if (machine != serial) {
    machine = serial;
    next = 0x3E8;
  }
  next += 4;
  return next;
}

constexpr VTime kRequestGrace = 300 * kNsPerSecond;  // how long a cancelled request may take to go

void Pause() {
  LARGE_INTEGER interval;
  interval.QuadPart = -ToKernelUnits(kNsPerCycle);
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

void InitHeader(DISPATCHER_HEADER* header) {
  *header = {};
  header->Type = DispatcherNotificationEvent;
}

std::function<void(ULONG, ULONG)>& UserEndHook() {
  static std::function<void(ULONG, ULONG)> hook;
  return hook;
}

void TellUser(ULONG processId, ULONG threadId) {
  if (UserEndHook()) UserEndHook()(processId, threadId);
}

void Signal(DISPATCHER_HEADER* header) { KeSetEvent(reinterpret_cast<PKEVENT>(header), IO_NO_INCREMENT, FALSE); }

// A thread of the process stopped with it: what its own end would have done, the process's end does.
// The thread's reference to its process goes last, as on Windows a process outlives its threads: a
// thread ending after its process was waited for and released must not run on a freed process.
void Stopped(ThreadObject* t, ULONG code) {
  for (PVOID object : t->held) ObDereferenceObject(object);
  t->held.clear();
  t->running = false;
  t->exitCode = code;
  Signal(&t->Header);
  Process* process = t->process;
  ObDereferenceObject(t);
  ObDereferenceObject(process);
}

void AbandonMutexes(Process* p) {
  for (PVOID object : p->Handles().Objects()) {
    if (ObTypeOf(object) != MutantObjectType()) continue;
    auto* m = static_cast<PKMUTEX>(object);
    for (ThreadObject* t : p->Threads()) {
      if (m->OwnerThread == nullptr || m->OwnerThread != t->thread) continue;
      m->OwnerThread = nullptr;
      m->Header.SignalState = 1;
      m->Abandoned = TRUE;
      Scheduler::Current().Signal(&m->Header);
    }
  }
}

// The end of a process, on a thread of its own. `caller` is the process's thread that ends it and
// goes on afterwards (its first thread, returning from the entry), or null.
void RunEnd(Process* p, ULONG code, ThreadObject* caller, ProcessEnd how) {
  Scheduler& s = Scheduler::Current();
  while (s.Park(p) != 0) Pause();
  IoCancelProcessRequests(p);
  VTime limit = s.Now() + kRequestGrace;
  while (IoProcessRequests(p) != 0) {
    if (s.Now() >= limit) {
      ProcessAccess::Fault(p) += "a request of ended process " + p->ImageName() +
                                 " was not completed within 300 s of its cancel\n";
      break;
    }
    Pause();
  }
  TellUser(p->Id(), 0);
  AbandonMutexes(p);
  p->Handles().RunDown();
  // An exiting process's images detach; a killed one runs no code of theirs.
  LdrEndProcess(KeyOf(p), how);
  if (!p->Mappings().empty()) {
    ProcessAccess::Fault(p) += std::to_string(p->Mappings().size()) + " user mapping(s) still present in process " +
                               p->ImageName() + " after its handles were closed (CLEANUP)\n";
    MmDropProcessMappings(p);
  }
  for (ThreadObject* t : ProcessAccess::Threads(p)) {
    if (t->running && t != caller) Stopped(t, code);
    ObDereferenceObject(t);
  }
  ProcessAccess::Threads(p).clear();
  Signal(&p->Header);
  ObDereferenceObject(p);  // the reference of a running process
}

}  // namespace

Process::Process(ULONG id, std::string image, std::string commandLine, unsigned bits, bool system)
    : id_(id), image_(std::move(image)), commandLine_(std::move(commandLine)), bits_(bits), system_(system) {
  InitHeader(&Header);
}

Process::~Process() {
  for (ThreadObject* t : threads_) ObDereferenceObject(t);
}

Process* ProcessOf(PEPROCESS process) { return reinterpret_cast<Process*>(process); }
PEPROCESS EprocessOf(Process* process) { return reinterpret_cast<PEPROCESS>(process); }

Process* SystemProcess() {
  static Process* system =
      new (ObCreatePermanentObject(&gProcessType, sizeof(Process))) Process(4, "System", "", 64, true);
  return system;
}

Process* CurrentProcess() {
  Scheduler* s = Scheduler::TryCurrent();
  void* owner = nullptr;
  if (s != nullptr) {
    owner = s->CurrentAttachment();
    if (owner == nullptr) owner = s->CurrentOwner();
  }
  return owner != nullptr ? static_cast<Process*>(owner) : SystemProcess();
}

ThreadObject* CurrentThreadObject() { return static_cast<ThreadObject*>(CurrentThreadState().threadObject); }

namespace {

Process* Start(std::string imageName, std::string commandLine, unsigned bits, std::function<ULONG()> entry) {
  if (bits != 32 && bits != 64) Violation("a process is 32-bit or 64-bit");
  void* body = ObCreateObject(*PsProcessType, sizeof(Process));
  if (body == nullptr) Violation("no pool for a process");
  auto* p = new (body) Process(NextId(), imageName, std::move(commandLine), bits, false);
  ObReferenceObject(p);  // held while it runs
  ThreadObject* first = StartThread(p, imageName, [p, entry = std::move(entry)] {
    ULONG code = entry();
    if (ProcessAccess::Ending(p)) Scheduler::Current().ParkSelf();
    ProcessAccess::Ending(p) = true;
    ProcessAccess::ExitCode(p) = code;
    RunEnd(p, code, CurrentThreadObject(), ProcessEnd::Exit);
    return code;
  });
  ObDereferenceObject(first);
  return p;
}

}  // namespace

Process* StartProcess(std::string imageName, unsigned bits, std::function<ULONG()> entry) {
  std::string commandLine = imageName;
  return Start(std::move(imageName), std::move(commandLine), bits, std::move(entry));
}

Process* StartProgram(const std::string& imageName, const std::string& commandLine, unsigned bits, ULONG* error) {
  if (bits != 32 && bits != 64) Violation("a process is 32-bit or 64-bit");
  std::u16string name(imageName.begin(), imageName.end());
  ULONG refused = LdrCheckProgram(name, bits);
  if (error != nullptr) *error = refused;
  if (refused != 0) return nullptr;
  return Start(imageName, commandLine.empty() ? imageName : commandLine, bits, [name]() -> ULONG {
    ULONG failed = 0;
    auto start = reinterpret_cast<ULONG (*)()>(LdrLoadProgram(KeyOf(CurrentProcess()), name, &failed));
    if (start == nullptr) Violation("the program image " + std::string(name.begin(), name.end()) +
                                    " could not be mapped (error " + std::to_string(failed) + ")");
    return start();
  });
}

ThreadObject* StartThread(Process* process, std::string name, std::function<ULONG()> body) {
  if (process->IsSystem()) Violation("threads of the System process are the kernel's own");
  void* mem = ObCreateObject(*PsThreadType, sizeof(ThreadObject));
  if (mem == nullptr) return nullptr;
  auto* t = new (mem) ThreadObject{};
  InitHeader(&t->Header);
  t->process = process;
  t->id = NextId();
  t->running = true;
  ObReferenceObject(t);  // the process's list
  ObReferenceObject(t);  // while it runs
  ObReferenceObject(process);  // while it runs
  ProcessAccess::Threads(process).push_back(t);
  Scheduler::Current().SpawnIn(process, UserMode, std::move(name), [t, body = std::move(body)] {
    CurrentThreadState().threadObject = t;
    t->thread = KeGetCurrentThread();
    ULONG code = body();
    TellUser(t->process->Id(), t->id);
    CurrentThreadState().threadObject = nullptr;
    Stopped(t, code);
  });
  return t;
}

void KillProcess(Process* process, ULONG exitCode) {
  if (process->IsSystem()) Violation("the System process cannot be killed");
  if (ProcessAccess::Ending(process)) return;
  ProcessAccess::Ending(process) = true;
  ProcessAccess::ExitCode(process) = exitCode;
  Scheduler& s = Scheduler::Current();
  s.Park(process);
  s.SpawnIn(process, KernelMode, process->ImageName() + " end",
            [process, exitCode] { RunEnd(process, exitCode, nullptr, ProcessEnd::Terminate); });
}

void ExitCurrentProcess(ULONG exitCode) {
  Process* p = CurrentProcess();
  if (p->IsSystem()) Violation("ExitProcess outside a process");
  CheckIrqlAtMost(PASSIVE_LEVEL, "ExitProcess");
  if (!ProcessAccess::Ending(p)) {
    ProcessAccess::Ending(p) = true;
    ProcessAccess::ExitCode(p) = exitCode;
    RunEnd(p, exitCode, nullptr, ProcessEnd::Exit);
  }
  Scheduler::Current().ParkSelf();
}

void WaitProcess(Process* process) {
  Scheduler& s = Scheduler::Current();
  if (!s.RunUntil([process] { return process->Ended(); }, INT64_MAX))
    Violation("process " + process->ImageName() + " never ends: no thread can run and no event is due");
  std::string fault = std::exchange(ProcessAccess::Fault(process), {});
  if (!fault.empty()) Violation(fault.substr(0, fault.size() - 1));
}

void ReleaseProcess(Process* process) { ObDereferenceObject(process); }

void SetUserEndHook(std::function<void(ULONG, ULONG)> hook) { UserEndHook() = std::move(hook); }

ProcessKey KeyOf(const Process* process) { return ProcessKey{process->Id(), process->Bits()}; }

}  // namespace plat

POBJECT_TYPE* PsProcessType = &plat::gProcessTypePointer;
POBJECT_TYPE* PsThreadType = &plat::gThreadTypePointer;

PEPROCESS PsGetCurrentProcess() { return plat::EprocessOf(plat::CurrentProcess()); }
PEPROCESS IoGetCurrentProcess() { return PsGetCurrentProcess(); }
PETHREAD PsGetCurrentThread() { return KeGetCurrentThread(); }

HANDLE PsGetCurrentProcessId() { return PsGetProcessId(PsGetCurrentProcess()); }

HANDLE PsGetCurrentThreadId() {
  plat::ThreadObject* t = plat::CurrentThreadObject();
  ULONG id = t != nullptr ? t->id : 4 * plat::Scheduler::Current().CurrentThreadId() + 0x10000;
  return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(id));
}

HANDLE PsGetProcessId(PEPROCESS Process) {
  return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(plat::ProcessOf(Process)->Id()));
}

VOID KeStackAttachProcess(PRKPROCESS Process, PRKAPC_STATE ApcState) {
  plat::CheckIrqlAtMost(APC_LEVEL, "KeStackAttachProcess");
  plat::Process* process = plat::ProcessOf(Process);
  if (process == nullptr || plat::ObReferenceCount(process) <= 0)
    plat::Violation("KeStackAttachProcess to a process object nobody references");
  if (process->Ended())
    plat::Violation("KeStackAttachProcess to process " + process->ImageName() +
                    ", which has ended: its address space is gone");
  plat::Scheduler& s = plat::Scheduler::Current();
  ApcState->Process = Process;
  ApcState->Previous = s.CurrentAttachment();
  ApcState->Thread = KeGetCurrentThread();
  s.SetCurrentAttachment(process);
}

VOID KeUnstackDetachProcess(PRKAPC_STATE ApcState) {
  plat::CheckIrqlAtMost(APC_LEVEL, "KeUnstackDetachProcess");
  plat::Scheduler& s = plat::Scheduler::Current();
  const plat::Process* attached = plat::ProcessOf(static_cast<PEPROCESS>(ApcState->Process));
  if (ApcState->Thread != KeGetCurrentThread() || s.CurrentAttachment() != attached)
    plat::Violation("KeUnstackDetachProcess on another thread than its attach, or out of order");
  s.SetCurrentAttachment(ApcState->Previous);
}

KPROCESSOR_MODE ExGetPreviousMode() {
  auto* s = plat::Scheduler::TryCurrent();
  return s != nullptr ? s->CurrentMode() : KernelMode;
}
