#include "tools/qx5310sim/AudioSession.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>

#include "sim/units/MainUnit.h"
#include "tools/qx5310sim/ClientHost.h"
#include "tools/qx5310sim/Report.h"
#include "tools/qx5310sim/WaveA1Host.h"
#include "unit/PreferencesBlock.h"

namespace {

constexpr uint32_t kAllChannels = (1u << AudioSession::kChannels) - 1;
constexpr uint32_t kRampChannel = 17;  // the ramp gives the loop check its alignment
constexpr plat::VTime kLockLimit = 10 * plat::kNsPerSecond;
constexpr plat::VTime kLockLook = 20 * plat::kNsPerMs;  // how often the host looks for the lock
// A break at the unit: nothing played for this long. A fault's breaks begin within reach of it.
constexpr plat::VTime kBreak = 20 * plat::kNsPerMs;
constexpr plat::VTime kFaultReach = 500 * plat::kNsPerMs;
constexpr uint32_t kClientFrames = 2048;  // the largest buffer half
constexpr uint32_t kPacketFrames = 64;    // room for the blocks of one playback packet
// Frames the loop check keeps of each stream: the loop comes back within a few halves.
constexpr uint32_t kLoopWindow = 1u << 15;
constexpr char kRepeat[] = "repeat! ";

uint64_t Occurrences(const std::string& text, const std::string& what) {
  uint64_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

}  // namespace

AudioSession::AudioSession(plat::Scheduler& scheduler, sim::MainUnit& unit, std::string outDir, WriterThread& writer)
    : sched_(scheduler),
      unit_(unit),
      recordedPath_(outDir + "/recorded.wav"),
      receivedPath_(outDir + "/unit-received.wav"),
      asio_([this](const std::vector<const int32_t*>& record, uint32_t frames) { OnHalf(record, frames); }),
      recordedWav_(writer),
      receivedWav_(writer) {
  for (int k = 0; k < 16; ++k)
    unit_.SetSignal(k, k < 2 ? sim::Signal::Ramp() : sim::Signal::Sine(220.0 * (k + 1), 0.25));
}

AudioSession::~AudioSession() {
  Stop();
  unit_.Playback().SetSink(nullptr);
}

bool AudioSession::HostSeesLock() {
  for (const ClientHost::UnitView& u : ClientHost::Look())
    if (u.state.mUnitKind == ClientHost::kMainUnit) return u.state.mStreaming != 0 && u.state.mInputLocked != 0;
  return false;
}

bool AudioSession::Start(uint32_t rate, uint32_t frames, plat::VTime recordFor, Report& report, bool alreadySet) {
  rate_ = rate;
  frames_ = frames;
  if (!alreadySet && (!ClientHost::SetParameter(PreferencesBlock::kParamSampleRate, rate) ||
                      !ClientHost::SetParameter(PreferencesBlock::kParamBufferSizeIndex, BufferSizeIndexOf(frames)))) {
    report.Lost("the host program could not set the sample rate and buffer size");
    return false;
  }
  // A run sure to pass a WAV file's 32-bit sizes has its files laid out for RF64 from the start.
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
  started_ = sched_.Now();
  host_.Start("asiohost.exe", [this] { return asio_.Main(frames_); });
  sched_.RunUntil([this] { return asio_.HostState() != AsioLoopHost::State::Opening; }, started_ + kLockLimit);
  if (asio_.HostState() != AsioLoopHost::State::Streaming) {
    report.Lost("the ASIO host could not start streaming: " + asio_.Failure());
    DropFiles();
    return false;
  }
  while (!HostSeesLock()) {
    if (sched_.Now() - started_ > kLockLimit) {
      report.Lost("the stream did not lock within " + std::to_string(kLockLimit / plat::kNsPerSecond) + " s");
      DropFiles();
      return false;
    }
    sched_.RunFor(kLockLook);
  }
  lockedAt_ = sched_.Now();
  return true;
}

void AudioSession::Restart() { asio_.Reopen(); }

void AudioSession::PlayBeside(WaveA1Host* wave) {
  beside_ = wave;
  notLooped_ = wave != nullptr ? WaveA1Host::kChannelMask : 0;
  asio_.SetSilent(notLooped_);
}

// A run that never streamed leaves no WAV files.
void AudioSession::DropFiles() {
  Stop();
  recordedWav_.Close();
  receivedWav_.Close();
  std::remove(recordedPath_.c_str());
  std::remove(receivedPath_.c_str());
}

void AudioSession::Stop() {
  if (!host_.Running()) return;
  if (faultMode_ && faults_ != 0 && sched_.Now() - lastPlayedAt_ > kBreak)
    unitAtEnd_ = unit_.Transmitting() ? "sending data blocks" : unit_.Sending() ? "sending empty packets" : "not sending";
  framesAtStop_ = unit_.Playback().Stats().frames;
  // The other client has stopped: what the unit plays while the driver's thread ends its last wait
  // is not its to check.
  beside_ = nullptr;
  asio_.Stop();
  host_.Wait();
  unit_.Playback().SetSink(nullptr);
}

void AudioSession::ExpectFaults() { faultMode_ = true; }

bool AudioSession::Playing() const { return lastPlayedAt_ != 0 && sched_.Now() - lastPlayedAt_ <= kBreak; }

void AudioSession::FaultAt() {
  if (faults_++ == 0) faultsFrom_ = sched_.Now();
  lastFaultAt_ = sched_.Now();
}

void AudioSession::OnHalf(const std::vector<const int32_t*>& record, uint32_t frames) {
  recordedRows_.resize(size_t{frames} * kChannels);
  for (uint32_t k = 0; k < kChannels; ++k)
    for (uint32_t f = 0; f < frames; ++f) recordedRows_[size_t{f} * kChannels + k] = record[k][f];
  recordedWav_.Append(recordedRows_);
  loop_->Recorded(recordedRows_.data(), frames);
}

// What the unit received, as rows of the 18 outputs; an output not in the stream is silent.
void AudioSession::Played(const int32_t* samples, uint32_t frames, uint32_t channels) {
  const plat::VTime now = sched_.Now();
  if (lastPlayedAt_ != 0 && now - lastPlayedAt_ > kBreak) {
    ++breaks_;
    brokenFor_ += now - lastPlayedAt_;
    if (faults_ == 0 || lastPlayedAt_ - lastFaultAt_ > kFaultReach) ++breaksWithoutFault_;
  }
  lastPlayedAt_ = now;
  const int32_t* rows = samples;
  if (channels != kAllChannels) {
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
    rows = playedRows_.data();
  }
  receivedWav_.Append({rows, size_t{frames} * kChannels});
  if (beside_ != nullptr) beside_->Played(rows, frames, kChannels);
  // The halves the stream plays before the host's first output are silence: the loop starts at
  // the first frame that carries the ramp.
  uint32_t first = 0;
  while (!heardHost_ && first < frames && rows[size_t{first} * kChannels + kRampChannel] == 0) ++first;
  if (first == frames) return;
  heardHost_ = true;
  loop_->Played(rows + size_t{first} * kChannels, frames - first, channels & kAllChannels & ~notLooped_);
}

void AudioSession::WriteReport(Report& report) {
  report.Section("Audio");
  report.Value("streams", "18 in, 18 out at " + std::to_string(rate_) + " Hz, " + std::to_string(frames_) +
                              " frames a half, to an ASIO host in its own process");
  std::string driver = "\"" + asio_.ListedName() + "\" as the host lists it";
  if (asio_.DriverName() != asio_.ListedName()) driver += ", named \"" + asio_.DriverName() + "\"";
  report.Value("ASIO driver", driver + ", version " + std::to_string(asio_.DriverVersion()) +
                                  (asio_.Created() > 1 ? ", created " + std::to_string(asio_.Created()) + " times" : ""));
  report.Value("lock time", std::to_string((lockedAt_ - started_) / plat::kNsPerMs) + " ms, as the host sees it");

  // Every switch hands the host the other half, with its time info, its position a half on.
  const AsioSwitchStats& sw = asio_.Switches();
  const uint64_t repeats = Occurrences(host_.DebugOutput(), kRepeat);
  std::string switches = std::to_string(sw.count);
  if (sw.notAlternating == 0)
    switches += ", every one alternating its half";
  else
    switches += ", " + std::to_string(sw.notAlternating) + " not alternating";
  switches += repeats == 0 ? ", no \"repeat! \"" : ", " + std::to_string(repeats) + " \"repeat! \"";
  report.Value("buffer switches", switches + (faultMode_ && (sw.notAlternating != 0 || repeats != 0) ? " (at the breaks)" : ""));
  if (!faultMode_ && sw.notAlternating != 0)
    report.Lost(std::to_string(sw.notAlternating) + " buffer switch(es) did not alternate their half");
  if (!faultMode_ && repeats != 0) report.Lost("the driver repeated a half " + std::to_string(repeats) + " time(s)");
  if (sw.outputReadyFailures != 0 && !faultMode_)
    report.Lost(std::to_string(sw.outputReadyFailures) + " outputReady call(s) failed");

  std::string time = sw.withoutTimeInfo == 0 ? "with every switch" : std::to_string(sw.withoutTimeInfo) + " switch(es) without";
  time += sw.positionOff == 0 ? "; sample positions a half (" + std::to_string(frames_) + " frames) apart"
                              : "; " + std::to_string(sw.positionOff) + " sample position(s) not a half on";
  time += "; valid: " + AsioLoopHost::FlagNames(AsioLoopHost::kValidTimeFlags & ~sw.flagsMissing);
  if (sw.flagsMissing != 0) time += " (" + AsioLoopHost::FlagNames(sw.flagsMissing) + " not always)";
  if (sw.rateChanged != 0) time += "; rate changed on " + std::to_string(sw.rateChanged);
  report.Value("time info", time);
  if (sw.withoutTimeInfo != 0) report.Lost(std::to_string(sw.withoutTimeInfo) + " buffer switch(es) came without time info");
  if (sw.positionOff != 0) report.Lost(std::to_string(sw.positionOff) + " sample position(s) did not advance by a half");
  if (sw.flagsMissing != 0) report.Lost("the time info did not always say its time, position and rate were valid");
  report.Value("reset requests", std::to_string(asio_.ResetRequests()) +
                                     (asio_.DeviceChanges() != 0
                                          ? "; units changed under the stream " + std::to_string(asio_.DeviceChanges()) +
                                                " time(s)"
                                          : "") +
                                     (asio_.NotPresent() != 0 ? "; ASE_NotPresent from a quiet stream " +
                                                                    std::to_string(asio_.NotPresent()) + " time(s)"
                                                              : ""));

  // The ramp must run on without gap or repeat across every half the host got.
  const LoopCheck& loop = *loop_;
  report.Value("recorded frames", std::to_string(loop.RecordedFrames()) + ", " + std::to_string(loop.Gaps()) + " gap(s)" +
                                      (faultMode_ ? " (at the breaks)" : ""));
  if (loop.Gaps() != 0 && !faultMode_) report.Lost(std::to_string(loop.Gaps()) + " gap(s) in the recorded stream");

  const sim::PlaybackStats& stats = unit_.Playback().Stats();
  report.Value("unit received", std::to_string(framesAtStop_) + " frames, " + std::to_string(stats.Errors()) +
                                    " packet error(s)" + (faultMode_ ? " at the breaks" : ""));
  if (stats.Errors() != 0 && !faultMode_)
    report.Lost(std::to_string(stats.Errors()) + " playback packet error(s) at the unit");
  if (breaksWithoutFault_ != 0)
    report.Lost(std::to_string(breaksWithoutFault_) + " break(s) in what the unit played with no fault to cause them");

  // The loop: what the unit played must be what was recorded, bit for bit, on every channel.
  const uint64_t compared = loop.Compared(), differ = loop.Differing();
  const bool exact = compared > 0 && differ == 0 && loop.Overrun() == 0;
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
  auto named = [](const std::string& path, const QueuedWavFile& w) { return path + (w.Rf64() ? " (RF64)" : ""); };
  report.Value("WAV files", named(recordedPath_, recordedWav_) + ", " + named(receivedPath_, receivedWav_));
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
