// A machine for tests of the client library, in plain C++ so that the library's sources (written
// against <windows.h>) and the machine's kernel side stay apart: units of the scripted unit driver
// on the test bus, and programs run as simulated processes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/client/Program.h"
#include "tests/client/images/ScriptedUnit.h"

namespace ctest {

class Machine {
 public:
  explicit Machine(uint64_t seed = 0);
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // A unit plugged into the test bus, its driver started and its interface enabled; the handle
  // names it to the calls below.
  using Unit = void*;
  Unit Plug();
  // The unit leaves the bus: surprise removal, then removal once programs closed it.
  void Unplug(Unit unit);
  // Its interface path as user mode sees it ("\\?\...").
  std::string InterfacePath(Unit unit) const;

  void SetReply(Unit unit, const scripted::Reply& reply);
  std::vector<scripted::LogEntry> Log(Unit unit);
  void ClearLog(Unit unit);
  scripted::State State(Unit unit);
  // The next `count` requests `request` fail.
  void FailNext(Unit unit, uint32_t request, uint32_t count);
  void FailFlashCommands(Unit unit, uint32_t count);
  void CorruptCrcs(Unit unit, uint32_t count);

  // Runs the machine until `done` or `ms` of virtual time have passed; true when done.
  bool RunUntil(const std::function<bool()>& done, uint64_t ms);
  // Runs the machine until `done`.
  Runner Run();
  uint64_t NowMs() const;
  size_t OutstandingPool() const;

 private:
  struct State_;
  State_* state_;
};

}  // namespace ctest
