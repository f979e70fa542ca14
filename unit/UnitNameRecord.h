#pragma once

#include <cstddef>
#include <cstdint>

// The name of one expansion unit, keyed by its serial. Names come from the panel as 64 raw bytes
// that need not end in a NUL, so every reader stops at kNameBytes.
struct UnitNameRecord {
  static constexpr std::size_t kNameBytes = 64;

  uint32_t mSerial;  // 0: empty record
  char mName[kNameBytes];

  // "KR-6 " followed by the serial in decimal.
  static UnitNameRecord Default(uint32_t serial);
};

static_assert(sizeof(UnitNameRecord) == 68);
static_assert(offsetof(UnitNameRecord, mSerial) == 0);
static_assert(offsetof(UnitNameRecord, mName) == 4);
