// Writes a 32-bit integer PCM WAV file as its frames come, holding nothing but a buffer, so a run
// of any length writes in constant memory. A plain WAV keeps its sizes in 32-bit fields; a file
// that would pass them is finished as RF64 (EBU Tech 3306), which sox and most audio tools read:
// "RF64" in place of "RIFF", a 'ds64' chunk after WAVE with the 64-bit sizes, and 0xFFFFFFFF in
// the 32-bit fields.
#pragma once

#include <cstdint>
#include <fstream>
#include <span>
#include <string>
#include <vector>

namespace sim {

class WavWriter {
 public:
  // The largest RIFF chunk size (file size less 8) a plain WAV can state.
  static constexpr uint64_t kRiffLimit = 0xFFFFFFFF;

  // A test lowers the limit to reach RF64 with a small file.
  explicit WavWriter(uint64_t riffLimit = kRiffLimit);
  ~WavWriter();
  WavWriter(const WavWriter&) = delete;
  WavWriter& operator=(const WavWriter&) = delete;

  // `leastFrames` is what the file is sure to get. When that alone passes the limit, the header
  // keeps room for the RF64 sizes from the start (a JUNK chunk), so the data never has to move;
  // otherwise a file that grows past the limit has its data moved up at Close to make that room.
  bool Open(const std::string& path, uint32_t rate, uint16_t channels, uint64_t leastFrames = 0);
  // Whole frames of interleaved samples, `channels` to a frame.
  void Append(std::span<const int32_t> samples);
  // Writes the header with the final sizes. False when anything failed since Open.
  bool Close();

  bool IsOpen() const { return file_.is_open(); }
  uint64_t Frames() const { return frames_; }
  bool Rf64() const { return rf64_; }  // the file was finished as RF64

 private:
  enum class Layout { Plain, Reserved };  // 44-byte header, or 80 with a JUNK chunk for ds64
  static constexpr uint32_t kPlainHeader = 44;
  static constexpr uint32_t kReservedHeader = 80;
  static constexpr size_t kBufferBytes = size_t{1} << 20;

  void Flush();
  bool MoveDataUp(uint64_t dataBytes);
  void WriteHeader(uint64_t dataBytes, bool rf64);

  uint64_t riffLimit_;
  std::fstream file_;
  Layout layout_ = Layout::Plain;
  uint32_t rate_ = 0;
  uint16_t channels_ = 0;
  uint64_t frames_ = 0;
  bool ok_ = false;
  bool rf64_ = false;
  std::vector<uint8_t> buffer_;  // kBufferBytes while open
  size_t fill_ = 0;
};

}  // namespace sim
