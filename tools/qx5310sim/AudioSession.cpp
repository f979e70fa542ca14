#include "tools/qx5310sim/AudioSession.h"

#include <algorithm>

#include "sim/host/EnginePlatformDouble.h"
#include "sim/units/MainUnit.h"
#include "sim/units/Wav.h"
#include "tools/qx5310sim/Report.h"
#include "unit/PreferencesBlock.h"

namespace {

constexpr uint32_t kAllChannels = (1u << AudioSession::kChannels) - 1;
constexpr uint32_t kRampChannel = 17;  // the ramp gives the loop check its alignment
constexpr plat::VTime kLockLimit = 10 * plat::kNsPerSecond;

}  // namespace

AudioSession::AudioSession(plat::Scheduler& scheduler, sim::MainUnit& unit, sim::EnginePlatformDouble& engine)
    : sched_(scheduler), unit_(unit), engine_(engine) {
  for (auto& half : client_)
    for (auto& channel : half) channel.assign(2048, 0);
  for (int k = 0; k < 16; ++k) unit_.SetSignal(k, sim::Signal::Sine(220.0 * (k + 1), 0.25));
}

bool AudioSession::Start(uint32_t rate, uint32_t frames, plat::VTime recordFor, Report& report) {
  rate_ = rate;
  frames_ = frames;
  engine_.SetPreference(PreferencesBlock::kParamSampleRate, rate);
  engine_.SetPreference(PreferencesBlock::kParamBufferSizeIndex, BufferSizeIndexOf(frames));
  sched_.RunFor(5 * plat::kNsPerMs);
  engine_.SetInputChannelMask(kAllChannels);
  engine_.SetOutputChannelMask(kAllChannels);

  // Everything the client keeps is reserved now: the half callback runs at DISPATCH_LEVEL.
  recordLimit_ = static_cast<size_t>((recordFor + kLockLimit) / plat::kNsPerMs) * rate / 1000;
  for (auto& r : recorded_) r.reserve(recordLimit_);
  unit_.Playback().SetCapture(true, recordLimit_);
  for (uint32_t half = 0; half < 2; ++half) {
    std::array<uint32_t*, kChannels> record{};
    std::array<const uint32_t*, kChannels> playback{};
    for (uint32_t k = 0; k < kChannels; ++k) playback[k] = record[k] = client_[half][k].data();
    engine_.AttachClientBuffers(half, record, playback);
  }
  engine_.SetHalfCallback([this](uint32_t half, uint32_t n) { OnHalf(half, n); });

  started_ = sched_.Now();
  if (engine_.StartAudioStreams() != 0) {
    report.Lost("the audio streams did not start");
    return false;
  }
  bool locked = sched_.RunUntil([this] { return engine_.IsStreamValid() && engine_.LockState() == 2; },
                                sched_.Now() + kLockLimit);
  if (!locked) {
    report.Lost("the stream did not lock within " + std::to_string(kLockLimit / plat::kNsPerSecond) + " s");
    return false;
  }
  lockedAt_ = sched_.Now();
  return true;
}

void AudioSession::Stop() {
  // Read before stopping: the list that a stop cuts short is not the stream's fault.
  measuredRate_ = engine_.MeasuredRate();
  dbcErrors_ = engine_.DbcErrors();
  dbsErrors_ = engine_.DbsErrors();
  engine_.StopAudioStreams();
  engine_.SetHalfCallback(nullptr);
  engine_.DetachClientBuffers();
}

void AudioSession::OnHalf(uint32_t half, uint32_t frames) {
  ++halves_;
  if (frames != engine_.BufferFrames()) ++wrongHalves_;
  for (uint32_t k = 0; k < kChannels; ++k) {
    auto& out = recorded_[k];
    const uint32_t* in = client_[half][k].data();
    for (uint32_t f = 0; f < frames && out.size() < recordLimit_; ++f) out.push_back(static_cast<int32_t>(in[f]));
  }
}

void AudioSession::WriteReport(Report& report, const std::string& outDir) {
  report.Section("Audio");
  std::string frames = std::to_string(engine_.BufferFrames()) + " frames a half";
  if (engine_.BufferFrames() != frames_) frames += " (" + std::to_string(frames_) + " asked)";
  report.Value("streams", "18 in, 18 out at " + std::to_string(rate_) + " Hz, " + frames);
  report.Value("lock time", std::to_string((lockedAt_ - started_) / plat::kNsPerMs) + " ms");
  report.Value("measured rate", std::to_string(measuredRate_) + " Hz");
  report.Value("halves to the client", std::to_string(halves_) + (wrongHalves_ ? ", " + std::to_string(wrongHalves_) + " of the wrong length" : ""));
  if (wrongHalves_ != 0) report.Lost(std::to_string(wrongHalves_) + " half buffer(s) of the wrong length");
  report.Value("record DBC/DBS errors", std::to_string(dbcErrors_) + "/" + std::to_string(dbsErrors_));

  // The ramp must run on without gap or repeat across every half the client got.
  const auto& ramp = recorded_[kRampChannel];
  uint64_t gaps = 0;
  for (size_t i = 1; i < ramp.size(); ++i) gaps += ((ramp[i] - ramp[i - 1]) & 0xFFFFFF) != 1;
  report.Value("recorded frames", std::to_string(ramp.size()) + ", " + std::to_string(gaps) + " gap(s)");
  if (gaps != 0) report.Lost(std::to_string(gaps) + " gap(s) in the recorded stream");

  const sim::PlaybackStats& stats = unit_.Playback().Stats();
  report.Value("unit received", std::to_string(stats.frames) + " frames, " + std::to_string(stats.Errors()) +
                                    " packet error(s)");
  if (stats.Errors() != 0) report.Lost(std::to_string(stats.Errors()) + " playback packet error(s) at the unit");

  // The loop: what the unit played must be what was recorded, bit for bit, on every channel.
  const auto& played = unit_.Playback().Captured(static_cast<int>(kRampChannel));
  auto at = played.empty() ? ramp.end() : std::find(ramp.begin(), ramp.end(), played[0]);
  uint64_t compared = 0, differ = 0;
  if (at != ramp.end()) {
    auto offset = static_cast<size_t>(at - ramp.begin());
    for (uint32_t k = 0; k < kChannels; ++k) {
      const auto& got = unit_.Playback().Captured(static_cast<int>(k));
      size_t n = std::min(got.size(), recorded_[k].size() - offset);
      for (size_t i = 0; i < n; ++i) differ += got[i] != recorded_[k][offset + i];
      compared += n;
    }
  }
  bool exact = compared > 0 && differ == 0;
  report.Value("loop record -> playback", exact ? "bit-exact over " + std::to_string(compared) + " samples"
                                                : std::to_string(differ) + " of " + std::to_string(compared) +
                                                      " samples differ");
  if (!exact) report.Lost("the loop from record to playback did not come back bit-exact");

  std::vector<std::vector<int32_t>> columns(recorded_.begin(), recorded_.end());
  std::string recordedWav = outDir + "/recorded.wav", receivedWav = outDir + "/unit-received.wav";
  bool wrote = sim::WavFile::Write(recordedWav, rate_, columns) &&
               unit_.Playback().SaveWav(receivedWav, rate_, kAllChannels);
  if (!wrote) report.Lost("the WAV files could not be written");
  report.Value("WAV files", recordedWav + ", " + receivedWav);
}
