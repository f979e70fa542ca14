// The state of the 1394 bus driver stand-in on one machine, shared by its sources: the host's
// node on the simulated bus, the bus's own device and one PDO per unit node, and the generation
// whose node table the driver answers from. Kernel code never sees it.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "platform/bus1394/Bus1394.h"
#include "platform/bus1394/ConfigRomReader.h"
#include "platform/kernel/Scheduler.h"
#include "platform/kernel/include/wdm.h"
#include <1394.h>
#include "sim/bus/HostNode.h"

namespace plat::bus1394 {

constexpr ULONG kBusTag = plat::PoolTag("1394");
constexpr USHORT kLocalBusNumber = 0x3FF;

class AddressRange;
class AsyncTransfer;
class IsochResource;

// The device extension of the bus's FDO and of each unit's PDO.
struct BusDevice {
  bool isUnit;
};

struct BusFdo : BusDevice {
  PDEVICE_OBJECT lower = nullptr;
};

struct UnitPdo : BusDevice {
  NodeIdentity identity;
  bool present = true;   // found on the bus by the latest scan
  bool departed = false;  // surprise-removed or gone: transactions fail at once
  bool reported = false;  // handed to plug and play in an answer of bus relations
  uint8_t nodeId = 63;   // as of the bus driver's generation
  PBUS_BUS_RESET_NOTIFICATION resetRoutine = nullptr;
  PVOID resetContext = nullptr;
  std::vector<std::shared_ptr<AsyncTransfer>> transfers;  // in flight through this PDO
};

class BusDriver {
 public:
  explicit BusDriver(sim::Bus& bus);
  BusDriver(const BusDriver&) = delete;
  BusDriver& operator=(const BusDriver&) = delete;

  // The bus driver of the current machine, or null before Install.
  static BusDriver* Get();
  static BusDriver& Create(sim::Bus& bus);
  static BusDriver& Require(const char* what);

  static UnitPdo* Unit(PDEVICE_OBJECT device);  // null for a device that is no unit PDO of ours

  // Called at DISPATCH_LEVEL on every reset: rescans the bus from a thread of its own.
  void OnBusReset();
  // The scan: reads every node's ROM, again while a reset overtakes the reads.
  void Scan();
  PDEVICE_OBJECT NewUnitPdo(const NodeIdentity& identity, uint8_t nodeId);
  void DeleteUnitPdo(PDEVICE_OBJECT pdo);
  // What a unit leaves behind when its PDO goes: a driver bug.
  void CheckNothingLeft(PDEVICE_OBJECT pdo);
  // Transactions in flight through the PDO end with the departed status.
  void EndTransfers(PDEVICE_OBJECT pdo);
  // How long a request that completes later takes: no time under seed 0, a seeded choice else.
  VTime CompletionDelay() const;

  sim::Bus& bus;
  sim::HostNode host;
  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT fdo = nullptr;
  std::vector<PDEVICE_OBJECT> units;  // every unit PDO not yet deleted, oldest first
  std::vector<std::shared_ptr<AddressRange>> ranges;
  std::vector<std::shared_ptr<IsochResource>> resources;
  std::map<uint32_t, PDEVICE_OBJECT> bandwidth;  // the host's handle -> the PDO it was allocated through
  std::map<uint32_t, PDEVICE_OBJECT> channels;
  uint32_t generation = 0;            // of the last finished scan
  uint8_t hostNodeId = 63;
  struct Refusal {
    ULONG function;
    NTSTATUS status;
    uint32_t count;
  };
  std::vector<Refusal> refusals;     // injected: requests failed before they are carried out
  bool logging = false;
  std::vector<BusRequestRecord> log;  // reserved when started
  uint64_t logOverflow = 0;
  bool scanQueued = false;
  bool scanning = false;
  Bus1394Counters counters;
};

// NTSTATUS of a finished transaction.
NTSTATUS StatusOf(sim::AsyncStatus status);

// Completes an IRP with a status; returns the status.
NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status);

}  // namespace plat::bus1394
