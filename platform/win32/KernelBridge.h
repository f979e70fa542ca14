// What the user-mode stand-ins ask of the kernel stand-in: its system services, in plain C++ types
// so that neither side's Windows names meet the other's. Each call runs as a system service of the
// calling thread's process; results are NTSTATUS values.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace plat::win32 {

using Status = int32_t;

// Files
Status OpenFile(std::u16string_view path, uint32_t access, void** handle);
Status CloseHandle(void* handle);
Status DeviceControl(void* handle, uint32_t code, const void* input, uint32_t inputLength, void* output,
                     uint32_t outputLength, uint64_t* returned);

// Events, mutexes, waits; a name lives in the object namespace's named-objects directory.
Status NewEvent(bool manualReset, bool initialState, std::u16string_view name, void** handle, bool* existed);
Status SetEvent(void* handle, bool signalled);
Status NewMutex(bool owned, std::u16string_view name, void** handle, bool* existed);
Status ReleaseMutex(void* handle);
// timeoutMs < 0: no time-out. STATUS_WAIT_0 + i, STATUS_ABANDONED_WAIT_0 + i, STATUS_TIMEOUT or an error.
Status Wait(void* const* handles, uint32_t count, bool all, int64_t timeoutMs);
void Sleep(uint32_t ms);

// Threads and processes
Status CreateThread(std::function<uint32_t()> body, void** handle, uint32_t* id);
Status SetThreadPriority(void* handle, int priority);
Status GetThreadPriority(void* handle, int* priority);
uint32_t CurrentProcessId();
uint32_t CurrentThreadId();
[[noreturn]] void ExitProcess(uint32_t code);
void DebugOutput(std::string_view text);

// Images of the calling process (LoadLibrary, FreeLibrary, GetProcAddress, GetModuleHandle); the
// failures are Win32 error codes in `error`.
void* LoadImage(std::u16string_view name, uint32_t* error);
bool FreeImage(void* module, uint32_t* error);
void* ImageExport(void* module, const char* name, uint32_t* error);
void* FindImage(std::u16string_view name);
// The program image of the calling process; null for a process started from a host function.
void* ProgramImage();
// The file name of an image of the calling process ("X.exe"); empty for a handle of none.
std::u16string ImageFileName(void* module);
// What this one load of an image of the calling process is known by on the machine; 0 for none.
uint64_t ImageLoadId(void* module);
// The calling process's command line, for as long as the process lives.
const char* CommandLine();

// Virtual time since boot.
uint64_t NowMs();
// The machine running now, unique among the machines of this host process; 0 outside one.
uint64_t MachineSerial();

// The window manager's own wake-up objects: kernel events (auto-reset) outside every handle table,
// as the kernel keeps a thread's queue event.
void* NewSignal();
void RaiseSignal(void* signal);
// A wait made in user mode, where a killed thread stops; timeoutMs < 0: no time-out. STATUS_WAIT_0
// or STATUS_TIMEOUT.
Status WaitSignal(void* signal, int64_t timeoutMs);
void FreeSignal(void* signal);
// True on the host (a test or the main job), which drives the machine from outside.
bool OnHost();
// From the host: runs the machine until `done` holds or `limitMs` of virtual time have passed.
bool RunHostUntil(const std::function<bool()>& done, uint64_t limitMs);
// A system thread of the machine (in the System process), as Windows' own services run; at shutdown
// a wait of its own gives a failure status and the thread must then return.
void StartSystemThread(std::string name, std::function<void()> body);
// Plug and play tells the device broker of every device interface enabled (arrived) or disabled:
// its class (a GUID's 16 bytes) and its path as user mode names it ("\\?\..."). The call must not
// wait.
void WatchInterfaces(std::function<void(const void* classGuid, std::u16string path, bool arrived)> tap);
// The process model tells the window manager when a thread (threadId) or a whole process (threadId
// 0) has ended.
void OnUserEnd(std::function<void(uint32_t processId, uint32_t threadId)> hook);

// Registry: `root` is a key handle of the process or null for HKEY_LOCAL_MACHINE.
Status OpenKey(void* root, std::u16string_view path, uint32_t access, bool create, void** key, bool* created);
Status QueryValue(void* key, std::u16string_view name, uint32_t* type, std::string* data);
Status SetValue(void* key, std::u16string_view name, uint32_t type, const void* data, uint32_t size);
Status EnumerateKey(void* key, uint32_t index, std::u16string* name);

// Device interfaces of a class (a GUID's 16 bytes), as user mode names them ("\\?\..."): the
// enabled ones, or all registered when not `presentOnly`.
std::vector<std::u16string> DeviceInterfaces(const void* classGuid, bool presentOnly);

// The Win32 error code of an NTSTATUS, as the system's conversion gives it.
uint32_t ErrorOf(Status status);

}  // namespace plat::win32
