// The audio of the main job, as far as the kernel driver carries it today: the panel sets the
// sample rate and buffer size through the client library. The driver does not yet attach a
// client's channels to the streams (its channel buffers and the ASIO requests 256-266 are still
// to come), so no audio stream is started: a stream of no channels would leave the engine reading
// the unit's status words from the wrong slots.
#pragma once

#include <cstdint>

class Report;

class AudioSession {
 public:
  // Sets rate and buffer size as the panel would; false (and a loss in the report) when the
  // driver refused them.
  bool Configure(uint32_t rate, uint32_t frames, Report& report);
  void WriteReport(Report& report) const;

 private:
  uint32_t rate_ = 0;
  uint32_t frames_ = 0;
};
