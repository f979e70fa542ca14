#include <mutex>

#include "platform/com/include/objbase.h"
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

bool SetString(HKEY key, const char* name, const std::string& value) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>(value.size() + 1)) == static_cast<LSTATUS>(ERROR_SUCCESS);
}

// Creates HKLM\`path` and sets its string values, a null name being the default value.
bool WriteKey(const std::string& path, std::initializer_list<std::pair<const char*, std::string>> values) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                      &key, nullptr) != static_cast<LSTATUS>(ERROR_SUCCESS))
    return false;
  bool ok = true;
  for (const auto& [name, value] : values) ok = SetString(key, name, value) && ok;
  RegCloseKey(key);
  return ok;
}

std::string ClsidText(const void* clsid) {
  WCHAR wide[40];
  if (StringFromGUID2(*static_cast<const GUID*>(clsid), wide, 40) == 0) return {};
  std::string text;
  for (int i = 0; wide[i] != 0; ++i) text += static_cast<char>(wide[i]);
  return text;
}

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

bool RegisterInprocServer(const void* clsid, const std::string& name, const std::string& dllPath,
                          const std::string& threadingModel) {
  const std::string id = ClsidText(clsid);
  const std::string key = "SOFTWARE\\Classes\\CLSID\\" + id;
  return !id.empty() && WriteKey(key, {{nullptr, name}}) &&
         WriteKey(key + "\\InprocServer32", {{nullptr, dllPath}, {"ThreadingModel", threadingModel}});
}

bool RegisterAsioDriver(const std::string& driverName, const void* clsid, const std::string& description) {
  const std::string id = ClsidText(clsid);
  return !id.empty() && WriteKey("SOFTWARE\\ASIO\\" + driverName, {{"CLSID", id}, {"Description", description}});
}

}  // namespace plat::win32
