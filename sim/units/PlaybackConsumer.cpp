#include "sim/units/PlaybackConsumer.h"

#include <bit>
#include <cstring>

#include "sim/units/ChannelMask.h"
#include "sim/units/Wav.h"

namespace sim {

namespace {

uint32_t Be32(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

using Words = uint32_t __attribute__((vector_size(16)));

}  // namespace

void PlaybackConsumer::Consume(const IsoPacket& packet, uint32_t outputMask) {
  ++stats_.packets;
  uint32_t length = packet.payloadLength;
  if ((packet.header >> 16) != length || length < 8) {
    ++stats_.lengthErrors;
    return;
  }
  const uint8_t* p = packet.payload;
  uint32_t q0 = Be32(p);
  if ((q0 >> 24) != packet.sourceNode) {
    ++stats_.sidErrors;
    return;
  }
  if (Be32(p + 4) != kSecondQuadlet) {
    ++stats_.formatErrors;
    return;
  }
  if (outputMask != outputMask_) {
    outputMask_ = outputMask;
    channels_ = StreamedChannels(outputMask);
    dbs_ = static_cast<uint32_t>(std::popcount(channels_));
  }
  const uint32_t channels = channels_;
  uint32_t dbs = q0 >> 16 & 0xFF;
  auto dbc = static_cast<uint8_t>(q0);
  if (length == 8) {
    ++stats_.emptyPackets;
    if (dbs != 0) ++stats_.dbsErrors;
  } else if (dbs != dbs_) {
    ++stats_.dbsErrors;
    return;
  } else if (dbs == 0 || (length - 8) % (dbs * 4) != 0) {
    ++stats_.lengthErrors;
    return;
  }
  uint32_t blocks = dbs == 0 ? 0 : (length - 8) / (dbs * 4);
  if (dbs_ == 0) {
    // Blocks of no channel take no room, so the length cannot tell how many a packet carried: the
    // DBC has nothing to be checked against until channels stream, and then seeds afresh.
    dbcSeeded_ = false;
  } else {
    if (dbcSeeded_ && dbc != expectedDbc_) ++stats_.dbcErrors;
    dbcSeeded_ = true;
    expectedDbc_ = static_cast<uint8_t>(dbc + blocks);
  }
  stats_.frames += blocks;
  if (blocks == 0) return;
  if (sink_ != nullptr) {
    const size_t samples = size_t{blocks} * dbs;
    if (decoded_.size() < samples) decoded_.resize(samples);
    int32_t* out = decoded_.data();
    // Four samples at a time: shifts and masks of a vector need nothing beyond SSE2.
    const uint8_t* in = p + 8;
    size_t i = 0;
    for (; i + 4 <= samples; i += 4) {
      Words w;
      std::memcpy(&w, in + 4 * i, sizeof w);
      w = w << 24 | (w << 8 & 0xFF0000u) | (w >> 8 & 0xFF00u) | w >> 24;
      std::memcpy(out + i, &w, sizeof w);
    }
    for (; i < samples; ++i) out[i] = static_cast<int32_t>(Be32(in + 4 * i));
    sink_->Played(decoded_.data(), blocks, channels);
  }
  if (!capturing_) return;
  for (uint32_t b = 0; b < blocks; ++b) {
    const uint8_t* block = p + 8 + b * dbs * 4;
    uint32_t rest = channels;
    for (uint32_t k = 0; rest != 0; ++k) {
      int ch = std::countr_zero(rest);
      rest &= rest - 1;
      if (capture_[ch].size() < maxFrames_) capture_[ch].push_back(static_cast<int32_t>(Be32(block + 4 * k)));
    }
  }
}

void PlaybackConsumer::ClearCapture() {
  for (auto& c : capture_) c.clear();
}

bool PlaybackConsumer::SaveWav(const std::string& path, uint32_t rate, uint32_t channelMask) const {
  std::vector<std::vector<int32_t>> columns;
  for (int ch = 0; ch < kChannels; ++ch)
    if (channelMask >> ch & 1) columns.push_back(capture_[ch]);
  return WavFile::Write(path, rate, columns);
}

}  // namespace sim
