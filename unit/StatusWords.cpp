#include "unit/StatusWords.h"

uint16_t StatusWords::Slot(uint32_t slot) const {
  slot %= kSlots;
  return static_cast<uint16_t>(mWords[slot / 2] >> (16 * (slot % 2)));
}

void StatusWords::SetSlot(uint32_t slot, uint16_t value) {
  slot %= kSlots;
  const uint32_t shift = 16 * (slot % 2);
  uint32_t& word = mWords[slot / 2];
  word = (word & ~(0xFFFFu << shift)) | static_cast<uint32_t>(value) << shift;
}
