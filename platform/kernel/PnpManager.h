// The PnP manager: it loads drivers for device nodes, builds their stacks, sends the PnP minor
// codes in the orders Windows uses, enumerates children from bus relations, removes them, and
// keeps device interfaces. Its work runs on a simulated "PnP" thread.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "IoManager.h"

void IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type);
// Query-remove of the device and its children (a refusal cancels it), removal, then IRP_MN_EJECT to
// the bus driver's PDO; on the PnP thread.
void IoRequestDeviceEject(PDEVICE_OBJECT PhysicalDeviceObject);

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName);
NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable);
constexpr ULONG DEVICE_INTERFACE_INCLUDE_NONACTIVE = 0x1;
// A list of terminated names ending in an empty one, from paged pool (the caller frees it).
NTSTATUS IoGetDeviceInterfaces(const GUID* InterfaceClassGuid, PDEVICE_OBJECT PhysicalDeviceObject, ULONG Flags,
                               PWSTR* SymbolicLinkList);
// The interface's own "Device Parameters" key under the control set's device classes.
NTSTATUS IoOpenDeviceInterfaceRegistryKey(PUNICODE_STRING SymbolicLinkName, ACCESS_MASK DesiredAccess,
                                          PHANDLE DeviceInterfaceKey);

// Device interface arrival and removal, delivered at PASSIVE_LEVEL from the PnP manager's thread.
enum IO_NOTIFICATION_EVENT_CATEGORY { EventCategoryReserved, EventCategoryHardwareProfileChange, EventCategoryDeviceInterfaceChange };
constexpr ULONG PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES = 0x1;
inline const GUID GUID_DEVICE_INTERFACE_ARRIVAL = {0xCB3A4004, 0x46F0, 0x11D0, {0xB0, 0x8F, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3F}};
inline const GUID GUID_DEVICE_INTERFACE_REMOVAL = {0xCB3A4005, 0x46F0, 0x11D0, {0xB0, 0x8F, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3F}};

struct DEVICE_INTERFACE_CHANGE_NOTIFICATION {
  USHORT Version;
  USHORT Size;
  GUID Event;
  GUID InterfaceClassGuid;
  PUNICODE_STRING SymbolicLinkName;
};
using PDEVICE_INTERFACE_CHANGE_NOTIFICATION = DEVICE_INTERFACE_CHANGE_NOTIFICATION*;
static_assert(sizeof(DEVICE_INTERFACE_CHANGE_NOTIFICATION) == 48 &&
              offsetof(DEVICE_INTERFACE_CHANGE_NOTIFICATION, SymbolicLinkName) == 40);

using PDRIVER_NOTIFICATION_CALLBACK_ROUTINE = NTSTATUS (*)(PVOID NotificationStructure, PVOID Context);
NTSTATUS IoRegisterPlugPlayNotification(IO_NOTIFICATION_EVENT_CATEGORY EventCategory, ULONG EventCategoryFlags,
                                        PVOID EventCategoryData, PDRIVER_OBJECT DriverObject,
                                        PDRIVER_NOTIFICATION_CALLBACK_ROUTINE CallbackRoutine, PVOID Context,
                                        PVOID* NotificationEntry);
NTSTATUS IoUnregisterPlugPlayNotification(PVOID NotificationEntry);

namespace plat {

// Which driver serves a hardware id, and what each service is loaded from: its driver image
// ("qx5310.sys", through the loader), or an entry routine linked into the caller.
void PnpRegisterService(const std::u16string& service, const std::u16string& imageName);
void PnpRegisterService(const std::u16string& service, PDRIVER_INITIALIZE entry);
void PnpBindHardwareId(const std::u16string& hardwareId, const std::u16string& service);

// A device of the root bus: the PnP manager's own PDO with these ids, enumerated at once.
PDEVICE_OBJECT PnpAddRootDevice(const std::u16string& hardwareId, const std::u16string& instanceId);
// Takes a root device away as if it had been unplugged.
void PnpRemoveRootDevice(PDEVICE_OBJECT pdo);

// The user's requests: disable (query-remove and remove), stop for rebalance (query-stop and
// stop, then start again), each refused when a driver fails the query.
bool PnpQueryRemoveAndRemove(PDEVICE_OBJECT pdo);
bool PnpStopAndRestart(PDEVICE_OBJECT pdo);

// Runs the PnP thread until it has nothing left to do. A fatal fault the PnP thread found (two
// children of one bus with one instance path) is a violation here, on the host.
void PnpSettle();

enum class DevnodeState { Enumerated, Started, Failed, StopPending, Stopped, RemovePending, SurpriseRemoved, Removed };
DevnodeState PnpState(PDEVICE_OBJECT pdo);
// The status with which the device's last failed start failed (its problem status), success when
// none failed.
NTSTATUS PnpProblemStatus(PDEVICE_OBJECT pdo);
std::u16string PnpInstancePath(PDEVICE_OBJECT pdo);
std::vector<PDEVICE_OBJECT> PnpChildren(PDEVICE_OBJECT pdo);
// Every PnP and power IRP the PnP manager sent, as "minor@instance" lines, in order.
std::vector<std::string>& PnpLog();
// User mode's plug-and-play service hears every interface enabled (arrived) or disabled, on the
// thread that changed it and without waiting there; one tap per machine.
void PnpSetUserInterfaceTap(std::function<void(const GUID& interfaceClass, const std::u16string& link, bool arrived)> tap);

// Drops every node and unloads every driver (end of a machine); true when nothing was left. A
// device object left then is a violation that names it: its driver could never be unloaded.
bool PnpShutdown();

}  // namespace plat
