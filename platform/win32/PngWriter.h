// A surface as PNG bytes: 8-bit RGB, no time or text chunks, one compression level and filter, so
// the same pixels always give the same bytes. A mono surface's 0 bits are black, its 1 bits white.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32/RasterSurface.h"

namespace plat::win32 {

class PngWriter {
 public:
  static std::vector<uint8_t> Encode(const RasterSurface& surface);
  // Encode to a file; false when it cannot be written.
  static bool Write(const RasterSurface& surface, const std::string& path);
};

}  // namespace plat::win32
