// A program for the tests: a simulated process of the given bitness whose one thread carries out
// jobs the test hands it, one at a time, in user mode, while the test runs the machine.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace ctest {

// Runs a machine until the condition holds.
using Runner = std::function<void(const std::function<bool()>&)>;

class Program {
 public:
  explicit Program(Runner run, unsigned bits = 64);
  ~Program();  // ends the program and waits for its end
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // Runs `job` on the program's thread, and the machine until the job has returned.
  void Do(std::function<void()> job);
  std::string DebugOutput() const;
  uint32_t Id() const;

 private:
  struct Shared;
  Runner run_;
  std::shared_ptr<Shared> shared_;
  void* process_;
};

}  // namespace ctest
