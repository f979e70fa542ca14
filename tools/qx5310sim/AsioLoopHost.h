// The ASIO host of the main job, as it runs in a process of its own: it finds the ASIO driver among
// those listed, loads its DLL, runs the setup hosts run with buffers for every channel each way,
// starts, and from each buffer switch hands the recorded half on and copies each record channel
// into its playback channel (silence on the channels it is told to leave alone). Kept apart from
// the machine's code, since it includes <windows.h>.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace plat::asio {
class AsioHostHarness;
}  // namespace plat::asio

// What the host's buffer switches carried.
struct AsioSwitchStats {
  uint64_t count = 0;
  uint64_t notAlternating = 0;
  uint64_t withoutTimeInfo = 0;
  uint64_t positionOff = 0;   // a sample position that did not advance by the frames
  uint64_t rateChanged = 0;   // switches flagged with a changed sample rate
  uint32_t flagsMissing = 0;  // valid flags some switch with time info lacked
  uint64_t outputReadyFailures = 0;
};

class AsioLoopHost {
 public:
  enum class State { Opening, Streaming, Failed };
  static constexpr uint32_t kChannels = 18;
  // The valid flags every switch's time info should carry: system time, sample position, rate.
  static const uint32_t kValidTimeFlags;

  // `onHalf` gets every recorded half, on the buffer-switch thread.
  explicit AsioLoopHost(std::function<void(const std::vector<const int32_t*>& record, uint32_t frames)> onHalf);

  // The process's entry: streams at `frames` a half until Stop. On a reset request, when a unit
  // comes or goes, or once Reopen says the main unit came back, it lets the driver go and creates
  // it again; a driver that answers ASE_NotPresent is let go at once and created again once the
  // units change.
  uint32_t Main(uint32_t frames);
  void Reopen() { reopen_ = true; }
  void Stop() { stop_ = true; }
  // The channels played as silence, a bit each.
  void SetSilent(uint32_t mask) { silent_ = mask; }

  State HostState() const { return state_; }
  const std::string& Failure() const { return failure_; }
  const std::string& ListedName() const { return listedName_; }
  const std::string& DriverName() const { return driverName_; }
  int32_t DriverVersion() const { return driverVersion_; }
  uint64_t Created() const { return created_; }
  uint64_t ResetRequests() const { return resetRequests_; }
  // How often the units changed under the streaming host.
  uint64_t DeviceChanges() const { return deviceChanges_; }
  // How often a quiet stream's driver answered ASE_NotPresent.
  uint64_t NotPresent() const { return notPresent_; }
  const AsioSwitchStats& Switches() const { return stats_; }
  // The names of the time info's valid flags in `flags`, comma-separated.
  static std::string FlagNames(uint32_t flags);

 private:
  bool Open(plat::asio::AsioHostHarness& asio);
  // Counts the switches the harness recorded since the last call and lets go of their records.
  void TakeSwitches(plat::asio::AsioHostHarness& asio);

  std::function<void(const std::vector<const int32_t*>&, uint32_t)> onHalf_;
  uint32_t frames_ = 0;
  std::atomic<uint32_t> silent_ = 0;
  std::atomic<bool> stop_ = false;
  std::atomic<bool> reopen_ = false;
  std::atomic<bool> resetRequested_ = false;
  std::atomic<State> state_ = State::Opening;
  std::string failure_;
  std::string listedName_;
  std::string driverName_;
  int32_t driverVersion_ = 0;
  uint64_t created_ = 0;
  uint64_t resetRequests_ = 0;
  uint64_t notPresent_ = 0;
  uint64_t deviceChanges_ = 0;
  std::atomic<uint64_t> delivered_ = 0;  // buffer switches so far
  AsioSwitchStats stats_;
  int32_t lastIndex_ = -1;  // of the driver object's latest switch
  uint64_t lastPosition_ = 0;
  bool positionKnown_ = false;
};
