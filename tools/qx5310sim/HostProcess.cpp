#include "tools/qx5310sim/HostProcess.h"

#include "platform/kernel/Process.h"

uint32_t RunHostProgram(const std::string& image, const std::function<uint32_t()>& body) {
  plat::Process* process = plat::StartProcess(image, 64, [&body]() -> ULONG { return body(); });
  plat::WaitProcess(process);
  const uint32_t code = process->ExitCode();
  plat::ReleaseProcess(process);
  return code;
}
