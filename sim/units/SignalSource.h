// The signals at the main unit's inputs, one per channel (the bit position of the channel in the
// input mask). The default ramp names channel and frame in every sample: channel << 24 | frame
// modulo 2^24, so a test can tell where each sample came from.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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

  void Set(int channel, Signal s);
  const Signal& Get(int channel) const { return signals_[channel & 31]; }
  // One sample of one frame, with the 24-bit value in the top bits.
  uint32_t Sample(int channel, uint64_t frame, uint32_t rate) const;
  // Frames [frame, frame + count) of the channels set in `channels`: each frame's samples in bit
  // order as big-endian quadlets side by side, frame f's at out + f * stride. Bit for bit what
  // Sample gives; where the signals allow it, a frame is one copy from a table.
  void Render(uint32_t channels, uint64_t frame, uint32_t rate, uint32_t count, uint8_t* out, size_t stride);

 private:
  // Frames of the sines of whole numbers of hertz among the rendered channels, over a span in
  // which every one of them runs whole periods, laid out as they are rendered. Sample computes a
  // frame's phase from the frame number, so a late frame's value is not quite its early twin's:
  // each entry keeps how far its value lies from rounding the other way, each column how fast its
  // drift grows, and each row the frame before which all its entries stand.
  struct Rows {
    bool made = false;
    uint32_t channels = 0;
    uint32_t rate = 0;
    uint32_t width = 0;                  // samples a frame
    std::vector<uint32_t> tabled;        // columns from the table
    uint32_t firstRamp = 0;              // a run of columns of ramps, made frame by frame
    std::vector<uint32_t> rampTops;      //   the channel byte of each, big-endian
    std::vector<uint32_t> computed;      // the other columns, sample by sample
    std::vector<int> channelOf;          // of each column
    uint64_t period = 0;                 // rows; 0: no column is from a table
    std::vector<uint32_t> words;         // period x width, big-endian; 0 in the other columns
    std::vector<float> margins;          // period x width
    std::vector<double> safeBefore;      // per row
    std::vector<double> driftAtZero;     // per column: the drift of frame n is at most
    std::vector<double> driftPerFrame;   //   driftAtZero + n * driftPerFrame
    uint64_t nextFrame = 0;              // where the last render ended, and its row
    uint64_t nextAt = 0;
  };
  void MakeRows(uint32_t channels, uint32_t rate);
  void RenderColumn(int channel, uint64_t frame, uint32_t rate, uint32_t count, uint8_t* out, size_t stride) const;

  std::array<Signal, kChannels> signals_{};
  Rows rows_;
};

}  // namespace sim
