#include "tests/panel/PanelProcess.h"

#include "platform/kernel/Process.h"
#include "platform/kernel/Scheduler.h"

namespace ptest {
namespace {

plat::Process* P(void* process) { return static_cast<plat::Process*>(process); }

}  // namespace

Process::Process(const std::string& image, const std::string& arguments, unsigned bits) {
  process_ = plat::StartProgram(image, arguments.empty() ? image : image + " " + arguments, bits);
}

Process::~Process() {
  if (process_ == nullptr) return;
  if (!Ended()) plat::KillProcess(P(process_), 1);
  plat::WaitProcess(P(process_));
  plat::ReleaseProcess(P(process_));
}

bool Process::Ended() const { return P(process_)->Ended(); }
uint32_t Process::ExitCode() const { return P(process_)->ExitCode(); }
uint32_t Process::Id() const { return P(process_)->Id(); }
std::string Process::DebugOutput() const { return P(process_)->DebugOutput(); }
void Process::Kill() { plat::KillProcess(P(process_), 1); }

bool Process::WaitEnd(uint64_t ms) {
  return RunUntil([this] { return Ended(); }, ms);
}

uint64_t NowMs() { return static_cast<uint64_t>(plat::Scheduler::Current().Now() / plat::kNsPerMs); }

void RunFor(uint64_t ms) { plat::Scheduler::Current().RunFor(static_cast<plat::VTime>(ms) * plat::kNsPerMs); }

bool RunUntil(const std::function<bool()>& done, uint64_t ms) {
  plat::Scheduler& sched = plat::Scheduler::Current();
  return sched.RunUntil(done, sched.Now() + static_cast<plat::VTime>(ms) * plat::kNsPerMs);
}

}  // namespace ptest
