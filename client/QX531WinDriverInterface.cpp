#include "client/QX531WinDriverInterface.h"

#include <setupapi.h>
#include <winioctl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr DWORD kFunctionBase = 0x800;

constexpr DWORD ControlCode(uint32_t request) {
  return CTL_CODE(FILE_DEVICE_UNKNOWN, kFunctionBase + request, METHOD_BUFFERED, FILE_ANY_ACCESS);
}
static_assert(ControlCode(12) == 0x222030 && ControlCode(256) == 0x222400);

}  // namespace

QX531WinDriverInterface::QX531WinDriverInterface() { mMainHandle = kNoDevice; }

QX531WinDriverInterface::~QX531WinDriverInterface() { CloseAll(); }

int32_t QX531WinDriverInterface::ReservedOperation() { return kQX531Success; }
int32_t QX531WinDriverInterface::OpenDevices(int32_t) { return kQX531Success; }
bool QX531WinDriverInterface::IsMainOpen() { return mMainHandle != kNoDevice; }
int32_t QX531WinDriverInterface::IsUnitAlive(DeviceHandle) { return 1; }

int32_t QX531WinDriverInterface::CloseMain() {
  if (mPanelAttached == kPanelAttached) {
    uint32_t off = 0;
    uint32_t returned = 0;
    Ioctl(12, &off, sizeof off, 0, &returned);
  }
  if (mMainHandle != kNoDevice) CloseHandle(mMainHandle);
  mMainHandle = kNoDevice;
  return kQX531Success;
}

int32_t QX531WinDriverInterface::CloseHandleOf(DeviceHandle handle) {
  if (handle == kNoDevice) return kQX531Failure;
  if (handle == mMainHandle) return CloseMain();
  for (DeviceHandle& h : mKR6HandleList) {
    if (h != handle) continue;
    CloseHandle(h);
    h = kNoDevice;
    return kQX531Success;
  }
  return kQX531Failure;
}

int32_t QX531WinDriverInterface::Ioctl(uint32_t request, void* buffer, uint32_t inLength, uint32_t outLength,
                                       uint32_t* returned) {
  return IoctlOf(mMainHandle, request, buffer, inLength, outLength, returned);
}

int32_t QX531WinDriverInterface::IoctlOf(DeviceHandle handle, uint32_t request, void* buffer, uint32_t inLength,
                                         uint32_t outLength, uint32_t* returned) {
  *returned = 0;
  DWORD bytes = 0;
  BOOL ok = DeviceIoControl(handle, ControlCode(request), buffer, inLength, buffer, outLength, &bytes, nullptr);
  *returned = bytes;
  return ok ? kQX531Success : kQX531Failure;
}

void QX531WinDriverInterface::EnumerateDevices(const GUID& interfaceClass) {
  HDEVINFO set = SetupDiGetClassDevsA(&interfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return;
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &interfaceClass, index, &data)) break;
    DWORD needed = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &needed, nullptr);
    auto* detail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(std::malloc(needed));
    if (detail == nullptr) continue;
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, needed, nullptr, &info)) {
      std::free(detail);
      continue;
    }
    std::string path = detail->DevicePath;
    std::free(detail);
    OpenDevicePath(path);
  }
  SetupDiDestroyDeviceInfoList(set);
}

void QX531WinDriverInterface::OpenDevicePath(const std::string& path) {
  OutputDebugStringA("Before add\n");
  DumpHandleMap();
  for (const handleMapStruct& entry : mHandleMap)
    if (lstrcmpiA(entry.devname.c_str(), path.c_str()) == 0) return;
  HANDLE handle = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < kOpenAttempts && handle == INVALID_HANDLE_VALUE; ++attempt) {
    handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) Sleep(kOpenRetryMs);
  }
  if (handle == INVALID_HANDLE_VALUE) return;
  AddHandle(handle);
  // A unit that was not taken (a second main unit, a sixteenth expansion unit, an unreadable
  // one) is let go, so that a later enumeration or arrival tries it again.
  if (!Holds(handle)) {
    CloseHandle(handle);
    return;
  }
  mHandleMap.push_back({path, handle});
  if (handle == mMainHandle) SetPanelAttached(mAttachOnOpen);
  OutputDebugStringA("After add\n");
  DumpHandleMap();
  needUpdate = 1;
  devicePresent = 1;
}

void QX531WinDriverInterface::RemoveDevicePath(const std::string& path) {
  for (auto it = mHandleMap.begin(); it != mHandleMap.end(); ++it) {
    if (lstrcmpiA(it->devname.c_str(), path.c_str()) != 0) continue;
    CloseHandleOf(it->handle);
    mHandleMap.erase(it);
    ++mHandleEvents;
    devicePresent = mHandleMap.empty() ? 0 : 1;
    return;
  }
}

void QX531WinDriverInterface::DumpHandleMap() {
  char line[512];
  for (size_t i = 0; i < mHandleMap.size(); ++i) {
    std::snprintf(line, sizeof line, "mHandleMap[%d].devname = %s\n", static_cast<int>(i),
                  mHandleMap[i].devname.c_str());
    OutputDebugStringA(line);
  }
  for (uint32_t slot = 0; slot < kMaxExpansionUnits; ++slot) {
    std::snprintf(line, sizeof line, "mKR6HandleList[%d]= %lld\n", static_cast<int>(slot),
                  static_cast<long long>(reinterpret_cast<intptr_t>(mKR6HandleList[slot])));
    OutputDebugStringA(line);
  }
}

bool QX531WinDriverInterface::Holds(DeviceHandle handle) const {
  if (handle == mMainHandle) return true;
  for (DeviceHandle h : mKR6HandleList)
    if (h == handle) return true;
  return false;
}
