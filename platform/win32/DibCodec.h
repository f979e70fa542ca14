// Device-independent bitmaps: the header and colour table that describe one (1, 4, 8, 24 or 32 bits
// a pixel, uncompressed; rows of whole 32-bit words, bottom-up unless the height is negative), and
// the conversion of its rows to and from a surface's pixels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/win32/RasterSurface.h"

namespace plat::win32 {

struct DibLayout {
  int32_t width = 0;
  int32_t height = 0;  // rows, always positive
  bool bottomUp = true;
  uint16_t bitsPerPixel = 0;
  size_t stride = 0;              // bytes a row
  std::vector<uint32_t> colours;  // the colour table as COLORREFs
  size_t headerBytes = 0;         // header and colour table
};

class DibCodec {
 public:
  // The layout a BITMAPINFO describes, read from at most `size` bytes; false for one this stand-in
  // does not read.
  static bool Read(const void* info, size_t size, DibLayout* layout);
  // Rows [first, first + count) of the DIB (counted from its bottom row when bottom-up, as
  // SetDIBits counts them) into `surface`; colour-table entries become mono bits by brightness.
  static void Decode(const DibLayout& layout, const void* bits, uint32_t first, uint32_t count, RasterSurface& surface);
  // The same rows of `surface` into `bits`, in the layout's format; a mono surface's bits index a
  // black and white table.
  static void Encode(const RasterSurface& surface, const DibLayout& layout, uint32_t first, uint32_t count, void* bits);
};

}  // namespace plat::win32
