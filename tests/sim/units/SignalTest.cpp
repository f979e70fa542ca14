// The input signals of the main unit: sines at their amplitude, and WAV files of every sample
// width looped, with the audio in the top bits as it travels on the bus.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include <unistd.h>

#include "sim/units/SignalSource.h"
#include "sim/units/Wav.h"

namespace {

using sim::Signal;
using sim::SignalSource;

TEST(Signals, SineStartsAtZeroAndPeaksAtItsAmplitudeInTheTopBits) {
  SignalSource source;
  source.Set(3, Signal::Sine(1000.0, 0.5));
  constexpr uint32_t kRate = 48000;  // 48 frames a period
  auto sample = [&](uint64_t frame) { return static_cast<int32_t>(source.Sample(3, frame, kRate)); };
  const int32_t peak = static_cast<int32_t>(std::lround(0.5 * 0x7FFFFF)) * 256;  // half of full scale
  EXPECT_EQ(sample(0), 0);
  EXPECT_EQ(sample(12), peak);    // a quarter period
  EXPECT_EQ(sample(36), -peak);   // three quarters
  EXPECT_EQ(sample(48), sample(0));
  EXPECT_EQ(source.Sample(3, 12, kRate) & 0xFF, 0u);
}

// A PCM WAV file of the given width, written byte by byte so that the reader is checked against
// the format and not against our own writer.
void WritePcm(const std::string& path, uint16_t bits, uint16_t channels, const std::vector<int64_t>& samples) {
  uint32_t bytes = bits / 8;
  uint32_t dataSize = static_cast<uint32_t>(samples.size()) * bytes;
  std::vector<uint8_t> f;
  auto put = [&](uint64_t v, int n) {
    for (int i = 0; i < n; ++i) f.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  auto tag = [&](const char* t) { f.insert(f.end(), t, t + 4); };
  tag("RIFF");
  put(36 + dataSize, 4);
  tag("WAVE");
  tag("fmt ");
  put(16, 4);
  put(1, 2);
  put(channels, 2);
  put(48000, 4);
  put(48000 * channels * bytes, 4);
  put(channels * bytes, 2);
  put(bits, 2);
  tag("data");
  put(dataSize, 4);
  for (int64_t s : samples) put(static_cast<uint64_t>(s), static_cast<int>(bytes));
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(f.data()), static_cast<std::streamsize>(f.size()));
}

TEST(Signals, WavFilesOfEveryWidthLoopWithTheirAudioInTheTopBits) {
  auto path = (std::filesystem::temp_directory_path() / ("qx-signal-" + std::to_string(::getpid()) + ".wav")).string();
  struct Case {
    uint16_t bits;
    int64_t first, second;      // channel 1 of frames 0 and 1, as stored
    uint32_t wantFirst, wantSecond;
  };
  for (const Case& c : {Case{16, 0x1234, -2, 0x12340000u, 0xFFFE0000u},
                        Case{24, 0x123456, -2, 0x12345600u, 0xFFFFFE00u},
                        Case{32, 0x12345678, -2, 0x12345678u, 0xFFFFFFFEu}}) {
    // Two channels, two frames: channel 0 holds 1 and 2, channel 1 the case's values.
    WritePcm(path, c.bits, 2, {1, c.first, 2, c.second});
    auto signal = Signal::Load(path, 1);
    ASSERT_TRUE(signal.has_value()) << c.bits;
    SignalSource source;
    source.Set(0, *signal);
    EXPECT_EQ(source.Sample(0, 0, 48000), c.wantFirst) << c.bits;
    EXPECT_EQ(source.Sample(0, 1, 48000), c.wantSecond) << c.bits;
    EXPECT_EQ(source.Sample(0, 2, 48000), c.wantFirst) << c.bits << ": the file loops";
  }
  std::remove(path.c_str());
  EXPECT_FALSE(Signal::Load(path, 0).has_value()) << "a missing file gives no signal";
}

// What Render stores for one frame and channel, as Sample gives it.
uint32_t StoredSample(const std::vector<uint8_t>& out, size_t stride, uint64_t frame, uint32_t column) {
  const uint8_t* p = &out[frame * stride + 4 * column];
  return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

// Every kind of signal side by side: sines from a table of whole periods (one of them its own
// negative), a sine of no whole number of hertz, silence, ramps in a run and one apart, a WAV file.
SignalSource EveryKindOfSignal() {
  SignalSource source;
  source.Set(0, Signal::Sine(220.0, 0.25));
  source.Set(1, Signal::Sine(3520.0, 0.25));
  source.Set(2, Signal::Sine(1000.5, 0.5));
  source.Set(3, Signal::Silence());
  source.Set(6, Signal::Sine(440.0, -0.9));
  Signal wav;
  wav.kind = Signal::Kind::Wav;
  auto data = std::make_shared<sim::WavData>();
  data->rate = 48000;
  data->channels = 2;
  for (int32_t i = 0; i < 14; ++i) data->samples.push_back(i * 0x01000100);
  wav.wav = data;
  wav.wavChannel = 1;
  source.Set(7, wav);
  return source;
}

TEST(Signals, RenderedFramesAreWhatSampleGivesBitForBit) {
  constexpr uint32_t kChannels = 0xFF | 1u << 20;  // 4, 5 and 20 are ramps
  constexpr uint32_t kWidth = 9;
  constexpr size_t kStride = 4 * kWidth + 8;
  for (uint32_t rate : {44100u, 48000u, 88200u, 96000u}) {
    SignalSource source = EveryKindOfSignal();
    // The start of a run, the ramp's wrap, and an hour and ten hours in, where a sine's late
    // frames no longer all round as their twins in its first period do.
    for (uint64_t start : {uint64_t{0}, uint64_t{0xFFFFFF - 20}, uint64_t{3600} * rate, uint64_t{36000} * rate}) {
      std::vector<uint8_t> out(200 * kStride, 0xEE);
      uint64_t frame = start;
      for (uint32_t count : {13u, 1u, 40u, 0u, 146u}) {
        source.Render(kChannels, frame, rate, count, out.data() + (frame - start) * kStride, kStride);
        frame += count;
      }
      uint32_t column = 0;
      for (int channel = 0; channel < 32; ++channel) {
        if ((kChannels >> channel & 1) == 0) continue;
        for (uint64_t f = 0; f < frame - start; ++f)
          ASSERT_EQ(StoredSample(out, kStride, f, column), source.Sample(channel, start + f, rate))
              << "rate " << rate << ", channel " << channel << ", frame " << start + f;
        ++column;
      }
      EXPECT_EQ(out[kStride - 1], 0xEE) << "nothing between the frames";
    }
  }
}

TEST(Signals, LateFramesThatNoLongerRoundAsTheirTwinsAreRenderedAsSampled) {
  SignalSource source;
  source.Set(0, Signal::Sine(3520.0, 0.25));
  constexpr uint32_t kRate = 96000;
  constexpr uint64_t kPeriod = 300;  // frames
  // An hour in, some frames round the other way than the same frame of the first period.
  uint64_t frame = uint64_t{3600} * kRate;
  while (source.Sample(0, frame, kRate) == source.Sample(0, frame % kPeriod, kRate)) ++frame;
  std::vector<uint8_t> out(4 * 16);
  source.Render(1, frame - 8, kRate, 16, out.data(), 4);
  EXPECT_EQ(StoredSample(out, 4, 8, 0), source.Sample(0, frame, kRate));
  EXPECT_NE(StoredSample(out, 4, 8, 0), source.Sample(0, frame % kPeriod, kRate));
}

}  // namespace
