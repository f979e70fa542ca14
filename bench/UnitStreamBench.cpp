// The isochronous completion path per list: record packets checked and cut into buffers, playback
// packets built, 18 channels converted each way, status words taken. Beside it, a plain copy of
// the same bytes (the record data blocks in, the playback data blocks out) in the same run.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "tests/unit/StreamDouble.h"

namespace {

using Clock = std::chrono::steady_clock;

class TimedStream : public StreamDouble {
 public:
  Clock::duration mSpent{};
  uint64_t mLists = 0;

 protected:
  void HandleInputBufferACallback() override { Timed([this] { StreamDouble::HandleInputBufferACallback(); }, 0); }
  void HandleInputBufferBCallback() override { Timed([this] { StreamDouble::HandleInputBufferBCallback(); }, 0); }
  void HandleOutputBufferACallback() override { Timed([this] { StreamDouble::HandleOutputBufferACallback(); }, 1); }
  void HandleOutputBufferBCallback() override { Timed([this] { StreamDouble::HandleOutputBufferBCallback(); }, 1); }

 private:
  template <typename Handler>
  void Timed(Handler handler, uint64_t lists) {
    const Clock::time_point start = Clock::now();
    handler();
    mSpent += Clock::now() - start;
    mLists += lists;
  }
};

void BM_ProcessIsocBuffer(benchmark::State& state) {
  const auto rate = static_cast<uint32_t>(state.range(0));
  const auto frames = static_cast<uint32_t>(state.range(1));
  auto unit = std::make_unique<TimedStream>();
  unit->mVerify = false;
  unit->Start(rate, frames);
  if (!unit->RunUntilLocked(20 * 8000)) {
    state.SkipWithError("the stream did not lock");
    return;
  }

  // One list's worth of bytes: record blocks of 20 quadlets in, playback blocks of 18 out.
  const std::size_t recordBytes = std::size_t{frames} * 20 * 4;
  const std::size_t playbackBytes = std::size_t{frames} * 18 * 4;
  std::vector<uint8_t> from(recordBytes + playbackBytes, 0x5A);
  std::vector<uint8_t> to(recordBytes + playbackBytes);
  Clock::duration copying{};
  uint64_t copies = 0;

  unit->mSpent = {};
  unit->mLists = 0;
  const uint64_t cyclesPerList = unit->PacketsPerBuffer();
  for (auto _ : state) {
    unit->RunCycles(cyclesPerList);
    const Clock::time_point start = Clock::now();
    std::memcpy(to.data(), from.data(), from.size());
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
    copying += Clock::now() - start;
    ++copies;
  }
  if (!unit->IsStreamValid() || unit->LockState() != 2 || unit->mLists == 0) {
    state.SkipWithError("the stream lost its lock");
    return;
  }
  const double listNs = std::chrono::duration<double, std::nano>(unit->mSpent).count() / unit->mLists;
  const double copyNs = std::chrono::duration<double, std::nano>(copying).count() / copies;
  state.counters["ns_per_list"] = listNs;
  state.counters["ns_per_frame"] = listNs / frames;
  state.counters["memcpy_ns"] = copyNs;
  state.counters["ratio_to_memcpy"] = listNs / copyNs;
}

BENCHMARK(BM_ProcessIsocBuffer)
    ->ArgNames({"rate", "frames"})
    ->ArgsProduct({{44100, 48000, 88200, 96000}, {64, 256, 2048}})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
