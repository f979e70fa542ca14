// What the entries of the Settings and Routing pages' lists stand for, in list order: a page sends
// the value at the index chosen, and the sheet selects the index of a value the unit reports. One
// table for both directions, so the two cannot drift apart.
#pragma once

#include <cstddef>
#include <cstdint>

namespace SettingLists {

inline constexpr uint32_t kSampleRates[] = {44100, 48000, 88200, 96000};
inline constexpr uint32_t kClockSources[] = {1, 4, 3, 2};
inline constexpr uint32_t kControlProtocols[] = {1, 4, 5, 2, 3};
inline constexpr uint32_t kMonitorModes[] = {1, 2, 3};
inline constexpr uint32_t kOpticalOutSources[] = {1, 2, 4, 3};
inline constexpr uint32_t kTwoWaySources[] = {1, 2};

// The value at `index`; `otherwise` for an index past the list.
template <size_t N>
constexpr uint32_t ValueAt(const uint32_t (&values)[N], int index, uint32_t otherwise) {
  return index >= 0 && static_cast<size_t>(index) < N ? values[index] : otherwise;
}

// The index of `value`; `otherwise` for a value not in the list.
template <size_t N>
constexpr int IndexOf(const uint32_t (&values)[N], uint32_t value, int otherwise) {
  for (size_t i = 0; i < N; ++i)
    if (values[i] == value) return static_cast<int>(i);
  return otherwise;
}

}  // namespace SettingLists
