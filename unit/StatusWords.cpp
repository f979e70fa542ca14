#include "unit/StatusWords.h"

#include <algorithm>

void StatusWords::SetSlot(uint32_t slot, uint16_t value) {
  slot %= kSlots;
  const uint32_t shift = 16 * (slot % 2);
  uint32_t& word = mWords[slot / 2];
  word = (word & ~(0xFFFFu << shift)) | static_cast<uint32_t>(value) << shift;
}

// The unit sends its words in turn, so a run normally carries consecutive indexes: the values are
// then the words in rotated order and go in as two moves. Any other run is stored pair by pair.
void StatusWords::Take(const uint32_t* __restrict index, const uint32_t* __restrict value, uint32_t count) {
  if (count == 0) return;
  constexpr uint32_t kIndexMask = kWords - 1;
  const uint32_t first = index[0];
  uint32_t stray = 0;
  for (uint32_t i = 0; i < count; ++i) stray |= (index[i] - first - i) & kIndexMask;
  if (stray == 0 && count <= kWords) {
    const uint32_t start = first & kIndexMask;
    const uint32_t head = std::min(count, kWords - start);
    uint32_t* __restrict words = mWords;
    for (uint32_t i = 0; i < head; ++i) words[start + i] = value[i];
    for (uint32_t i = head; i < count; ++i) words[i - head] = value[i];
    return;
  }
  for (uint32_t i = 0; i < count; ++i) mWords[index[i] & kIndexMask] = value[i];
}
