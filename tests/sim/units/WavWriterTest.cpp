// The streaming WAV writer: a plain file has the layout every reader knows, and a file past the
// 32-bit sizes becomes RF64 whether or not that was expected, and reads back whole. The size
// limit is lowered so that small files reach it.
#include "sim/units/WavWriter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include "sim/units/Wav.h"

namespace {

using sim::WavWriter;

std::string TempPath(const std::string& name) {
  return (std::filesystem::temp_directory_path() / ("qx-wavwriter-" + std::to_string(::getpid()) + "-" + name)).string();
}

std::vector<uint8_t> Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint64_t Le(const std::vector<uint8_t>& b, size_t at, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | b[at + i];
  return v;
}

std::string Tag(const std::vector<uint8_t>& b, size_t at) { return std::string(b.begin() + at, b.begin() + at + 4); }

// Interleaved samples that tell frame and channel apart.
std::vector<int32_t> Samples(uint64_t frames, uint16_t channels) {
  std::vector<int32_t> s;
  for (uint64_t f = 0; f < frames; ++f)
    for (uint16_t c = 0; c < channels; ++c) s.push_back(static_cast<int32_t>(f * 0x00010001u + c * 0x01000000u));
  return s;
}

// Writes the samples a few frames at a time, as a run does.
bool WriteFile(WavWriter& writer, const std::string& path, const std::vector<int32_t>& samples, uint64_t leastFrames) {
  constexpr size_t kPiece = 7 * 2;
  if (!writer.Open(path, 48000, 2, leastFrames)) return false;
  for (size_t at = 0; at < samples.size(); at += kPiece)
    writer.Append(std::span<const int32_t>(samples).subspan(at, std::min(kPiece, samples.size() - at)));
  return writer.Close();
}

TEST(WavWriter, APlainFileHasTheFortyFourByteHeaderAndItsSamplesLittleEndian) {
  const std::string path = TempPath("plain.wav");
  WavWriter writer;
  ASSERT_TRUE(WriteFile(writer, path, {0x11223344, -2, 5, 6, 0x7FFFFFFF, INT32_MIN}, 0));
  const uint8_t expected[] = {
      'R', 'I', 'F', 'F', 60, 0, 0, 0, 'W', 'A', 'V', 'E',                  //
      'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, 2, 0, 0x80, 0xBB, 0, 0,       // PCM, 2 channels, 48000 Hz
      0x00, 0xDC, 0x05, 0, 8, 0, 32, 0,                                     // bytes a second, a frame, bits
      'd', 'a', 't', 'a', 24, 0, 0, 0,                                      //
      0x44, 0x33, 0x22, 0x11, 0xFE, 0xFF, 0xFF, 0xFF, 5, 0, 0, 0,           //
      6, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0x80,
  };
  EXPECT_EQ(Bytes(path), std::vector<uint8_t>(std::begin(expected), std::end(expected)));
  EXPECT_FALSE(writer.Rf64());
  EXPECT_EQ(writer.Frames(), 3u);
  std::remove(path.c_str());
}

TEST(WavWriter, AFilePastTheSizeLimitIsRf64WhetherOrNotItWasExpected) {
  // A RIFF size of 1000 holds 36 bytes of header and 120 frames of two channels.
  constexpr uint64_t kLimit = 1000;
  struct Case {
    const char* what;
    uint64_t leastFrames, frames;
    bool rf64;
    const char* fourth;  // the chunk after WAVE
  } cases[] = {
      {"fits", 0, 120, false, "fmt "},
      {"one frame past the limit, not expected: the data moves up", 0, 121, true, "ds64"},
      {"past the limit by more than a buffer, not expected", 0, 140000, true, "ds64"},
      {"expected from the start", 200, 300, true, "ds64"},
      {"expected but fell short: a WAV with the room kept", 200, 100, false, "JUNK"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = TempPath("limit.wav");
    const std::vector<int32_t> samples = Samples(c.frames, 2);
    WavWriter writer(kLimit);
    ASSERT_TRUE(WriteFile(writer, path, samples, c.leastFrames));
    EXPECT_EQ(writer.Rf64(), c.rf64);
    const std::vector<uint8_t> b = Bytes(path);
    const uint64_t dataBytes = c.frames * 8;
    const size_t header = c.leastFrames == 0 && !c.rf64 ? 44 : 80;
    ASSERT_EQ(b.size(), header + dataBytes);
    EXPECT_EQ(Tag(b, 0), c.rf64 ? "RF64" : "RIFF");
    EXPECT_EQ(Tag(b, 12), c.fourth);
    EXPECT_EQ(Tag(b, header - 8), "data");
    if (c.rf64) {
      EXPECT_EQ(Le(b, 4, 4), 0xFFFFFFFFu);
      EXPECT_EQ(Le(b, 16, 4), 28u);
      EXPECT_EQ(Le(b, 20, 8), b.size() - 8) << "RIFF size";
      EXPECT_EQ(Le(b, 28, 8), dataBytes) << "data size";
      EXPECT_EQ(Le(b, 36, 8), c.frames) << "sample count";
      EXPECT_EQ(Le(b, 76, 4), 0xFFFFFFFFu);
    } else {
      EXPECT_EQ(Le(b, 4, 4), b.size() - 8);
      EXPECT_EQ(Le(b, header - 4, 4), dataBytes);
    }
    auto read = sim::WavFile::Read(path);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->rate, 48000u);
    EXPECT_EQ(read->channels, 2);
    EXPECT_TRUE(read->samples == samples) << "the samples read back whole";
    std::remove(path.c_str());
  }
}

TEST(WavWriter, AnRf64FileIsTheSameWhetherItsSizeWasExpectedOrNot) {
  const std::string moved = TempPath("moved.wav"), expected = TempPath("expected.wav");
  const std::vector<int32_t> samples = Samples(500, 2);
  WavWriter a(1000), b(1000);
  ASSERT_TRUE(WriteFile(a, moved, samples, 0));
  ASSERT_TRUE(WriteFile(b, expected, samples, 500));
  EXPECT_TRUE(Bytes(moved) == Bytes(expected));
  std::remove(moved.c_str());
  std::remove(expected.c_str());
}

TEST(WavWriter, AFileThatCannotBeWrittenSaysSo) {
  WavWriter writer;
  EXPECT_FALSE(writer.Open(TempPath("no-such-folder/x.wav"), 48000, 2));
  writer.Append(Samples(4, 2));
  EXPECT_FALSE(writer.Close());
}

}  // namespace
