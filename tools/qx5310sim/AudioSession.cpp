#include "tools/qx5310sim/AudioSession.h"

#include <algorithm>
#include <bit>
#include <cstdio>

#include "sim/host/EnginePlatformDouble.h"
#include "sim/units/MainUnit.h"
#include "tools/qx5310sim/Report.h"
#include "unit/PreferencesBlock.h"

namespace {

constexpr uint32_t kAllChannels = (1u << AudioSession::kChannels) - 1;
constexpr uint32_t kRampChannel = 17;  // the ramp gives the loop check its alignment
constexpr plat::VTime kLockLimit = 10 * plat::kNsPerSecond;
constexpr uint32_t kClientFrames = 2048;  // the largest buffer half
constexpr uint32_t kPacketFrames = 64;    // room for the blocks of one playback packet
// Frames the loop check keeps of each stream: the loop comes back within a few halves.
constexpr uint32_t kLoopWindow = 1u << 15;

}  // namespace

AudioSession::AudioSession(plat::Scheduler& scheduler, sim::MainUnit& unit, sim::EnginePlatformDouble& engine,
                           std::string outDir)
    : sched_(scheduler),
      unit_(unit),
      engine_(engine),
      recordedPath_(outDir + "/recorded.wav"),
      receivedPath_(outDir + "/unit-received.wav") {
  for (int k = 0; k < 16; ++k) unit_.SetSignal(k, sim::Signal::Sine(220.0 * (k + 1), 0.25));
}

AudioSession::~AudioSession() { unit_.Playback().SetSink(nullptr); }

bool AudioSession::Start(uint32_t rate, uint32_t frames, plat::VTime recordFor, Report& report) {
  rate_ = rate;
  frames_ = frames;
  engine_.SetPreference(PreferencesBlock::kParamSampleRate, rate);
  engine_.SetPreference(PreferencesBlock::kParamBufferSizeIndex, BufferSizeIndexOf(frames));
  sched_.RunFor(5 * plat::kNsPerMs);
  engine_.SetInputChannelMask(kAllChannels);
  engine_.SetOutputChannelMask(kAllChannels);

  // Everything the client keeps is made ready now: the half callback and the unit's playback run
  // at DISPATCH_LEVEL. What they get goes through buffers of a fixed size into the WAV files and
  // the loop check, so nothing grows with the run. A run sure to pass a WAV file's 32-bit sizes
  // has its files laid out for RF64 from the start.
  const uint64_t leastFrames =
      recordFor > plat::kNsPerSecond ? static_cast<uint64_t>(recordFor - plat::kNsPerSecond) * rate / plat::kNsPerSecond : 0;
  recordedWav_.Open(recordedPath_, rate, kChannels, leastFrames);
  receivedWav_.Open(receivedPath_, rate, kChannels, leastFrames);
  loop_ = std::make_unique<LoopCheck>(kChannels, kRampChannel, kLoopWindow);
  loop_->FollowBreaks(faultMode_);
  recordedRows_.reserve(size_t{kClientFrames} * kChannels);
  playedRows_.reserve(size_t{kPacketFrames} * kChannels);
  unit_.Playback().SetCapture(false, 0);
  unit_.Playback().SetSink(this);
  for (uint32_t half = 0; half < 2; ++half) {
    std::array<uint32_t*, kChannels> record{};
    std::array<const uint32_t*, kChannels> playback{};
    // The engine double's client rows, laid out as the driver lays out a client's buffers.
    for (uint32_t k = 0; k < kChannels; ++k) playback[k] = record[k] = engine_.ClientRow(k, half);
    engine_.AttachClientBuffers(half, record, playback);
  }
  engine_.SetHalfCallback([this](uint32_t half, uint32_t n) { OnHalf(half, n); });

  started_ = sched_.Now();
  if (engine_.StartAudioStreams() != 0) {
    report.Lost("the audio streams did not start");
    DropFiles();
    return false;
  }
  bool locked = sched_.RunUntil([this] { return engine_.IsStreamValid() && engine_.LockState() == 2; },
                                sched_.Now() + kLockLimit);
  if (!locked) {
    report.Lost("the stream did not lock within " + std::to_string(kLockLimit / plat::kNsPerSecond) + " s");
    DropFiles();
    return false;
  }
  lockedAt_ = sched_.Now();
  return true;
}

// A run that never streamed leaves no WAV files.
void AudioSession::DropFiles() {
  recordedWav_.Close();
  receivedWav_.Close();
  std::remove(recordedPath_.c_str());
  std::remove(receivedPath_.c_str());
}

void AudioSession::Stop() {
  // A stream still broken when the run ends never came back.
  const plat::VTime halfTime = static_cast<plat::VTime>(frames_) * plat::kNsPerSecond / rate_;
  if (faultMode_ && faults_ != 0 && sched_.Now() - lastHalfAt_ > 3 * halfTime)
    unitAtEnd_ = unit_.Transmitting() ? "sending data blocks" : unit_.Sending() ? "sending empty packets" : "not sending";
  // Read before stopping: the list that a stop cuts short is not the stream's fault.
  measuredRate_ = engine_.MeasuredRate();
  dbcErrors_ = engine_.DbcErrors();
  dbsErrors_ = engine_.DbsErrors();
  engine_.StopAudioStreams();
  engine_.SetHalfCallback(nullptr);
  engine_.DetachClientBuffers();
  unit_.Playback().SetSink(nullptr);
}

void AudioSession::ExpectFaults() { faultMode_ = true; }

void AudioSession::FaultAt() {
  if (faults_++ == 0) faultsFrom_ = sched_.Now();
  faultOpen_ = true;
  faultAtLists_ = RecordLists();
}

uint32_t AudioSession::RecordChannel() const { return engine_.RecordChannel(); }

uint64_t AudioSession::RecordLists() const {
  const sim::StreamCounters& c = engine_.Streams();
  return c.listsDone[0] + c.listsDone[1];
}

// A break is a pause of more than three halves between two halves the client got. A fault stays
// open until a break follows it, or until a few lists have gone by without one.
void AudioSession::NoteBreaks(uint64_t gapsBefore) {
  const plat::VTime now = sched_.Now();
  const uint64_t lists = RecordLists();
  const plat::VTime halfTime = static_cast<plat::VTime>(frames_) * plat::kNsPerSecond / rate_;
  const bool broken = lastHalfAt_ != 0 && now - lastHalfAt_ > 3 * halfTime;
  if (broken) {
    ++breaks_;
    brokenFor_ += now - lastHalfAt_;
    listsUntilBack_.push_back(lists - listsAtLastHalf_);
    if (!faultOpen_) ++breaksWithoutFault_;
  }
  const uint64_t gaps = loop_->Gaps() - gapsBefore;
  if (broken || faultOpen_)
    gapsInFaults_ += gaps;
  else
    gapsOutside_ += gaps;
  if (broken || lists - faultAtLists_ > kListsAFaultStaysOpen) faultOpen_ = false;
  lastHalfAt_ = now;
  listsAtLastHalf_ = lists;
}

void AudioSession::OnHalf(uint32_t half, uint32_t frames) {
  ++halves_;
  const uint64_t gapsBefore = loop_->Gaps();
  if (frames != engine_.BufferFrames()) ++wrongHalves_;
  frames = std::min(frames, kClientFrames);
  recordedRows_.resize(size_t{frames} * kChannels);
  for (uint32_t k = 0; k < kChannels; ++k) {
    const uint32_t* in = engine_.ClientRow(k, half);
    for (uint32_t f = 0; f < frames; ++f) recordedRows_[size_t{f} * kChannels + k] = static_cast<int32_t>(in[f]);
  }
  recordedWav_.Append(recordedRows_);
  loop_->Recorded(recordedRows_.data(), frames);
  if (faultMode_) NoteBreaks(gapsBefore);
}

// What the unit received, as rows of the 18 outputs; an output not in the stream is silent.
void AudioSession::Played(const int32_t* samples, uint32_t frames, uint32_t channels) {
  if (channels == kAllChannels) {
    receivedWav_.Append({samples, size_t{frames} * kChannels});
    loop_->Played(samples, frames, channels);
    return;
  }
  const auto width = static_cast<uint32_t>(std::popcount(channels));
  playedRows_.assign(size_t{frames} * kChannels, 0);
  for (uint32_t f = 0; f < frames; ++f) {
    const int32_t* in = samples + size_t{f} * width;
    int32_t* out = &playedRows_[size_t{f} * kChannels];
    for (uint32_t rest = channels; rest != 0; rest &= rest - 1, ++in) {
      auto channel = static_cast<uint32_t>(std::countr_zero(rest));
      if (channel < kChannels) out[channel] = *in;
    }
  }
  receivedWav_.Append(playedRows_);
  loop_->Played(playedRows_.data(), frames, channels & kAllChannels);
}

void AudioSession::WriteReport(Report& report) {
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
  const LoopCheck& loop = *loop_;
  report.Value("recorded frames", std::to_string(loop.RecordedFrames()) + ", " + std::to_string(loop.Gaps()) + " gap(s)" +
                                      (faultMode_ ? ", " + std::to_string(gapsOutside_) + " outside the faults" : ""));
  const uint64_t gapsLost = faultMode_ ? gapsOutside_ : loop.Gaps();
  if (gapsLost != 0) report.Lost(std::to_string(gapsLost) + " gap(s) in the recorded stream");

  // Under faults the unit hears the stream break where the host's did; what it played is checked
  // by the loop.
  const sim::PlaybackStats& stats = unit_.Playback().Stats();
  report.Value("unit received", std::to_string(stats.frames) + " frames, " + std::to_string(stats.Errors()) +
                                    " packet error(s)" + (faultMode_ ? " at the breaks" : ""));
  if (stats.Errors() != 0 && !faultMode_)
    report.Lost(std::to_string(stats.Errors()) + " playback packet error(s) at the unit");

  // The loop: what the unit played must be what was recorded, bit for bit, on every channel.
  uint64_t compared = loop.Compared(), differ = loop.Differing();
  bool exact = compared > 0 && differ == 0 && loop.Overrun() == 0;
  std::string verdict = exact ? "bit-exact over " + std::to_string(compared) + " samples"
                              : std::to_string(differ) + " of " + std::to_string(compared) + " samples differ";
  if (loop.Overrun() != 0)
    verdict += ", " + std::to_string(loop.Overrun()) + " frame(s) came back more than " +
               std::to_string(loop.Window()) + " frames late and were not compared";
  report.Value("loop record -> playback", verdict);
  if (!exact) report.Lost("the loop from record to playback did not come back bit-exact");

  bool wrote = recordedWav_.Close();
  wrote = receivedWav_.Close() && wrote;
  if (!wrote) report.Lost("the WAV files could not be written");
  auto named = [](const std::string& path, const sim::WavWriter& w) { return path + (w.Rf64() ? " (RF64)" : ""); };
  report.Value("WAV files", named(recordedPath_, recordedWav_) + ", " + named(receivedPath_, receivedWav_));
}

void AudioSession::WriteFaultReport(Report& report) const {
  std::string until = "none";
  if (!listsUntilBack_.empty()) {
    std::vector<uint64_t> sorted = listsUntilBack_;
    std::sort(sorted.begin(), sorted.end());
    until = std::to_string(sorted.front()) + " / " + std::to_string(sorted[sorted.size() / 2]) + " / " +
            std::to_string(sorted.back()) + " lists (least / median / most)";
  }
  report.Value("stream breaks", std::to_string(breaks_) + " after " + std::to_string(faults_) + " fault(s)" +
                                    (!unitAtEnd_.empty() ? ", and broken from " + std::to_string(lastHalfAt_ / plat::kNsPerMs) +
                                                               " ms to the end" : ""));
  if (!unitAtEnd_.empty()) report.Lost("the stream did not come back after the faults (the unit was " + unitAtEnd_ + ")");
  report.Value("until the stream was back", until);
  const plat::VTime span = sched_.Now() - faultsFrom_;
  char share[32];
  std::snprintf(share, sizeof share, "%.1f%%", span > 0 ? 100.0 * static_cast<double>(brokenFor_) / span : 0.0);
  report.Value("audio unlocked", std::to_string(brokenFor_ / plat::kNsPerMs) + " ms, " + share + " of the time since the first fault");
  report.Value("gaps in the recorded stream", std::to_string(gapsInFaults_) + " at the breaks, " +
                                                  std::to_string(gapsOutside_) + " elsewhere");
  if (breaksWithoutFault_ != 0)
    report.Lost(std::to_string(breaksWithoutFault_) + " stream break(s) with no fault to cause them");
}
