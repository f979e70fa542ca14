#include "platform/win32/ComRegistration.h"

#include <initializer_list>
#include <utility>

#include "platform/com/include/objbase.h"
#include "platform/win32/include/windows.h"

namespace {

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

namespace plat::win32 {

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
