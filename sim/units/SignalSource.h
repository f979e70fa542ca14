// The signals at the main unit's inputs, one per channel (the bit position of the channel in the
// input mask). The default ramp names channel and frame in every sample: channel << 24 | frame
// modulo 2^24, so a test can tell where each sample came from.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "sim/units/Wav.h"

namespace sim {

struct Signal {
  enum class Kind { Ramp, Sine, Silence, Wav };
  Kind kind = Kind::Ramp;
  double frequency = 1000.0;  // sine
  double amplitude = 0.5;     // sine, of full scale
  std::shared_ptr<const WavData> wav;
  uint16_t wavChannel = 0;

  static Signal Ramp() { return {}; }
  static Signal Silence() {
    Signal s;
    s.kind = Kind::Silence;
    return s;
  }
  static Signal Sine(double hz, double amplitude) {
    Signal s;
    s.kind = Kind::Sine;
    s.frequency = hz;
    s.amplitude = amplitude;
    return s;
  }
  // Loops the file; an unreadable file gives silence and false from Load.
  static std::optional<Signal> Load(const std::string& path, uint16_t channel);
};

class SignalSource {
 public:
  static constexpr int kChannels = 32;

  void Set(int channel, Signal s) { signals_[channel & 31] = std::move(s); }
  const Signal& Get(int channel) const { return signals_[channel & 31]; }
  uint32_t Sample(int channel, uint64_t frame, uint32_t rate) const;

 private:
  std::array<Signal, kChannels> signals_{};
};

}  // namespace sim
