// Which channels of a unit's channel mask stream: the lowest 18 set bits, as host and unit agree.
#pragma once

#include <cstdint>

namespace sim {

constexpr int kMaxStreamChannels = 18;

constexpr uint32_t StreamedChannels(uint32_t mask) {
  uint32_t kept = 0;
  for (int n = 0; mask != 0 && n < kMaxStreamChannels; ++n) {
    uint32_t low = mask & (~mask + 1);
    kept |= low;
    mask &= ~low;
  }
  return kept;
}

}  // namespace sim
