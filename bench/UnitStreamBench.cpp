// The isochronous completion path per list (record packets checked and cut into buffers, playback
// packets built, 18 channels converted each way, status words taken) at every rate and buffer
// size, beside two baselines measured in the same rounds: the same bytes moved between the same
// packet slots and channel rows by plain copies (the physical limit of the work), and one plain
// memcpy of as many bytes between two contiguous buffers. A second benchmark gives the spread of
// single completions, with the client rows laid out by the layout rule and, for comparison, 8 KiB
// apart.
//
// Every input is built before the timed loops: the unit's record stream is a ring of packets made
// in advance, and the bus only points each list's slots at the ring and numbers their DBC, as the
// controller's DMA would have filled them. The clock is read around a whole round of lists, never
// inside one, and the rounds count every allocation to show the path makes none.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "tests/unit/UnitDouble.h"
#include "unit/ChannelRows.h"
#include "unit/PreferencesBlock.h"
#include "unit/RegisterMap.h"

namespace {

std::atomic<uint64_t> gAllocations{0};

}  // namespace

// Out of line, so the compiler does not pair the malloc and free inside them with new and delete.
[[gnu::noinline]] void* operator new(std::size_t bytes) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(bytes != 0 ? bytes : 1)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kChannels = 18;
constexpr uint32_t kCyclesPerSecond = 8000;
constexpr uint32_t kRecordQuadlets = kChannels + 2;
constexpr uint32_t kRecordBlockBytes = kRecordQuadlets * 4;
constexpr uint32_t kPlaybackBlockBytes = kChannels * 4;
constexpr size_t kHalfBytes = kChannelArrayEntries * sizeof(uint32_t);
constexpr size_t kPageBytes = 4096;
// Ring packets: at least one list's worth (412), so no list meets a packet twice, and a whole
// number of the rates' block patterns (80 cycles at 44.1 kHz, 40 at 88.2 kHz).
constexpr uint32_t kRingPackets = 480;
constexpr uint32_t kSlotsPerPage = kPageBytes / QX531Device::kRecordSlotPitch;
// Frames a round of lists carries: 512 lists of 32 frames, 8 of 2048.
constexpr uint32_t kRoundFrames = 16384;
constexpr uint32_t kRounds = 200;

enum class RowLayout { Staggered, EightKiB };

struct Chunk {
  uint8_t* data;
  uint32_t frames;
};

// The chunks of one converted record and playback buffer, kept for the copy baseline.
struct CapturedList {
  uint32_t half;
  std::vector<Chunk> record;
  std::vector<Chunk> playback;
};

uint32_t BlocksOfCycle(uint32_t rate, uint64_t cycle) {
  return static_cast<uint32_t>((cycle + 1) * rate / kCyclesPerSecond - cycle * rate / kCyclesPerSecond);
}

void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

struct AlignedFree {
  void operator()(uint8_t* p) const { std::free(p); }
};
using AlignedBytes = std::unique_ptr<uint8_t[], AlignedFree>;

AlignedBytes AllocateAligned(size_t bytes, size_t alignment) {
  const size_t rounded = (bytes + alignment - 1) / alignment * alignment;
  AlignedBytes p(static_cast<uint8_t*>(std::aligned_alloc(alignment, rounded)));
  std::memset(p.get(), 0, rounded);
  return p;
}

// The engine on a bus that replays a ring of record packets. Lists complete in the order the bus
// finishes them when the stream runs: record A, playback A, record B, playback B. Both directions
// of a list start in the same cycle, so the engine sees no drift.
class ReplayBus : public UnitDouble {
 public:
  ReplayBus(uint32_t rate, uint32_t frames, RowLayout layout) : mRate(rate) {
    LookLikeMainUnit();
    BuildRing();
    BuildRows(layout);
    mRegisters[QX5310_RATE_CLOCK] = RateCode(rate) | 1;
    HandlePlugIn();
    SetBufferFrames(frames);
    SetInputChannelMask(0x3FFFF);
    SetOutputChannelMask(0x3FFFF);
    StartAudioStreams();
  }

  // Completes the next list, both directions.
  void CompleteNext() {
    const uint32_t letter = mNextLetter;
    mNextLetter ^= 1;
    uint8_t** slots = letter == 0 ? mRecordSlotsA : mRecordSlotsB;
    const uint32_t count = mQueuedCount[letter];
    uint32_t entry = mRingCursor;
    uint32_t dbc = mDbc;
    for (uint32_t i = 0; i < count; ++i) {
      uint8_t* slot = mRingSlots[entry];
      slot[11] = static_cast<uint8_t>(dbc);
      dbc += mRingBlocks[entry];
      slots[i] = slot;
      entry = entry + 1 == kRingPackets ? 0 : entry + 1;
    }
    mRingCursor = entry;
    mDbc = dbc;
    if (letter == 0) {
      HandleInputBufferACallback();
      HandleOutputBufferACallback();
    } else {
      HandleInputBufferBCallback();
      HandleOutputBufferBCallback();
    }
  }

  bool Locked() const { return IsStreamValid() && LockState() == 2; }
  uint64_t Converted() const { return mConverted; }

  void StartCapture(size_t lists) {
    mCaptured.clear();
    mCaptured.reserve(lists);
    mCaptureLeft = lists;
  }
  const std::vector<CapturedList>& Captured() const { return mCaptured; }

  // The arrays the record converter writes (index, channels, value) and the playback rows, of one half.
  void RecordRows(uint32_t half, uint8_t** rows) {
    rows[0] = reinterpret_cast<uint8_t*>(mStatusIndex);
    for (uint32_t k = 0; k < kChannels; ++k) rows[k + 1] = reinterpret_cast<uint8_t*>(mRows[half][k]);
    rows[kChannels + 1] = reinterpret_cast<uint8_t*>(mStatusValue);
  }
  const uint32_t* const* PlaybackRows(uint32_t half) const { return mRows[half]; }

 protected:
  int32_t StartIsochStreams() override {
    mRunning = true;
    mQueuedCount[0] = mRecordPacketsA;
    mQueuedCount[1] = mRecordPacketsB;
    mPlaybackSchedule[0] = 0;
    mPlaybackSchedule[1] = StampWord(mRecordPacketsA);
    mQueuedEnd = uint64_t{mRecordPacketsA} + mRecordPacketsB;
    return 0;
  }
  int32_t StopIsochStreams() override {
    mRunning = false;
    return 0;
  }
  int32_t RequeueBuffers(uint32_t list, uint32_t recordPackets, uint32_t, const uint32_t*) override {
    if (!mRunning) return 0;
    list &= 1;
    mPlaybackSchedule[list] = StampWord(mQueuedEnd);
    mQueuedCount[list] = recordPackets;
    mQueuedEnd += recordPackets;
    return 0;
  }

  // As the Windows layer does: the client rows of the half, looped record to playback, through
  // tables made once for the channels rather than for every list.
  void ConvertBufferPair(uint32_t list, BufferDescriptor* record, BufferDescriptor* playback) override {
    if (!RecordBufferMatches(*record)) return;
    const uint32_t half = list & 1;
    UnpackInputChannels(*record, mRecordTable[half]);
    if (PlaybackBufferMatches(*playback)) {
      PackOutputChannels(*playback, mPlaybackTable[half]);
      ++mConverted;
      if (mCaptureLeft != 0) Capture(half, *record, *playback);
    }
    HandleStatusWords(record->mFrames);
  }

 private:
  // The cycle stamp of a ring packet: its ring entry, so the playback list of the same cycle
  // carries the same stamp.
  static uint32_t StampWord(uint64_t cycle) { return static_cast<uint32_t>(cycle % kRingPackets) << 12; }

  // The unit's stream at the nominal rate: 18 channels whose samples carry their channel and
  // frame, the status index running through 0-63 and the rate word in status value 52.
  void BuildRing() {
    mRing = AllocateAligned((kRingPackets / kSlotsPerPage + 1) * kPageBytes, kPageBytes);
    uint64_t frame = 0;
    for (uint32_t j = 0; j < kRingPackets; ++j) {
      uint8_t* slot = mRing.get() + j / kSlotsPerPage * kPageBytes + j % kSlotsPerPage * QX531Device::kRecordSlotPitch;
      const uint32_t blocks = BlocksOfCycle(mRate, j);
      const uint32_t length = 8 + blocks * kRecordBlockBytes;
      const uint32_t stamp = j;
      const uint32_t isoHeader = length << 16 | 1u << 14 | 1u << 8 | 0xA << 4;
      std::memcpy(slot, &stamp, 4);
      std::memcpy(slot + 4, &isoHeader, 4);
      PutBe32(slot + 8, 2u << 24 | kRecordQuadlets << 16);
      PutBe32(slot + 12, 0xBE000000);
      uint8_t* block = slot + 16;
      for (uint32_t b = 0; b < blocks; ++b, ++frame) {
        const auto index = static_cast<uint32_t>(frame % 64);
        PutBe32(block, index);
        for (uint32_t k = 0; k < kChannels; ++k) {
          PutBe32(block + 4 + 4 * k, (k + 1) << 27 | static_cast<uint32_t>(frame & 0x7FFFFFF));
        }
        PutBe32(block + 4 + 4 * kChannels, index == 52 ? ((RateCode(mRate) | 1) & 0x8307) : 0);
        block += kRecordBlockBytes;
      }
      mRingSlots[j] = slot;
      mRingBlocks[j] = blocks;
    }
  }

  void BuildRows(RowLayout layout) {
    const size_t bytes = layout == RowLayout::Staggered ? ChannelRowsBytes(kChannels, 2 * kHalfBytes)
                                                        : 2 * kChannels * kHalfBytes;
    mRowBlock = AllocateAligned(bytes, kPageBytes);
    for (uint32_t half = 0; half < 2; ++half) {
      for (uint32_t k = 0; k < kChannels; ++k) {
        const size_t offset = layout == RowLayout::Staggered ? ChannelHalfOffset(k, half, kHalfBytes)
                                                             : (half * kChannels + k) * kHalfBytes;
        mRows[half][k] = reinterpret_cast<uint32_t*>(mRowBlock.get() + offset);
      }
      mRecordTable[half][0] = mStatusIndex;
      for (uint32_t k = 0; k < kChannels; ++k) mRecordTable[half][k + 1] = mRows[half][k];
      mRecordTable[half][kChannels + 1] = mStatusValue;
      for (uint32_t k = 0; k < kOutputArrays; ++k) mPlaybackTable[half][k] = mRows[half][std::min(k, kChannels - 1)];
    }
  }

  void Capture(uint32_t half, const BufferDescriptor& record, const BufferDescriptor& playback) {
    CapturedList list{half, {}, {}};
    for (uint32_t c = 0; c < record.mChunks; ++c) list.record.push_back({record.mChunkData[c], record.mChunkFrames[c]});
    for (uint32_t c = 0; c < playback.mChunks; ++c) {
      list.playback.push_back({playback.mChunkData[c], playback.mChunkFrames[c]});
    }
    mCaptured.push_back(std::move(list));
    --mCaptureLeft;
  }

  uint32_t mRate;
  AlignedBytes mRing;
  uint8_t* mRingSlots[kRingPackets] = {};
  uint32_t mRingBlocks[kRingPackets] = {};
  uint32_t mRingCursor = 0;
  uint32_t mDbc = 0;
  AlignedBytes mRowBlock;
  uint32_t* mRows[2][kChannels] = {};
  uint32_t* mRecordTable[2][kInputArrays] = {};
  const uint32_t* mPlaybackTable[2][kOutputArrays] = {};
  bool mRunning = false;
  uint32_t mNextLetter = 0;
  uint32_t mQueuedCount[2] = {};
  uint64_t mQueuedEnd = 0;
  uint64_t mConverted = 0;
  std::vector<CapturedList> mCaptured;
  size_t mCaptureLeft = 0;
};

// The lists the timed loops run; kept out of line so an instruction count can be taken of them alone.
[[gnu::noinline]] void RunLists(ReplayBus& bus, uint32_t lists) {
  for (uint32_t i = 0; i < lists; ++i) bus.CompleteNext();
}

// The same bytes between the same places as plain copies: the record data blocks of each chunk,
// in order, into the 20 record arrays one after the other; the 18 playback rows one after the
// other into the playback chunks.
[[gnu::noinline]] void CopyLists(ReplayBus& bus, const std::vector<CapturedList>& lists, size_t first, uint32_t count,
                                 uint32_t frames) {
  const size_t rowBytes = size_t{frames} * 4;
  for (uint32_t i = 0; i < count; ++i) {
    const CapturedList& list = lists[(first + i) % lists.size()];
    uint8_t* rows[kInputArrays];
    bus.RecordRows(list.half, rows);
    size_t row = 0;
    size_t at = 0;
    for (const Chunk& chunk : list.record) {
      const uint8_t* from = chunk.data;
      for (size_t left = size_t{chunk.frames} * kRecordBlockBytes; left != 0;) {
        const size_t n = std::min(left, rowBytes - at);
        std::memcpy(rows[row] + at, from, n);
        from += n;
        left -= n;
        at += n;
        if (at == rowBytes) {
          ++row;
          at = 0;
        }
      }
    }
    const uint32_t* const* playbackRows = bus.PlaybackRows(list.half);
    row = 0;
    at = 0;
    for (const Chunk& chunk : list.playback) {
      uint8_t* to = chunk.data;
      for (size_t left = size_t{chunk.frames} * kPlaybackBlockBytes; left != 0;) {
        const size_t n = std::min(left, rowBytes - at);
        std::memcpy(to, reinterpret_cast<const uint8_t*>(playbackRows[row]) + at, n);
        to += n;
        left -= n;
        at += n;
        if (at == rowBytes) {
          ++row;
          at = 0;
        }
      }
    }
    benchmark::ClobberMemory();
  }
}

[[gnu::noinline]] void MemcpyLists(uint8_t* to, const uint8_t* from, size_t bytes, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    std::memcpy(to, from, bytes);
    benchmark::DoNotOptimize(to);
    benchmark::ClobberMemory();
  }
}

double Median(std::vector<double>& v) {
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

double Percentile(std::vector<double>& sorted, double p) {
  return sorted[std::min(sorted.size() - 1, static_cast<size_t>(p * static_cast<double>(sorted.size())))];
}

double Nanoseconds(Clock::duration d) { return std::chrono::duration<double, std::nano>(d).count(); }

// Locks the stream, lets the rate measurement settle, and keeps a round's worth of lists for the
// copy baseline. False when the stream did not lock.
bool Prepare(ReplayBus& bus, uint32_t rate, uint32_t frames, uint32_t captured) {
  const uint64_t listsPerSecond = rate / frames + 1;
  for (uint64_t i = 0; i < 20 * listsPerSecond && !bus.Locked(); ++i) bus.CompleteNext();
  for (uint64_t i = 0; i < 2 * listsPerSecond; ++i) bus.CompleteNext();
  bus.StartCapture(captured);
  for (uint32_t i = 0; i < captured; ++i) bus.CompleteNext();
  return bus.Locked() && bus.Captured().size() == captured;
}

void BM_StreamPath(benchmark::State& state) {
  const auto rate = static_cast<uint32_t>(state.range(0));
  const auto frames = static_cast<uint32_t>(state.range(1));
  auto bus = std::make_unique<ReplayBus>(rate, frames, RowLayout::Staggered);
  if (bus->BufferFrames() != frames) {
    state.SkipWithError("the engine does not run this buffer size at this rate");
    return;
  }
  const uint32_t lists = std::max(2u, kRoundFrames / frames);
  if (!Prepare(*bus, rate, frames, lists)) {
    state.SkipWithError("the stream did not lock");
    return;
  }
  const size_t bytes = size_t{frames} * (kRecordBlockBytes + kPlaybackBlockBytes);
  std::vector<uint8_t> from(bytes, 0x5A);
  std::vector<uint8_t> to(bytes);
  std::vector<double> path, copy, plain, toCopy, toPlain;
  for (auto* v : {&path, &copy, &plain, &toCopy, &toPlain}) v->reserve(kRounds);

  const uint64_t convertedBefore = bus->Converted();
  const uint64_t allocationsBefore = gAllocations.load();
  size_t captured = 0;
  for (auto _ : state) {
    const Clock::time_point t0 = Clock::now();
    RunLists(*bus, lists);
    const Clock::time_point t1 = Clock::now();
    CopyLists(*bus, bus->Captured(), captured, lists, frames);
    const Clock::time_point t2 = Clock::now();
    MemcpyLists(to.data(), from.data(), bytes, lists);
    const Clock::time_point t3 = Clock::now();
    captured += lists;
    path.push_back(Nanoseconds(t1 - t0) / lists);
    copy.push_back(Nanoseconds(t2 - t1) / lists);
    plain.push_back(Nanoseconds(t3 - t2) / lists);
    toCopy.push_back(path.back() / copy.back());
    toPlain.push_back(path.back() / plain.back());
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count() / lists);
  }
  const uint64_t allocations = gAllocations.load() - allocationsBefore;
  const uint64_t converted = bus->Converted() - convertedBefore;
  if (!bus->Locked() || converted != uint64_t{lists} * state.iterations()) {
    state.SkipWithError("the stream lost its lock or skipped a buffer");
    return;
  }
  if (allocations != 0) {
    state.SkipWithError("the timed rounds allocated");
    return;
  }
  const double listNs = Median(path);
  state.counters["ns_per_list"] = listNs;
  state.counters["ns_per_frame"] = listNs / frames;
  state.counters["copy_ns"] = Median(copy);
  state.counters["memcpy_ns"] = Median(plain);
  state.counters["x_copy"] = Median(toCopy);
  state.counters["x_memcpy"] = Median(toPlain);
  state.counters["lists"] = static_cast<double>(converted);
}

// Single completions at 64 frames, 96 kHz: the clock is read around each list, and the time of an
// empty reading is given beside the figures.
void BM_SingleCompletions(benchmark::State& state) {
  constexpr uint32_t kRate = 96000;
  constexpr uint32_t kFrames = 64;
  constexpr uint32_t kCompletions = 20000;
  const auto layout = static_cast<RowLayout>(state.range(0));
  auto bus = std::make_unique<ReplayBus>(kRate, kFrames, layout);
  if (!Prepare(*bus, kRate, kFrames, 2)) {
    state.SkipWithError("the stream did not lock");
    return;
  }
  std::vector<double> single, empty;
  single.reserve(kCompletions);
  empty.reserve(kCompletions);
  for (auto _ : state) {
    single.clear();
    empty.clear();
    const Clock::time_point start = Clock::now();
    for (uint32_t i = 0; i < kCompletions; ++i) {
      const Clock::time_point t0 = Clock::now();
      bus->CompleteNext();
      const Clock::time_point t1 = Clock::now();
      const Clock::time_point t2 = Clock::now();
      single.push_back(Nanoseconds(t1 - t0));
      empty.push_back(Nanoseconds(t2 - t1));
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count() / kCompletions);
  }
  if (!bus->Locked()) {
    state.SkipWithError("the stream lost its lock");
    return;
  }
  std::sort(single.begin(), single.end());
  state.counters["p50_us"] = Percentile(single, 0.50) / 1000;
  state.counters["p99_us"] = Percentile(single, 0.99) / 1000;
  state.counters["max_us"] = single.back() / 1000;
  state.counters["clock_ns"] = Median(empty);
}

void StreamArgs(benchmark::internal::Benchmark* b) {
  for (const int64_t rate : {44100, 48000, 88200, 96000}) {
    for (const int64_t frames : {32, 64, 128, 256, 512, 1024, 2048}) {
      // Above 50 kHz the engine runs 64 frames at the least.
      if (rate > 50000 && frames < 64) continue;
      b->Args({rate, frames});
    }
  }
}

BENCHMARK(BM_StreamPath)
    ->ArgNames({"rate", "frames"})
    ->Apply(StreamArgs)
    ->Iterations(kRounds)
    ->UseManualTime()
    ->Unit(benchmark::kNanosecond);

BENCHMARK(BM_SingleCompletions)
    ->ArgName("rows_8KiB_apart")
    ->Arg(static_cast<int64_t>(RowLayout::Staggered))
    ->Arg(static_cast<int64_t>(RowLayout::EightKiB))
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kNanosecond);

}  // namespace
