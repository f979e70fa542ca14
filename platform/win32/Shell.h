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

}  // namespace plat::win32
