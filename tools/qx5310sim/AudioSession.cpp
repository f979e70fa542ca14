#include "tools/qx5310sim/AudioSession.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>

#include "platform/win32/KernelBridge.h"
#include "sim/host/AsioHost.h"
#include "sim/units/MainUnit.h"
#include "tools/qx5310sim/Panel.h"
#include "tools/qx5310sim/Report.h"
#include "tools/qx5310sim/WaveA1Host.h"
#include "unit/PreferencesBlock.h"
#include "unit/SharedStateBlock.h"

namespace {

constexpr uint32_t kAllChannels = (1u << AudioSession::kChannels) - 1;
constexpr uint32_t kRampChannel = 17;  // the ramp gives the loop check its alignment
constexpr plat::VTime kLockLimit = 10 * plat::kNsPerSecond;
constexpr plat::VTime kLockLook = 20 * plat::kNsPerMs;  // how often the host looks for the lock
constexpr uint32_t kHalfWaitMs = 75;                    // as the ASIO driver's buffer-switch thread waits
constexpr uint32_t kReopenPollMs = 10;
// A break at the unit: nothing played for this long. A fault's breaks begin within reach of it.
constexpr plat::VTime kBreak = 20 * plat::kNsPerMs;
constexpr plat::VTime kFaultReach = 500 * plat::kNsPerMs;
constexpr uint32_t kClientFrames = 2048;  // the largest buffer half
constexpr uint32_t kPacketFrames = 64;    // room for the blocks of one playback packet
// Frames the loop check keeps of each stream: the loop comes back within a few halves.
constexpr uint32_t kLoopWindow = 1u << 15;

// The main unit's interface among the units' interfaces: the one whose shared state says so.
std::string MainUnitPath() {
  for (const std::string& path : host::FindUnitInterfaces()) {
    const host::Reply r = host::SendControl(path, {IOCTL_QX531_GET_SHARED_STATE, {}, sizeof(SharedStateBlock)});
    SharedStateBlock state{};
    if (r.ok && r.bytes >= sizeof state) std::memcpy(&state, r.output.data(), sizeof state);
    if (state.mUnitKind == Panel::kMainUnit) return path;
  }
  return {};
}

}  // namespace

AudioSession::AudioSession(plat::Scheduler& scheduler, sim::MainUnit& unit, std::string outDir)
    : sched_(scheduler),
      unit_(unit),
      recordedPath_(outDir + "/recorded.wav"),
      receivedPath_(outDir + "/unit-received.wav") {
  for (int k = 0; k < 16; ++k)
    unit_.SetSignal(k, k < 2 ? sim::Signal::Ramp() : sim::Signal::Sine(220.0 * (k + 1), 0.25));
}

AudioSession::~AudioSession() {
  Stop();
  unit_.Playback().SetSink(nullptr);
}

bool AudioSession::HostSeesLock() {
  for (const Panel::UnitView& u : Panel::Look())
    if (u.state.mUnitKind == Panel::kMainUnit) return u.state.mStreaming != 0 && u.state.mInputLocked != 0;
  return false;
}

// The ASIO host's program: opens the main unit, creates buffers for every channel both ways,
// starts with its event and, for every half the event announces, takes the recorded half, copies
// each record channel into its playback channel and tells the driver its output is ready. When
// the main unit came back it opens it again.
uint32_t AudioSession::HostMain() {
  std::vector<uint32_t> channels(kChannels);
  for (uint32_t k = 0; k < kChannels; ++k) channels[k] = k;
  std::vector<const int32_t*> record(kChannels);
  bool waitForUnit = false;
  while (!stop_) {
    // A unit that went away is opened again only once it is back.
    while (waitForUnit && !stop_ && !reopen_) plat::win32::Sleep(kReopenPollMs);
    if (stop_) break;
    reopen_ = false;
    waitForUnit = true;
    host::AsioHost asio(64, MainUnitPath());
    AsioCapsReply caps{};
    const bool started =
        asio.IsOpen() && asio.GetCaps(&caps) && asio.CreateBuffers(channels, channels, frames_) && asio.Start();
    if (!started) {
      hostState_ = HostState::Failed;
      continue;
    }
    ++opened_;
    capsFrames_ = caps.mBufferFrames;
    hostState_ = HostState::Streaming;
    while (!stop_ && !reopen_) {
      if (!asio.WaitForHalf(kHalfWaitMs)) {
        // No half in time: a unit that no longer answers has gone, and its handle goes with it.
        AsioCapsReply probe{};
        if (!asio.GetCaps(&probe)) break;
        continue;
      }
      const uint32_t half = asio.IndexByte() != 0 ? 1 : 0;
      const uint32_t silent = notLooped_;
      for (uint32_t k = 0; k < kChannels; ++k) {
        record[k] = asio.Record(k, half);
        if ((silent >> k & 1) != 0)
          std::memset(asio.Playback(k, half), 0, size_t{frames_} * sizeof(int32_t));
        else
          std::memcpy(asio.Playback(k, half), record[k], size_t{frames_} * sizeof(int32_t));
      }
      OnHalf(record, frames_);
      if (!asio.OutputReady()) ++outputReadyFailures_;
    }
    asio.Stop();
    asio.Dispose();
  }
  return 0;
}

bool AudioSession::Start(uint32_t rate, uint32_t frames, plat::VTime recordFor, Report& report) {
  rate_ = rate;
  frames_ = frames;
  if (!Panel::SetParameter(PreferencesBlock::kParamSampleRate, rate) ||
      !Panel::SetParameter(PreferencesBlock::kParamBufferSizeIndex, BufferSizeIndexOf(frames))) {
    report.Lost("the panel could not set the sample rate and buffer size");
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
  host_.Start("asiohost.exe", [this] { return HostMain(); });
  sched_.RunUntil([this] { return hostState_ != HostState::Opening; }, started_ + kLockLimit);
  if (hostState_ != HostState::Streaming) {
    report.Lost("the ASIO host could not start streaming");
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

void AudioSession::Restart() { reopen_ = true; }

void AudioSession::PlayBeside(WaveA1Host* wave) {
  beside_ = wave;
  notLooped_ = wave != nullptr ? WaveA1Host::kChannelMask : 0;
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
  stop_ = true;
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
  ++halves_;
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
  std::string frames = std::to_string(frames_) + " frames a half";
  if (capsFrames_ != frames_) frames += " (the capabilities said " + std::to_string(capsFrames_) + ")";
  report.Value("streams", "18 in, 18 out at " + std::to_string(rate_) + " Hz, " + frames +
                              ", to an ASIO host in its own process");
  report.Value("lock time", std::to_string((lockedAt_ - started_) / plat::kNsPerMs) + " ms, as the host sees it");
  report.Value("halves to the host", std::to_string(halves_) +
                                         (opened_ > 1 ? ", the unit opened " + std::to_string(opened_) + " times" : ""));
  if (outputReadyFailures_ != 0 && !faultMode_)
    report.Lost(std::to_string(outputReadyFailures_) + " output-ready request(s) failed");

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
  auto named = [](const std::string& path, const sim::WavWriter& w) { return path + (w.Rf64() ? " (RF64)" : ""); };
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
