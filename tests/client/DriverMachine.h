// A machine with the unit driver itself: the simulated 1394 bus with a main unit and KR-6 units,
// qx5310.sys loaded by plug and play from its image, in plain C++ so that the library's tests,
// written against <windows.h>, stay apart from the kernel's headers.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "tests/client/Program.h"

namespace sim {
class MainUnit;
class Kr6Unit;
}  // namespace sim

namespace ctest {

class DriverMachine {
 public:
  explicit DriverMachine(uint64_t seed = 0);
  ~DriverMachine();
  DriverMachine(const DriverMachine&) = delete;
  DriverMachine& operator=(const DriverMachine&) = delete;

  // Before plugging: an audio adapter stand-in on every unit's child device, which lets the host
  // send MIDI to a KR-6.
  void InstallAdapters();
  void PlugMain();
  void UnplugMain();
  void PlugKr6(uint32_t serial);
  void UnplugKr6(uint32_t serial);
  Runner Run();
  // Runs until plug and play and the bus have settled and the writes they queued have landed.
  void Settle();

  // The simulated units, to press a button or fail a command at; plugged ones only.
  sim::MainUnit& Main();
  sim::Kr6Unit& Kr6(uint32_t serial);
  // Whether plug and play has started the unit's device; false for a unit not plugged.
  bool MainStarted();
  bool Kr6Started(uint32_t serial);

  // The kernel client bound to the main unit's interface, sending on the surface's cable.
  void StartKernelClient();
  // A surface message from the host, through the kernel client to the main unit, or through the
  // adapter to the one KR-6; false when the driver refused part of it.
  bool SendToMainSurface(const std::vector<uint8_t>& message);
  bool SendToKr6Surface(const std::vector<uint8_t>& message);

  // What a KR-6 holds in a flash partition (1 firmware, 2 FPGA), and whether it was finished.
  std::vector<uint8_t> Flashed(uint32_t serial, int partition);
  bool FlashFinished(uint32_t serial, int partition);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace ctest
