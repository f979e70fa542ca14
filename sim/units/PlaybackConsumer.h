// The main unit's receiving side of the playback stream: checks every packet (source node, the
// second CIP quadlet, DBS, DBC continuity while channels stream, the length rule) and captures the
// samples of each output channel of the mask.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/bus/BusTypes.h"

namespace sim {

struct PlaybackStats {
  uint64_t packets = 0;
  uint64_t emptyPackets = 0;
  uint64_t frames = 0;
  uint64_t sidErrors = 0;
  uint64_t formatErrors = 0;  // second CIP quadlet other than EOH 1, FMT 0x3E, FDF 0, SYT 0
  uint64_t dbsErrors = 0;
  uint64_t dbcErrors = 0;
  uint64_t lengthErrors = 0;
  uint64_t Errors() const { return sidErrors + formatErrors + dbsErrors + dbcErrors + lengthErrors; }
};

// Takes the samples of the output channels as they arrive, where keeping them all would not do.
class PlaybackSink {
 public:
  // `frames` frames of the channels set in `channels` (bit positions in the mask), interleaved in
  // bit order, as they were received.
  virtual void Played(const int32_t* samples, uint32_t frames, uint32_t channels) = 0;

 protected:
  ~PlaybackSink() = default;
};

class PlaybackConsumer {
 public:
  static constexpr uint32_t kSecondQuadlet = 0xBE000000;
  static constexpr int kChannels = 32;

  // A new run of the stream: the next packet seeds the DBC.
  void Restart() { dbcSeeded_ = false; }
  void Consume(const IsoPacket& packet, uint32_t outputMask);

  const PlaybackStats& Stats() const { return stats_; }
  // Captured samples of one output channel (bit position in the mask), as received.
  const std::vector<int32_t>& Captured(int channel) const { return capture_[channel & 31]; }
  void SetCapture(bool on, size_t maxFrames) {
    capturing_ = on;
    maxFrames_ = maxFrames;
  }
  // Hands every received block to `sink` besides any capture; nullptr stops that. The sink must
  // stay valid until then.
  void SetSink(PlaybackSink* sink) { sink_ = sink; }
  void ClearCapture();
  bool SaveWav(const std::string& path, uint32_t rate, uint32_t channelMask) const;

 private:
  PlaybackStats stats_;
  uint32_t outputMask_ = 0;  // the mask of the last packet, and what streams of it
  uint32_t channels_ = 0;
  uint32_t dbs_ = 0;
  bool dbcSeeded_ = false;
  uint8_t expectedDbc_ = 0;
  bool capturing_ = true;
  size_t maxFrames_ = size_t{96000} * 60;
  std::array<std::vector<int32_t>, kChannels> capture_;
  PlaybackSink* sink_ = nullptr;
  std::vector<int32_t> decoded_;  // room for one packet's samples for the sink
};

}  // namespace sim
