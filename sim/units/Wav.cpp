#include "sim/units/Wav.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace sim {

namespace {

uint32_t Le(const uint8_t* p, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

void PutLe(std::vector<uint8_t>& out, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

std::optional<WavData> WavFile::Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<uint8_t> f((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (f.size() < 12 || std::memcmp(f.data(), "RIFF", 4) != 0 || std::memcmp(f.data() + 8, "WAVE", 4) != 0)
    return std::nullopt;
  WavData w;
  uint16_t bits = 0;
  bool haveFormat = false;
  for (size_t pos = 12; f.size() - pos >= 8;) {
    uint32_t size = Le(&f[pos + 4], 4);
    const uint8_t* body = &f[pos + 8];
    if (size > f.size() - pos - 8) return std::nullopt;
    if (std::memcmp(&f[pos], "fmt ", 4) == 0 && size >= 16) {
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
  size_t frames = 0;
  for (const auto& c : channels) frames = std::max(frames, c.size());
  auto n = static_cast<uint32_t>(channels.size());
  uint32_t dataBytes = static_cast<uint32_t>(frames) * n * 4;
  std::vector<uint8_t> out;
  out.reserve(44 + dataBytes);
  out.insert(out.end(), {'R', 'I', 'F', 'F'});
  PutLe(out, 36 + dataBytes, 4);
  out.insert(out.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  PutLe(out, 16, 4);
  PutLe(out, 1, 2);
  PutLe(out, n, 2);
  PutLe(out, rate, 4);
  PutLe(out, rate * n * 4, 4);
  PutLe(out, n * 4, 2);
  PutLe(out, 32, 2);
  out.insert(out.end(), {'d', 'a', 't', 'a'});
  PutLe(out, dataBytes, 4);
  for (size_t i = 0; i < frames; ++i)
    for (const auto& c : channels) PutLe(out, i < c.size() ? static_cast<uint32_t>(c[i]) : 0, 4);
  std::ofstream file(path, std::ios::binary);
  file.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
  return static_cast<bool>(file);
}

}  // namespace sim
