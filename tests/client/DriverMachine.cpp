#include "tests/client/DriverMachine.h"

#include <map>

#include "platform/kernel/RegistryHive.h"
#include "sim/units/Kr6Unit.h"
#include "sim/units/MainUnit.h"
#include "tests/driver/DriverRig.h"

namespace ctest {

// Every machine starts from an empty registry: no settings stored by an earlier one.
struct EmptyRegistry {
  EmptyRegistry() { plat::RegistryHive::Clear(); }
  ~EmptyRegistry() { plat::RegistryHive::Clear(); }
};

struct DriverMachine::State {
  explicit State(uint64_t seed) : rig(seed, 2, drvtest::Load::Image) {}
  EmptyRegistry registry;
  drvtest::DriverRig rig;
  std::unique_ptr<sim::MainUnit> main;
  std::map<uint32_t, std::unique_ptr<sim::Kr6Unit>> kr6;
};

DriverMachine::DriverMachine(uint64_t seed) : state_(std::make_unique<State>(seed)) {}

DriverMachine::~DriverMachine() {
  for (auto& [serial, unit] : state_->kr6) state_->rig.Unplug(*unit);
  if (state_->main) state_->rig.Unplug(*state_->main);
  state_->rig.Shutdown();
}

void DriverMachine::PlugMain() {
  state_->main = std::make_unique<sim::MainUnit>();
  state_->rig.Plug(*state_->main);
  state_->rig.Quiesce();
}

void DriverMachine::PlugKr6(uint32_t serial) {
  auto& unit = state_->kr6[serial];
  unit = std::make_unique<sim::Kr6Unit>(serial);
  state_->rig.Plug(*unit);
  state_->rig.Quiesce();
}

void DriverMachine::UnplugKr6(uint32_t serial) {
  auto found = state_->kr6.find(serial);
  if (found == state_->kr6.end()) return;
  state_->rig.Unplug(*found->second);
  state_->kr6.erase(found);
}

Runner DriverMachine::Run() {
  return [this](const std::function<bool()>& done) {
    state_->rig.sched.RunUntil(done, state_->rig.sched.Now() + 24ll * 3600 * plat::kNsPerSecond);
  };
}

std::vector<uint8_t> DriverMachine::Flashed(uint32_t serial, int partition) {
  return state_->kr6.at(serial)->GetFlash().Image(partition);
}

bool DriverMachine::FlashFinished(uint32_t serial, int partition) {
  return state_->kr6.at(serial)->GetFlash().Finished(partition);
}

}  // namespace ctest
