// The start routine of a program image, the one entry its process calls: the arguments, then
// WinMain, whose value ends the process. Static constructors have run before it, when the image
// was mapped; static destructors run when the process's end unmaps the image.
#include <string>
#include <vector>

#include "platform/crt/CommandLine.h"
#include "platform/kernel/ImageExport.h"
#include "platform/win32/include/windows.h"

int __argc = 0;
char** __argv = nullptr;

namespace {

std::vector<std::string> gArguments;
std::vector<char*> gArgumentVector;

}  // namespace

extern "C" QX_IMAGE_EXPORT DWORD WinMainCRTStartup() {
  LPSTR line = GetCommandLineA();
  gArguments = plat::crt::SplitCommandLine(line);
  for (std::string& argument : gArguments) gArgumentVector.push_back(argument.data());
  gArgumentVector.push_back(nullptr);
  __argc = static_cast<int>(gArguments.size());
  __argv = gArgumentVector.data();
  HINSTANCE instance = GetModuleHandleA(nullptr);
  LPSTR rest = const_cast<LPSTR>(plat::crt::ArgumentsAfterProgramName(line));
  return static_cast<DWORD>(WinMain(instance, nullptr, rest, SW_SHOWNORMAL));
}
