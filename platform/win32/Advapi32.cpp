#include <cstring>
#include <string>

#include "platform/win32/KernelBridge.h"
#include "platform/win32/Text.h"
#include "platform/win32/include/windows.h"

namespace bridge = plat::win32;

namespace {

constexpr ULONG_PTR kPredefinedFirst = 0x80000000;
constexpr ULONG_PTR kPredefinedLast = 0x80000006;

// The key a handle names: HKEY_LOCAL_MACHINE is the machine's root (null); HKEY_CLASSES_ROOT is
// opened as a view of its classes; the other predefined keys are not on this machine.
bool Root(HKEY h, void** root) {
  auto value = reinterpret_cast<ULONG_PTR>(h);
  if (h == HKEY_LOCAL_MACHINE) {
    *root = nullptr;
    return true;
  }
  *root = h;
  return value < kPredefinedFirst || value > kPredefinedLast;
}

bool IsString(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

LSTATUS Open(HKEY hKey, LPCSTR lpSubKey, REGSAM sam, bool create, PHKEY phkResult, LPDWORD disposition) {
  void* root = nullptr;
  if (phkResult == nullptr) return static_cast<LSTATUS>(ERROR_INVALID_PARAMETER);
  std::u16string path = lpSubKey != nullptr ? bridge::Widen(lpSubKey) : std::u16string();
  // HKEY_CLASSES_ROOT is the machine's classes, where registration writes them.
  if (hKey == HKEY_CLASSES_ROOT) {
    hKey = HKEY_LOCAL_MACHINE;
    path = path.empty() ? std::u16string(u"SOFTWARE\\Classes") : u"SOFTWARE\\Classes\\" + path;
  }
  if (!Root(hKey, &root)) return static_cast<LSTATUS>(ERROR_INVALID_HANDLE);
  void* key = nullptr;
  bool created = false;
  bridge::Status status = bridge::OpenKey(root, path, sam, create, &key, &created);
  if (status < 0) return static_cast<LSTATUS>(bridge::ErrorOf(status));
  *phkResult = static_cast<HKEY>(key);
  if (disposition != nullptr) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return static_cast<LSTATUS>(ERROR_SUCCESS);
}

}  // namespace

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
  return Open(hKey, lpSubKey, samDesired, false, phkResult, nullptr);
}

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM samDesired, LPSECURITY_ATTRIBUTES,
                        PHKEY phkResult, LPDWORD lpdwDisposition) {
  return Open(hKey, lpSubKey, samDesired, true, phkResult, lpdwDisposition);
}

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  void* key = nullptr;
  if (!Root(hKey, &key) || key == nullptr) return static_cast<LSTATUS>(ERROR_INVALID_HANDLE);
  if (lpData != nullptr && lpcbData == nullptr) return static_cast<LSTATUS>(ERROR_INVALID_PARAMETER);
  uint32_t type = 0;
  std::string data;
  bridge::Status status =
      bridge::QueryValue(key, lpValueName != nullptr ? bridge::Widen(lpValueName) : std::u16string(), &type, &data);
  if (status < 0) return static_cast<LSTATUS>(bridge::ErrorOf(status));
  // Strings are kept in UTF-16; the A call hands them over in the ANSI code page.
  if (IsString(type))
    data = bridge::Narrow(std::u16string(reinterpret_cast<const char16_t*>(data.data()), data.size() / 2));
  if (lpType != nullptr) *lpType = type;
  if (lpcbData == nullptr) return static_cast<LSTATUS>(ERROR_SUCCESS);
  auto needed = static_cast<DWORD>(data.size());
  DWORD room = *lpcbData;
  *lpcbData = needed;
  if (lpData == nullptr) return static_cast<LSTATUS>(ERROR_SUCCESS);
  if (room < needed) return static_cast<LSTATUS>(ERROR_MORE_DATA);
  std::memcpy(lpData, data.data(), needed);
  return static_cast<LSTATUS>(ERROR_SUCCESS);
}

LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) {
  void* key = nullptr;
  if (!Root(hKey, &key) || key == nullptr) return static_cast<LSTATUS>(ERROR_INVALID_HANDLE);
  if (lpData == nullptr && cbData != 0) return static_cast<LSTATUS>(ERROR_NOACCESS);
  std::u16string name = lpValueName != nullptr ? bridge::Widen(lpValueName) : std::u16string();
  bridge::Status status;
  if (IsString(dwType)) {
    std::u16string wide = bridge::Widen(std::string_view(reinterpret_cast<const char*>(lpData), cbData));
    status = bridge::SetValue(key, name, dwType, wide.data(), static_cast<uint32_t>(wide.size() * 2));
  } else {
    status = bridge::SetValue(key, name, dwType, lpData, cbData);
  }
  return static_cast<LSTATUS>(status < 0 ? bridge::ErrorOf(status) : ERROR_SUCCESS);
}

LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD, LPSTR, LPDWORD, PFILETIME) {
  void* key = nullptr;
  if (!Root(hKey, &key) || key == nullptr) return static_cast<LSTATUS>(ERROR_INVALID_HANDLE);
  if (lpName == nullptr || lpcchName == nullptr) return static_cast<LSTATUS>(ERROR_INVALID_PARAMETER);
  std::u16string name;
  bridge::Status status = bridge::EnumerateKey(key, dwIndex, &name);
  if (status < 0) return static_cast<LSTATUS>(bridge::ErrorOf(status));
  std::string narrow = bridge::Narrow(name);
  if (*lpcchName <= narrow.size()) return static_cast<LSTATUS>(ERROR_MORE_DATA);
  std::memcpy(lpName, narrow.c_str(), narrow.size() + 1);
  *lpcchName = static_cast<DWORD>(narrow.size());
  return static_cast<LSTATUS>(ERROR_SUCCESS);
}

LSTATUS RegCloseKey(HKEY hKey) {
  void* key = nullptr;
  if (!Root(hKey, &key)) return static_cast<LSTATUS>(ERROR_SUCCESS);
  if (key == nullptr) return static_cast<LSTATUS>(ERROR_SUCCESS);
  bridge::Status status = bridge::CloseHandle(key);
  return static_cast<LSTATUS>(status < 0 ? bridge::ErrorOf(status) : ERROR_SUCCESS);
}
