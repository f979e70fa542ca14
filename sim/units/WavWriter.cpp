#include "sim/units/WavWriter.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace sim {

namespace {

constexpr uint32_t kSampleBytes = 4;
constexpr uint32_t kUnknownSize = 0xFFFFFFFF;  // a 32-bit size field of RF64: see ds64
constexpr uint32_t kDs64Body = 28;             // RIFF size, data size, sample count, table length 0

// A header as it is built, field by field.
class HeaderBytes {
 public:
  void Le(uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) bytes_[size_++] = static_cast<uint8_t>(v >> (8 * i));
  }
  void Tag(const char* tag) {
    for (int i = 0; i < 4; ++i) bytes_[size_++] = static_cast<uint8_t>(tag[i]);
  }
  void Zeros(size_t n) {
    for (size_t i = 0; i < n; ++i) bytes_[size_++] = 0;
  }
  const char* Data() const { return reinterpret_cast<const char*>(bytes_.data()); }
  std::streamsize Size() const { return static_cast<std::streamsize>(size_); }

 private:
  std::array<uint8_t, 80> bytes_{};
  size_t size_ = 0;
};

}  // namespace

WavWriter::WavWriter(uint64_t riffLimit) : riffLimit_(riffLimit) {}

WavWriter::~WavWriter() {
  if (file_.is_open()) Close();
}

bool WavWriter::Open(const std::string& path, uint32_t rate, uint16_t channels, uint64_t leastFrames) {
  if (file_.is_open()) Close();
  file_.open(path, std::ios::in | std::ios::out | std::ios::binary | std::ios::trunc);
  rate_ = rate;
  channels_ = channels;
  frames_ = 0;
  rf64_ = false;
  const uint64_t leastData = leastFrames * channels * kSampleBytes;
  layout_ = kPlainHeader - 8 + leastData > riffLimit_ ? Layout::Reserved : Layout::Plain;
  WriteHeader(0, false);
  ok_ = file_.good();
  buffer_.resize(kBufferBytes);
  fill_ = 0;
  return ok_;
}

void WavWriter::Append(std::span<const int32_t> samples) {
  if (!file_.is_open() || channels_ == 0) return;
  frames_ += samples.size() / channels_;
  while (!samples.empty()) {
    if (fill_ == kBufferBytes) Flush();
    size_t n = std::min(samples.size(), (kBufferBytes - fill_) / kSampleBytes);
    uint8_t* p = buffer_.data() + fill_;
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(p, samples.data(), n * kSampleBytes);
    } else {
      for (size_t i = 0; i < n; ++i, p += kSampleBytes) {
        auto v = static_cast<uint32_t>(samples[i]);
        p[0] = static_cast<uint8_t>(v);
        p[1] = static_cast<uint8_t>(v >> 8);
        p[2] = static_cast<uint8_t>(v >> 16);
        p[3] = static_cast<uint8_t>(v >> 24);
      }
    }
    fill_ += n * kSampleBytes;
    samples = samples.subspan(n);
  }
}

void WavWriter::Flush() {
  file_.write(reinterpret_cast<const char*>(buffer_.data()), static_cast<std::streamsize>(fill_));
  ok_ = ok_ && file_.good();
  fill_ = 0;
}

bool WavWriter::Close() {
  if (!file_.is_open()) return false;
  Flush();
  const uint64_t dataBytes = frames_ * channels_ * kSampleBytes;
  const uint32_t headerBytes = layout_ == Layout::Plain ? kPlainHeader : kReservedHeader;
  rf64_ = headerBytes - 8 + dataBytes > riffLimit_;
  if (rf64_ && layout_ == Layout::Plain) {
    ok_ = MoveDataUp(dataBytes) && ok_;
    layout_ = Layout::Reserved;
  }
  WriteHeader(dataBytes, rf64_);
  ok_ = ok_ && file_.good();
  file_.close();
  ok_ = ok_ && !file_.fail();
  buffer_ = {};
  return ok_;
}

// Moves the data from behind a plain header to behind an RF64 one, from the end down so that no
// byte is overwritten before it was read.
bool WavWriter::MoveDataUp(uint64_t dataBytes) {
  constexpr uint64_t kShift = kReservedHeader - kPlainHeader;
  for (uint64_t left = dataBytes; left > 0;) {
    uint64_t n = std::min<uint64_t>(left, kBufferBytes);
    left -= n;
    file_.seekg(static_cast<std::streamoff>(kPlainHeader + left));
    file_.read(reinterpret_cast<char*>(buffer_.data()), static_cast<std::streamsize>(n));
    file_.seekp(static_cast<std::streamoff>(kPlainHeader + kShift + left));
    file_.write(reinterpret_cast<const char*>(buffer_.data()), static_cast<std::streamsize>(n));
    if (!file_.good()) return false;
  }
  return true;
}

void WavWriter::WriteHeader(uint64_t dataBytes, bool rf64) {
  const uint64_t riffBytes = (layout_ == Layout::Plain ? kPlainHeader : kReservedHeader) - 8 + dataBytes;
  HeaderBytes h;
  h.Tag(rf64 ? "RF64" : "RIFF");
  h.Le(rf64 ? kUnknownSize : riffBytes, 4);
  h.Tag("WAVE");
  if (layout_ == Layout::Reserved) {
    h.Tag(rf64 ? "ds64" : "JUNK");
    h.Le(kDs64Body, 4);
    if (rf64) {
      h.Le(riffBytes, 8);
      h.Le(dataBytes, 8);
      h.Le(frames_, 8);
      h.Le(0, 4);
    } else {
      h.Zeros(kDs64Body);
    }
  }
  h.Tag("fmt ");
  h.Le(16, 4);
  h.Le(1, 2);  // integer PCM
  h.Le(channels_, 2);
  h.Le(rate_, 4);
  h.Le(uint64_t{rate_} * channels_ * kSampleBytes, 4);
  h.Le(uint32_t{channels_} * kSampleBytes, 2);
  h.Le(kSampleBytes * 8, 2);
  h.Tag("data");
  h.Le(rf64 ? kUnknownSize : dataBytes, 4);
  file_.seekp(0);
  file_.write(h.Data(), h.Size());
}

}  // namespace sim
