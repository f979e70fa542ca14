// A program of the host: a simulated user process of its own, which the machine runs. Kept apart
// from the user-mode code it runs, which includes <windows.h>.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Runs `body` as the entry of a 64-bit process named `image` until the process has ended; its exit
// code.
uint32_t RunHostProgram(const std::string& image, const std::function<uint32_t()>& body);

// Starts the program image `image` ("QX5310Panel.exe") in a 64-bit process with `commandLine` (the
// program's name first) and runs the machine until the process has ended; its exit code. A program
// that cannot start is a violation.
uint32_t RunProgramImage(const std::string& image, const std::string& commandLine);

// A program that runs beside the machine until its entry returns.
class HostProgram {
 public:
  HostProgram() = default;
  ~HostProgram();
  HostProgram(const HostProgram&) = delete;
  HostProgram& operator=(const HostProgram&) = delete;

  // Starts a 64-bit process named `image` at `body`; it runs as the machine runs.
  void Start(const std::string& image, std::function<uint32_t()> body);
  // Starts the program image `image` in a 64-bit process with `commandLine`; its WinMain's value is
  // the exit code. A program that cannot start is a violation.
  void StartImage(const std::string& image, const std::string& commandLine);
  // What the process ended with, kept once it has ended.
  uint32_t ExitCode() const { return exitCode_; }
  // Runs the machine until the process has ended (its entry told to return first).
  void Wait();
  // Ends a process that would not end by itself, with exit code 1.
  void Kill();
  bool Running() const { return process_ != nullptr; }
  // Whether its entry has returned (or it was killed), before Wait lets it go.
  bool Ended() const;
  // The process's id, 0 once it has been let go.
  uint32_t ProcessId() const;
  // What the process wrote with OutputDebugString: so far while it runs, all of it once it ended.
  std::string DebugOutput() const;

 private:
  void* process_ = nullptr;
  std::string debugOutput_;
  uint32_t exitCode_ = 0;
};
