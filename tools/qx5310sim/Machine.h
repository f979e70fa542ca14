// The simulated machine: the virtual clock and scheduler, the registry, which persists in a state
// file between runs so settings survive as they would on a real computer, plug and play, and the
// 1394 bus with the bus driver on it. At boot the unit driver and the audio adapter are installed
// as their installers would (service keys, qx5310.sys bound to the units' hardware ids and
// QX5310Wdm.sys to the hardware id of the unit driver's child devices), so plug and play loads the
// unit driver for every unit that joins the bus and the adapter on every unit's child; and the
// ASIO driver is registered as its installer would, so an ASIO host finds and loads its DLL.
#pragma once

#include <memory>
#include <string>

#include "platform/kernel/Scheduler.h"
#include "sim/bus/Bus.h"

class Report;

namespace sim {
class Unit;
}

class Machine {
 public:
  explicit Machine(std::string stateFile);
  ~Machine();

  void Boot(Report& report);
  // Removes every device, unloads the drivers, and counts what was left behind as lost.
  void Shutdown(Report& report);
  plat::Scheduler& Scheduler() { return *scheduler_; }
  sim::Bus& Bus() { return *bus_; }
  // A unit joins the bus (or leaves it), and the machine runs until plug and play has settled.
  void Plug(sim::Unit& unit);
  void Unplug(sim::Unit& unit);
  // Runs until the latest bus reset has been scanned and plug and play has settled.
  void Settle();
  // How plug and play holds the unit's device and its child, as Device Manager would tell:
  // "started, child started", "failed (0xC0000001)", "not on the bus", ...
  std::string DeviceState(const sim::Unit& unit) const;
  // The trace hash at shutdown, kept once the scheduler is gone.
  uint64_t TraceHash() const { return traceHash_; }

 private:
  std::string stateFile_;
  std::unique_ptr<plat::Scheduler> scheduler_;
  std::unique_ptr<sim::Bus> bus_;
  uint64_t traceHash_ = 0;
};
