// A machine for the unit driver's tests: the virtual clock and scheduler under a seed, the
// simulated bus with the 1394 bus driver, and the unit driver bound to the units' hardware ids,
// loaded by plug and play from its image or, for tests that look inside its devices, from the
// entry routine linked into the test.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/kernel/Scheduler.h"
#include "platform/kernel/include/wdm.h"
#include "sim/bus/Bus.h"
#include "sim/bus/Node.h"
#include "sim/host/UserClient.h"

class QX531PnpDevice;

namespace drvtest {

enum class Load { Image, Linked };

class DriverRig {
 public:
  explicit DriverRig(uint64_t seed = 0, uint32_t processors = 2, Load load = Load::Linked);
  ~DriverRig();
  DriverRig(const DriverRig&) = delete;
  DriverRig& operator=(const DriverRig&) = delete;

  // Plugs a unit into the bus (or pulls it out) and runs until plug and play has settled.
  void Plug(sim::Node& unit);
  void Unplug(sim::Node& unit);
  void Settle();
  // Lets the register writes that plug-in and bus resets queued finish, so that nothing holds the
  // devices busy.
  void Quiesce();
  // Runs the clock until no work item is queued or running: a bus reset's worker restarts the
  // streams, which takes bus time. False when work is still there after `limit`.
  bool DrainWork(plat::VTime limit = 5 * plat::kNsPerSecond);

  PDEVICE_OBJECT PdoOf(const sim::Node& unit) const;
  // The unit's function device (a driver linked into the test only), or null.
  QX531PnpDevice* DeviceOf(const sim::Node& unit) const;

  // Runs `body` as the entry of a user-mode process of `bits` bits until the process has ended;
  // the process's exit code.
  uint32_t RunProgram(unsigned bits, const std::function<uint32_t()>& body);
  // Sends the controls in order from a 64-bit process to the one main unit; true when there is
  // exactly one and each control succeeded.
  bool SendToUnit(const std::vector<host::Control>& controls);
  // Names the unit of `serial` from a 64-bit process, as the panel does (request 13); true when a
  // unit of that serial took it.
  bool RenameUnit(uint32_t serial, const char* name);

  // Removes every device, unloads the driver and checks that nothing was left behind: pool,
  // device objects, work items, IRPs. Once; the destructor does it when the test did not.
  void Shutdown();

  plat::Scheduler sched;
  sim::Bus bus{sched};

 private:
  bool shutDown_ = false;
};

}  // namespace drvtest
