// The loader: driver images into the machine's kernel, once per machine, and user images (DLLs
// and programs) into processes, once per process that loads them. An image is a shared object
// named by its Windows name ("qx5310.sys", "Qx5310A24x64.dll"), found beside the running
// program and matched case-insensitively. Every load maps a private copy of the file, so each
// has globals of its own: two processes that load one DLL never share its state, and a driver
// loaded again after its unload starts from fresh ones. An image carries its machine, i386 or
// AMD64 (cmake/QxTargets.cmake stamps it), and is refused where the other one is wanted.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Irp.h"

namespace plat {

// Kernel side, for the PnP manager and the service control.

// Loads the driver image `imageName` as the service `serviceName`: maps it and calls its
// DriverEntry with the driver object "\Driver\<serviceName>" and the service key's registry path
// (IoLoadDriver). Null, with the status, when the image is missing (STATUS_OBJECT_NAME_NOT_FOUND),
// is not a 64-bit image with a DriverEntry (STATUS_INVALID_IMAGE_FORMAT) or is loaded already
// (STATUS_IMAGE_ALREADY_LOADED), or with the entry's status when DriverEntry fails, the image
// unmapped again. At PASSIVE_LEVEL.
PDRIVER_OBJECT LdrLoadDriver(std::u16string_view serviceName, std::u16string_view imageName, NTSTATUS* status);
// Unloads a driver: its DriverUnload (IoUnloadDriver), then its image goes. A driver without an
// unload routine stays loaded, and the result is false, as on Windows. A driver that was loaded
// from an entry routine rather than an image is unloaded the same way.
bool LdrUnloadDriver(PDRIVER_OBJECT driver);
// The images of the drivers loaded now, in load order.
std::vector<std::u16string> LdrLoadedDrivers();
// The image a loaded driver came from; empty for one loaded from an entry routine.
std::u16string LdrDriverImage(PDRIVER_OBJECT driver);
// The file `name` beside the running program, where images are found, matched as Windows matches
// names (what an installer reads from beside a driver's image); empty when there is none.
std::string LdrFileBesideImages(std::u16string_view name);

// User side, for the process object and kernel32.

// A process as the loader knows it: an id unique among the machine's processes, which the
// process object supplies, and the process's bitness, 32 or 64.
struct ProcessKey {
  uint64_t id;
  ULONG bits;
};

// The Win32 errors the loader reports, which kernel32 hands to SetLastError.
constexpr ULONG kLdrErrorInvalidHandle = 6;     // ERROR_INVALID_HANDLE
constexpr ULONG kLdrErrorModNotFound = 126;     // ERROR_MOD_NOT_FOUND
constexpr ULONG kLdrErrorProcNotFound = 127;    // ERROR_PROC_NOT_FOUND
constexpr ULONG kLdrErrorBadExeFormat = 193;    // ERROR_BAD_EXE_FORMAT
constexpr ULONG kLdrErrorDllInitFailed = 1114;  // ERROR_DLL_INIT_FAILED

// The reasons a DLL's load-time entry is called with: its export DllMain(instance, reason,
// reserved), when it has one. No other export (an ASIO DLL's DllEntryPoint) is called by the loader.
constexpr ULONG kDllProcessDetach = 0;
constexpr ULONG kDllProcessAttach = 1;

// LoadLibrary: the image `name` (".dll" added when it has no extension) in `process`, on the
// calling thread. The first load in a process maps a copy of its own and calls DllMain with
// process attach; FALSE from it detaches and unmaps the image again and fails with
// ERROR_DLL_INIT_FAILED. A later load in the same process counts a reference. An image of the
// other bitness fails with ERROR_BAD_EXE_FORMAT, a missing one with ERROR_MOD_NOT_FOUND. The
// handle is the image's base address, as an HMODULE is; null on failure, with `error` set.
void* LdrLoadImage(const ProcessKey& process, std::u16string_view name, ULONG* error);
// FreeLibrary: drops one reference; the last calls DllMain with process detach (reserved null) and
// unmaps the image. False, ERROR_INVALID_HANDLE, for a handle of no image loaded in `process`.
bool LdrFreeImage(const ProcessKey& process, void* module, ULONG* error);
// GetProcAddress: an export of the image itself (not a routine it imports); null, with
// ERROR_PROC_NOT_FOUND or ERROR_INVALID_HANDLE, when there is none.
void* LdrGetProcAddress(const ProcessKey& process, void* module, const char* name, ULONG* error);
// GetModuleHandle: the handle of the image `name` loaded in `process`, or null.
void* LdrFindImage(const ProcessKey& process, std::u16string_view name);
// The images loaded in `process`, in load order.
std::vector<std::u16string> LdrLoadedImages(const ProcessKey& process);

// Programs. The program image of a process is mapped first, by its first thread, and stays until the
// process ends: FreeLibrary leaves it in place. Its entry is the C runtime's start routine, its one
// export besides its resources.
constexpr const char* kProgramEntry = "WinMainCRTStartup";
constexpr ULONG kLdrErrorFileNotFound = 2;  // ERROR_FILE_NOT_FOUND
// Whether `name` can start a process of `bits`, as CreateProcess checks it before any process
// exists: 0, ERROR_FILE_NOT_FOUND when there is no such image, ERROR_BAD_EXE_FORMAT when it is one
// of the other machine.
ULONG LdrCheckProgram(std::u16string_view name, ULONG bits);
// Maps the program `name` into `process`, which has none yet; its start routine, or null with
// `error` set as LdrCheckProgram sets it.
void* LdrLoadProgram(const ProcessKey& process, std::u16string_view name, ULONG* error);
// The handle of the process's program image; null for a process started from a host function.
void* LdrProgramImage(const ProcessKey& process);
// The file name of an image loaded in `process` ("QX5310Panel.exe"), empty for a handle of none.
std::u16string LdrImageName(const ProcessKey& process, void* module);
// A number for this one load of an image, unique on the machine: what is kept of an image (its
// compiled resources) is kept by it, so that a later load at the same address never sees it. 0 for
// a handle of no image loaded in `process`.
uint64_t LdrImageLoadId(const ProcessKey& process, void* module);

// The end of a process: every image it still has goes, newest first. A process that exits calls
// each DllMain with process detach (reserved non-null); one that is terminated runs no code of
// its images, as on Windows.
enum class ProcessEnd { Exit, Terminate };
void LdrEndProcess(const ProcessKey& process, ProcessEnd how);

}  // namespace plat
