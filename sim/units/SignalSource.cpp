#include "sim/units/SignalSource.h"

#include <cmath>
#include <numbers>

namespace sim {

std::optional<Signal> Signal::Load(const std::string& path, uint16_t channel) {
  auto data = WavFile::Read(path);
  if (!data || data->Frames() == 0) return std::nullopt;
  Signal s;
  s.kind = Kind::Wav;
  s.wavChannel = static_cast<uint16_t>(channel % data->channels);
  s.wav = std::make_shared<const WavData>(std::move(*data));
  return s;
}

uint32_t SignalSource::Sample(int channel, uint64_t frame, uint32_t rate) const {
  const Signal& s = signals_[channel & 31];
  switch (s.kind) {
    case Signal::Kind::Ramp:
      return static_cast<uint32_t>(channel & 0xFF) << 24 | static_cast<uint32_t>(frame & 0xFFFFFF);
    case Signal::Kind::Silence:
      return 0;
    case Signal::Kind::Sine: {
      double phase = 2.0 * std::numbers::pi * s.frequency * static_cast<double>(frame) / rate;
      auto v = static_cast<int32_t>(std::lround(s.amplitude * std::sin(phase) * 0x7FFFFF));
      return static_cast<uint32_t>(v) << 8;
    }
    case Signal::Kind::Wav: {
      const WavData& w = *s.wav;
      return static_cast<uint32_t>(w.samples[(frame % w.Frames()) * w.channels + s.wavChannel]);
    }
  }
  return 0;
}

}  // namespace sim
