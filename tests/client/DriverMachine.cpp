#include "tests/client/DriverMachine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "driver/QX531KernelInterface.h"
#include "platform/kernel/PnpManager.h"
#include "platform/kernel/RegistryHive.h"
#include "sim/units/Kr6Unit.h"
#include "sim/units/MainUnit.h"
#include "tests/driver/DriverRig.h"
#include "tests/driver/KernelClientHarness.h"
#include "tests/driver/TestAdapter.h"

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
  std::unique_ptr<drvtest::KernelClient> kernelClient;
};

namespace {

constexpr UCHAR kSurfaceCable = 4;

// The code index of a piece of a system-exclusive message: continues, or ends with 1-3 bytes.
UCHAR SysExCodeIndex(size_t left) { return left > 3 ? 0x4 : left == 3 ? 0x7 : left == 2 ? 0x6 : 0x5; }

}  // namespace

DriverMachine::DriverMachine(uint64_t seed) : state_(std::make_unique<State>(seed)) {}

DriverMachine::~DriverMachine() {
  if (state_->kernelClient) {
    EXPECT_EQ(state_->kernelClient->Command(kKernelCommandStop, kKernelStartMidi), STATUS_SUCCESS);
    state_->kernelClient.reset();
  }
  for (auto& [serial, unit] : state_->kr6) state_->rig.Unplug(*unit);
  if (state_->main) state_->rig.Unplug(*state_->main);
  state_->rig.Shutdown();
}

void DriverMachine::InstallAdapters() { drvtest::InstallTestAdapter(); }

void DriverMachine::PlugMain() {
  state_->main = std::make_unique<sim::MainUnit>();
  state_->rig.Plug(*state_->main);
  state_->rig.Quiesce();
}

void DriverMachine::UnplugMain() {
  if (!state_->main) return;
  state_->rig.Unplug(*state_->main);
  state_->main.reset();
}

void DriverMachine::Settle() {
  state_->rig.Settle();
  state_->rig.Quiesce();
}

sim::MainUnit& DriverMachine::Main() { return *state_->main; }

sim::Kr6Unit& DriverMachine::Kr6(uint32_t serial) { return *state_->kr6.at(serial); }

bool DriverMachine::MainStarted() {
  return state_->main && plat::PnpState(state_->rig.PdoOf(*state_->main)) == plat::DevnodeState::Started;
}

bool DriverMachine::Kr6Started(uint32_t serial) {
  auto found = state_->kr6.find(serial);
  return found != state_->kr6.end() &&
         plat::PnpState(state_->rig.PdoOf(*found->second)) == plat::DevnodeState::Started;
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

void DriverMachine::StartKernelClient() {
  state_->kernelClient = std::make_unique<drvtest::KernelClient>();
  state_->rig.Settle();  // the interface's arrival reaches the client from the PnP thread
  drvtest::KernelClient& client = *state_->kernelClient;
  ASSERT_EQ(client.State().bound, 1u);
  client.SetUpMidi(1u << kSurfaceCable, 1u << kSurfaceCable);
  ASSERT_EQ(client.Command(kKernelCommandStart, kKernelStartMidi), STATUS_SUCCESS);
  state_->rig.Quiesce();
}

// The settings writer may still be bringing a new protocol to the units: it goes first.
bool DriverMachine::SendToMainSurface(const std::vector<uint8_t>& message) {
  state_->rig.Quiesce();
  std::vector<kclient::MidiEvent> events;
  for (size_t i = 0; i < message.size(); i += 3) {
    kclient::MidiEvent e{};
    e.cableKind = kSurfaceCable << 4;
    for (size_t b = 0; b < 3 && i + b < message.size(); ++b) e.bytes[b] = message[i + b];
    events.push_back(e);
  }
  const bool taken = state_->kernelClient->SendMidi(events) == events.size();
  state_->rig.Quiesce();
  return taken;
}

bool DriverMachine::SendToKr6Surface(const std::vector<uint8_t>& message) {
  std::vector<drvtest::TestAdapter*>& adapters = drvtest::TestAdapters();
  auto found = std::find_if(adapters.begin(), adapters.end(), [](const drvtest::TestAdapter* a) {
    return a->bound && (a->flags & kWdmDeviceExpansionUnit) != 0;
  });
  if (found == adapters.end()) return false;
  state_->rig.Quiesce();
  PdoDirectInterface& t = (*found)->table;
  bool taken = true;
  for (size_t i = 0; i < message.size(); i += 3) {
    const size_t left = message.size() - i;
    const UCHAR b1 = left > 1 ? message[i + 1] : 0, b2 = left > 2 ? message[i + 2] : 0;
    taken = taken && t.SendMidiEvent(t.Context, static_cast<UCHAR>(kSurfaceCable << 4 | SysExCodeIndex(left)),
                                     message[i], b1, b2) == STATUS_SUCCESS;
  }
  state_->rig.Quiesce();
  return taken;
}

std::vector<uint8_t> DriverMachine::Flashed(uint32_t serial, int partition) {
  return state_->kr6.at(serial)->GetFlash().Image(partition);
}

bool DriverMachine::FlashFinished(uint32_t serial, int partition) {
  return state_->kr6.at(serial)->GetFlash().Finished(partition);
}

}  // namespace ctest
