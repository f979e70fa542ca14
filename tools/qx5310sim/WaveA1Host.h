// A host of Windows' audio stack beside the ASIO host: it plays a WAV file of a test tone on the
// render pin of "WaveA1" (the main unit's outputs 1-2) and records from its capture pin (inputs
// 1-2) into a WAV file, through the pin client, as 32-bit stereo at the session's rate. The ASIO
// host plays silence on outputs 1-2 meanwhile, so the unit driver's saturating mix of the two
// clients leaves what WaveA1 plays as it is, and it is checked bit for bit where the unit played
// it; inputs 1-2 carry the ramp that names channel and frame, so what WaveA1 records is checked
// bit for bit and for gaps.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/kernel/Scheduler.h"
#include "platform/portcls/PinClient.h"

class Report;

class WaveA1Host {
 public:
  static constexpr uint32_t kChannelMask = 0x3;  // the unit's channels 1-2 both ways
  static constexpr uint32_t kBits = 32;

  // On the main unit with this bus GUID; the WAV files go into outDir.
  WaveA1Host(uint64_t unitGuid, std::string outDir);
  ~WaveA1Host();

  // Writes the file it plays, opens both pins at `rate` and runs them, to record for about
  // `recordFor`; false (and a loss in the report) when a step failed.
  bool Start(uint32_t rate, plat::VTime recordFor, Report& report);
  // Frames as the unit played them, `stride` samples apart, channel 1 first.
  void Played(const int32_t* rows, uint32_t frames, uint32_t stride);
  // Stops and closes the pins, keeping what was recorded; before the unit goes.
  void Stop();
  void WriteReport(Report& report);

 private:
  // The recorded WAV file, from the capture pin's bytes; false when it could not be written.
  bool WriteRecorded() const;
  uint64_t unitGuid_;
  std::string playedPath_;
  std::string recordedPath_;
  uint32_t rate_ = 0;
  std::unique_ptr<plat::KsFilter> filter_;
  std::unique_ptr<plat::KsWavePin> render_;
  std::unique_ptr<plat::KsWavePin> capture_;
  std::vector<int32_t> file_;  // the played file's frames, interleaved
  std::vector<UCHAR> recorded_;
  // The check of what the unit played: once the unit plays silence there, the file starts at the
  // first frame that is not silent.
  bool silenced_ = false;
  bool started_ = false;
  uint64_t next_ = 0;  // the file's frame the unit is to play next
  uint64_t matched_ = 0;
  uint64_t differing_ = 0;
  uint64_t noisyAfter_ = 0;  // frames not silent after the file ended
};
