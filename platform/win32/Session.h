// What programs asked of the session: the privileges each process enabled in its token, and the
// ExitWindowsEx calls, which are recorded and never carried out. Each machine starts with none.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace plat::win32 {

struct ExitWindowsRequest {
  uint32_t processId;
  uint32_t flags;
  uint32_t reason;
  bool accepted;  // the caller held the shutdown privilege where the flags need it
};

std::vector<ExitWindowsRequest> ExitWindowsRequests();
// The privileges a process has enabled, by name.
std::vector<std::string> EnabledPrivileges(uint32_t processId);
bool PrivilegeEnabled(uint32_t processId, const std::string& name);
void RecordExitWindows(const ExitWindowsRequest& request);

// How many DeviceIoControl calls each process of the machine made, by control code (whatever
// their outcome): the cheap way to see that a program polls.
std::map<uint32_t, uint64_t> DeviceIoControlCounts(uint32_t processId);
void CountDeviceIoControl(uint32_t processId, uint32_t code);
// The machine's Windows directory ("C:\Windows" unless a test set another, long ones included).
std::string WindowsDirectory();
void SetWindowsDirectory(const std::string& directory);

// Forgets everything recorded (a new machine).
void ClearSession();

}  // namespace plat::win32
