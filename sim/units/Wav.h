// Reading and writing PCM WAV files for unit signals and captured playback. Samples are held as
// 32-bit values with the audio in the most significant bits, as they travel on the bus.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct WavData {
  uint32_t rate = 0;
  uint16_t channels = 0;
  std::vector<int32_t> samples;  // interleaved
  size_t Frames() const { return channels == 0 ? 0 : samples.size() / channels; }
};

class WavFile {
 public:
  // 16-, 24- and 32-bit integer PCM, RIFF or RF64; nullopt for anything else or a damaged file.
  static std::optional<WavData> Read(const std::string& path);
  // 32-bit integer PCM, one column per channel; columns shorter than the longest end in silence.
  // A file past the 32-bit sizes is written as RF64 (see WavWriter).
  static bool Write(const std::string& path, uint32_t rate, const std::vector<std::vector<int32_t>>& channels);
};

}  // namespace sim
