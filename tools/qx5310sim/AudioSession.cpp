#include "tools/qx5310sim/AudioSession.h"

#include <algorithm>
#include <bit>
#include <cstdio>

#include "sim/units/MainUnit.h"
#include "tools/qx5310sim/KernelClientLink.h"
#include "tools/qx5310sim/Panel.h"
#include "tools/qx5310sim/Report.h"
#include "unit/PreferencesBlock.h"

namespace {

constexpr uint32_t kAllChannels = (1u << AudioSession::kChannels) - 1;
constexpr uint32_t kRampChannel = 17;  // the ramp gives the loop check its alignment
constexpr plat::VTime kLockLimit = 10 * plat::kNsPerSecond;
constexpr plat::VTime kLockLook = 20 * plat::kNsPerMs;  // how often the host looks for the lock
// A break at the unit: nothing played for this long. A fault's breaks begin within reach of it.
constexpr plat::VTime kBreak = 20 * plat::kNsPerMs;
constexpr plat::VTime kFaultReach = 500 * plat::kNsPerMs;
// Frames the loop check keeps of each side: the loop comes back within a few halves.
constexpr uint32_t kLoopWindow = 1u << 15;
constexpr uint32_t kRecordChunk = 256;

}  // namespace

AudioSession::AudioSession(plat::Scheduler& scheduler, sim::MainUnit& unit, KernelClientLink& client, std::string outDir)
    : sched_(scheduler), unit_(unit), client_(client), receivedPath_(outDir + "/unit-received.wav") {
  for (int k = 0; k < 16; ++k) {
    unit_.SetSignal(k, sim::Signal::Sine(220.0 * (k + 1), 0.25));
    inputs_.Set(k, sim::Signal::Sine(220.0 * (k + 1), 0.25));
  }
}

AudioSession::~AudioSession() { unit_.Playback().SetSink(nullptr); }

bool AudioSession::HostSeesLock() {
  for (const Panel::UnitView& u : Panel::Look())
    if (u.state.mUnitKind == Panel::kMainUnit) return u.state.mStreaming != 0 && u.state.mInputLocked != 0;
  return false;
}

bool AudioSession::Start(uint32_t rate, uint32_t frames, plat::VTime recordFor, Report& report) {
  rate_ = rate;
  frames_ = frames;
  if (!Panel::SetParameter(PreferencesBlock::kParamSampleRate, rate) ||
      !Panel::SetParameter(PreferencesBlock::kParamBufferSizeIndex, BufferSizeIndexOf(frames))) {
    report.Lost("the panel could not set the sample rate and buffer size");
    return false;
  }
  // What the unit plays goes through a buffer of one packet into the WAV file and the loop check,
  // so nothing grows with the run. A run sure to pass a WAV file's 32-bit sizes has its file laid
  // out for RF64 from the start.
  const uint64_t leastFrames =
      recordFor > plat::kNsPerSecond ? static_cast<uint64_t>(recordFor - plat::kNsPerSecond) * rate / plat::kNsPerSecond : 0;
  receivedWav_.Open(receivedPath_, rate, kChannels, leastFrames);
  loop_ = std::make_unique<LoopCheck>(kChannels, kRampChannel, kLoopWindow);
  loop_->FollowBreaks(faultMode_);
  unit_.Playback().SetCapture(false, 0);
  recordedUpTo_ = unit_.FramesSent();
  unit_.Playback().SetSink(this);
  started_ = sched_.Now();
  if (!client_.Start(true, rate, frames)) {
    report.Lost("the kernel client's streams did not start");
    DropFile();
    return false;
  }
  while (!HostSeesLock()) {
    if (sched_.Now() - started_ > kLockLimit) {
      report.Lost("the stream did not lock within " + std::to_string(kLockLimit / plat::kNsPerSecond) + " s");
      DropFile();
      return false;
    }
    sched_.RunFor(kLockLook);
  }
  lockedAt_ = sched_.Now();
  return true;
}

bool AudioSession::Restart() { return client_.Start(true, rate_, frames_); }

// A run that never streamed leaves no WAV file.
void AudioSession::DropFile() {
  unit_.Playback().SetSink(nullptr);
  receivedWav_.Close();
  std::remove(receivedPath_.c_str());
}

void AudioSession::Stop() {
  if (faultMode_ && faults_ != 0 && sched_.Now() - lastPlayedAt_ > kBreak)
    unitAtEnd_ = unit_.Transmitting() ? "sending data blocks" : unit_.Sending() ? "sending empty packets" : "not sending";
  framesAtStop_ = unit_.Playback().Stats().frames;
  unit_.Playback().SetSink(nullptr);
}

void AudioSession::ExpectFaults() { faultMode_ = true; }

bool AudioSession::Playing() const { return lastPlayedAt_ != 0 && sched_.Now() - lastPlayedAt_ <= kBreak; }

void AudioSession::FaultAt() {
  if (faults_++ == 0) faultsFrom_ = sched_.Now();
  lastFaultAt_ = sched_.Now();
}

// The frames the unit has sampled so far, as the loop check's record: the client records what the
// unit sampled, and plays it back.
void AudioSession::RecordUpTo(uint64_t frame) {
  while (recordedUpTo_ < frame) {
    const auto n = static_cast<uint32_t>(std::min<uint64_t>(kRecordChunk, frame - recordedUpTo_));
    rows_.resize(size_t{n} * kChannels);
    for (uint32_t f = 0; f < n; ++f)
      for (uint32_t c = 0; c < kChannels; ++c)
        rows_[size_t{f} * kChannels + c] = static_cast<int32_t>(inputs_.Sample(static_cast<int>(c), recordedUpTo_ + f, rate_));
    loop_->Recorded(rows_.data(), n);
    recordedUpTo_ += n;
  }
}

// What the unit received, as rows of the 18 outputs; an output not in the stream is silent.
void AudioSession::Played(const int32_t* samples, uint32_t frames, uint32_t channels) {
  RecordUpTo(unit_.FramesSent());
  const plat::VTime now = sched_.Now();
  if (lastPlayedAt_ != 0 && now - lastPlayedAt_ > kBreak) {
    ++breaks_;
    brokenFor_ += now - lastPlayedAt_;
    if (faults_ == 0 || lastPlayedAt_ - lastFaultAt_ > kFaultReach) ++breaksWithoutFault_;
  }
  lastPlayedAt_ = now;
  if (channels == kAllChannels) {
    receivedWav_.Append({samples, size_t{frames} * kChannels});
    loop_->Played(samples, frames, channels);
    return;
  }
  const auto width = static_cast<uint32_t>(std::popcount(channels));
  rows_.assign(size_t{frames} * kChannels, 0);
  for (uint32_t f = 0; f < frames; ++f) {
    const int32_t* in = samples + size_t{f} * width;
    int32_t* out = &rows_[size_t{f} * kChannels];
    for (uint32_t rest = channels; rest != 0; rest &= rest - 1, ++in) {
      auto channel = static_cast<uint32_t>(std::countr_zero(rest));
      if (channel < kChannels) out[channel] = *in;
    }
  }
  receivedWav_.Append(rows_);
  loop_->Played(rows_.data(), frames, channels & kAllChannels);
}

void AudioSession::WriteReport(Report& report) {
  report.Section("Audio");
  report.Value("streams", "18 in, 18 out at " + std::to_string(rate_) + " Hz, " + std::to_string(frames_) +
                              " frames a half, to the kernel client");
  report.Value("lock time", std::to_string((lockedAt_ - started_) / plat::kNsPerMs) + " ms, as the host sees it");
  const sim::PlaybackStats& stats = unit_.Playback().Stats();
  report.Value("unit received", std::to_string(framesAtStop_) + " frames, " + std::to_string(stats.Errors()) +
                                    " packet error(s)" + (faultMode_ ? " at the breaks" : ""));
  if (stats.Errors() != 0 && !faultMode_)
    report.Lost(std::to_string(stats.Errors()) + " playback packet error(s) at the unit");
  if (breaksWithoutFault_ != 0)
    report.Lost(std::to_string(breaksWithoutFault_) + " break(s) in what the unit played with no fault to cause them");

  // The loop: what the unit played must be what it sampled, bit for bit, on every channel.
  const LoopCheck& loop = *loop_;
  const uint64_t compared = loop.Compared(), differ = loop.Differing();
  const bool exact = compared > 0 && differ == 0 && loop.Overrun() == 0;
  std::string verdict = exact ? "bit-exact over " + std::to_string(compared) + " samples"
                              : std::to_string(differ) + " of " + std::to_string(compared) + " samples differ";
  if (loop.Overrun() != 0)
    verdict += ", " + std::to_string(loop.Overrun()) + " frame(s) came back more than " +
               std::to_string(loop.Window()) + " frames late and were not compared";
  report.Value("loop through the client", verdict);
  if (!exact) report.Lost("the loop through the kernel client did not come back bit-exact");
  if (!receivedWav_.Close()) report.Lost("the WAV file could not be written");
  report.Value("WAV file", receivedPath_ + (receivedWav_.Rf64() ? " (RF64)" : ""));
  report.Value("ASIO host", "not yet: the driver's ASIO requests 256-266 are still to come");
}

void AudioSession::WriteFaultReport(Report& report) const {
  report.Value("stream breaks at the unit", std::to_string(breaks_) + " after " + std::to_string(faults_) + " fault(s)" +
                                                (!unitAtEnd_.empty() ? ", and broken from " +
                                                                           std::to_string(lastPlayedAt_ / plat::kNsPerMs) +
                                                                           " ms to the end" : ""));
  if (!unitAtEnd_.empty()) report.Lost("the stream did not come back after the faults (the unit was " + unitAtEnd_ + ")");
  const plat::VTime span = sched_.Now() - faultsFrom_;
  char share[32];
  std::snprintf(share, sizeof share, "%.1f%%", span > 0 ? 100.0 * static_cast<double>(brokenFor_) / span : 0.0);
  report.Value("unit played nothing", std::to_string(brokenFor_ / plat::kNsPerMs) + " ms, " + share +
                                          " of the time since the first fault");
}
