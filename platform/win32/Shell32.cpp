#include <mutex>
#include <optional>

#include "platform/win32/KernelBridge.h"
#include "platform/win32/MachineState.h"
#include "platform/win32/Shell.h"
#include "platform/win32/include/shellapi.h"
#include "platform/win32/include/windows.h"

namespace {

constexpr INT_PTR kShellExecuteStarted = SE_ERR_LAST + 10;
constexpr UINT kWinExecStarted = 33;

// What the shell recorded on this machine.
struct ShellState {
  std::mutex lock;
  std::vector<plat::win32::ShellExecuteRequest> requests;
  std::vector<plat::win32::WinExecRequest> execs;
  std::vector<plat::win32::MessageBeepRequest> beeps;
  std::optional<INT_PTR> nextShellExecute;
  std::optional<UINT> nextWinExec;
};

ShellState& State() { return plat::win32::MachineState::Of<ShellState>(); }

std::string Text(LPCSTR s) { return s != nullptr ? std::string(s) : std::string(); }

}  // namespace

HINSTANCE ShellExecuteA(HWND hwnd, LPCSTR lpOperation, LPCSTR lpFile, LPCSTR lpParameters, LPCSTR lpDirectory,
                        INT nShowCmd) {
  if (lpFile == nullptr) return reinterpret_cast<HINSTANCE>(SE_ERR_FNF);
  plat::win32::ShellExecuteRequest request{plat::win32::CurrentProcessId(), hwnd, Text(lpOperation), lpFile,
                                           Text(lpParameters), Text(lpDirectory), lpDirectory != nullptr, nShowCmd};
  std::lock_guard<std::mutex> hold(State().lock);
  State().requests.push_back(std::move(request));
  INT_PTR result = State().nextShellExecute.value_or(kShellExecuteStarted);
  State().nextShellExecute.reset();
  return reinterpret_cast<HINSTANCE>(result);
}

UINT WinExec(LPCSTR lpCmdLine, UINT uCmdShow) {
  std::lock_guard<std::mutex> hold(State().lock);
  State().execs.push_back({plat::win32::CurrentProcessId(), Text(lpCmdLine), uCmdShow});
  UINT result = State().nextWinExec.value_or(kWinExecStarted);
  State().nextWinExec.reset();
  return result;
}

namespace plat::win32 {

std::vector<ShellExecuteRequest> ShellExecuteRequests() {
  std::lock_guard<std::mutex> hold(State().lock);
  return State().requests;
}

std::vector<WinExecRequest> WinExecRequests() {
  std::lock_guard<std::mutex> hold(State().lock);
  return State().execs;
}

std::vector<MessageBeepRequest> MessageBeeps() {
  std::lock_guard<std::mutex> hold(State().lock);
  return State().beeps;
}

void ClearShellExecuteRequests() {
  std::lock_guard<std::mutex> hold(State().lock);
  State().requests.clear();
  State().execs.clear();
  State().beeps.clear();
}

void SetNextShellExecuteResult(intptr_t result) {
  std::lock_guard<std::mutex> hold(State().lock);
  State().nextShellExecute = result;
}

void SetNextWinExecResult(unsigned result) {
  std::lock_guard<std::mutex> hold(State().lock);
  State().nextWinExec = result;
}

void RecordMessageBeep(uint32_t processId, unsigned type) {
  std::lock_guard<std::mutex> hold(State().lock);
  State().beeps.push_back({processId, type});
}

}  // namespace plat::win32
