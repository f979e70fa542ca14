#include "sim/units/MainUnit.h"

#include <bit>
#include <cmath>
#include <cstddef>

#include "sim/units/ChannelMask.h"

namespace sim {

namespace {

constexpr uint64_t kMicro = 1000000;
constexpr uint32_t kStreamingBit = 1u << 5;

void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

uint32_t RateOfCode(uint32_t word, uint32_t current) {
  switch (word & 0x8300) {
    case 0x0100: return 44100;
    case 0x0200: return 48000;
    case 0x8100: return 88200;
    case 0x8200: return 96000;
    default: return current;
  }
}

}  // namespace

MainUnit::MainUnit(uint64_t guid, const UnitVersions& versions) : Unit(guid, versions) {
  SetModel(kModelId, kModelName);
  UpdateRateStep();
  packet_.resize(8 + 16 * (kMaxStreamChannels + 2) * 4);
}

MainUnit::~MainUnit() { Unplug(); }

void MainUnit::SetClockOffsetPpm(double ppm) {
  ppm_ = ppm;
  UpdateRateStep();
}

void MainUnit::UpdateRateStep() {
  rateStep_ = static_cast<uint64_t>(std::llround(static_cast<double>(rate_) * (kMicro + ppm_)));
}

void MainUnit::SetStatusWord(int index, uint32_t value) {
  if (index < 16 || index >= kStatusWords) return;
  words_[index] = value;
  if (index == kRateWord) rateWordOverridden_ = true;
}

uint32_t MainUnit::StatusWord(int index) const {
  if (index < 16) return surface_.Word(index);
  if (index == kRateWord && !rateWordOverridden_) return Stored(0x228) & 0x8307;
  return words_[index];
}

void MainUnit::StopRecordStream(bool stopped) {
  stopped_ = stopped;
  UpdateStreaming();
}

bool MainUnit::Sending() const { return Attached() && Stored(0x208) == 1 && !stopped_; }

bool MainUnit::Transmitting() const { return Sending() && (SwitchBits() & kStreamingBit) != 0 && armed_; }

void MainUnit::RegisterWritten(uint32_t offset, uint32_t value) {
  switch (offset) {
    case 0x22C:
      if ((SwitchBits() & kStreamingBit) == 0) armed_ = false;
      break;
    case 0x220:
      if (value == 1) Arm();
      break;
    case 0x20C:
    case 0x210:
      UpdateListening();
      break;
    default:
      break;
  }
  UpdateStreaming();
}

void MainUnit::Arm() {
  rate_ = RateOfCode(Stored(0x228), rate_);
  UpdateRateStep();
  mask_ = StreamedChannels(Stored(0x214));
  channels_ = std::popcount(mask_);
  dbc_ = 0;
  accumulator_ = 0;
  armed_ = true;
}

void MainUnit::UpdateStreaming() {
  bool want = Sending();
  if (want == wantingCycles_ || GetBus() == nullptr) return;
  wantingCycles_ = want;
  GetBus()->WantCycles(*this, want);
}

void MainUnit::UpdateListening() {
  int channel = Stored(0x210) == 1 ? static_cast<int>(Stored(0x20C) & 63) : -1;
  if (channel == listening_ || GetBus() == nullptr) return;
  if (listening_ >= 0) GetBus()->Unlisten(*this, static_cast<uint32_t>(listening_));
  listening_ = channel;
  if (channel >= 0) {
    GetBus()->Listen(*this, static_cast<uint32_t>(channel));
    playback_.Restart();
  }
}

void MainUnit::OnCycle(uint64_t) {
  if (!Sending()) return;
  if (!Transmitting()) {
    uint32_t dbs = static_cast<uint32_t>(std::popcount(StreamedChannels(Stored(0x214)))) + 2;
    PutBe32(packet_.data(), static_cast<uint32_t>(NodeId() & 0x3F) << 24 | dbs << 16 | dbc_);
    PutBe32(packet_.data() + 4, kSecondCipQuadlet);
    ++packetsSent_;
    ++emptyPacketsSent_;
    GetBus()->Transmit(*this, Stored(0x200) & 63, std::span<const uint8_t>(packet_.data(), 8));
    return;
  }
  accumulator_ += rateStep_;
  auto blocks = static_cast<uint32_t>(accumulator_ / (kMicro * kCyclesPerSecond));
  accumulator_ -= blocks * kMicro * kCyclesPerSecond;
  uint32_t dbs = static_cast<uint32_t>(channels_) + 2;
  const size_t stride = size_t{dbs} * 4;
  const size_t length = 8 + blocks * stride;
  if (packet_.size() < length) packet_.resize(length);
  uint8_t* p = packet_.data();
  PutBe32(p, static_cast<uint32_t>(NodeId() & 0x3F) << 24 | dbs << 16 | dbc_);
  PutBe32(p + 4, kSecondCipQuadlet);
  uint8_t* data = p + 8;
  signals_.Render(mask_, frame_, rate_, blocks, data + 4, stride);
  // The index in a local: stores through the packet's bytes could alias the member, which would
  // then go to memory and back on every block.
  uint8_t index = statusIndex_;
  for (uint32_t b = 0; b < blocks; ++b) {
    uint8_t* block = data + b * stride;
    PutBe32(block, index);
    PutBe32(block + stride - 4, StatusWord(index));
    index = static_cast<uint8_t>((index + 1) % kStatusWords);
  }
  statusIndex_ = index;
  frame_ += blocks;
  dbc_ = static_cast<uint8_t>(dbc_ + blocks);
  ++packetsSent_;
  framesSent_ += blocks;
  GetBus()->Transmit(*this, Stored(0x200) & 63, std::span<const uint8_t>(packet_.data(), length));
}

// The unit's sample clock is its own: it runs on through a cycle that carries no packet, and the
// blocks of that cycle are lost. The data block count follows the sample clock, so the next packet
// shows the gap.
void MainUnit::OnLostCycle(uint64_t) {
  if (!Transmitting()) return;
  accumulator_ += rateStep_;
  auto blocks = static_cast<uint32_t>(accumulator_ / (kMicro * kCyclesPerSecond));
  accumulator_ -= blocks * kMicro * kCyclesPerSecond;
  statusIndex_ = static_cast<uint8_t>((statusIndex_ + blocks) % kStatusWords);
  frame_ += blocks;
  dbc_ = static_cast<uint8_t>(dbc_ + blocks);
  framesLost_ += blocks;
}

void MainUnit::PowerOnReset() {
  Unit::PowerOnReset();
  armed_ = false;
  rate_ = 44100;
  mask_ = 0;
  channels_ = 0;
  dbc_ = 0;
  statusIndex_ = 0;
  accumulator_ = 0;
  UpdateRateStep();
}

// Plugged back, the unit takes up its streams where its registers leave them.
void MainUnit::OnBusReset() {
  UpdateStreaming();
  UpdateListening();
}

void MainUnit::OnDetached() {
  wantingCycles_ = false;
  listening_ = -1;
}

void MainUnit::OnIsoPacket(const IsoPacket& packet) {
  if (static_cast<int>(packet.channel) == listening_) playback_.Consume(packet, Stored(0x218));
}

}  // namespace sim
