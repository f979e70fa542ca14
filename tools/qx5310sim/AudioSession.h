// The audio of the main job: a client that streams all 18 channels each way and loops every record
// channel into its playback channel, as an ASIO host would with its inputs patched to its outputs.
// The unit's inputs carry sines on channels 1-16 and, on 17-18, the ramp that names channel and
// frame, so the loop can be checked bit for bit at the unit's outputs.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/kernel/Scheduler.h"

namespace sim {
class EnginePlatformDouble;
class MainUnit;
}  // namespace sim
class Report;

class AudioSession {
 public:
  static constexpr uint32_t kChannels = 18;

  AudioSession(plat::Scheduler& scheduler, sim::MainUnit& unit, sim::EnginePlatformDouble& engine);

  // Sets rate and buffer size as the panel would, starts streaming and waits until the stream
  // locks; false (and a loss in the report) when it does not.
  bool Start(uint32_t rate, uint32_t frames, plat::VTime recordFor, Report& report);
  void Stop();  // before the engine goes
  void WriteReport(Report& report, const std::string& outDir);

 private:
  void OnHalf(uint32_t half, uint32_t frames);

  plat::Scheduler& sched_;
  sim::MainUnit& unit_;
  sim::EnginePlatformDouble& engine_;
  uint32_t rate_ = 0;
  uint32_t frames_ = 0;
  plat::VTime started_ = 0;
  plat::VTime lockedAt_ = 0;
  std::array<std::array<std::vector<uint32_t>, kChannels>, 2> client_;
  std::array<std::vector<int32_t>, kChannels> recorded_;
  size_t recordLimit_ = 0;
  uint32_t measuredRate_ = 0;
  uint32_t dbcErrors_ = 0;
  uint32_t dbsErrors_ = 0;
  uint64_t halves_ = 0;
  uint64_t wrongHalves_ = 0;
};
