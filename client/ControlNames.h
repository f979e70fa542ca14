// The names of surface controls by kind and id. Units of the two hardware revisions number their
// buttons differently: the revised units (hardware-version byte nonzero) and the original units
// (byte zero) each have a table; faders and encoders are the same on both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr uint8_t kControlKindNone = 0;
inline constexpr uint8_t kControlKindButton = 1;
inline constexpr uint8_t kControlKindEncoder = 2;
inline constexpr uint8_t kControlKindFader = 3;

struct ControlNameRow {
  uint8_t kind;
  uint8_t id;
  const char* name;  // null in the row that ends a table
};

// Each table ends with a row whose name is null.
std::span<const ControlNameRow> ControlNamesOfRevisedUnits();
std::span<const ControlNameRow> ControlNamesOfOriginalUnits();

// The name of the first row of `table` with this kind and id; null when none.
const char* FindControlName(std::span<const ControlNameRow> table, uint8_t kind, uint8_t id);
