#include <mutex>

#include "platform/win32/KernelBridge.h"
#include "platform/win32/Shell.h"
#include "platform/win32/include/shellapi.h"
#include "platform/win32/include/windows.h"

namespace {

struct ShellState {
  std::mutex lock;
  std::vector<plat::win32::ShellExecuteRequest> requests;
};

ShellState& State() {
  static ShellState state;
  return state;
}

std::string Text(LPCSTR s) { return s != nullptr ? std::string(s) : std::string(); }

}  // namespace

HINSTANCE ShellExecuteA(HWND hwnd, LPCSTR lpOperation, LPCSTR lpFile, LPCSTR lpParameters, LPCSTR lpDirectory,
                        INT nShowCmd) {
  if (lpFile == nullptr) return reinterpret_cast<HINSTANCE>(SE_ERR_FNF);
  plat::win32::ShellExecuteRequest request{plat::win32::CurrentProcessId(), hwnd, Text(lpOperation), lpFile,
                                           Text(lpParameters), Text(lpDirectory), lpDirectory != nullptr, nShowCmd};
  std::lock_guard<std::mutex> hold(State().lock);
  State().requests.push_back(std::move(request));
  return reinterpret_cast<HINSTANCE>(SE_ERR_LAST + 10);
}

namespace plat::win32 {

std::vector<ShellExecuteRequest> ShellExecuteRequests() {
  std::lock_guard<std::mutex> hold(State().lock);
  return State().requests;
}

void ClearShellExecuteRequests() {
  std::lock_guard<std::mutex> hold(State().lock);
  State().requests.clear();
}

}  // namespace plat::win32
