#include "tools/qx5310sim/HostProcess.h"

#include "platform/kernel/Process.h"

uint32_t RunHostProgram(const std::string& image, const std::function<uint32_t()>& body) {
  plat::Process* process = plat::StartProcess(image, 64, [&body]() -> ULONG { return body(); });
  plat::WaitProcess(process);
  const uint32_t code = process->ExitCode();
  plat::ReleaseProcess(process);
  return code;
}

HostProgram::~HostProgram() { Wait(); }

void HostProgram::Start(const std::string& image, std::function<uint32_t()> body) {
  process_ = plat::StartProcess(image, 64, [body = std::move(body)]() -> ULONG { return body(); });
}

void HostProgram::Wait() {
  if (process_ == nullptr) return;
  auto* process = static_cast<plat::Process*>(process_);
  plat::WaitProcess(process);
  debugOutput_ = process->DebugOutput();
  plat::ReleaseProcess(process);
  process_ = nullptr;
}
