#include "sim/units/SignalSource.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <numbers>
#include <numeric>

namespace sim {

namespace {

constexpr double kFullScale = 0x7FFFFF;
constexpr uint64_t kMostRows = uint64_t{1} << 16;  // a frame is at most 32 samples: 8 MiB of words

void StoreBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

uint32_t BigEndianWord(uint32_t v) {
  uint8_t bytes[4];
  StoreBe32(bytes, v);
  uint32_t word;
  std::memcpy(&word, bytes, 4);
  return word;
}

// A frame's row, short and of a length known only at run time: a call to memcpy for it costs more
// than the copy. Sixteen bytes at a time, the last sixteen overlapping the one before.
void CopyRow(uint8_t* to, const uint8_t* from, size_t bytes) {
  if (bytes < 16) {
    std::memcpy(to, from, bytes);
    return;
  }
  for (size_t at = 0; at + 16 < bytes; at += 16) std::memcpy(to + at, from + at, 16);
  std::memcpy(to + bytes - 16, from + bytes - 16, 16);
}

// The value a sine sample is rounded from.
double SineValue(const Signal& s, uint64_t frame, uint32_t rate) {
  double phase = 2.0 * std::numbers::pi * s.frequency * static_cast<double>(frame) / rate;
  return s.amplitude * std::sin(phase) * kFullScale;
}

// Frames in one period of the sine, 0 when its frequency is no whole number of hertz.
uint64_t SinePeriod(const Signal& s, uint32_t rate) {
  if (rate == 0 || !std::isfinite(s.amplitude) || !(s.frequency >= 0) || s.frequency > 4294967295.0 ||
      s.frequency != std::floor(s.frequency))
    return 0;
  return rate / std::gcd(uint64_t{rate}, static_cast<uint64_t>(s.frequency));
}

// How far SineValue of a frame can lie from SineValue of its twin in the first period, per frame
// and at frame 0. The phase of frame n is 2*pi*hz rounded, times n rounded, over the rate rounded:
// it and the twin's phase are a whole number of turns apart but for at most 3 * 2^-52 of the
// phase. sin adds less than an ulp to each, and the two products two more roundings: in all,
// |a| * fullScale * 2^-52 * (3 * phase + 4). Doubled for a margin of safety, with 6.2832 for 2*pi
// and one radian more.
struct Drift {
  double perFrame;
  double atZero;
};

Drift DriftOf(const Signal& s, uint32_t rate) {
  constexpr double kTwoToMinus51 = 1.0 / static_cast<double>(uint64_t{1} << 51);
  const double scale = std::fabs(s.amplitude) * kFullScale * kTwoToMinus51;
  return {scale * 3.0 * 6.2832 * s.frequency / rate, scale * (3.0 + 4.0)};
}

}  // namespace

void SignalSource::Set(int channel, Signal s) {
  signals_[channel & 31] = std::move(s);
  rows_.made = false;
}

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
      auto v = static_cast<int32_t>(std::lround(SineValue(s, frame, rate)));
      return static_cast<uint32_t>(v) << 8;
    }
    case Signal::Kind::Wav: {
      const WavData& w = *s.wav;
      return static_cast<uint32_t>(w.samples[(frame % w.Frames()) * w.channels + s.wavChannel]);
    }
  }
  return 0;
}

void SignalSource::MakeRows(uint32_t channels, uint32_t rate) {
  Rows& r = rows_;
  r = Rows{};
  r.made = true;
  r.channels = channels;
  r.rate = rate;
  std::vector<uint64_t> periods;
  for (uint32_t rest = channels; rest != 0; rest &= rest - 1) {
    int channel = std::countr_zero(rest);
    const Signal& s = signals_[channel];
    uint64_t period = s.kind == Signal::Kind::Sine ? SinePeriod(s, rate) : 0;
    if (period > kMostRows) period = 0;
    uint64_t rows = period == 0 ? 0 : std::lcm(r.period == 0 ? 1 : r.period, period);
    if (period != 0 && rows <= kMostRows) {
      r.period = rows;
      r.tabled.push_back(r.width);
    } else if (s.kind == Signal::Kind::Ramp && (r.rampTops.empty() || r.firstRamp + r.rampTops.size() == r.width)) {
      if (r.rampTops.empty()) r.firstRamp = r.width;
      r.rampTops.push_back(BigEndianWord(static_cast<uint32_t>(channel & 0xFF) << 24));
    } else {
      r.computed.push_back(r.width);
    }
    periods.push_back(period);
    r.channelOf.push_back(channel);
    ++r.width;
  }
  if (r.period == 0) return;
  const size_t width = r.width;
  r.words.assign(r.period * width, 0);
  r.margins.assign(r.period * width, 0);
  r.safeBefore.assign(r.period, HUGE_VAL);
  r.driftAtZero.assign(width, 0);
  r.driftPerFrame.assign(width, 0);
  for (uint32_t c : r.tabled) {
    const int channel = r.channelOf[c];
    const Signal& s = signals_[channel];
    const Drift drift = DriftOf(s, rate);
    r.driftAtZero[c] = drift.atZero;
    r.driftPerFrame[c] = drift.perFrame;
    for (uint64_t n = 0; n < periods[c]; ++n) {
      const uint32_t word = BigEndianWord(Sample(channel, n, rate));
      // Distance to the nearest half, where lround would go the other way; a float rounded down.
      const double value = SineValue(s, n, rate);
      const double margin = std::fabs(value - std::floor(value) - 0.5);
      auto m = static_cast<float>(margin);
      if (m > margin) m = std::nextafter(m, 0.0f);
      const double safe = drift.perFrame > 0 ? (m - drift.atZero) / drift.perFrame : (m > drift.atZero ? HUGE_VAL : 0);
      for (uint64_t row = n; row < r.period; row += periods[c]) {
        r.words[row * width + c] = word;
        r.margins[row * width + c] = m;
        r.safeBefore[row] = std::min(r.safeBefore[row], safe);
      }
    }
  }
}

void SignalSource::Render(uint32_t channels, uint64_t frame, uint32_t rate, uint32_t count, uint8_t* out, size_t stride) {
  if (count == 0) return;
  if (!rows_.made || rows_.channels != channels || rows_.rate != rate) MakeRows(channels, rate);
  const Rows& r = rows_;
  if (r.period > 0) {
    const size_t width = r.width;
    const uint32_t* words = r.words.data();
    uint64_t at = frame == r.nextFrame ? r.nextAt : frame % r.period;
    for (uint32_t f = 0; f < count; ++f) {
      const uint64_t n = frame + f;
      const uint32_t* row = words + at * width;
      uint8_t* to = out + f * stride;
      if (static_cast<double>(n) < r.safeBefore[at]) {
        CopyRow(to, reinterpret_cast<const uint8_t*>(row), width * 4);
      } else {
        const float* margins = r.margins.data() + at * width;
        for (uint32_t c : r.tabled) {
          if (margins[c] > r.driftAtZero[c] + r.driftPerFrame[c] * static_cast<double>(n))
            std::memcpy(to + 4 * c, row + c, 4);
          else
            StoreBe32(to + 4 * c, Sample(r.channelOf[c], n, rate));
        }
      }
      if (++at == r.period) at = 0;
    }
    rows_.nextFrame = frame + count;
    rows_.nextAt = at;
    // The rows of the next call, most likely as many again, are fetched while the machine does the
    // rest of its cycle: a packet's rows come back from far out of cache otherwise.
    const uint8_t* next = reinterpret_cast<const uint8_t*>(words + at * width);
    const uint8_t* tableEnd = reinterpret_cast<const uint8_t*>(words + r.period * width);
    for (size_t b = 0; b < size_t{count} * width * 4 && next + b < tableEnd; b += 64) __builtin_prefetch(next + b);
  }
  // The ramps side by side, each frame's made at once: its frame number in the low bytes.
  const size_t ramps = r.rampTops.size();
  const uint32_t* tops = r.rampTops.data();
  // Stored in place: words built in a buffer and copied out wider than they were stored stall on
  // store forwarding.
  for (uint32_t f = 0; f < count && ramps != 0; ++f) {
    const uint32_t low = BigEndianWord(static_cast<uint32_t>((frame + f) & 0xFFFFFF));
    uint8_t* to = out + f * stride + 4 * r.firstRamp;
    for (size_t i = 0; i < ramps; ++i) {
      const uint32_t word = tops[i] | low;
      std::memcpy(to + 4 * i, &word, 4);
    }
  }
  for (uint32_t c : r.computed) RenderColumn(r.channelOf[c], frame, rate, count, out + 4 * c, stride);
}

void SignalSource::RenderColumn(int channel, uint64_t frame, uint32_t rate, uint32_t count, uint8_t* out,
                                size_t stride) const {
  const Signal& s = signals_[channel & 31];
  switch (s.kind) {
    case Signal::Kind::Ramp: {
      uint32_t top = static_cast<uint32_t>(channel & 0xFF) << 24;
      for (uint32_t i = 0; i < count; ++i, out += stride) StoreBe32(out, top | static_cast<uint32_t>((frame + i) & 0xFFFFFF));
      return;
    }
    case Signal::Kind::Silence:
      for (uint32_t i = 0; i < count; ++i, out += stride) StoreBe32(out, 0);
      return;
    case Signal::Kind::Wav: {
      const WavData& w = *s.wav;
      const uint64_t frames = w.Frames();
      uint64_t at = frame % frames;
      for (uint32_t i = 0; i < count; ++i, out += stride) {
        StoreBe32(out, static_cast<uint32_t>(w.samples[at * w.channels + s.wavChannel]));
        if (++at == frames) at = 0;
      }
      return;
    }
    case Signal::Kind::Sine:
      for (uint32_t i = 0; i < count; ++i, out += stride) StoreBe32(out, Sample(channel, frame + i, rate));
      return;
  }
}

}  // namespace sim
