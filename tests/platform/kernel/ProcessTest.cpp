#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/kernel/KernelHandles.h"
#include "platform/kernel/Process.h"
#include "platform/kernel/ProcessAttach.h"
#include "platform/kernel/Verifier.h"
#include "tests/platform/kernel/IoTestDriver.h"
#include "tests/support/Readable.h"
#include "tests/support/Seeds.h"

namespace {

using iotest::Complete;

constexpr ULONG kTag = plat::PoolTag("PrTs");
const ULONG kMap = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
const ULONG kHold = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);

// A file of the device opened into the current process's handle table.
HANDLE OpenInProcess(const std::u16string& name) {
  PFILE_OBJECT file = nullptr;
  EXPECT_EQ(plat::IoOpenFile(name, &file), STATUS_SUCCESS);
  return plat::CurrentProcess()->Handles().Insert(file, FILE_READ_ACCESS | FILE_WRITE_ACCESS);
}

NTSTATUS Control(HANDLE h, ULONG code, void* out, ULONG outLength, ULONG_PTR* info) {
  PVOID object = nullptr;
  NTSTATUS status = ObReferenceObjectByHandle(h, 0, *IoFileObjectType, UserMode, &object, nullptr);
  if (!NT_SUCCESS(status)) return status;
  return plat::IoDeviceControlReferenced(static_cast<PFILE_OBJECT>(object), code, nullptr, 0, out, outLength, info);
}

class Processes : public iotest::Machine {};

TEST_F(Processes, AThreadSeesItsProcessItsBitnessAndUserModeAndTheHostIsTheSystem) {
  EXPECT_TRUE(plat::CurrentProcess()->IsSystem());
  EXPECT_EQ(ExGetPreviousMode(), KernelMode);
  EXPECT_FALSE(IoIs32bitProcess(nullptr));
  for (unsigned bits : {32u, 64u}) {
    SCOPED_TRACE(bits);
    PEPROCESS seen = nullptr;
    KPROCESSOR_MODE mode = KernelMode;
    BOOLEAN is32 = 2;
    plat::Process* p = plat::StartProcess("prog.exe", bits, [&] {
      seen = PsGetCurrentProcess();
      mode = ExGetPreviousMode();
      is32 = IoIs32bitProcess(nullptr);
      return 0u;
    });
    plat::WaitProcess(p);
    EXPECT_EQ(plat::ProcessOf(seen), p);
    EXPECT_EQ(IoGetCurrentProcess(), PsGetCurrentProcess()) << "the host";
    EXPECT_EQ(mode, UserMode);
    EXPECT_EQ(is32, bits == 32 ? TRUE : FALSE);
    EXPECT_EQ(p->Id() % 4, 0u);
    EXPECT_TRUE(p->Ended());
    plat::ReleaseProcess(p);
  }
}

TEST_F(Processes, AProcessAndItsThreadsAreWaitableAndSignalledWhenTheyEnd) {
  plat::Process* p = plat::StartProcess("prog.exe", 64, [] {
    plat::ThreadObject* t = plat::StartThread(plat::CurrentProcess(), "worker", [] { return 7u; });
    KeWaitForSingleObject(t, Executive, UserMode, FALSE, nullptr);
    ULONG code = t->exitCode;
    ObDereferenceObject(t);
    return code;
  });
  ObReferenceObject(p);
  sched.Spawn("waiter", [p] {
    KeWaitForSingleObject(p, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(p);
  });
  plat::WaitProcess(p);
  sched.RunUntilIdle();
  EXPECT_EQ(p->ExitCode(), 7u);
  EXPECT_EQ(sched.LiveThreads(), 0u);
  plat::ReleaseProcess(p);
}

TEST_F(Processes, HandlesAreSmallPerProcessAndReferencedByTypeAccessAndProcess) {
  std::u16string name = u"\\Device\\Handles";
  PDEVICE_OBJECT dev = iotest::NewDevice(drv, name);
  HANDLE ofA = nullptr;
  std::vector<HANDLE> values;
  std::vector<NTSTATUS> results;
  plat::Process* a = plat::StartProcess("a.exe", 64, [&] {
    ofA = OpenInProcess(name);
    HANDLE second = OpenInProcess(name);
    values = {ofA, second};
    ZwClose(second);
    HANDLE again = OpenInProcess(name);
    values.push_back(again);
    PVOID o = nullptr;
    results.push_back(ObReferenceObjectByHandle(ofA, 0, *ExEventObjectType, KernelMode, &o, nullptr));
    results.push_back(ObReferenceObjectByHandle(ofA, 0x100, *IoFileObjectType, UserMode, &o, nullptr));
    results.push_back(ObReferenceObjectByHandle(ofA, 0x100, *IoFileObjectType, KernelMode, &o, nullptr));
    if (o != nullptr) ObDereferenceObject(o);
    ZwClose(again);
    return 0u;
  });
  plat::WaitProcess(a);
  NTSTATUS other = STATUS_SUCCESS, kernel = STATUS_SUCCESS;
  HANDLE kernelHandle = nullptr;
  ASSERT_EQ(ZwCreateEvent(&kernelHandle, 0, nullptr, NotificationEvent, FALSE), STATUS_SUCCESS);
  plat::Process* b = plat::StartProcess("b.exe", 32, [&] {
    PVOID o = nullptr;
    other = ObReferenceObjectByHandle(ofA, 0, nullptr, UserMode, &o, nullptr);
    kernel = ObReferenceObjectByHandle(kernelHandle, 0, nullptr, UserMode, &o, nullptr);
    return 0u;
  });
  plat::WaitProcess(b);
  ZwClose(kernelHandle);
  EXPECT_EQ(values, (std::vector<HANDLE>{reinterpret_cast<HANDLE>(4), reinterpret_cast<HANDLE>(8),
                                         reinterpret_cast<HANDLE>(8)}))
      << "multiples of 4 from 4, a closed value handed out again";
  EXPECT_EQ(results, (std::vector<NTSTATUS>{STATUS_OBJECT_TYPE_MISMATCH, STATUS_ACCESS_DENIED, STATUS_SUCCESS}))
      << "type, then the access a user-mode reference asks for, which kernel mode is not checked for";
  EXPECT_EQ(other, STATUS_INVALID_HANDLE) << "a handle of another process";
  EXPECT_EQ(kernel, STATUS_INVALID_HANDLE) << "a kernel handle from user mode";
  plat::ReleaseProcess(a);
  plat::ReleaseProcess(b);
  iotest::DeleteDevice(dev);
}

// A driver that maps a page of its pool into the caller at one request, holds the next request
// pending (cancelably), and unmaps at CLEANUP unless told not to.
struct MappingDriver {
  PVOID pool = nullptr;
  PMDL mdl = nullptr;
  PVOID user = nullptr;
  PEPROCESS owner = nullptr;
  bool unmapAtCleanup = true;
  PIRP held = nullptr;
  std::vector<std::string> log;

  static void Cancel(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Complete(irp, STATUS_CANCELLED);
  }

  NTSTATUS Handle(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MajorFunction) {
      case IRP_MJ_CREATE: log.push_back("create"); return Complete(irp, STATUS_SUCCESS);
      case IRP_MJ_CLOSE: log.push_back("close"); return Complete(irp, STATUS_SUCCESS);
      case IRP_MJ_CLEANUP:
        log.push_back(std::string("cleanup in ") + plat::ProcessOf(PsGetCurrentProcess())->ImageName());
        if (unmapAtCleanup) Unmap();
        return Complete(irp, STATUS_SUCCESS);
      case IRP_MJ_DEVICE_CONTROL:
        break;
      default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    if (sp->Parameters.DeviceIoControl.IoControlCode == kHold) {
      log.push_back("hold");
      IoMarkIrpPending(irp);
      IoSetCancelRoutine(irp, Cancel);
      return STATUS_PENDING;
    }
    pool = ExAllocatePoolWithTag(NonPagedPool, PAGE_SIZE, kTag);
    mdl = IoAllocateMdl(pool, PAGE_SIZE, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    user = MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority);
    owner = PsGetCurrentProcess();
    *static_cast<PVOID*>(irp->AssociatedIrp.SystemBuffer) = user;
    return Complete(irp, user != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES, sizeof(PVOID));
  }

  void Unmap() {
    if (user != nullptr) MmUnmapLockedPages(user, mdl);
    user = nullptr;
  }
  void Free() {
    if (mdl != nullptr) IoFreeMdl(mdl);
    if (pool != nullptr) ExFreePoolWithTag(pool, kTag);
    mdl = nullptr;
    pool = nullptr;
  }
};

TEST_F(Processes, AMappingIsASecondMappingOfThePagesBelow4GBFor32BitAndFaultsOnceUndone) {
  for (unsigned bits : {32u, 64u}) {
    SCOPED_TRACE(bits);
    std::u16string name = u"\\Device\\Map";
    MappingDriver m;
    PDEVICE_OBJECT dev = iotest::NewDevice(drv, name, [&m](PDEVICE_OBJECT d, PIRP irp) { return m.Handle(d, irp); });
    volatile ULONG* user = nullptr;
    ULONG seenByProgram = 0;
    plat::Process* p = plat::StartProcess("host.exe", bits, [&] {
      HANDLE h = OpenInProcess(name);
      PVOID address = nullptr;
      ULONG_PTR info = 0;
      EXPECT_EQ(Control(h, kMap, &address, sizeof address, &info), STATUS_SUCCESS);
      user = static_cast<volatile ULONG*>(address);
      user[0] = 0x1234;
      static_cast<volatile ULONG*>(m.pool)[1] = 0x5678;
      seenByProgram = user[1];
      ZwClose(h);
      return 0u;
    });
    plat::WaitProcess(p);
    EXPECT_EQ(seenByProgram, 0x5678u) << "the kernel's write, through the program's mapping";
    EXPECT_EQ(static_cast<ULONG*>(m.pool)[0], 0x1234u) << "the program's write, through the kernel's address";
    EXPECT_NE(static_cast<volatile void*>(user), m.pool);
    if (bits == 32) {
      EXPECT_LT(reinterpret_cast<uintptr_t>(user), uintptr_t{1} << 32);
    }
    EXPECT_FALSE(qxtest::Readable(const_cast<ULONG*>(user))) << "undone at CLEANUP";
    EXPECT_EQ(plat::ProcessOf(m.owner), p);
    m.Free();
    plat::ReleaseProcess(p);
    iotest::DeleteDevice(dev);
  }
}

TEST_F(Processes, KillingAProgramMidRequestCancelsItThenCleansUpAndClosesAndUndoesTheMapping) {
  for (uint64_t seed : qxtest::InterleavingSeeds()) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    sched.SetSeed(seed);
    std::u16string name = u"\\Device\\Kill";
    MappingDriver m;
    PDEVICE_OBJECT dev = iotest::NewDevice(drv, name, [&m](PDEVICE_OBJECT d, PIRP irp) { return m.Handle(d, irp); });
    NTSTATUS held = STATUS_SUCCESS;
    plat::Process* p = plat::StartProcess("host.exe", 32, [&] {
      HANDLE h = OpenInProcess(name);
      PVOID address = nullptr;
      Control(h, kMap, &address, sizeof address, nullptr);
      held = Control(h, kHold, nullptr, 0, nullptr);
      ADD_FAILURE() << "a killed program's thread never returns";
      return 0u;
    });
    sched.RunUntil([&] { return m.log.size() >= 2 && m.log.back() == "hold"; }, sched.Now() + plat::kNsPerSecond);
    ASSERT_EQ(m.log.back(), "hold");
    PVOID user = m.user;
    plat::KillProcess(p, 9);
    plat::WaitProcess(p);
    EXPECT_EQ(m.log, (std::vector<std::string>{"create", "hold", "cleanup in host.exe", "close"}));
    EXPECT_EQ(p->ExitCode(), 9u);
    EXPECT_EQ(held, STATUS_SUCCESS) << "never returned to";
    EXPECT_FALSE(qxtest::Readable(user));
    EXPECT_EQ(plat::IoLiveIrps(), 0u);
    m.Free();
    EXPECT_EQ(plat::PoolLedger::Outstanding().size(), 3u) << "the machine's own: driver, device, process";
    plat::ReleaseProcess(p);
    iotest::DeleteDevice(dev);
    sched.SetSeed(0);
  }
}

// The host may take a program's end as soon as it is signalled and let the process go while the
// program's first thread is still finishing its own end: as on Windows, the process outlives its
// threads, so no thread ever runs on a freed process (whose memory a later process may get).
TEST_F(Processes, AProcessTheHostReleasedAtItsEndLivesUntilItsLastThreadHasEnded) {
  std::vector<std::pair<ULONG, ULONG>> ends;
  plat::SetUserEndHook([&ends](ULONG process, ULONG thread) { ends.emplace_back(process, thread); });
  const size_t poolBefore = plat::PoolLedger::Outstanding().size();
  const size_t threadsBefore = sched.LiveThreads();
  size_t stillEnding = 0;
  for (uint64_t seed : qxtest::InterleavingSeeds()) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    sched.SetSeed(seed);
    ends.clear();
    plat::Process* p = plat::StartProcess("prog.exe", 64, [] { return 3u; });
    const ULONG id = p->Id();
    plat::WaitProcess(p);
    if (sched.LiveThreads() > threadsBefore) {
      ++stillEnding;
      EXPECT_GT(plat::ObReferenceCount(p), 1) << "the thread still ending holds its process";
    }
    plat::ReleaseProcess(p);
    sched.RunUntilIdle();
    EXPECT_EQ(sched.LiveThreads(), threadsBefore);
    ASSERT_EQ(ends.size(), 2u) << "the process's end and its thread's";
    for (const auto& [process, thread] : ends) EXPECT_EQ(process, id);
    EXPECT_EQ(plat::PoolLedger::Outstanding().size(), poolBefore) << "the process goes with its last thread";
    sched.SetSeed(0);
  }
  EXPECT_GT(stillEnding, 0u) << "no seed let the host see the end before the thread had finished";
  plat::SetUserEndHook(nullptr);
}

TEST_F(Processes, AMappingLeftAfterCleanupAndMappingsMadeOrUndoneOutsideTheirProcessAreFaults) {
  std::u16string name = u"\\Device\\Left";
  MappingDriver m;
  m.unmapAtCleanup = false;
  PDEVICE_OBJECT dev = iotest::NewDevice(drv, name, [&m](PDEVICE_OBJECT d, PIRP irp) { return m.Handle(d, irp); });
  std::string fromOther;
  plat::Process* p = plat::StartProcess("host.exe", 64, [&] {
    HANDLE h = OpenInProcess(name);
    PVOID address = nullptr;
    Control(h, kMap, &address, sizeof address, nullptr);
    plat::Process* other = plat::StartProcess("other.exe", 64, [&] {
      fromOther = plat::ExpectViolation([&] { MmUnmapLockedPages(m.user, m.mdl); });
      return 0u;
    });
    KeWaitForSingleObject(other, Executive, UserMode, FALSE, nullptr);
    plat::ReleaseProcess(other);
    return 0u;
  });
  std::string left = plat::ExpectViolation([&] { plat::WaitProcess(p); });
  EXPECT_NE(left.find("user mapping(s) still present in process host.exe after its handles were closed"), std::string::npos)
      << left;
  EXPECT_NE(fromOther.find("of another process"), std::string::npos) << fromOther;
  EXPECT_FALSE(qxtest::Readable(m.user)) << "undone with the process all the same";
  m.user = nullptr;
  PMDL mdl = m.mdl;
  std::string fromHost = plat::ExpectViolation([&] { MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, 0); });
  EXPECT_NE(fromHost.find("outside a process's thread"), std::string::npos) << fromHost;
  m.Free();
  plat::ReleaseProcess(p);
  iotest::DeleteDevice(dev);
}

TEST_F(Processes, AnAttachedThreadWorksInThatProcessUntilItDetachesInOrderAndNeverLeavesTheKernelAttached) {
  KEVENT release;
  KeInitializeEvent(&release, NotificationEvent, FALSE);
  plat::Process* owner = plat::StartProcess("owner.exe", 64, [&] {
    KeWaitForSingleObject(&release, Executive, UserMode, FALSE, nullptr);
    return 0u;
  });
  const PEPROCESS target = plat::EprocessOf(owner);
  plat::Process* attached = nullptr;
  plat::Process* detached = nullptr;
  std::string fromOtherThread, leftAttached;
  KAPC_STATE kept{};
  KEVENT keptReady, strangerDone;
  KeInitializeEvent(&keptReady, NotificationEvent, FALSE);
  KeInitializeEvent(&strangerDone, NotificationEvent, FALSE);
  sched.Spawn("stranger", [&] {
    KeWaitForSingleObject(&keptReady, Executive, KernelMode, FALSE, nullptr);
    fromOtherThread = plat::ExpectViolation([&] { KeUnstackDetachProcess(&kept); });
    KeSetEvent(&strangerDone, 0, FALSE);
  });
  sched.Spawn("attacher", [&] {
    KAPC_STATE state;
    KeStackAttachProcess(target, &state);
    attached = plat::CurrentProcess();
    KeUnstackDetachProcess(&state);
    detached = plat::CurrentProcess();
    KeStackAttachProcess(target, &kept);
    KeSetEvent(&keptReady, 0, FALSE);
    KeWaitForSingleObject(&strangerDone, Executive, KernelMode, FALSE, nullptr);
    KeUnstackDetachProcess(&kept);
    sched.EnterDriver();
    KeStackAttachProcess(target, &state);
    leftAttached = plat::ExpectViolation([&] { sched.LeaveDriver(); });
    KeUnstackDetachProcess(&state);
  });
  sched.RunUntilIdle();
  EXPECT_EQ(attached, owner);
  EXPECT_TRUE(detached != nullptr && detached->IsSystem());
  EXPECT_NE(fromOtherThread.find("on another thread"), std::string::npos) << fromOtherThread;
  EXPECT_NE(leftAttached.find("still attached"), std::string::npos) << leftAttached;
  KeSetEvent(&release, 0, FALSE);
  plat::WaitProcess(owner);
  std::string ended;
  sched.Spawn("late", [&] {
    KAPC_STATE state;
    ended = plat::ExpectViolation([&] { KeStackAttachProcess(target, &state); });
  });
  sched.RunUntilIdle();
  EXPECT_NE(ended.find("which has ended"), std::string::npos) << ended;
  plat::ReleaseProcess(owner);
}

}  // namespace
