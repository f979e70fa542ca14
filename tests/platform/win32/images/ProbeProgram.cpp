// A program image for the tests of program start: what it does is chosen by its first argument.
//   "exit" N      returns N.
//   "globals" X   keeps X in a global, lets the other programs run, then writes the global and how
//                 often this copy's static constructor ran: "X 1".
//   "wait"        waits for its event "ProbeProgramQuit" followed by its process id, so that a test
//                 can run threads in it.
//   anything else writes each of __argv, one a line, then "line:" and WinMain's line; returns __argc.
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

int gConstructed = 0;

struct Constructed {
  Constructed() { ++gConstructed; }
} gConstructor;

std::string gName;

void Write(const std::string& text) { OutputDebugStringA(text.c_str()); }

}  // namespace

int WinMain(HINSTANCE, HINSTANCE, LPSTR lpCmdLine, int) {
  std::string mode = __argc > 1 ? __argv[1] : "";
  if (mode == "exit" && __argc > 2) return std::atoi(__argv[2]);
  if (mode == "globals" && __argc > 2) {
    gName = __argv[2];
    Sleep(1);
    Write(gName + " " + std::to_string(gConstructed));
    return 0;
  }
  if (mode == "wait") {
    std::string name = "ProbeProgramQuit" + std::to_string(GetCurrentProcessId());
    HANDLE quit = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    WaitForSingleObject(quit, INFINITE);
    CloseHandle(quit);
    return 0;
  }
  for (int i = 0; i < __argc; ++i) Write(std::string(__argv[i]) + "\n");
  Write(std::string("line:") + lpCmdLine);
  return __argc;
}
