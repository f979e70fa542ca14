// A bus driver for tests and scenarios: a root device whose children can be plugged in and
// pulled out, each a PDO with the ids, capabilities and wake behaviour it was given.
#pragma once

#include <string>
#include <vector>

#include "PnpManager.h"

namespace plat {

struct TestBusChild {
  std::u16string hardwareId;  // also its device id
  std::u16string instanceId;
  // START, CANCEL_STOP, CANCEL_REMOVE, QUERY_CAPABILITIES and device SET_POWER are answered 1 ms
  // later, at DISPATCH_LEVEL.
  bool pendIrps = false;
  NTSTATUS startStatus = STATUS_SUCCESS;
  DEVICE_POWER_STATE deviceWake = PowerDeviceD2;
  SYSTEM_POWER_STATE systemWake = PowerSystemSleeping3;
  // Whether the bus vouches that the instance id is unique; when not, plug and play prefixes it.
  bool uniqueId = true;
};

class TestBus {
 public:
  // Registers the bus driver and adds its root device (once per machine).
  static void Install();
  // A new child, enumerated and started as plug and play does; returns its PDO.
  static PDEVICE_OBJECT Plug(const TestBusChild& child);
  // The child leaves the bus: surprise removal, and removal once its files are closed. A child
  // that is sent IRP_MN_EJECT leaves it too, after its removal.
  static void Unplug(PDEVICE_OBJECT pdo);
  // Completes the child's pending wait-wake IRP with success; false when none is pending.
  static bool Wake(PDEVICE_OBJECT pdo);
  static bool WaitWakePending(PDEVICE_OBJECT pdo);
  // The children on the bus, in the order they were plugged in.
  static std::vector<PDEVICE_OBJECT> Children();
  // What the child's PDO received, as "PNP 0x00" or "POWER 0x02", in order.
  static std::vector<std::string> Received(PDEVICE_OBJECT pdo);
  static void ClearReceived(PDEVICE_OBJECT pdo);
};

}  // namespace plat
