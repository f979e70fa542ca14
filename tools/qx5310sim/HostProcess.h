// A program of the host: a simulated user process of its own, which the machine runs. Kept apart
// from the user-mode code it runs, which includes <windows.h>.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Runs `body` as the entry of a 64-bit process named `image` until the process has ended; its exit
// code.
uint32_t RunHostProgram(const std::string& image, const std::function<uint32_t()>& body);

// A program that runs beside the machine until its entry returns.
class HostProgram {
 public:
  HostProgram() = default;
  ~HostProgram();
  HostProgram(const HostProgram&) = delete;
  HostProgram& operator=(const HostProgram&) = delete;

  // Starts a 64-bit process named `image` at `body`; it runs as the machine runs.
  void Start(const std::string& image, std::function<uint32_t()> body);
  // Runs the machine until the process has ended (its entry told to return first).
  void Wait();
  bool Running() const { return process_ != nullptr; }
  // What the process wrote with OutputDebugString, kept once it has ended.
  const std::string& DebugOutput() const { return debugOutput_; }

 private:
  void* process_ = nullptr;
  std::string debugOutput_;
};
