// A plain WDM function driver for the units' PDOs, written against <1394.h> as a unit driver
// would be: plug and play loads it for every unit, its start registers for bus-reset notification
// and reads the generation and node numbers, its removal deregisters. Tests reach the bus through
// its devices with the IRB senders below, and a machine fixture with the simulated bus, the bus
// driver and the test driver installed.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/bus1394/Bus1394.h"
#include "platform/kernel/Scheduler.h"
#include "platform/kernel/include/wdm.h"
#include <1394.h>
#include "sim/bus/Bus.h"

namespace bus1394test {

// The extension of the test driver's function device.
struct UnitDevice {
  PDEVICE_OBJECT self = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  PDEVICE_OBJECT lower = nullptr;
  ULONG generation = 0;   // read at start and by every reset routine's follow-up
  USHORT nodeNumber = 0;
  USHORT localNodeNumber = 0;
  ULONG resets = 0;       // calls of the reset routine
  KIRQL resetIrql = 0xFF;
  // Runs at the device's removal, before the request goes down: what the test allocated goes back.
  std::function<void(UnitDevice*)> onRemove;
};

// What the driver saw, in order: "add <instance>", "start <instance>", "surprise <instance>",
// "remove <instance>", where <instance> is the unit's GUID as the PDO's instance id gives it.
std::vector<std::string>& Events();
// The devices the driver made and has not yet deleted, oldest first.
std::vector<UnitDevice*>& Devices();
UnitDevice* DeviceOf(uint64_t guid);

// Registers the driver's service and binds it to the units' hardware ids.
void InstallDriver();

// Sends an IRB to the unit's PDO and waits for it (PASSIVE_LEVEL).
NTSTATUS SendIrb(UnitDevice* device, IRB* irb);

// An IRB sent without waiting; its completion records the outcome.
struct PendingIrb {
  IRB irb{};
  NTSTATUS returned = STATUS_PENDING;  // what IoCallDriver gave
  NTSTATUS status = STATUS_PENDING;    // the IRP's final status
  KIRQL irql = 0xFF;                   // of the completion
  bool done = false;
  int order = 0;                       // of completion among all PendingIrbs since the last reset of the count
  std::function<void(PendingIrb&)> then;  // runs in the completion
};
std::shared_ptr<PendingIrb> SendIrbAsync(UnitDevice* device, const IRB& irb, std::function<void(PendingIrb&)> then = {});
void ResetCompletionOrder();

// Memory for a request's data and an MDL over it, built for non-paged pool.
struct IrbBuffer {
  explicit IrbBuffer(ULONG bytes);
  ~IrbBuffer();
  IrbBuffer(const IrbBuffer&) = delete;
  IrbBuffer& operator=(const IrbBuffer&) = delete;
  uint8_t* data = nullptr;
  PMDL mdl = nullptr;
  ULONG length = 0;
};

IRB ReadIrb(ULONG offset, PMDL mdl, ULONG length, ULONG generation);
IRB WriteIrb(ULONG offset, PMDL mdl, ULONG length, ULONG generation);

uint32_t Be32(const uint8_t* p);
void PutBe32(uint8_t* p, uint32_t v);

// A machine with the simulated bus, the bus driver and the test driver, run under an
// interleaving seed on a number of processors.
class Rig {
 public:
  explicit Rig(uint64_t seed = 0, uint32_t processors = 2);
  // Settles, removes every device and checks that nothing is left.
  void Shutdown();
  // Plugs a unit into the bus and runs until its driver has started.
  void Plug(sim::Node& unit);
  void Unplug(sim::Node& unit);
  void Settle() { plat::Bus1394::Settle(); }

  // Register access through a unit's device, waiting for each request.
  NTSTATUS ReadQuadlet(UnitDevice* device, uint32_t offset, uint32_t* value);
  NTSTATUS WriteQuadlet(UnitDevice* device, uint32_t offset, uint32_t value);
  // The generation and node numbers as the driver's reset handling reads them.
  void Refresh(UnitDevice* device);

  plat::Scheduler sched;
  sim::Bus bus{sched};
};

class Machine : public testing::Test, public Rig {
 protected:
  void TearDown() override { Shutdown(); }
};

}  // namespace bus1394test
