#include "tests/client/ClientMachine.h"

#include <cstring>

#include "platform/kernel/IoManager.h"
#include "platform/kernel/PnpTestBus.h"
#include "platform/kernel/Process.h"
#include "platform/kernel/RegistryHive.h"
#include "platform/kernel/Scheduler.h"
#include "platform/kernel/include/wdm.h"
#include "platform/win32/Session.h"
#include "platform/kernel/WideText.h"

namespace ctest {
namespace {

constexpr char16_t kService[] = u"QxScripted";
constexpr char16_t kHardwareId[] = u"QXCLIENT\\UNIT";

PDEVICE_OBJECT Pdo(Machine::Unit unit) { return static_cast<PDEVICE_OBJECT>(unit); }

std::u16string Link(Machine::Unit unit) {
  GUID g;
  std::memcpy(&g, scripted::kInterfaceClass, sizeof g);
  PWSTR list = nullptr;
  if (!NT_SUCCESS(IoGetDeviceInterfaces(&g, Pdo(unit), DEVICE_INTERFACE_INCLUDE_NONACTIVE, &list))) return {};
  std::u16string link = plat::U16(list);
  ExFreePool(list);
  return link;
}

// One test request to the unit, from kernel mode.
NTSTATUS Ask(Machine::Unit unit, ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
             ULONG_PTR* information = nullptr) {
  PFILE_OBJECT file = nullptr;
  NTSTATUS status = plat::IoOpenFile(Link(unit), &file, KernelMode);
  if (!NT_SUCCESS(status)) return status;
  ULONG_PTR got = 0;
  status = plat::IoDeviceControl(file, code, in, inLength, out, outLength, &got);
  plat::IoCloseFile(file);
  if (information != nullptr) *information = got;
  return status;
}

}  // namespace

struct Machine::State_ {
  plat::Scheduler sched;
  unsigned instances = 0;
};

Machine::Machine(uint64_t seed) : state_(new State_) {
  state_->sched.SetSeed(seed);
  plat::RegistryHive::Clear();
  plat::win32::ClearSession();
  plat::PnpRegisterService(kService, std::u16string(kService) + u".sys");
  plat::PnpBindHardwareId(kHardwareId, kService);
}

Machine::~Machine() {
  plat::PnpShutdown();
  plat::RegistryHive::Clear();
  plat::win32::ClearSession();
  delete state_;
}

Machine::Unit Machine::Plug() {
  std::u16string instance;
  for (char c : std::to_string(++state_->instances)) instance += static_cast<char16_t>(c);
  PDEVICE_OBJECT pdo = plat::TestBus::Plug({kHardwareId, instance});
  plat::PnpSettle();
  return pdo;
}

void Machine::Unplug(Unit unit) {
  plat::TestBus::Unplug(Pdo(unit));
  plat::PnpSettle();
}

std::string Machine::InterfacePath(Unit unit) const {
  std::string path = "\\\\?\\";
  for (char16_t c : Link(unit).substr(4)) path += static_cast<char>(c);
  return path;
}

void Machine::SetReply(Unit unit, const scripted::Reply& reply) {
  Ask(unit, scripted::kSetReply, &reply, sizeof reply, nullptr, 0);
}

std::vector<scripted::LogEntry> Machine::Log(Unit unit) {
  std::vector<scripted::LogEntry> log(4096);
  ULONG_PTR got = 0;
  Ask(unit, scripted::kReadLog, nullptr, 0, log.data(), static_cast<ULONG>(log.size() * sizeof log[0]), &got);
  log.resize(got / sizeof log[0]);
  return log;
}

void Machine::ClearLog(Unit unit) { Ask(unit, scripted::kClearLog, nullptr, 0, nullptr, 0); }

scripted::State Machine::State(Unit unit) {
  scripted::State s{};
  Ask(unit, scripted::kReadState, nullptr, 0, &s, sizeof s);
  return s;
}

void Machine::FailNext(Unit unit, uint32_t request, uint32_t count) {
  scripted::FailNext f{request, count};
  Ask(unit, scripted::kFailNext, &f, sizeof f, nullptr, 0);
}

void Machine::FailFlashCommands(Unit unit, uint32_t count) { Ask(unit, scripted::kFailFlash, &count, 4, nullptr, 0); }
void Machine::CorruptCrcs(Unit unit, uint32_t count) { Ask(unit, scripted::kCorruptCrc, &count, 4, nullptr, 0); }

bool Machine::RunUntil(const std::function<bool()>& done, uint64_t ms) {
  return state_->sched.RunUntil(done, state_->sched.Now() + static_cast<plat::VTime>(ms) * plat::kNsPerMs);
}
uint64_t Machine::NowMs() const { return static_cast<uint64_t>(state_->sched.Now() / plat::kNsPerMs); }
size_t Machine::OutstandingPool() const { return plat::PoolLedger::OutstandingAllocations(); }

Runner Machine::Run() {
  return [this](const std::function<bool()>& done) { RunUntil(done, 24ull * 3600 * 1000); };
}

}  // namespace ctest
