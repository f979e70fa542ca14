// The Windows 1394 bus driver as a stand-in over the simulated bus: the host's node on sim/bus,
// one PDO for every unit node it finds, and the bus requests (IRBs) that drivers send to those
// PDOs, carried out on the bus.
//
// After every bus reset the driver reads each node's configuration ROM quadlet by quadlet from a
// worker thread; what it reads gives the PDO's ids. A node that is new becomes a PDO that plug and
// play enumerates and starts; a node that left has its PDO surprise-removed and removed. Once a
// scan has finished the driver answers from its generation and calls every registered bus-reset
// routine at DISPATCH_LEVEL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/kernel/Scheduler.h"
#include "platform/kernel/include/wdm.h"
#include "sim/bus/Bus.h"
#include "sim/bus/HostNode.h"

// The bus driver's answer for a transaction to a node that has left the bus; Windows has the value
// and no name for it.
constexpr NTSTATUS STATUS_IO_DEVICE_ERROR_1394_DEPARTED = static_cast<NTSTATUS>(0xC0120090);

namespace plat {

struct Bus1394Counters {
  uint64_t requests[32] = {};       // IRBs received, by function number
  uint64_t scans = 0;               // finished scans of the bus
  uint64_t resetNotifications = 0;  // calls of registered bus-reset routines
  uint64_t rangeWrites = 0;         // writes that landed in a host address range
  uint64_t rangeWritesRefused = 0;  // writes into a FIFO-backed range that found no element
  uint64_t isochPacketsSent = 0;
  uint64_t isochPacketsReceived = 0;
  uint64_t isochPacketsOversize = 0;  // received into a descriptor too small for them
  uint64_t isochPacketsMissed = 0;    // arrived while a listening resource had no descriptor left
  uint64_t isochPacketsFiltered = 0;  // of another tag than the descriptor waiting synchronised on it
  uint64_t isochIdleCycles = 0;       // a talking resource had nothing to send
};

// One request as the bus driver received it, in order of arrival.
struct BusRequestRecord {
  VTime at;               // virtual time of arrival
  PDEVICE_OBJECT device;  // the unit PDO it was sent to
  ULONG function;         // the IRB's function number
  ULONG flags;            // the request's own flags word, 0 for functions without one
  ULONG generation;       // the generation an asynchronous transaction names, else the driver's own
};

class Bus1394 {
 public:
  // Puts the host's node on `bus` and loads the bus driver on a root device; the units already on
  // the bus are found by the scan of the reset that the host's arrival causes. Once per machine.
  static void Install(sim::Bus& bus);
  static bool Installed();
  static sim::HostNode& Host();
  // Runs the machine until the latest reset has been scanned and plug and play has settled.
  static void Settle();
  // The PDOs of the units found by the last scan, oldest first.
  static std::vector<PDEVICE_OBJECT> Units();
  static PDEVICE_OBJECT PdoOf(uint64_t guid);
  // Isochronous resources, bandwidth and channels allocated through the PDO.
  static size_t IsochHeldBy(PDEVICE_OBJECT pdo);
  // The generation the driver answers from: that of its last finished scan.
  static uint32_t Generation();
  static const Bus1394Counters& Counters();
  // The controller's isochronous contexts for talking and for listening.
  static void SetIsochContexts(uint32_t talk, uint32_t listen);
  // The ordered request log: off unless started; once started it holds up to `capacity`
  // records, taken without allocating, and counts what did not fit. Starting again empties it.
  static void StartRequestLog(size_t capacity);
  static void StopRequestLog();
  static const std::vector<BusRequestRecord>& RequestLog();
  static uint64_t RequestLogOverflow();
  // Fault: the next `count` requests of that IRB function number fail with `status`, carried out
  // in nothing.
  static void RefuseRequests(ULONG function, NTSTATUS status, uint32_t count = 1);
};

}  // namespace plat
