#include "platform/win32/Session.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <set>

#include "platform/win32/KernelBridge.h"
#include "platform/win32/MachineState.h"
#include "platform/win32/MachineState.h"
#include "platform/win32/include/windows.h"

namespace {

// The privileges a token knows, by their LUIDs' low parts.
constexpr struct {
  const char* name;
  DWORD luid;
} kPrivileges[] = {
    {"SeShutdownPrivilege", 19},
    {"SeDebugPrivilege", 20},
    {"SeIncreaseBasePriorityPrivilege", 14},
    {"SeLockMemoryPrivilege", 4},
};

struct SessionState {
  std::mutex lock;
  std::map<uint32_t, std::set<std::string>> enabled;  // by process id
  std::map<uint32_t, std::set<HANDLE>> tokens;        // token handles by process id
  std::vector<plat::win32::ExitWindowsRequest> exits;
};

SessionState& State() { return plat::win32::MachineState::Of<SessionState>(); }

const char* NameOf(const LUID& luid) {
  if (luid.HighPart != 0) return nullptr;
  for (const auto& p : kPrivileges)
    if (p.luid == luid.LowPart) return p.name;
  return nullptr;
}

}  // namespace

namespace plat::win32 {

std::vector<ExitWindowsRequest> ExitWindowsRequests() {
  std::lock_guard<std::mutex> hold(State().lock);
  return State().exits;
}

std::vector<std::string> EnabledPrivileges(uint32_t processId) {
  std::lock_guard<std::mutex> hold(State().lock);
  const auto& set = State().enabled[processId];
  return {set.begin(), set.end()};
}

bool PrivilegeEnabled(uint32_t processId, const std::string& name) {
  std::lock_guard<std::mutex> hold(State().lock);
  return State().enabled[processId].count(name) != 0;
}

void RecordExitWindows(const ExitWindowsRequest& request) {
  std::lock_guard<std::mutex> hold(State().lock);
  State().exits.push_back(request);
}

namespace {

// Calls by process, then by control code: a state of the machine.
struct IoControlCounts {
  std::map<uint32_t, std::map<uint32_t, uint64_t>> byProcess;
};

std::map<uint32_t, std::map<uint32_t, uint64_t>>& Counts() { return MachineState::Of<IoControlCounts>().byProcess; }

}  // namespace

namespace {

struct Directories {
  std::string windows = "C:\\Windows";
};

}  // namespace

std::string WindowsDirectory() { return MachineState::Of<Directories>().windows; }
void SetWindowsDirectory(const std::string& directory) { MachineState::Of<Directories>().windows = directory; }

std::map<uint32_t, uint64_t> DeviceIoControlCounts(uint32_t processId) {
  std::lock_guard<std::mutex> hold(State().lock);
  auto& counts = Counts();
  auto it = counts.find(processId);
  return it == counts.end() ? std::map<uint32_t, uint64_t>{} : it->second;
}

void CountDeviceIoControl(uint32_t processId, uint32_t code) {
  std::lock_guard<std::mutex> hold(State().lock);
  ++Counts()[processId][code];
}

void ClearSession() {
  std::lock_guard<std::mutex> hold(State().lock);
  State().enabled.clear();
  State().tokens.clear();
  State().exits.clear();
}

}  // namespace plat::win32

BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD, PHANDLE TokenHandle) {
  if (TokenHandle == nullptr || ProcessHandle != GetCurrentProcess()) {
    SetLastError(ProcessHandle != GetCurrentProcess() ? ERROR_ACCESS_DENIED : ERROR_NOACCESS);
    return FALSE;
  }
  // The token is a handle of the process's own table, closed with CloseHandle like any other.
  void* handle = nullptr;
  bool existed = false;
  plat::win32::Status status = plat::win32::NewEvent(true, false, u"", &handle, &existed);
  if (status < 0) {
    SetLastError(plat::win32::ErrorOf(status));
    return FALSE;
  }
  std::lock_guard<std::mutex> hold(State().lock);
  State().tokens[plat::win32::CurrentProcessId()].insert(handle);
  *TokenHandle = handle;
  return TRUE;
}

BOOL LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid) {
  if (lpName == nullptr || lpLuid == nullptr || (lpSystemName != nullptr && *lpSystemName != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  for (const auto& p : kPrivileges) {
    if (lstrcmpiA(p.name, lpName) != 0) continue;
    *lpLuid = LUID{p.luid, 0};
    return TRUE;
  }
  SetLastError(ERROR_NO_SUCH_PRIVILEGE);
  return FALSE;
}

BOOL AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges, PTOKEN_PRIVILEGES NewState, DWORD,
                           PTOKEN_PRIVILEGES, PDWORD) {
  std::lock_guard<std::mutex> hold(State().lock);
  uint32_t process = plat::win32::CurrentProcessId();
  if (State().tokens[process].count(TokenHandle) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto& enabled = State().enabled[process];
  if (DisableAllPrivileges) {
    enabled.clear();
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  if (NewState == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  bool all = true;
  for (DWORD i = 0; i < NewState->PrivilegeCount; ++i) {
    const LUID_AND_ATTRIBUTES& p = (&NewState->Privileges[0])[i];
    const char* name = NameOf(p.Luid);
    if (name == nullptr) {
      all = false;
      continue;
    }
    if (p.Attributes & SE_PRIVILEGE_ENABLED)
      enabled.insert(name);
    else
      enabled.erase(name);
  }
  // Success with ERROR_NOT_ALL_ASSIGNED when a privilege is not in the token, as Windows reports it.
  SetLastError(all ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
  return TRUE;
}

BOOL ExitWindowsEx(UINT uFlags, DWORD dwReason) {
  uint32_t process = plat::win32::CurrentProcessId();
  bool needsPrivilege = (uFlags & (EWX_SHUTDOWN | EWX_REBOOT | EWX_POWEROFF)) != 0;
  bool accepted = !needsPrivilege || plat::win32::PrivilegeEnabled(process, "SeShutdownPrivilege");
  plat::win32::RecordExitWindows({process, uFlags, dwReason, accepted});
  if (!accepted) {
    SetLastError(ERROR_PRIVILEGE_NOT_HELD);
    return FALSE;
  }
  return TRUE;
}
