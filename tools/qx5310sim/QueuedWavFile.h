// A WAV file of the main job written on the host program's writer thread: samples are gathered
// into chunks here, on the simulation's side, and each full chunk is queued to the writer, which
// owns the file. The bytes are those of a WavWriter fed the same samples.
#pragma once

#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "sim/units/WavWriter.h"
#include "tools/qx5310sim/WriterThread.h"

class QueuedWavFile {
 public:
  explicit QueuedWavFile(WriterThread& writer);
  // Closes the file if it is open; the writer thread must outlive it.
  ~QueuedWavFile();
  QueuedWavFile(const QueuedWavFile&) = delete;
  QueuedWavFile& operator=(const QueuedWavFile&) = delete;

  // As WavWriter's; whether opening failed is known at Close.
  void Open(const std::string& path, uint32_t rate, uint16_t channels, uint64_t leastFrames = 0);
  void Append(std::span<const int32_t> samples);
  // Waits until the writer has written everything and finished the file; false when anything
  // failed since Open, or when the file was not open.
  bool Close();
  bool Rf64() const { return rf64_; }  // after Close

 private:
  void Hand();  // queues the chunk gathered so far
  // Chunks the writer has written go back to be filled again: fresh memory would cost a page
  // fault on the simulation's side for every 4 KiB of it.
  std::vector<int32_t> TakeSpare();
  void GiveBack(std::vector<int32_t> chunk);  // the writer's

  WriterThread& writer_;
  sim::WavWriter file_;  // the writer thread's from Open to Close
  bool open_ = false;
  bool ok_ = false;  // the writer's: the file was finished
  bool rf64_ = false;
  size_t chunkSamples_ = 0;
  std::vector<int32_t> chunk_;
  std::mutex spareLock_;
  std::vector<std::vector<int32_t>> spares_;
};
