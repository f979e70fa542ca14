// The audio of the main job: a host program sets rate and buffer size, and an ASIO host in a process of
// its own finds the ASIO driver as hosts do, loads its DLL and streams all 18 channels each way
// through it, copying every record channel into its playback channel from each buffer switch as a
// host with its inputs patched to its outputs would. The unit's inputs carry, on channels 1-2 and
// 17-18, the ramp that names channel and frame, and sines on 3-16, so the loop can be checked bit
// for bit at the unit's outputs. Beside another client that plays on a pair, the host plays silence
// there and the loop is checked on the other channels.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/kernel/Scheduler.h"
#include "sim/units/PlaybackConsumer.h"
#include "tools/qx5310sim/AsioLoopHost.h"
#include "tools/qx5310sim/HostProcess.h"
#include "tools/qx5310sim/LoopCheck.h"
#include "tools/qx5310sim/QueuedWavFile.h"
#include "tools/qx5310sim/WriterThread.h"

namespace sim {
class MainUnit;
}  // namespace sim
class Report;
class WaveA1Host;

class AudioSession : private sim::PlaybackSink {
 public:
  static constexpr uint32_t kChannels = 18;

  // The WAV files of what was recorded and what the unit received go into outDir, written on
  // `writer`, which outlives the session.
  AudioSession(plat::Scheduler& scheduler, sim::MainUnit& unit, std::string outDir, WriterThread& writer);
  ~AudioSession();

  // Sets rate and buffer size through the client library (unless `alreadySet`, by the panel), starts
  // the ASIO host and waits until the host sees the stream locked; false (and a loss in the report)
  // when it does not.
  bool Start(uint32_t rate, uint32_t frames, plat::VTime recordFor, Report& report, bool alreadySet = false);
  // The main unit came back: the host creates the driver again.
  void Restart();
  // Ends the host's program; before the units go.
  void Stop();
  void WriteReport(Report& report);
  // A host of the audio stack plays on "WaveA1" from now (null: no longer): the ASIO host plays
  // silence on its channels, and what the unit plays there goes to that host's check.
  void PlayBeside(WaveA1Host* wave);

  // Under faults: breaks are allowed where a fault broke the stream, and nowhere else. Called
  // before Start.
  void ExpectFaults();
  // A fault is injected now.
  void FaultAt();
  // Whether the unit is playing what the host sends now.
  bool Playing() const;
  // How often and for how long the stream was broken at the unit.
  void WriteFaultReport(Report& report) const;

 private:
  void OnHalf(const std::vector<const int32_t*>& record, uint32_t frames);
  void Played(const int32_t* samples, uint32_t frames, uint32_t channels) override;
  bool HostSeesLock();
  void DropFiles();

  plat::Scheduler& sched_;
  sim::MainUnit& unit_;
  std::string recordedPath_;
  std::string receivedPath_;
  uint32_t rate_ = 0;
  uint32_t frames_ = 0;
  plat::VTime started_ = 0;
  plat::VTime lockedAt_ = 0;
  uint64_t framesAtStop_ = 0;
  // The host's program and what it tells the machine.
  HostProgram host_;
  AsioLoopHost asio_;
  // What was recorded and what the unit played go through buffers of one half or one packet into
  // the WAV files and the loop check, so nothing grows with the run; the files are written off the
  // simulation, on the program's writer thread.
  QueuedWavFile recordedWav_;
  QueuedWavFile receivedWav_;
  std::unique_ptr<LoopCheck> loop_;
  std::vector<int32_t> recordedRows_;
  std::vector<int32_t> playedRows_;
  bool heardHost_ = false;  // the unit has played a frame of the host's
  WaveA1Host* beside_ = nullptr;
  uint32_t notLooped_ = 0;  // channels the ASIO host plays silence on
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
