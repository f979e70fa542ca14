#include "tools/qx5310sim/QueuedWavFile.h"

#include <algorithm>
#include <utility>

namespace {
// A chunk of 1 MiB: few hand-overs, and with the writer's queue a bounded amount in flight.
constexpr size_t kChunkSamples = size_t{1} << 18;
}  // namespace

QueuedWavFile::QueuedWavFile(WriterThread& writer) : writer_(writer) {}

QueuedWavFile::~QueuedWavFile() {
  if (open_) Close();
}

void QueuedWavFile::Open(const std::string& path, uint32_t rate, uint16_t channels, uint64_t leastFrames) {
  if (open_) Close();
  open_ = true;
  rf64_ = false;
  // Whole frames to a chunk: the file counts the frames of every piece it is given.
  chunkSamples_ = std::max<size_t>(kChunkSamples / std::max<uint16_t>(channels, 1), 1) * channels;
  chunk_.clear();
  chunk_.reserve(chunkSamples_);
  writer_.Push([this, path, rate, channels, leastFrames] { file_.Open(path, rate, channels, leastFrames); });
}

void QueuedWavFile::Append(std::span<const int32_t> samples) {
  if (!open_ || chunkSamples_ == 0) return;
  while (!samples.empty()) {
    size_t n = std::min(samples.size(), chunkSamples_ - chunk_.size());
    chunk_.insert(chunk_.end(), samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(n));
    samples = samples.subspan(n);
    if (chunk_.size() == chunkSamples_) Hand();
  }
}

void QueuedWavFile::Hand() {
  if (chunk_.empty()) return;
  std::vector<int32_t> full = TakeSpare();
  std::swap(full, chunk_);
  writer_.Push([this, samples = std::move(full)]() mutable {
    file_.Append(samples);
    GiveBack(std::move(samples));
  });
}

std::vector<int32_t> QueuedWavFile::TakeSpare() {
  std::vector<int32_t> chunk;
  {
    std::lock_guard<std::mutex> lock(spareLock_);
    if (!spares_.empty()) {
      chunk = std::move(spares_.back());
      spares_.pop_back();
    }
  }
  chunk.reserve(chunkSamples_);
  return chunk;
}

void QueuedWavFile::GiveBack(std::vector<int32_t> chunk) {
  chunk.clear();
  std::lock_guard<std::mutex> lock(spareLock_);
  spares_.push_back(std::move(chunk));
}

bool QueuedWavFile::Close() {
  if (!open_) return false;
  Hand();
  writer_.Push([this] {
    ok_ = file_.Close();
    rf64_ = file_.Rf64();
  });
  writer_.Drain();
  open_ = false;
  chunk_ = {};
  spares_.clear();
  return ok_;
}
