#pragma once

#include <array>
#include <cstdint>

// OVR threshold levels in Q15: entry i = round(32767 x 10^(-i/200)), 0.0 dB down to -5.0 dB.
inline constexpr std::array<uint16_t, 51> kOvrLevels = {
    32767, 32392, 32021, 31655, 31292, 30934, 30580, 30230, 29884, 29542,  // 0.0 .. -0.9 dB
    29204, 28869, 28539, 28212, 27889, 27570, 27254, 26942, 26634, 26329,  // -1.0 .. -1.9 dB
    26028, 25730, 25435, 25144, 24856, 24572, 24291, 24012, 23738, 23466,  // -2.0 .. -2.9 dB
    23197, 22932, 22669, 22410, 22153, 21900, 21649, 21401, 21156, 20914,  // -3.0 .. -3.9 dB
    20675, 20438, 20204, 19973, 19744, 19518, 19295, 19074, 18855, 18640,  // -4.0 .. -4.9 dB
    18426,                                                                 // -5.0 dB
};

constexpr bool OvrLevelsFallStrictly() {
  for (std::size_t i = 1; i < kOvrLevels.size(); ++i) {
    if (kOvrLevels[i] >= kOvrLevels[i - 1]) return false;
  }
  return true;
}
static_assert(OvrLevelsFallStrictly());

// An index above the table uses its last entry.
constexpr uint16_t OvrLevel(uint32_t index) {
  return kOvrLevels[index < kOvrLevels.size() ? index : kOvrLevels.size() - 1];
}

// The index whose level is nearest to the given one; the lower index on a tie.
constexpr uint32_t NearestOvrIndex(uint32_t level) {
  uint32_t best = 0;
  uint32_t bestDistance = UINT32_MAX;
  for (uint32_t i = 0; i < kOvrLevels.size(); ++i) {
    const uint32_t distance = level > kOvrLevels[i] ? level - kOvrLevels[i] : kOvrLevels[i] - level;
    if (distance < bestDistance) {
      best = i;
      bestDistance = distance;
    }
  }
  return best;
}
