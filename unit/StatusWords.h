#pragma once

#include <cstdint>

// A unit's 64 status words in host byte order, also addressed as 128 16-bit slots: slot 2k is the
// low half of word k, slot 2k + 1 the high half.
struct StatusWords {
  static constexpr uint32_t kWords = 64;
  static constexpr uint32_t kSlots = 128;
  static constexpr uint32_t kRateClockWord = 52;
  static constexpr uint32_t kSyncWord = 53;
  static constexpr uint32_t kProgrammingWord = 56;

  uint32_t mWords[kWords] = {};

  uint16_t Slot(uint32_t slot) const {
    slot %= kSlots;
    return static_cast<uint16_t>(mWords[slot / 2] >> (16 * (slot % 2)));
  }
  void SetSlot(uint32_t slot, uint16_t value);
  // Stores a run of (index, value) pairs in order, a later pair winning: word index % 64 = value.
  void Take(const uint32_t* index, const uint32_t* value, uint32_t count);
};

static_assert(sizeof(StatusWords) == 256);
