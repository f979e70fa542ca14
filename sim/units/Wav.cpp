#include "sim/units/Wav.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "sim/units/WavWriter.h"

namespace sim {

namespace {

uint32_t Le(const uint8_t* p, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

}  // namespace

std::optional<WavData> WavFile::Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<uint8_t> f((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (f.size() < 12 || std::memcmp(f.data() + 8, "WAVE", 4) != 0) return std::nullopt;
  const bool rf64 = std::memcmp(f.data(), "RF64", 4) == 0;
  if (!rf64 && std::memcmp(f.data(), "RIFF", 4) != 0) return std::nullopt;
  WavData w;
  uint16_t bits = 0;
  bool haveFormat = false;
  uint64_t dataSize64 = 0;  // RF64: the data size from the ds64 chunk
  for (size_t pos = 12; f.size() - pos >= 8;) {
    uint64_t size = Le(&f[pos + 4], 4);
    const uint8_t* body = &f[pos + 8];
    if (rf64 && size == 0xFFFFFFFF && std::memcmp(&f[pos], "data", 4) == 0) size = dataSize64;
    if (size > f.size() - pos - 8) return std::nullopt;
    if (rf64 && pos == 12) {
      if (std::memcmp(&f[pos], "ds64", 4) != 0 || size < 16) return std::nullopt;
      dataSize64 = Le(body + 8, 4) | uint64_t{Le(body + 12, 4)} << 32;
    } else if (std::memcmp(&f[pos], "fmt ", 4) == 0 && size >= 16) {
      uint32_t format = Le(body, 2);
      w.channels = static_cast<uint16_t>(Le(body + 2, 2));
      w.rate = Le(body + 4, 4);
      bits = static_cast<uint16_t>(Le(body + 14, 2));
      if ((format != 1 && format != 0xFFFE) || w.channels == 0 || (bits != 16 && bits != 24 && bits != 32))
        return std::nullopt;
      haveFormat = true;
    } else if (std::memcmp(&f[pos], "data", 4) == 0 && haveFormat) {
      int bytes = bits / 8;
      size_t count = size / bytes / w.channels * w.channels;
      w.samples.reserve(count);
      for (size_t i = 0; i < count; ++i)
        w.samples.push_back(static_cast<int32_t>(Le(body + i * bytes, bytes) << (32 - bits)));
      return w;
    }
    pos += 8 + size + (size & 1);
  }
  return std::nullopt;
}

bool WavFile::Write(const std::string& path, uint32_t rate, const std::vector<std::vector<int32_t>>& channels) {
  constexpr size_t kRowsAtOnce = 4096;
  size_t frames = 0;
  for (const auto& c : channels) frames = std::max(frames, c.size());
  WavWriter writer;
  writer.Open(path, rate, static_cast<uint16_t>(channels.size()));
  std::vector<int32_t> rows;
  rows.reserve(std::min(frames, kRowsAtOnce) * channels.size());
  for (size_t i = 0; i < frames; ++i) {
    for (const auto& c : channels) rows.push_back(i < c.size() ? c[i] : 0);
    if (rows.size() >= kRowsAtOnce * channels.size()) {
      writer.Append(rows);
      rows.clear();
    }
  }
  writer.Append(rows);
  return writer.Close();
}

}  // namespace sim
