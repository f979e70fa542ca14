#pragma once

#include <cstddef>
#include <cstdint>

// The display text of one unit: two lines of 55 cells, the character byte of each cell first.
struct LcdTextBlock {
  static constexpr std::size_t kCells = 110;

  struct Cell {
    uint8_t mCharacter;
    uint8_t mHighByte;
  };
  Cell mCells[kCells];
};

static_assert(sizeof(LcdTextBlock) == 220);
static_assert(offsetof(LcdTextBlock, mCells) == 0);
