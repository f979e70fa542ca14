#include <algorithm>
#include <cstring>
#include <string>

#include "platform/kernel/ThreadState.h"
#include "platform/win32/KernelBridge.h"
#include "platform/win32/Session.h"
#include "platform/win32/Text.h"
#include "platform/win32/include/windows.h"
#include "platform/kernel/WideText.h"

namespace bridge = plat::win32;

namespace {

// A program's last error is its thread's own.
DWORD& LastError() { return plat::CurrentThreadState().lastError; }

constexpr bridge::Status kWait0 = 0x00000000;
constexpr bridge::Status kAbandoned0 = 0x00000080;
constexpr bridge::Status kTimeout = 0x00000102;

bool Succeeded(bridge::Status status) { return status >= 0; }

// A call that failed with `status`: its error, and the value the call gives for failure.
template <typename T>
T Fail(bridge::Status status, T value) {
  LastError() = bridge::ErrorOf(status);
  return value;
}

// "\\.\X" and "\\?\X" are the object namespace's "\??\X"; anything else is no device.
bool DevicePath(std::u16string_view path, std::u16string* nt) {
  if (path.size() > 4 && path[0] == u'\\' && path[1] == u'\\' && (path[2] == u'.' || path[2] == u'?') && path[3] == u'\\') {
    *nt = u"\\??\\" + std::u16string(path.substr(4));
    return true;
  }
  return false;
}

std::u16string WideName(LPCWSTR name) {
  std::u16string s;
  if (name != nullptr)
    while (*name != 0) s += *name++;
  return s;
}

HANDLE CreateEventCommon(BOOL manual, BOOL initial, const std::u16string& name) {
  HANDLE handle = nullptr;
  bool existed = false;
  bridge::Status status = bridge::NewEvent(manual != FALSE, initial != FALSE, name, &handle, &existed);
  if (!Succeeded(status)) return Fail<HANDLE>(status, nullptr);
  LastError() = existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
  return handle;
}

bool Pseudo(HANDLE h) { return h == GetCurrentProcess() || h == GetCurrentThread(); }

}  // namespace

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  std::u16string nt;
  if (lpFileName == nullptr || !DevicePath(WideName(lpFileName), &nt)) {
    LastError() = ERROR_PATH_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = nullptr;
  bridge::Status status = bridge::OpenFile(nt, dwDesiredAccess, &handle);
  if (!Succeeded(status)) return Fail(status, INVALID_HANDLE_VALUE);
  LastError() = ERROR_SUCCESS;
  return handle;
}

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  if (lpFileName == nullptr) {
    LastError() = ERROR_PATH_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
  }
  plat::WideString wide(bridge::Widen(lpFileName));
  return CreateFileW(wide.c_str(), dwDesiredAccess, dwShareMode, lpSecurityAttributes, dwCreationDisposition,
                     dwFlagsAndAttributes, hTemplateFile);
}

BOOL CloseHandle(HANDLE hObject) {
  if (Pseudo(hObject)) return TRUE;
  bridge::Status status = bridge::CloseHandle(hObject);
  return Succeeded(status) ? TRUE : Fail(status, FALSE);
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
                     DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
  plat::win32::CountDeviceIoControl(bridge::CurrentProcessId(), dwIoControlCode);
  if (lpOverlapped != nullptr || lpBytesReturned == nullptr) {
    LastError() = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  uint64_t returned = 0;
  bridge::Status status =
      bridge::DeviceControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize, &returned);
  *lpBytesReturned = static_cast<DWORD>(returned);
  return Succeeded(status) ? TRUE : Fail(status, FALSE);
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
  return CreateEventCommon(bManualReset, bInitialState, lpName != nullptr ? bridge::Widen(lpName) : std::u16string());
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
  return CreateEventCommon(bManualReset, bInitialState, WideName(lpName));
}

BOOL SetEvent(HANDLE hEvent) {
  bridge::Status status = bridge::SetEvent(hEvent, true);
  return Succeeded(status) ? TRUE : Fail(status, FALSE);
}

BOOL ResetEvent(HANDLE hEvent) {
  bridge::Status status = bridge::SetEvent(hEvent, false);
  return Succeeded(status) ? TRUE : Fail(status, FALSE);
}

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCSTR lpName) {
  HANDLE handle = nullptr;
  bool existed = false;
  bridge::Status status = bridge::NewMutex(bInitialOwner != FALSE, lpName != nullptr ? bridge::Widen(lpName) : u"",
                                              &handle, &existed);
  if (!Succeeded(status)) return Fail<HANDLE>(status, nullptr);
  LastError() = existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
  return handle;
}

BOOL ReleaseMutex(HANDLE hMutex) {
  bridge::Status status = bridge::ReleaseMutex(hMutex);
  return Succeeded(status) ? TRUE : Fail(status, FALSE);
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
  if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
    LastError() = ERROR_INVALID_PARAMETER;
    return WAIT_FAILED;
  }
  bridge::Status status = bridge::Wait(lpHandles, nCount, bWaitAll != FALSE,
                                       dwMilliseconds == INFINITE ? -1 : static_cast<int64_t>(dwMilliseconds));
  if (status == kTimeout) return WAIT_TIMEOUT;
  if (status >= kWait0 && status < kWait0 + static_cast<bridge::Status>(nCount)) return static_cast<DWORD>(status);
  if (status >= kAbandoned0 && status < kAbandoned0 + static_cast<bridge::Status>(nCount)) return static_cast<DWORD>(status);
  return Fail(status, WAIT_FAILED);
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

void Sleep(DWORD dwMilliseconds) { bridge::Sleep(dwMilliseconds); }

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId) {
  if (lpStartAddress == nullptr || (dwCreationFlags & CREATE_SUSPENDED)) {
    LastError() = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  HANDLE handle = nullptr;
  uint32_t id = 0;
  bridge::Status status = bridge::CreateThread([lpStartAddress, lpParameter] { return lpStartAddress(lpParameter); },
                                               &handle, &id);
  if (!Succeeded(status)) return Fail<HANDLE>(status, nullptr);
  if (lpThreadId != nullptr) *lpThreadId = id;
  return handle;
}

BOOL SetThreadPriority(HANDLE hThread, int nPriority) {
  bridge::Status status = bridge::SetThreadPriority(hThread, nPriority);
  return Succeeded(status) ? TRUE : Fail(status, FALSE);
}

int GetThreadPriority(HANDLE hThread) {
  int priority = 0;
  bridge::Status status = bridge::GetThreadPriority(hThread, &priority);
  return Succeeded(status) ? priority : Fail(status, THREAD_PRIORITY_ERROR_RETURN);
}

HANDLE GetCurrentThread() { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2)); }
HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)); }
DWORD GetCurrentThreadId() { return bridge::CurrentThreadId(); }
DWORD GetCurrentProcessId() { return bridge::CurrentProcessId(); }

// No process here changes its class.
DWORD GetPriorityClass(HANDLE) { return NORMAL_PRIORITY_CLASS; }

void ExitProcess(UINT uExitCode) { bridge::ExitProcess(uExitCode); }

DWORD GetLastError() { return LastError(); }
void SetLastError(DWORD dwErrCode) { LastError() = dwErrCode; }

// The tick count moves with the clock interrupt, every 15.625 ms; timeGetTime by the millisecond.
DWORD GetTickCount() { return static_cast<DWORD>(bridge::NowMs() * 8 / 125 * 125 / 8); }
DWORD timeGetTime() { return static_cast<DWORD>(bridge::NowMs()); }

void OutputDebugStringA(LPCSTR lpOutputString) {
  if (lpOutputString != nullptr) bridge::DebugOutput(lpOutputString);
}

int lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2) {
  auto fold = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 'a' + 'A') : static_cast<unsigned char>(c); };
  const char* a = lpString1 != nullptr ? lpString1 : "";
  const char* b = lpString2 != nullptr ? lpString2 : "";
  for (;; ++a, ++b) {
    unsigned char x = fold(*a), y = fold(*b);
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;
  }
}

BOOL GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
  if (lpVersionInformation == nullptr || lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
    LastError() = ERROR_INSUFFICIENT_BUFFER;
    return FALSE;
  }
  // What a program without a compatibility manifest is told on every later version.
  lpVersionInformation->dwMajorVersion = 6;
  lpVersionInformation->dwMinorVersion = 2;
  lpVersionInformation->dwBuildNumber = 9200;
  lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
  lpVersionInformation->szCSDVersion[0] = 0;
  return TRUE;
}

BOOL DisableThreadLibraryCalls(HMODULE) { return TRUE; }

namespace {
HMODULE LoadImageNamed(std::u16string_view name) {
  uint32_t error = 0;
  void* module = bridge::LoadImage(name, &error);
  if (module == nullptr) SetLastError(error);
  return static_cast<HMODULE>(module);
}
}  // namespace

HMODULE LoadLibraryA(LPCSTR lpLibFileName) {
  if (lpLibFileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return LoadImageNamed(bridge::Widen(lpLibFileName));
}

HMODULE LoadLibraryW(LPCWSTR lpLibFileName) {
  if (lpLibFileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return LoadImageNamed(plat::U16(lpLibFileName));
}

BOOL FreeLibrary(HMODULE hLibModule) {
  uint32_t error = 0;
  if (bridge::FreeImage(hLibModule, &error)) return TRUE;
  SetLastError(error);
  return FALSE;
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  uint32_t error = 0;
  void* routine = lpProcName != nullptr ? bridge::ImageExport(hModule, lpProcName, &error) : nullptr;
  if (routine == nullptr) SetLastError(lpProcName != nullptr ? error : ERROR_INVALID_PARAMETER);
  return reinterpret_cast<FARPROC>(routine);
}

HMODULE GetModuleHandleA(LPCSTR lpModuleName) {
  void* module = lpModuleName != nullptr ? bridge::FindImage(bridge::Widen(lpModuleName)) : bridge::ProgramImage();
  if (module == nullptr) SetLastError(ERROR_MOD_NOT_FOUND);
  return static_cast<HMODULE>(module);
}

HMODULE GetModuleHandleW(LPCWSTR lpModuleName) {
  void* module = lpModuleName != nullptr ? bridge::FindImage(plat::U16(lpModuleName)) : bridge::ProgramImage();
  if (module == nullptr) SetLastError(ERROR_MOD_NOT_FOUND);
  return static_cast<HMODULE>(module);
}

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  void* module = hModule != nullptr ? static_cast<void*>(hModule) : bridge::ProgramImage();
  std::u16string name = module != nullptr ? bridge::ImageFileName(module) : std::u16string();
  if (name.empty()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  // Programs live in the system directory, however long the Windows directory's name.
  std::string path = plat::win32::WindowsDirectory() + "\\system32\\" + bridge::Narrow(name);
  if (lpFilename == nullptr || nSize == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() >= nSize) {
    std::memcpy(lpFilename, path.data(), nSize - 1);
    lpFilename[nSize - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
  }
  std::memcpy(lpFilename, path.c_str(), path.size() + 1);
  return static_cast<DWORD>(path.size());
}

LPSTR GetCommandLineA() { return const_cast<LPSTR>(bridge::CommandLine()); }

namespace {

// Copies a directory out as the calls do: its length without the NUL when it fits, else the size
// the buffer needs (with the NUL).
UINT CopyDirectory(const std::string& directory, LPSTR lpBuffer, UINT uSize) {
  auto length = static_cast<UINT>(directory.size());
  if (lpBuffer == nullptr || uSize <= length) return length + 1;
  std::memcpy(lpBuffer, directory.c_str(), length + 1);
  return length;
}

}  // namespace

UINT GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) {
  return CopyDirectory(plat::win32::WindowsDirectory(), lpBuffer, uSize);
}

UINT GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
  return CopyDirectory(plat::win32::WindowsDirectory() + "\\system32", lpBuffer, uSize);
}
