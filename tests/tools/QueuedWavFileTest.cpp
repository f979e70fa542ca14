// The main job's WAV files as its writer thread writes them: the same bytes a WavWriter writes
// from the same samples, however the samples were cut, and a failure still known at Close.
#include "tools/qx5310sim/QueuedWavFile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sim/units/WavWriter.h"
#include "tools/qx5310sim/WriterThread.h"

namespace {

std::string TempPath(const std::string& name) {
  return testing::TempDir() + "qx-queued-wav-" + std::to_string(::getpid()) + "-" + name;
}

std::vector<char> Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Cut {
  const char* name;
  uint16_t channels;
  uint32_t frames;  // in all
  uint32_t piece;   // frames a call
};

// A chunk is 2^18 samples cut down to whole frames; pieces meet its edges in different ways.
const Cut kCuts[] = {
    {"nothing", 18, 0, 1},
    {"one frame", 18, 1, 1},
    {"halves of 64 frames", 18, 20000, 64},
    {"halves of 2048 frames past several chunks", 18, 40000, 2048},
    {"one call of many chunks", 18, 50000, 50000},
    {"a stereo file", 2, 150000, 441},
};

TEST(QueuedWavFile, WritesTheBytesAWavWriterWritesForTheSameSamples) {
  WriterThread writer(2);
  for (const Cut& c : kCuts) {
    SCOPED_TRACE(c.name);
    const std::string queuedPath = TempPath("queued.wav"), directPath = TempPath("direct.wav");
    QueuedWavFile queued(writer);
    sim::WavWriter direct;
    queued.Open(queuedPath, 96000, c.channels);
    ASSERT_TRUE(direct.Open(directPath, 96000, c.channels));
    std::vector<int32_t> samples;
    for (uint32_t done = 0; done < c.frames; done += c.piece) {
      const uint32_t n = std::min(c.piece, c.frames - done);
      samples.resize(size_t{n} * c.channels);
      for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int32_t>((done * c.channels + i) * 2654435761u);
      queued.Append(samples);
      direct.Append(samples);
    }
    EXPECT_TRUE(queued.Close());
    EXPECT_TRUE(direct.Close());
    EXPECT_FALSE(queued.Close()) << "a closed file closes once";
    EXPECT_EQ(Bytes(queuedPath), Bytes(directPath));
    std::remove(queuedPath.c_str());
    std::remove(directPath.c_str());
  }
}

TEST(QueuedWavFile, AFileThatCouldNotBeWrittenFailsAtClose) {
  WriterThread writer(2);
  QueuedWavFile file(writer);
  file.Open(TempPath("no-such-directory/file.wav"), 48000, 18);
  file.Append(std::vector<int32_t>(18 * 1000, 7));
  EXPECT_FALSE(file.Close());
}

TEST(WriterThread, RunsJobsInTheOrderTheyCameThroughAQueueOfOne) {
  std::vector<int> ran;
  {
    WriterThread writer(1);
    for (int i = 0; i < 100; ++i) writer.Push([&ran, i] { ran.push_back(i); });
    writer.Drain();
    EXPECT_EQ(ran.size(), 100u);
    writer.Push([&ran] { ran.push_back(100); });
  }
  std::vector<int> expected(101);
  for (int i = 0; i <= 100; ++i) expected[static_cast<size_t>(i)] = i;
  EXPECT_EQ(ran, expected) << "and what was queued at the end ran before the thread ended";
}

}  // namespace
