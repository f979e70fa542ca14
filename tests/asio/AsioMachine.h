// Machines for the ASIO driver's tests, in plain C++ so that the tests, written against the ASIO
// host and <windows.h>, stay apart from the kernel's headers: the unit driver with a simulated
// main unit on the 1394 bus, host programs as simulated processes, and the driver's registration
// as an installer writes it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace asiotest {

// The name the driver is listed under for ASIO hosts, and its DLL.
inline constexpr char kDriverKey[] = "QX531 24-bit";
inline constexpr char kDriverDll[] = "Qx5310A24x64.dll";

// Writes the keys through which hosts find the driver.
void RegisterDriver();

// A host program: a simulated 64-bit process running `body` on its first thread.
class HostProcess {
 public:
  explicit HostProcess(std::function<uint32_t()> body, const std::string& image = "host.exe");
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  bool Ended() const;
  uint32_t ExitCode() const;
  // Terminates it where it stands, as a crash does.
  void Kill();
  std::string DebugOutput() const;
  // Mappings drivers made into it that are still there.
  size_t Mappings() const;
  // Its threads that are still running, and its open handles.
  size_t RunningThreads() const;
  size_t Handles() const;
  void* Process() const { return process_; }

 private:
  void* process_;
};

class DriverMachine {
 public:
  explicit DriverMachine(uint64_t seed = 0);
  ~DriverMachine();
  DriverMachine(const DriverMachine&) = delete;
  DriverMachine& operator=(const DriverMachine&) = delete;

  // Before plugging: the audio adapter's stand-in on every unit's child device.
  void InstallAdapters();
  // The main unit plugged in (its driver started), or pulled out; the same for one KR-6.
  void PlugMain();
  void UnplugMain();
  void PlugKr6();
  void UnplugKr6();
  // Whether plug and play has started the unit's device.
  bool MainStarted() const;
  bool Kr6Started() const;
  // Whether an adapter is bound to the KR-6's child device, which gives it its MIDI port.
  bool Kr6AdapterBound() const;

  bool RunUntil(const std::function<bool()>& done, uint64_t ms);
  void RunFor(uint64_t ms);
  // Runs until the process has ended; a mapping it left behind fails the test.
  void Wait(HostProcess& host);
  uint64_t NowMs() const;

  // What the unit played on each channel while capturing; the unit samples c << 24 | frame on
  // record channel c.
  void Capture(bool on);
  std::vector<int32_t> Played(uint32_t channel) const;

  // The unit's ASIO session in the kernel driver: no client active, no event held, nothing mapped.
  bool AsioSessionIdle() const;
  // Pool outstanding outside the processes' own objects.
  size_t PoolOutsideProcesses() const;
  void Shutdown();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// True when `samples` continue channel `channel`'s ramp from `*next`, which is advanced; the
// first sample of a channel sets where it starts.
bool ContinuesRamp(uint32_t channel, const int32_t* samples, size_t count, bool* known, uint32_t* next);
// Breaks in the unit's playback of `channel` from its first nonzero frame on.
uint64_t PlaybackBreaks(const std::vector<int32_t>& played, uint32_t channel, size_t* checked);

}  // namespace asiotest
