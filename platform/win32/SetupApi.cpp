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

}  // namespace

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
