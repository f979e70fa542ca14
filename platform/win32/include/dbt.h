// Device broadcasts: the events WM_DEVICECHANGE carries in wParam and the records its lParam points
// at. Registration (RegisterDeviceNotificationA) is in <winuser.h>.
#pragma once

#include <cstddef>

#include "winuser.h"

constexpr WPARAM DBT_DEVNODES_CHANGED = 0x0007;
constexpr WPARAM DBT_QUERYCHANGECONFIG = 0x0017;
constexpr WPARAM DBT_CONFIGCHANGED = 0x0018;
constexpr WPARAM DBT_CONFIGCHANGECANCELED = 0x0019;
constexpr WPARAM DBT_DEVICEARRIVAL = 0x8000;
constexpr WPARAM DBT_DEVICEQUERYREMOVE = 0x8001;
constexpr WPARAM DBT_DEVICEQUERYREMOVEFAILED = 0x8002;
constexpr WPARAM DBT_DEVICEREMOVEPENDING = 0x8003;
constexpr WPARAM DBT_DEVICEREMOVECOMPLETE = 0x8004;
constexpr WPARAM DBT_DEVICETYPESPECIFIC = 0x8005;
constexpr WPARAM DBT_CUSTOMEVENT = 0x8006;
constexpr WPARAM DBT_USERDEFINED = 0xFFFF;
// The answer that refuses a query.
constexpr LRESULT BROADCAST_QUERY_DENY = 0x424D5144;

constexpr DWORD DBT_DEVTYP_OEM = 0x00000000;
constexpr DWORD DBT_DEVTYP_DEVNODE = 0x00000001;
constexpr DWORD DBT_DEVTYP_VOLUME = 0x00000002;
constexpr DWORD DBT_DEVTYP_PORT = 0x00000003;
constexpr DWORD DBT_DEVTYP_NET = 0x00000004;
constexpr DWORD DBT_DEVTYP_DEVICEINTERFACE = 0x00000005;
constexpr DWORD DBT_DEVTYP_HANDLE = 0x00000006;

// The header every broadcast record starts with.
struct DEV_BROADCAST_HDR {
  DWORD dbch_size;
  DWORD dbch_devicetype;
  DWORD dbch_reserved;
};
using PDEV_BROADCAST_HDR = DEV_BROADCAST_HDR*;
static_assert(sizeof(DEV_BROADCAST_HDR) == 12 && offsetof(DEV_BROADCAST_HDR, dbch_devicetype) == 4);

// A device interface: its class and, on arrival and removal, its path (NUL-terminated, running on
// past the record's one declared character). As a registration filter the path is unused.
struct DEV_BROADCAST_DEVICEINTERFACE_A {
  DWORD dbcc_size;
  DWORD dbcc_devicetype;
  DWORD dbcc_reserved;
  GUID dbcc_classguid;
  char dbcc_name[1];
};
using PDEV_BROADCAST_DEVICEINTERFACE_A = DEV_BROADCAST_DEVICEINTERFACE_A*;
using DEV_BROADCAST_DEVICEINTERFACE = DEV_BROADCAST_DEVICEINTERFACE_A;
using PDEV_BROADCAST_DEVICEINTERFACE = DEV_BROADCAST_DEVICEINTERFACE_A*;
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) == 32 &&
              offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_classguid) == 12 &&
              offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) == 28);
