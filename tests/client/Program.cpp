#include "tests/client/Program.h"

#include "platform/kernel/Process.h"
#include "platform/win32/KernelBridge.h"

namespace ctest {

struct Program::Shared {
  std::function<void()> job;
  bool done = false;
  bool quit = false;
};

Program::Program(Runner run, unsigned bits) : run_(std::move(run)), shared_(std::make_shared<Shared>()) {
  std::shared_ptr<Shared> shared = shared_;
  process_ = plat::StartProcess(bits == 32 ? "client32.exe" : "client.exe", bits, [shared]() -> ULONG {
    while (!shared->quit) {
      if (shared->job) {
        shared->job();
        shared->job = nullptr;
        shared->done = true;
      }
      plat::win32::Sleep(1);
    }
    return 0;
  });
}

Program::~Program() {
  shared_->quit = true;
  plat::WaitProcess(static_cast<plat::Process*>(process_));
  plat::ReleaseProcess(static_cast<plat::Process*>(process_));
}

void Program::Do(std::function<void()> job) {
  shared_->done = false;
  shared_->job = std::move(job);
  std::shared_ptr<Shared> shared = shared_;
  run_([shared] { return shared->done; });
}

std::string Program::DebugOutput() const { return static_cast<plat::Process*>(process_)->DebugOutput(); }
uint32_t Program::Id() const { return static_cast<plat::Process*>(process_)->Id(); }

}  // namespace ctest
