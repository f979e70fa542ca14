// Plug-and-play records and the PnP IRP minor codes.
#pragma once

#include "PowerTypes.h"

struct DEVICE_OBJECT;

constexpr UCHAR IRP_MN_START_DEVICE = 0x00;
constexpr UCHAR IRP_MN_QUERY_REMOVE_DEVICE = 0x01;
constexpr UCHAR IRP_MN_REMOVE_DEVICE = 0x02;
constexpr UCHAR IRP_MN_CANCEL_REMOVE_DEVICE = 0x03;
constexpr UCHAR IRP_MN_STOP_DEVICE = 0x04;
constexpr UCHAR IRP_MN_QUERY_STOP_DEVICE = 0x05;
constexpr UCHAR IRP_MN_CANCEL_STOP_DEVICE = 0x06;
constexpr UCHAR IRP_MN_QUERY_DEVICE_RELATIONS = 0x07;
constexpr UCHAR IRP_MN_QUERY_INTERFACE = 0x08;
constexpr UCHAR IRP_MN_QUERY_CAPABILITIES = 0x09;
constexpr UCHAR IRP_MN_QUERY_RESOURCES = 0x0A;
constexpr UCHAR IRP_MN_QUERY_RESOURCE_REQUIREMENTS = 0x0B;
constexpr UCHAR IRP_MN_QUERY_DEVICE_TEXT = 0x0C;
constexpr UCHAR IRP_MN_FILTER_RESOURCE_REQUIREMENTS = 0x0D;
constexpr UCHAR IRP_MN_READ_CONFIG = 0x0F;
constexpr UCHAR IRP_MN_WRITE_CONFIG = 0x10;
constexpr UCHAR IRP_MN_EJECT = 0x11;
constexpr UCHAR IRP_MN_SET_LOCK = 0x12;
constexpr UCHAR IRP_MN_QUERY_ID = 0x13;
constexpr UCHAR IRP_MN_QUERY_PNP_DEVICE_STATE = 0x14;
constexpr UCHAR IRP_MN_QUERY_BUS_INFORMATION = 0x15;
constexpr UCHAR IRP_MN_DEVICE_USAGE_NOTIFICATION = 0x16;
constexpr UCHAR IRP_MN_SURPRISE_REMOVAL = 0x17;

enum DEVICE_RELATION_TYPE {
  BusRelations = 0,
  EjectionRelations,
  PowerRelations,
  RemovalRelations,
  TargetDeviceRelation,
  SingleBusRelations,
  TransportRelations,
};

// The driver allocates it from paged pool and references every object; the PnP manager frees
// the record and drops the references.
struct DEVICE_RELATIONS {
  ULONG Count;
  DEVICE_OBJECT* Objects[1];
};
using PDEVICE_RELATIONS = DEVICE_RELATIONS*;

enum BUS_QUERY_ID_TYPE {
  BusQueryDeviceID = 0,
  BusQueryHardwareIDs = 1,
  BusQueryCompatibleIDs = 2,
  BusQueryInstanceID = 3,
  BusQueryDeviceSerialNumber = 4,
  BusQueryContainerID = 5,
};

enum DEVICE_TEXT_TYPE { DeviceTextDescription = 0, DeviceTextLocationInformation = 1 };

enum DEVICE_REGISTRY_PROPERTY {
  DevicePropertyDeviceDescription = 0,
  DevicePropertyHardwareID = 1,
  DevicePropertyCompatibleIDs = 2,
  DevicePropertyClassName = 5,
  DevicePropertyClassGuid = 6,
  DevicePropertyDriverKeyName = 7,
  DevicePropertyManufacturer = 8,
  DevicePropertyFriendlyName = 9,
  DevicePropertyPhysicalDeviceObjectName = 11,
};

enum DEVICE_USAGE_NOTIFICATION_TYPE {
  DeviceUsageTypeUndefined,
  DeviceUsageTypePaging,
  DeviceUsageTypeHibernation,
  DeviceUsageTypeDumpFile,
};

struct DEVICE_CAPABILITIES {
  USHORT Size;
  USHORT Version;
  ULONG DeviceD1 : 1;
  ULONG DeviceD2 : 1;
  ULONG LockSupported : 1;
  ULONG EjectSupported : 1;
  ULONG Removable : 1;
  ULONG DockDevice : 1;
  ULONG UniqueID : 1;
  ULONG SilentInstall : 1;
  ULONG RawDeviceOK : 1;
  ULONG SurpriseRemovalOK : 1;
  ULONG WakeFromD0 : 1;
  ULONG WakeFromD1 : 1;
  ULONG WakeFromD2 : 1;
  ULONG WakeFromD3 : 1;
  ULONG HardwareDisabled : 1;
  ULONG NonDynamic : 1;
  ULONG WarmEjectSupported : 1;
  ULONG NoDisplayInUI : 1;
  ULONG Reserved1 : 1;
  ULONG WakeFromInterrupt : 1;
  ULONG SecureDevice : 1;
  ULONG ChildOfVgaEnabledBridge : 1;
  ULONG DecodeIoOnBoot : 1;
  ULONG Reserved : 9;
  ULONG Address;
  ULONG UINumber;
  DEVICE_POWER_STATE DeviceState[PowerSystemMaximum];
  SYSTEM_POWER_STATE SystemWake;
  DEVICE_POWER_STATE DeviceWake;
  ULONG D1Latency;
  ULONG D2Latency;
  ULONG D3Latency;
};
using PDEVICE_CAPABILITIES = DEVICE_CAPABILITIES*;
static_assert(sizeof(DEVICE_CAPABILITIES) == 64 && offsetof(DEVICE_CAPABILITIES, Address) == 8 &&
              offsetof(DEVICE_CAPABILITIES, DeviceState) == 16 && offsetof(DEVICE_CAPABILITIES, SystemWake) == 44);

using PINTERFACE_REFERENCE = void (*)(PVOID Context);
using PINTERFACE_DEREFERENCE = void (*)(PVOID Context);

struct INTERFACE {
  USHORT Size;
  USHORT Version;
  PVOID Context;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
};
using PINTERFACE = INTERFACE*;
static_assert(sizeof(INTERFACE) == 32 && offsetof(INTERFACE, Context) == 8);

enum INTERFACE_TYPE { InterfaceTypeUndefined = -1, Internal = 0, Isa = 1, PNPBus = 15 };

struct PNP_BUS_INFORMATION {
  GUID BusTypeGuid;
  INTERFACE_TYPE LegacyBusType;
  ULONG BusNumber;
};
using PPNP_BUS_INFORMATION = PNP_BUS_INFORMATION*;
static_assert(sizeof(PNP_BUS_INFORMATION) == 24);

using PNP_DEVICE_STATE = ULONG;
constexpr PNP_DEVICE_STATE PNP_DEVICE_DISABLED = 0x1;
constexpr PNP_DEVICE_STATE PNP_DEVICE_DONT_DISPLAY_IN_UI = 0x2;
constexpr PNP_DEVICE_STATE PNP_DEVICE_FAILED = 0x4;
constexpr PNP_DEVICE_STATE PNP_DEVICE_REMOVED = 0x8;
constexpr PNP_DEVICE_STATE PNP_DEVICE_RESOURCE_REQUIREMENTS_CHANGED = 0x10;
constexpr PNP_DEVICE_STATE PNP_DEVICE_NOT_DISABLEABLE = 0x20;
