// The SetupAPI calls that find the present interfaces of a device interface class.
#pragma once

#include "wintypes.h"

using HDEVINFO = void*;
using HWND = struct HWND__*;

constexpr DWORD DIGCF_DEFAULT = 0x00000001;
constexpr DWORD DIGCF_PRESENT = 0x00000002;
constexpr DWORD DIGCF_ALLCLASSES = 0x00000004;
constexpr DWORD DIGCF_PROFILE = 0x00000008;
constexpr DWORD DIGCF_DEVICEINTERFACE = 0x00000010;

struct SP_DEVINFO_DATA {
  DWORD cbSize;
  GUID ClassGuid;
  DWORD DevInst;
  ULONG_PTR Reserved;
};
using PSP_DEVINFO_DATA = SP_DEVINFO_DATA*;
static_assert(sizeof(SP_DEVINFO_DATA) == 32);

struct SP_DEVICE_INTERFACE_DATA {
  DWORD cbSize;
  GUID InterfaceClassGuid;
  DWORD Flags;
  ULONG_PTR Reserved;
};
using PSP_DEVICE_INTERFACE_DATA = SP_DEVICE_INTERFACE_DATA*;
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32 && offsetof(SP_DEVICE_INTERFACE_DATA, Flags) == 20);

constexpr DWORD SPINT_ACTIVE = 0x00000001;

struct SP_DEVICE_INTERFACE_DETAIL_DATA_A {
  DWORD cbSize;  // the size of the fixed part: 8
  CHAR DevicePath[1];
};
using PSP_DEVICE_INTERFACE_DETAIL_DATA_A = SP_DEVICE_INTERFACE_DETAIL_DATA_A*;
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8 && offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) == 4);

// Only DIGCF_DEVICEINTERFACE sets of one class, with or without DIGCF_PRESENT, are kept.
HDEVINFO SetupDiGetClassDevsA(const GUID* ClassGuid, LPCSTR Enumerator, HWND hwndParent, DWORD Flags);
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, const GUID* InterfaceClassGuid,
                                 DWORD MemberIndex, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                      PSP_DEVINFO_DATA DeviceInfoData);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);
// An empty set; SetupDiOpenDeviceInterfaceA adds an interface by its path (in any letter case), after
// which the detail query works on it as on a found one.
HDEVINFO SetupDiCreateDeviceInfoList(const GUID* ClassGuid, HWND hwndParent);
constexpr DWORD ERROR_NO_SUCH_DEVICE_INTERFACE = 0xE000020B;
BOOL SetupDiOpenDeviceInterfaceA(HDEVINFO DeviceInfoSet, LPCSTR DevicePath, DWORD OpenFlags,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
