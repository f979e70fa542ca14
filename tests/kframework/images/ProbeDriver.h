// What the probe drivers (KfwAlpha.sys and KfwBeta.sys, two images of ProbeDriver.cpp) answer
// about the framework's state in their own image, and where they count their entries, unloads
// and static destructors.
#pragma once

#include <wdm.h>

#include <cstddef>

namespace probe {

inline const GUID kInterface = {0x6A1F0C27, 0x94B3, 0x4D5E, {0x81, 0x2C, 0x5E, 0x09, 0xB7, 0x43, 0xA6, 0x1D}};
constexpr ULONG kIoctlState = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Events are counted in REG_DWORD values under "<kEventsKey>\<driver name>"; a nonzero
// "FailEntry" there makes that driver's DriverEntry fail.
inline constexpr char16_t kEventsKey[] = u"\\Registry\\Machine\\Software\\QxProbeDrivers";

struct State {
  ULONG constructorsRun;  // static constructors run in this image copy
  ULONG derivedPoolTag;
  BOOLEAN dosDevicesPrefix;
  BOOLEAN instanceIsOwn;  // the framework's driver instance is the one of the device asked
  UCHAR reserved[2];
  WCHAR service[32];      // the last part of the driver instance's registry path
  ULONG processId;        // of the caller, as the driver sees it
  ULONG is32;             // IoIs32bitProcess of the request
  ULONG requestorMode;    // the request's, UserMode for a program
};
static_assert(sizeof(State) == 88 && offsetof(State, service) == 12 && offsetof(State, processId) == 76);

}  // namespace probe
