// Programs of the panel's tests in processes of the current machine (a ctest::Machine of scripted
// units or a ctest::DriverMachine), in plain C++: a program image started with a command line, as
// a person or the log-on starts the panel, and the machine's virtual clock.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace ptest {

inline constexpr char kPanelImage[] = "QX5310Panel.exe";
inline constexpr char kPanelCaption[] = "QX-5310 Control Panel";

class Process {
 public:
  // Starts `image` with the command line "<image> <arguments>" (the image alone without arguments).
  explicit Process(const std::string& image, const std::string& arguments = "", unsigned bits = 64);
  // Ends a program still running, then lets the process go.
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool Started() const { return process_ != nullptr; }
  bool Ended() const;
  uint32_t ExitCode() const;
  uint32_t Id() const;
  std::string DebugOutput() const;
  // Runs the machine until the program has ended; false when it runs on past `ms` virtual ms.
  bool WaitEnd(uint64_t ms);
  void Kill();

 private:
  void* process_ = nullptr;
};

// The current machine's virtual clock.
uint64_t NowMs();
void RunFor(uint64_t ms);
bool RunUntil(const std::function<bool()>& done, uint64_t ms);

}  // namespace ptest
