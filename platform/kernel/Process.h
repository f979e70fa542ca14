// Processes and their threads. A process has an id, an image name, a bitness (32 or 64), its own
// handle table, its user address space (the mappings drivers made into it), the images loaded
// into it and its threads. Processes and threads are waitable objects of the object manager,
// signalled when they end. The host, the kernel's workers and every thread not started in a
// process belong to the System process.
//
// A process ends when its first thread returns from its entry, when one of its threads calls
// ExitProcess, or when it is killed. Its threads stop where they stand, without unwinding; every
// request its threads still have outstanding is cancelled and waited for; its handle table is run
// down (CLEANUP and CLOSE reach the drivers of each file still open, lowest handle first); its
// images detach; and a user mapping still present after that is a fault of the driver that made it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "HandleTable.h"
#include "Irp.h"
#include "Loader.h"
#include "ObjectManager.h"
#include "Sync.h"

struct EPROCESS;
using PEPROCESS = EPROCESS*;
using PKPROCESS = EPROCESS*;

extern POBJECT_TYPE* PsProcessType;
extern POBJECT_TYPE* PsThreadType;

PEPROCESS PsGetCurrentProcess();
PEPROCESS IoGetCurrentProcess();
PETHREAD PsGetCurrentThread();
HANDLE PsGetCurrentProcessId();
HANDLE PsGetCurrentThreadId();
HANDLE PsGetProcessId(PEPROCESS Process);
// The mode of the code the current thread was called from: UserMode for a program's thread.
KPROCESSOR_MODE ExGetPreviousMode();

// The pseudo-handles of the current process and thread.
inline HANDLE NtCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)); }
inline HANDLE NtCurrentThread() { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2)); }

namespace plat {

class Process;

// A thread of a process as the object manager holds it: what a thread handle refers to.
struct ThreadObject {
  DISPATCHER_HEADER Header;  // signalled when the thread has ended
  Process* process;
  ULONG id;
  LONG priority;
  ULONG exitCode;
  PKTHREAD thread;  // the scheduler's thread once it has started
  bool running;     // started and neither ended nor stopped with its process
  // References a system service of the thread holds across a wait where the thread may be ended;
  // dropped for it when it stops there, as the service would unwind in the kernel.
  std::vector<PVOID> held;
};

// A mapping a driver made into a process's user address space.
struct UserMapping {
  PVOID userAddress;  // what the driver got (page base plus the MDL's byte offset)
  PVOID base;         // the page-aligned start of the mapping
  size_t length;      // whole pages
  PMDL mdl;
};

class Process {
 public:
  // The object's body starts here: waits see the header.
  DISPATCHER_HEADER Header;  // signalled when the process has ended

  ULONG Id() const { return id_; }
  const std::string& ImageName() const { return image_; }
  // The command line it was started with, the program's name first (GetCommandLine).
  const std::string& CommandLine() const { return commandLine_; }
  bool Is32Bit() const { return bits_ == 32; }
  unsigned Bits() const { return bits_; }
  bool IsSystem() const { return system_; }

  HandleTable& Handles() { return handles_; }

  // The user address space: mappings drivers made into it.
  std::vector<UserMapping>& Mappings() { return mappings_; }

  // Its threads, in the order they were started (each referenced by the list).
  const std::vector<ThreadObject*>& Threads() const { return threads_; }

  // What its threads wrote with OutputDebugString, in order.
  std::string& DebugOutput() { return debugOutput_; }

  bool Ending() const { return ending_; }
  bool Ended() const { return Header.SignalState != 0; }
  ULONG ExitCode() const { return exitCode_; }
  // What went wrong at its end (a mapping left behind), reported by WaitProcess; empty when nothing.
  const std::string& Fault() const { return fault_; }

  Process(ULONG id, std::string image, std::string commandLine, unsigned bits, bool system);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

 private:
  friend struct ProcessAccess;

  ULONG id_;
  std::string image_;
  std::string commandLine_;
  unsigned bits_;
  bool system_;
  HandleTable handles_;
  std::vector<UserMapping> mappings_;
  std::vector<ThreadObject*> threads_;
  std::string debugOutput_;
  bool ending_ = false;
  ULONG exitCode_ = 0;
  std::string fault_;
};

Process* ProcessOf(PEPROCESS process);
PEPROCESS EprocessOf(Process* process);
Process* SystemProcess();
Process* CurrentProcess();
// The thread object of the current thread, or null for a thread outside the processes (the host,
// the kernel's workers).
ThreadObject* CurrentThreadObject();

// Starts a process running `entry` on its first thread, in user mode. Its value is the exit code
// when the entry returns. Its command line is its image name. The caller holds one reference
// (ReleaseProcess).
Process* StartProcess(std::string imageName, unsigned bits, std::function<ULONG()> entry);
// Starts the program image `imageName` ("X.exe") with `commandLine` (the program's name first, as
// CreateProcess takes it; empty gives the image name alone), as CreateProcess does: its first
// thread maps the image, whose static constructors run there, and calls its start routine, whose
// value is the exit code. Null, with the Win32 error in `error`, when there is no such image
// (ERROR_FILE_NOT_FOUND) or it is one of the other bitness (ERROR_BAD_EXE_FORMAT). The caller holds
// one reference (ReleaseProcess).
Process* StartProgram(const std::string& imageName, const std::string& commandLine, unsigned bits,
                      ULONG* error = nullptr);
// A new thread of the process, running `body` in user mode; the thread object comes referenced
// once for the caller (the handle CreateThread gives).
ThreadObject* StartThread(Process* process, std::string name, std::function<ULONG()> body);
// Ends a process from outside (a test, as a host that crashes): its end runs on a thread of its
// own. Nothing happens when it is ending already.
void KillProcess(Process* process, ULONG exitCode = 1);
// Ends the current thread's process from that thread; the thread stops for ever.
[[noreturn]] void ExitCurrentProcess(ULONG exitCode);
// From the host: runs the machine until the process has ended; a fault found at its end is a
// violation here.
void WaitProcess(Process* process);
void ReleaseProcess(Process* process);

// The window manager's hook: told on the thread that ends when a thread of a process returns from
// its body (`threadId`), and once when a process has ended, after its threads stopped and before
// its handles run down (`threadId` 0: every thread of the process). It runs no code of the program.
void SetUserEndHook(std::function<void(ULONG processId, ULONG threadId)> hook);

// The process as the loader knows it, whose images it keeps.
ProcessKey KeyOf(const Process* process);

}  // namespace plat
