// The QX-5310 main unit. Besides the common registers it transmits the record stream and
// receives the playback stream.
//
// Record stream: one CIP packet per bus cycle on the channel of 0x200 while 0x208 is 1, streaming
// is switched on (switch bit 5) and the stream was armed by writing 1 to 0x220. Arming takes the
// input mask (0x214) and the rate (0x228) and restarts DBC at 0; switching streaming off disarms.
// Quadlet 0 is SID, DBS (input channels + 2), DBC; quadlet 1 is EOH 1, FMT 0x3E, FDF 0, SYT 0.
// Each data block is {status index, one big-endian sample per input channel, status value}; the
// status index runs through the 64 status words, one per block. While 0x208 is 1 but the stream is
// switched off or not yet armed, each cycle carries an empty packet instead: the two CIP quadlets
// with DBS from the input mask of 0x214 and the current DBC, so the host's lists keep completing.
//
// Playback: packets on the channel of 0x20C are checked and captured while 0x210 is 1.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "sim/units/PlaybackConsumer.h"
#include "sim/units/SignalSource.h"
#include "sim/units/Unit.h"

namespace sim {

class MainUnit : public Unit {
 public:
  static constexpr uint64_t kDefaultGuid = 0x0050C2A1'5310'0001ull;
  static constexpr UnitVersions kDefaultVersions{0x00000014, 0x00000107, 0x00000203, 0x00000000};
  static constexpr uint32_t kModelId = 0x005310;
  static constexpr const char* kModelName = "QX-5310";
  static constexpr uint32_t kSecondCipQuadlet = 0xBE000000;
  static constexpr int kStatusWords = 64;
  static constexpr int kRateWord = 52, kSyncWord = 53, kProgrammingWord = 56;

  explicit MainUnit(uint64_t guid = kDefaultGuid, const UnitVersions& versions = kDefaultVersions);
  ~MainUnit() override;

  // Inputs and clock.
  void SetSignal(int channel, Signal signal) { signals_.Set(channel, std::move(signal)); }
  void SetClockOffsetPpm(double ppm);
  uint32_t SampleRate() const { return rate_; }

  // Status words 16-63 as the unit reports them (52 is the rate and clock word, 53 the sync word,
  // 56 the programming word); setting word 52 overrides the word the unit derives from 0x228.
  void SetStatusWord(int index, uint32_t value);
  void SetProgrammingWord(uint32_t word) { SetStatusWord(kProgrammingWord, word); }
  uint32_t StatusWord(int index) const;

  // Faults: the unit stops sending the record stream, whatever the registers say.
  void StopRecordStream(bool stopped);

  // Sending data blocks; Sending() also counts the empty packets of a switched-off stream.
  bool Transmitting() const;
  bool Sending() const;
  uint64_t PacketsSent() const { return packetsSent_; }
  uint64_t EmptyPacketsSent() const { return emptyPacketsSent_; }
  uint64_t FramesSent() const { return framesSent_; }
  // Frames of the record stream that fell in cycles a bus reset took: sampled, never sent.
  uint64_t FramesLost() const { return framesLost_; }
  PlaybackConsumer& Playback() { return playback_; }
  const PlaybackConsumer& Playback() const { return playback_; }

  void OnCycle(uint64_t cycle) override;
  void OnLostCycle(uint64_t cycle) override;
  void OnIsoPacket(const IsoPacket& packet) override;
  void OnDetached() override;
  void OnBusReset() override;

 protected:
  void RegisterWritten(uint32_t offset, uint32_t value) override;
  void PowerOnReset() override;

 private:
  void Arm();
  void UpdateStreaming();
  void UpdateListening();
  void UpdateRateStep();

  SignalSource signals_;
  PlaybackConsumer playback_;
  std::array<uint32_t, kStatusWords> words_{};
  bool rateWordOverridden_ = false;
  bool armed_ = false;
  bool stopped_ = false;
  bool wantingCycles_ = false;
  int listening_ = -1;  // channel the playback consumer listens on, -1 none
  uint32_t rate_ = 44100;
  uint32_t mask_ = 0;  // input channels of the armed stream
  int channels_ = 0;
  double ppm_ = 0;
  uint64_t rateStep_ = 0;     // micro-frames a cycle
  uint64_t accumulator_ = 0;  // micro-frames not yet sent
  uint8_t dbc_ = 0;
  uint8_t statusIndex_ = 0;
  uint64_t frame_ = 0;
  uint64_t packetsSent_ = 0;
  uint64_t emptyPacketsSent_ = 0;
  uint64_t framesSent_ = 0;
  uint64_t framesLost_ = 0;
  std::vector<uint8_t> packet_;  // room for the largest packet; each cycle sends the front of it
};

}  // namespace sim
