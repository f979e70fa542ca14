#pragma once

#include <cstdint>

// One row of a lamp map: a surface lamp id and the unit's hardware lamp number. A row with id 0
// ends the map.
struct SurfaceLampRow {
  uint16_t mLampId;
  uint8_t mHardwareLamp;
  uint8_t mZero;
};
static_assert(sizeof(SurfaceLampRow) == 4);

// One row of a button map: a logical button code and the status bit that carries it, 16 x byte +
// bit. A row with code 0 ends the map.
struct SurfaceButtonRow {
  uint16_t mCode;
  uint8_t mBitId;
  uint8_t mZero;
};
static_assert(sizeof(SurfaceButtonRow) == 4);

// How the logical surface controls map onto one hardware generation of the unit.
struct SurfaceLayout {
  const SurfaceButtonRow* mButtonMap;
  const SurfaceLampRow* mLampMap;
};

extern const SurfaceLayout kSurfaceLayout1;
extern const SurfaceLayout kSurfaceLayout2;

// Bits 16-23 of the hardware version choose the layout.
const SurfaceLayout& SurfaceLayoutForHardware(uint32_t hardwareVersion);
