#include "tests/asio/AsioMachine.h"

#include <gtest/gtest.h>

#include "driver/QX531PnpDevice.h"
#include "platform/kernel/Pool.h"
#include "platform/kernel/Process.h"
#include "platform/kernel/PnpManager.h"
#include "sim/units/Kr6Unit.h"
#include "sim/units/MainUnit.h"
#include "tests/driver/DriverRig.h"
#include "tests/driver/TestAdapter.h"

namespace asiotest {

namespace {

plat::Process* ProcessOf(void* p) { return static_cast<plat::Process*>(p); }

}  // namespace

HostProcess::HostProcess(std::function<uint32_t()> body, const std::string& image)
    : process_(plat::StartProcess(image, 64, [body = std::move(body)]() -> ULONG { return body(); })) {}

HostProcess::~HostProcess() {
  if (!Ended()) Kill();
  plat::ReleaseProcess(ProcessOf(process_));
}

bool HostProcess::Ended() const { return ProcessOf(process_)->Ended(); }
uint32_t HostProcess::ExitCode() const { return ProcessOf(process_)->ExitCode(); }
void HostProcess::Kill() { plat::KillProcess(ProcessOf(process_)); }
std::string HostProcess::DebugOutput() const { return ProcessOf(process_)->DebugOutput(); }
size_t HostProcess::Mappings() const { return ProcessOf(process_)->Mappings().size(); }

size_t HostProcess::Handles() const { return ProcessOf(process_)->Handles().Count(); }

size_t HostProcess::RunningThreads() const {
  size_t running = 0;
  for (const plat::ThreadObject* t : ProcessOf(process_)->Threads()) running += t->running ? 1 : 0;
  return running;
}

struct DriverMachine::State {
  explicit State(uint64_t seed) : rig(seed) {}
  drvtest::DriverRig rig;
  sim::MainUnit unit;
  sim::Kr6Unit kr6{7};
};

DriverMachine::DriverMachine(uint64_t seed) : state_(std::make_unique<State>(seed)) { RegisterDriver(); }

DriverMachine::~DriverMachine() = default;

void DriverMachine::PlugMain() {
  state_->rig.Plug(state_->unit);
  state_->rig.Quiesce();
}

void DriverMachine::UnplugMain() { state_->rig.Unplug(state_->unit); }

void DriverMachine::InstallAdapters() { drvtest::InstallTestAdapter(); }

void DriverMachine::PlugKr6() {
  state_->rig.Plug(state_->kr6);
  state_->rig.Quiesce();
}

void DriverMachine::UnplugKr6() { state_->rig.Unplug(state_->kr6); }

bool DriverMachine::MainStarted() const {
  return plat::PnpState(state_->rig.PdoOf(state_->unit)) == plat::DevnodeState::Started;
}

bool DriverMachine::Kr6Started() const {
  return plat::PnpState(state_->rig.PdoOf(state_->kr6)) == plat::DevnodeState::Started;
}

bool DriverMachine::Kr6AdapterBound() const {
  PDEVICE_OBJECT pdo = state_->rig.PdoOf(state_->kr6);
  if (pdo == nullptr) return false;
  for (PDEVICE_OBJECT child : plat::PnpChildren(pdo))
    for (const drvtest::TestAdapter* a : drvtest::TestAdapters())
      if (a->bound && a->lower == child && (a->flags & kWdmDeviceExpansionUnit) != 0) return true;
  return false;
}

bool DriverMachine::RunUntil(const std::function<bool()>& done, uint64_t ms) {
  return state_->rig.sched.RunUntil(done, state_->rig.sched.Now() + ms * plat::kNsPerMs);
}

void DriverMachine::RunFor(uint64_t ms) { state_->rig.sched.RunFor(ms * plat::kNsPerMs); }

void DriverMachine::Wait(HostProcess& host) { plat::WaitProcess(ProcessOf(host.Process())); }

uint64_t DriverMachine::NowMs() const { return state_->rig.sched.Now() / plat::kNsPerMs; }

void DriverMachine::Capture(bool on) {
  if (on) state_->unit.Playback().ClearCapture();
  state_->unit.Playback().SetCapture(on, 96000 * 12);
}

std::vector<int32_t> DriverMachine::Played(uint32_t channel) const {
  return state_->unit.Playback().Captured(static_cast<int>(channel));
}

bool DriverMachine::AsioSessionIdle() const {
  QX531PnpDevice* device = state_->rig.DeviceOf(state_->unit);
  if (device == nullptr) return true;
  const AsioClientState& asio = device->AsioState();
  return !asio.mActive && asio.mEvent == nullptr && asio.mIndexMdl == nullptr && asio.mOwner == nullptr;
}

size_t DriverMachine::PoolOutsideProcesses() const {
  size_t allocations = 0;
  for (const plat::PoolUse& use : plat::PoolLedger::Outstanding())
    if (plat::TagText(use.tag) != "Proc" && plat::TagText(use.tag) != "Thre") allocations += use.allocations;
  return allocations;
}

void DriverMachine::Shutdown() {
  if (state_->rig.DeviceOf(state_->kr6) != nullptr) state_->rig.Unplug(state_->kr6);
  if (state_->rig.DeviceOf(state_->unit) != nullptr) state_->rig.Unplug(state_->unit);
  state_->rig.Shutdown();
}

bool ContinuesRamp(uint32_t channel, const int32_t* samples, size_t count, bool* known, uint32_t* next) {
  bool continues = true;
  for (size_t f = 0; f < count; ++f) {
    const auto sample = static_cast<uint32_t>(samples[f]);
    if (*known && sample != (channel << 24 | (*next & 0xFFFFFF))) continues = false;
    *next = (sample & 0xFFFFFF) + 1;
    *known = true;
  }
  return continues;
}

uint64_t PlaybackBreaks(const std::vector<int32_t>& played, uint32_t channel, size_t* checked) {
  size_t start = 0;
  while (start < played.size() && played[start] == 0) ++start;
  uint64_t breaks = 0;
  for (size_t i = start; i + 1 < played.size(); ++i) {
    const auto now = static_cast<uint32_t>(played[i]);
    const auto next = static_cast<uint32_t>(played[i + 1]);
    if (now >> 24 != channel || next != (channel << 24 | ((now + 1) & 0xFFFFFF))) ++breaks;
  }
  *checked = played.size() - start;
  return breaks;
}

}  // namespace asiotest
