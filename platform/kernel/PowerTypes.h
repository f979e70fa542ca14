// Power states and the power IRP minor codes.
#pragma once

#include "KernelTypes.h"

enum SYSTEM_POWER_STATE {
  PowerSystemUnspecified = 0,
  PowerSystemWorking = 1,
  PowerSystemSleeping1 = 2,
  PowerSystemSleeping2 = 3,
  PowerSystemSleeping3 = 4,
  PowerSystemHibernate = 5,
  PowerSystemShutdown = 6,
  PowerSystemMaximum = 7,
};
using PSYSTEM_POWER_STATE = SYSTEM_POWER_STATE*;

enum DEVICE_POWER_STATE {
  PowerDeviceUnspecified = 0,
  PowerDeviceD0 = 1,
  PowerDeviceD1 = 2,
  PowerDeviceD2 = 3,
  PowerDeviceD3 = 4,
  PowerDeviceMaximum = 5,
};
using PDEVICE_POWER_STATE = DEVICE_POWER_STATE*;

union POWER_STATE {
  SYSTEM_POWER_STATE SystemState;
  DEVICE_POWER_STATE DeviceState;
};
using PPOWER_STATE = POWER_STATE*;
static_assert(sizeof(POWER_STATE) == 4);

enum POWER_STATE_TYPE { SystemPowerState = 0, DevicePowerState = 1 };

enum POWER_ACTION {
  PowerActionNone = 0,
  PowerActionReserved,
  PowerActionSleep,
  PowerActionHibernate,
  PowerActionShutdown,
  PowerActionShutdownReset,
  PowerActionShutdownOff,
  PowerActionWarmEject,
};

struct POWER_SEQUENCE {
  ULONG SequenceD1;
  ULONG SequenceD2;
  ULONG SequenceD3;
};
using PPOWER_SEQUENCE = POWER_SEQUENCE*;

constexpr UCHAR IRP_MN_WAIT_WAKE = 0x00;
constexpr UCHAR IRP_MN_POWER_SEQUENCE = 0x01;
constexpr UCHAR IRP_MN_SET_POWER = 0x02;
constexpr UCHAR IRP_MN_QUERY_POWER = 0x03;
