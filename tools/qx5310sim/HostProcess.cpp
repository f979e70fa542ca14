#include "tools/qx5310sim/HostProcess.h"

#include "platform/kernel/Process.h"
#include "platform/kernel/Verifier.h"

namespace {

plat::Process* StartProgramImage(const std::string& image, const std::string& commandLine) {
  ULONG error = 0;
  plat::Process* process = plat::StartProgram(image, commandLine, 64, &error);
  if (process == nullptr) plat::Violation("the program " + image + " cannot start: error " + std::to_string(error));
  return process;
}

}  // namespace

uint32_t RunHostProgram(const std::string& image, const std::function<uint32_t()>& body) {
  plat::Process* process = plat::StartProcess(image, 64, [&body]() -> ULONG { return body(); });
  plat::WaitProcess(process);
  const uint32_t code = process->ExitCode();
  plat::ReleaseProcess(process);
  return code;
}

uint32_t RunProgramImage(const std::string& image, const std::string& commandLine) {
  plat::Process* process = StartProgramImage(image, commandLine);
  plat::WaitProcess(process);
  const uint32_t code = process->ExitCode();
  plat::ReleaseProcess(process);
  return code;
}

HostProgram::~HostProgram() { Wait(); }

void HostProgram::Start(const std::string& image, std::function<uint32_t()> body) {
  process_ = plat::StartProcess(image, 64, [body = std::move(body)]() -> ULONG { return body(); });
}

void HostProgram::StartImage(const std::string& image, const std::string& commandLine) {
  process_ = StartProgramImage(image, commandLine);
}

std::string HostProgram::DebugOutput() const {
  return process_ != nullptr ? static_cast<plat::Process*>(process_)->DebugOutput() : debugOutput_;
}

bool HostProgram::Ended() const { return process_ == nullptr || static_cast<plat::Process*>(process_)->Ended(); }

uint32_t HostProgram::ProcessId() const {
  return process_ != nullptr ? static_cast<plat::Process*>(process_)->Id() : 0;
}

void HostProgram::Kill() {
  if (process_ != nullptr) plat::KillProcess(static_cast<plat::Process*>(process_));
}

void HostProgram::Wait() {
  if (process_ == nullptr) return;
  auto* process = static_cast<plat::Process*>(process_);
  plat::WaitProcess(process);
  debugOutput_ = process->DebugOutput();
  exitCode_ = process->ExitCode();
  plat::ReleaseProcess(process);
  process_ = nullptr;
}
