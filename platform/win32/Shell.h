// What programs asked the shell to open and start: ShellExecute and WinExec calls are recorded,
// never carried out, each answered with the result a test set for the next call (or the default of
// a successful start); and the beeps they asked for.
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

struct WinExecRequest {
  uint32_t processId;
  std::string commandLine;
  unsigned show;
};

struct MessageBeepRequest {
  uint32_t processId;
  unsigned type;
};

std::vector<ShellExecuteRequest> ShellExecuteRequests();
std::vector<WinExecRequest> WinExecRequests();
std::vector<MessageBeepRequest> MessageBeeps();
void ClearShellExecuteRequests();
// What the next call answers, once; then the defaults again (ShellExecuteA 42, WinExec 33).
void SetNextShellExecuteResult(intptr_t result);
void SetNextWinExecResult(unsigned result);
void RecordMessageBeep(uint32_t processId, unsigned type);

}  // namespace plat::win32
