// The audio of the main job: the panel sets rate and buffer size, and a client streams all 18
// channels each way through the kernel driver, looping every record channel into its playback
// channel. Until the ASIO host has its road through the driver, that client is the kernel client
// of the published interface, which loops in its per-buffer callback. The unit's inputs carry
// sines on channels 1-16 and, on 17-18, the ramp that names channel and frame, so what the unit
// plays can be checked bit for bit against what it sampled.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/kernel/Scheduler.h"
#include "sim/units/PlaybackConsumer.h"
#include "sim/units/SignalSource.h"
#include "sim/units/WavWriter.h"
#include "tools/qx5310sim/LoopCheck.h"

namespace sim {
class MainUnit;
}  // namespace sim
class KernelClientLink;
class Report;

class AudioSession : private sim::PlaybackSink {
 public:
  static constexpr uint32_t kChannels = 18;

  // The WAV file of what the unit received goes into outDir.
  AudioSession(plat::Scheduler& scheduler, sim::MainUnit& unit, KernelClientLink& client, std::string outDir);
  ~AudioSession();

  // Sets rate and buffer size as the panel would, starts the client's streams and waits until the
  // host sees the stream locked; false (and a loss in the report) when it does not.
  bool Start(uint32_t rate, uint32_t frames, plat::VTime recordFor, Report& report);
  // The client starts again on a main unit that came back.
  bool Restart();
  void Stop();
  void WriteReport(Report& report);

  // Under faults: breaks in what the unit plays are allowed where a fault broke the stream, and
  // nowhere else. Called before Start.
  void ExpectFaults();
  // A fault is injected now.
  void FaultAt();
  // Whether the unit is playing what the client sends now.
  bool Playing() const;
  // How often and for how long the stream was broken at the unit.
  void WriteFaultReport(Report& report) const;

 private:
  void Played(const int32_t* samples, uint32_t frames, uint32_t channels) override;
  void RecordUpTo(uint64_t frame);
  bool HostSeesLock();
  void DropFile();

  plat::Scheduler& sched_;
  sim::MainUnit& unit_;
  KernelClientLink& client_;
  std::string receivedPath_;
  sim::SignalSource inputs_;  // what the unit samples, as it samples it
  uint32_t rate_ = 0;
  uint32_t frames_ = 0;
  plat::VTime started_ = 0;
  plat::VTime lockedAt_ = 0;
  uint64_t framesAtStop_ = 0;
  uint64_t recordedUpTo_ = 0;  // the unit's frames given to the loop check
  sim::WavWriter receivedWav_;
  std::unique_ptr<LoopCheck> loop_;
  std::vector<int32_t> rows_;  // one packet's frames, or a run of sampled ones
  // Under faults.
  bool faultMode_ = false;
  uint32_t faults_ = 0;
  plat::VTime faultsFrom_ = 0;
  plat::VTime lastFaultAt_ = 0;
  plat::VTime lastPlayedAt_ = 0;
  uint32_t breaks_ = 0;
  uint32_t breaksWithoutFault_ = 0;
  plat::VTime brokenFor_ = 0;
  std::string unitAtEnd_;
};
