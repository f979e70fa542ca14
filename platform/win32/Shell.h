// What programs asked the shell to open: ShellExecute calls are recorded, never carried out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace plat::win32 {

struct ShellExecuteRequest {
  uint32_t processId;
  void* window;
  std::string verb;  // empty for a null verb
  std::string file;
  std::string parameters;
  std::string directory;
  bool hasDirectory;
  int show;
};

std::vector<ShellExecuteRequest> ShellExecuteRequests();
void ClearShellExecuteRequests();

// The registration by which COM finds an in-process server: under
// HKLM\SOFTWARE\Classes\CLSID\{clsid}, the default value `name` and InprocServer32 with the DLL's
// path and its threading model. What an installer writes; the server does not register itself.
bool RegisterInprocServer(const void* clsid, const std::string& name, const std::string& dllPath,
                          const std::string& threadingModel);
// An ASIO driver as ASIO hosts list them: HKLM\SOFTWARE\ASIO\<driverName> with "CLSID" (the
// class id's text) and "Description".
bool RegisterAsioDriver(const std::string& driverName, const void* clsid, const std::string& description);

}  // namespace plat::win32
