#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/KernelBridge.h"
#include "platform/win32/Text.h"
#include "platform/win32/include/setupapi.h"
#include "platform/win32/include/windows.h"

namespace {

// A device information set: the class and the interface paths it found, in the kernel's order.
struct InterfaceSet {
  uint64_t magic;
  GUID guid;
  std::vector<std::string> paths;
};

constexpr uint64_t kSetMagic = 0x5345544445564953ull;

InterfaceSet* SetOf(HDEVINFO h) {
  auto* set = static_cast<InterfaceSet*>(h);
  return set != nullptr && h != INVALID_HANDLE_VALUE && set->magic == kSetMagic ? set : nullptr;
}

// The class GUID a device interface path names in its last "{...}".
bool ClassOfPath(const std::string& path, GUID* guid) {
  size_t open = path.rfind('{');
  if (open == std::string::npos || path.size() < open + 38 || path[open + 37] != '}') return false;
  std::string text = path.substr(open + 1, 36);
  unsigned b[16];
  unsigned long data1 = 0;
  unsigned data2 = 0, data3 = 0;
  if (std::sscanf(text.c_str(), "%8lx-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x", &data1, &data2, &data3, &b[0], &b[1], &b[2],
                  &b[3], &b[4], &b[5], &b[6], &b[7]) != 11)
    return false;
  guid->Data1 = static_cast<uint32_t>(data1);
  guid->Data2 = static_cast<uint16_t>(data2);
  guid->Data3 = static_cast<uint16_t>(data3);
  for (int i = 0; i < 8; ++i) guid->Data4[i] = static_cast<uint8_t>(b[i]);
  return true;
}

bool SamePath(const std::string& a, const std::string& b) { return lstrcmpiA(a.c_str(), b.c_str()) == 0; }

}  // namespace

HDEVINFO SetupDiCreateDeviceInfoList(const GUID* ClassGuid, HWND) {
  SetLastError(ERROR_SUCCESS);
  return new InterfaceSet{kSetMagic, ClassGuid != nullptr ? *ClassGuid : GUID{}, {}};
}

BOOL SetupDiOpenDeviceInterfaceA(HDEVINFO DeviceInfoSet, LPCSTR DevicePath, DWORD,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  InterfaceSet* set = SetOf(DeviceInfoSet);
  if (set == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (DevicePath == nullptr ||
      (DeviceInterfaceData != nullptr && DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  GUID guid{};
  std::string path = DevicePath;
  bool known = ClassOfPath(path, &guid);
  std::string found;
  if (known)
    for (const std::u16string& p : plat::win32::DeviceInterfaces(&guid, false))
      if (SamePath(plat::win32::Narrow(p), path)) found = plat::win32::Narrow(p);
  // A set of one class takes interfaces of that class only.
  GUID none{};
  bool classless = std::memcmp(&set->guid, &none, sizeof none) == 0;
  if (found.empty() || (!classless && std::memcmp(&set->guid, &guid, sizeof guid) != 0)) {
    SetLastError(ERROR_NO_SUCH_DEVICE_INTERFACE);
    return FALSE;
  }
  if (classless) set->guid = guid;
  size_t index = 0;
  while (index < set->paths.size() && !SamePath(set->paths[index], found)) ++index;
  if (index == set->paths.size()) set->paths.push_back(found);
  if (DeviceInterfaceData != nullptr) {
    bool present = false;
    for (const std::u16string& p : plat::win32::DeviceInterfaces(&guid, true)) present |= SamePath(plat::win32::Narrow(p), found);
    DeviceInterfaceData->InterfaceClassGuid = guid;
    DeviceInterfaceData->Flags = present ? SPINT_ACTIVE : 0;
    DeviceInterfaceData->Reserved = index + 1;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

HDEVINFO SetupDiGetClassDevsA(const GUID* ClassGuid, LPCSTR, HWND, DWORD Flags) {
  if (ClassGuid == nullptr || !(Flags & DIGCF_DEVICEINTERFACE) || (Flags & DIGCF_ALLCLASSES)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  auto* set = new InterfaceSet{kSetMagic, *ClassGuid, {}};
  for (const std::u16string& path : plat::win32::DeviceInterfaces(ClassGuid, (Flags & DIGCF_PRESENT) != 0))
    set->paths.push_back(plat::win32::Narrow(path));
  SetLastError(ERROR_SUCCESS);
  return set;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA, const GUID* InterfaceClassGuid,
                                 DWORD MemberIndex, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  InterfaceSet* set = SetOf(DeviceInfoSet);
  if (set == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (DeviceInterfaceData == nullptr || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
      InterfaceClassGuid == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (std::memcmp(InterfaceClassGuid, &set->guid, sizeof(GUID)) != 0 || MemberIndex >= set->paths.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  DeviceInterfaceData->InterfaceClassGuid = set->guid;
  DeviceInterfaceData->Flags = SPINT_ACTIVE;
  DeviceInterfaceData->Reserved = MemberIndex + 1;
  return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                      PSP_DEVINFO_DATA DeviceInfoData) {
  InterfaceSet* set = SetOf(DeviceInfoSet);
  if (set == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (DeviceInterfaceData == nullptr || DeviceInterfaceData->Reserved == 0 ||
      DeviceInterfaceData->Reserved > set->paths.size()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string& path = set->paths[DeviceInterfaceData->Reserved - 1];
  auto needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
  if (RequiredSize != nullptr) *RequiredSize = needed;
  if (DeviceInterfaceDetailData == nullptr || DeviceInterfaceDetailDataSize < needed) {
    SetLastError(DeviceInterfaceDetailData == nullptr && DeviceInterfaceDetailDataSize != 0 ? ERROR_INVALID_PARAMETER
                                                                                              : ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) ||
      (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  std::memcpy(DeviceInterfaceDetailData->DevicePath, path.c_str(), path.size() + 1);
  if (DeviceInfoData != nullptr) {
    DeviceInfoData->ClassGuid = set->guid;
    DeviceInfoData->DevInst = static_cast<DWORD>(DeviceInterfaceData->Reserved);
  }
  return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  InterfaceSet* set = SetOf(DeviceInfoSet);
  if (set == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  set->magic = 0;
  delete set;
  return TRUE;
}
