// The main job's loop check, fed as a run feeds it: halves recorded, packets played back a few
// frames behind (or, when something is wrong, ahead, late or different).
#include "tools/qx5310sim/LoopCheck.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace {

constexpr uint32_t kChannels = 18, kRamp = 17, kAll = (1u << kChannels) - 1;

// Frame n of the stream: every sample names its channel and frame, the ramp as the unit sends it.
std::vector<int32_t> Frames(uint64_t first, uint32_t count) {
  std::vector<int32_t> rows;
  for (uint64_t n = first; n < first + count; ++n)
    for (uint32_t c = 0; c < kChannels; ++c) rows.push_back(static_cast<int32_t>(c << 24 | (n & 0xFFFFFF)));
  return rows;
}

struct Step {
  bool played;
  uint64_t first;  // frame of the stream
  uint32_t count;
  uint32_t present = kAll;
  std::function<void(std::vector<int32_t>&)> change = nullptr;
};

struct Outcome {
  uint64_t recorded, gaps, compared, differing, overrun;
  bool operator==(const Outcome&) const = default;
};

Outcome Feed(const std::vector<Step>& steps, uint32_t window = 64) {
  LoopCheck check(kChannels, kRamp, window);
  for (const Step& s : steps) {
    std::vector<int32_t> rows = Frames(s.first, s.count);
    for (size_t i = 0; i < rows.size(); ++i)
      if ((s.present >> (i % kChannels) & 1) == 0) rows[i] = 0;
    if (s.change) s.change(rows);
    if (s.played)
      check.Played(rows.data(), s.count, s.present);
    else
      check.Recorded(rows.data(), s.count);
  }
  return {check.RecordedFrames(), check.Gaps(), check.Compared(), check.Differing(), check.Overrun()};
}

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  return os << "recorded " << o.recorded << ", gaps " << o.gaps << ", compared " << o.compared << ", differing "
            << o.differing << ", overrun " << o.overrun;
}

TEST(LoopCheck, EachFramePlayedIsComparedWithTheFrameRecordedAtTheSameDistanceFromTheFirst) {
  auto flip = [](std::vector<int32_t>& rows) { rows[3 * kChannels + 5] ^= 1; };
  struct Case {
    const char* what;
    std::vector<Step> steps;
    Outcome expected;
  } cases[] = {
      {"a loop some frames behind, bit-exact",
       {{false, 0, 32}, {true, 20, 8}, {false, 32, 32}, {true, 28, 12}, {true, 40, 12}},
       {64, 0, 32 * kChannels, 0, 0}},
      {"one sample played wrong",
       {{false, 0, 32}, {true, 20, 8, kAll, flip}, {false, 32, 32}},
       {64, 0, 8 * kChannels, 1, 0}},
      {"a frame missing from the record",
       {{false, 0, 10}, {false, 11, 21}},
       {31, 1, 0, 0, 0}},
      {"played ahead of the record: compared once recorded",
       {{false, 0, 8}, {true, 4, 20}, {false, 8, 8}, {false, 16, 16}},
       {32, 0, 20 * kChannels, 0, 0}},
      {"the first frame played is one never recorded",
       {{false, 0, 16}, {true, 100, 8}, {false, 16, 16}},
       {32, 0, 0, 0, 0}},
      {"outputs missing from the stream are not compared",
       {{false, 0, 16}, {true, 8, 8, kAll & ~(1u << 5)}},
       {16, 0, 8 * (kChannels - 1), 0, 0}},
      {"a loop that falls further behind than the window",
       {{false, 0, 16}, {true, 8, 4}, {false, 16, 100}, {true, 12, 4}},
       {116, 0, 4 * kChannels, 0, 4}},
  };
  for (const Case& c : cases) EXPECT_EQ(Feed(c.steps), c.expected) << c.what;
}

TEST(LoopCheck, TheFirstFramePlayedIsFoundAmongTheRecordedOnesWhereverItIsInTheWindow) {
  for (uint64_t behind : {0u, 1u, 37u, 63u}) {
    Outcome o = Feed({{false, 0, 200}, {true, 200 - 1 - behind, 1}});
    EXPECT_EQ(o.compared, kChannels) << behind << " frames behind";
  }
}

}  // namespace
