// The audio of the main job: a client that streams all 18 channels each way and loops every record
// channel into its playback channel, as an ASIO host would with its inputs patched to its outputs.
// The unit's inputs carry sines on channels 1-16 and, on 17-18, the ramp that names channel and
// frame, so the loop can be checked bit for bit at the unit's outputs.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/kernel/Scheduler.h"
#include "sim/units/PlaybackConsumer.h"
#include "sim/units/WavWriter.h"
#include "tools/qx5310sim/LoopCheck.h"

namespace sim {
class EnginePlatformDouble;
class MainUnit;
}  // namespace sim
class Report;

class AudioSession : private sim::PlaybackSink {
 public:
  static constexpr uint32_t kChannels = 18;

  // The WAV files of what was recorded and what the unit received go into outDir.
  AudioSession(plat::Scheduler& scheduler, sim::MainUnit& unit, sim::EnginePlatformDouble& engine, std::string outDir);
  ~AudioSession();

  // Sets rate and buffer size as the panel would, starts streaming and waits until the stream
  // locks; false (and a loss in the report) when it does not.
  bool Start(uint32_t rate, uint32_t frames, plat::VTime recordFor, Report& report);
  void Stop();  // before the engine goes
  void WriteReport(Report& report);

  // Under faults: a gap in the recorded stream, and a loop that comes back at another distance, are
  // allowed where a fault broke the stream, and nowhere else. Called before Start.
  void ExpectFaults();
  // A fault is injected now.
  void FaultAt();
  uint32_t RecordChannel() const;
  // How often and for how long the stream was broken, and what it lost.
  void WriteFaultReport(Report& report) const;

 private:
  void OnHalf(uint32_t half, uint32_t frames);
  void Played(const int32_t* samples, uint32_t frames, uint32_t channels) override;
  void DropFiles();
  uint64_t RecordLists() const;
  void NoteBreaks(uint64_t gapsBefore);
  static constexpr uint64_t kListsAFaultStaysOpen = 8;

  plat::Scheduler& sched_;
  sim::MainUnit& unit_;
  sim::EnginePlatformDouble& engine_;
  std::string recordedPath_;
  std::string receivedPath_;
  uint32_t rate_ = 0;
  uint32_t frames_ = 0;
  plat::VTime started_ = 0;
  plat::VTime lockedAt_ = 0;
  // The output is written and checked as it comes; these rows hold one half or one packet.
  sim::WavWriter recordedWav_;
  sim::WavWriter receivedWav_;
  std::unique_ptr<LoopCheck> loop_;
  std::vector<int32_t> recordedRows_;
  std::vector<int32_t> playedRows_;
  uint32_t measuredRate_ = 0;
  uint32_t dbcErrors_ = 0;
  uint32_t dbsErrors_ = 0;
  uint64_t halves_ = 0;
  uint64_t wrongHalves_ = 0;
  // Under faults.
  bool faultMode_ = false;
  bool faultOpen_ = false;  // a fault was injected and its breaks are yet to come
  uint64_t faultAtLists_ = 0;
  uint64_t faults_ = 0;
  plat::VTime lastHalfAt_ = 0;
  uint64_t listsAtLastHalf_ = 0;
  uint64_t breaks_ = 0;
  uint64_t breaksWithoutFault_ = 0;
  plat::VTime brokenFor_ = 0;
  std::vector<uint64_t> listsUntilBack_;
  uint64_t gapsInFaults_ = 0;
  uint64_t gapsOutside_ = 0;
  plat::VTime faultsFrom_ = 0;
  std::string unitAtEnd_;  // what the unit was doing when the run ended with the stream broken
};
