// The graphics device interface (gdi32): device contexts, pens, brushes, fonts, bitmaps, regions,
// text and raster operations.
#pragma once

#include <cstddef>

#include "windef.h"
