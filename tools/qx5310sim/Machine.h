// The simulated machine: the virtual clock and scheduler, the registry, which persists in a state
// file between runs so settings survive as they would on a real computer, and the 1394 bus with
// the host's node on it.
#pragma once

#include <memory>
#include <string>

#include "platform/kernel/Scheduler.h"
#include "sim/bus/Bus.h"
#include "sim/bus/HostNode.h"

class Report;

class Machine {
 public:
  explicit Machine(std::string stateFile);
  ~Machine();

  void Boot(Report& report);
  void Shutdown(Report& report);
  plat::Scheduler& Scheduler() { return *scheduler_; }
  sim::Bus& Bus() { return *bus_; }
  sim::HostNode& Host() { return *host_; }
  // The trace hash at shutdown, kept once the scheduler is gone.
  uint64_t TraceHash() const { return traceHash_; }

 private:
  std::string stateFile_;
  std::unique_ptr<plat::Scheduler> scheduler_;
  std::unique_ptr<sim::Bus> bus_;
  std::unique_ptr<sim::HostNode> host_;
  uint64_t traceHash_ = 0;
};
