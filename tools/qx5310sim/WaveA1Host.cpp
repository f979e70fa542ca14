#include "tools/qx5310sim/WaveA1Host.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>

#include "platform/bus1394/Bus1394.h"
#include "platform/kernel/PnpManager.h"
#include "sim/units/Wav.h"
#include "sim/units/WavWriter.h"
#include "tools/qx5310sim/Report.h"

namespace {

constexpr ULONG kCapturePin = 0;
constexpr ULONG kRenderPin = 2;
constexpr ULONG kNotifyMs = 10;
constexpr uint32_t kChannels = 2;
constexpr uint32_t kFrameBytes = kChannels * WaveA1Host::kBits / 8;
constexpr uint32_t kFileSeconds = 2;
constexpr plat::VTime kMostRecorded = 10 * plat::kNsPerSecond;  // what the capture pin keeps at most
// The ramp at the unit's inputs: channel in the top byte, the frame below.
constexpr uint32_t kRampFrames = 1u << 24;

KSDATARANGE_AUDIO Exactly(ULONG rate) {
  KSDATARANGE_AUDIO r{};
  r.DataRange.FormatSize = sizeof r;
  r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  r.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  r.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  r.MaximumChannels = kChannels;
  r.MinimumBitsPerSample = r.MaximumBitsPerSample = WaveA1Host::kBits;
  r.MinimumSampleFrequency = r.MaximumSampleFrequency = rate;
  return r;
}

// The test tone: 1 kHz on the left and 1.5 kHz on the right, both starting at their peak, so the
// file's first frame is the first that is not silent.
std::vector<std::vector<int32_t>> TestTone(uint32_t rate) {
  std::vector<std::vector<int32_t>> channels(kChannels, std::vector<int32_t>(size_t{rate} * kFileSeconds));
  const double hz[kChannels] = {1000.0, 1500.0};
  const double level[kChannels] = {0.5, 0.25};
  for (uint32_t c = 0; c < kChannels; ++c)
    for (size_t f = 0; f < channels[c].size(); ++f)
      channels[c][f] = static_cast<int32_t>(std::lround(level[c] * 2147483647.0 *
                                                        std::cos(2 * std::numbers::pi * hz[c] * f / rate)));
  return channels;
}

}  // namespace

WaveA1Host::WaveA1Host(uint64_t unitGuid, std::string outDir)
    : unitGuid_(unitGuid), playedPath_(outDir + "/wavea1-played.wav"), recordedPath_(outDir + "/wavea1-recorded.wav") {}

WaveA1Host::~WaveA1Host() { Stop(); }

bool WaveA1Host::Start(uint32_t rate, plat::VTime recordFor, Report& report) {
  rate_ = rate;
  // The host plays a file: it is written first and read back as any file would be.
  std::optional<sim::WavData> wav;
  if (sim::WavFile::Write(playedPath_, rate, TestTone(rate))) wav = sim::WavFile::Read(playedPath_);
  if (!wav || wav->channels != kChannels || wav->rate != rate) {
    report.Lost("the WAV file for \"WaveA1\" could not be written and read back");
    return false;
  }
  file_ = std::move(wav->samples);
  std::vector<UCHAR> bytes(file_.size() * sizeof(int32_t));
  for (size_t i = 0; i < file_.size(); ++i) {
    const auto v = static_cast<uint32_t>(file_[i]);
    for (size_t b = 0; b < sizeof v; ++b) bytes[i * sizeof v + b] = static_cast<UCHAR>(v >> (8 * b));
  }

  PDEVICE_OBJECT unit = plat::Bus1394::PdoOf(unitGuid_);
  const std::vector<PDEVICE_OBJECT> children = unit != nullptr ? plat::PnpChildren(unit) : std::vector<PDEVICE_OBJECT>{};
  NTSTATUS status = STATUS_NO_SUCH_DEVICE;
  if (children.size() == 1) filter_ = plat::KsFilter::Open(children[0], u"WaveA1", &status);
  const plat::VTime span = recordFor + plat::kNsPerSecond < kMostRecorded ? recordFor + plat::kNsPerSecond : kMostRecorded;
  const auto capacity = static_cast<ULONG>(span / plat::kNsPerMs * rate / 1000 * kFrameBytes);
  if (filter_ != nullptr) render_ = plat::KsWavePin::Open(*filter_, kRenderPin, Exactly(rate), kNotifyMs, 0, &status);
  if (render_ != nullptr)
    capture_ = plat::KsWavePin::Open(*filter_, kCapturePin, Exactly(rate), kNotifyMs, capacity, &status);
  if (capture_ != nullptr) {
    render_->Play(std::move(bytes));
    status = render_->Run();
    if (NT_SUCCESS(status)) status = capture_->Run();
  }
  if (capture_ == nullptr || !NT_SUCCESS(status)) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(status));
    report.Lost(std::string("the host could not play and record on \"WaveA1\" (") + text + ")");
    Stop();
    return false;
  }
  return true;
}

void WaveA1Host::Played(const int32_t* rows, uint32_t frames, uint32_t stride) {
  const uint64_t fileFrames = file_.size() / kChannels;
  for (uint32_t f = 0; f < frames; ++f, rows += stride) {
    if (!started_) {
      const bool silent = rows[0] == 0 && rows[1] == 0;
      silenced_ = silenced_ || silent;
      if (silent || !silenced_) continue;
      started_ = true;
    }
    if (next_ < fileFrames) {
      const bool same = rows[0] == file_[next_ * kChannels] && rows[1] == file_[next_ * kChannels + 1];
      (same ? matched_ : differing_) += 1;
      ++next_;
    } else if (rows[0] != 0 || rows[1] != 0) {
      ++noisyAfter_;
    }
  }
}

void WaveA1Host::Stop() {
  if (capture_ != nullptr) recorded_ = capture_->TakeRecorded();
  capture_.reset();
  render_.reset();
  filter_.reset();
}

bool WaveA1Host::WriteRecorded() const {
  constexpr size_t kFramesAtOnce = 4096;
  sim::WavWriter writer;
  writer.Open(recordedPath_, rate_, kChannels);
  std::vector<int32_t> rows;
  const size_t samples = recorded_.size() / kFrameBytes * kChannels;
  for (size_t at = 0; at < samples; at += rows.size()) {
    rows.resize(std::min(samples - at, kFramesAtOnce * kChannels));
    std::memcpy(rows.data(), recorded_.data() + at * sizeof(int32_t), rows.size() * sizeof(int32_t));
    writer.Append(rows);
  }
  return writer.Close();
}

void WaveA1Host::WriteReport(Report& report) {
  report.Section("WaveA1");
  report.Value("streams", "render and capture, " + std::to_string(kChannels) + " x " + std::to_string(kBits) +
                              " bits at " + std::to_string(rate_) + " Hz, through the audio adapter's pin client "
                              "beside the ASIO host");

  // Played: the file, frame by frame, on outputs 1-2, where the ASIO host plays silence.
  const uint64_t fileFrames = file_.size() / kChannels;
  std::string played = std::to_string(fileFrames) + " frames; " + std::to_string(matched_) +
                       " reached outputs 1-2 bit-exact";
  if (differing_ != 0) played += ", " + std::to_string(differing_) + " differ";
  if (matched_ + differing_ < fileFrames) played += ", the rest still on its way at the end";
  if (noisyAfter_ != 0) played += ", " + std::to_string(noisyAfter_) + " frame(s) not silent after the file";
  report.Value("played", played);
  if (matched_ == 0) report.Lost("nothing \"WaveA1\" played reached the unit");
  if (differing_ != 0) report.Lost("what \"WaveA1\" played did not reach the unit bit-exact");
  if (noisyAfter_ != 0) report.Lost("the unit played something on outputs 1-2 after the file \"WaveA1\" played");

  // Recorded: after the silence before the first period, the ramp of inputs 1-2 without a gap. The
  // capture pin's bytes are the frames side by side, as the WAV file has them: they are read in
  // place, with no copy of ten seconds of samples to fault in.
  const size_t frames = recorded_.size() / kFrameBytes;
  auto sample = [this](size_t frame, uint32_t channel) {
    uint32_t v;
    std::memcpy(&v, &recorded_[frame * kFrameBytes + channel * sizeof v], sizeof v);
    return v;
  };
  size_t silent = 0;
  while (silent < frames && sample(silent, 0) == 0 && sample(silent, 1) == 0) ++silent;
  uint64_t wrong = 0;
  const uint32_t first = silent < frames ? sample(silent, 0) : 0u;
  for (size_t f = silent; f < frames; ++f) {
    const uint32_t ramp = static_cast<uint32_t>(first + (f - silent)) % kRampFrames;
    wrong += sample(f, 0) != ramp || sample(f, 1) != (1u << 24 | ramp);
  }
  const uint64_t checked = frames - silent;
  report.Value("recorded", std::to_string(checked) + " frames of inputs 1-2 after " + std::to_string(silent) +
                               " silent, " + (wrong == 0 ? "bit-exact without a gap"
                                                         : std::to_string(wrong) + " not the frame that was due"));
  if (checked == 0) report.Lost("\"WaveA1\" recorded nothing from the unit");
  if (wrong != 0) report.Lost("what \"WaveA1\" recorded was not what the unit sampled, frame after frame");
  if (!WriteRecorded()) report.Lost("the WAV file \"WaveA1\" recorded could not be written");
  report.Value("WAV files", playedPath_ + " (played), " + recordedPath_ + " (recorded)");
}
