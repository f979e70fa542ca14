// Drawing onto a surface through a clip region, with GDI's rules: ternary raster operations over
// pattern, source and destination; colour-to-mono and mono-to-colour conversion in blits; cosmetic
// lines that leave out their last pixel, geometric lines as the pen's outline filled, with flat,
// square or round ends. Coordinates are the surface's pixels.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/win32/RasterRegion.h"
#include "platform/win32/RasterSurface.h"

namespace plat::win32 {

class ScaledFont;

enum class LineCap : uint8_t { Round, Square, Flat };

// A pen of width 0 or 1 draws one pixel wide, leaving out the end point; a wider one draws its
// outline with the cap at each end.
struct LinePen {
  int32_t width;
  LineCap cap;
  uint32_t colour;  // COLORREF
  uint8_t mix = 0xF0;  // how the pen meets the pixels, as a ternary code (the pen as pattern)
};

// The colours a blit converts with: the source DC's background colour picks the 1 bits of a colour
// source copied to a mono destination; a mono source's 0 bits take the destination DC's text
// colour and its 1 bits the destination's background colour.
struct BlitColours {
  uint32_t sourceBackground;
  uint32_t destinationText;
  uint32_t destinationBackground;
};

class Raster {
 public:
  // Draws on `surface`, within `clip` and the surface's bounds.
  Raster(RasterSurface& surface, const RasterRegion& clip);

  // The ternary raster operations' codes (the high word's low byte of a ROP).
  static constexpr uint8_t kPatCopy = 0xF0;
  static constexpr uint8_t kSrcCopy = 0xCC;

  // Every pixel of `rect` by `rop` with a solid pattern of `colour`.
  void Fill(const RasterRect& rect, uint32_t colour, uint8_t rop);
  void Line(int32_t x1, int32_t y1, int32_t x2, int32_t y2, const LinePen& pen);
  // `rect` of this surface from `source` at (sourceX, sourceY), by `rop`; pixels outside the
  // source are left alone.
  void Blit(const RasterRect& rect, const RasterSurface& source, int32_t sourceX, int32_t sourceY, uint8_t rop,
            uint32_t patternColour, const BlitColours& colours);
  // The glyphs of `text` with the cell's top left at (x, y), in `colour`, with the font's underline;
  // the character at `mnemonic` (when not -1) is underlined alone.
  void Text(int32_t x, int32_t y, std::u16string_view text, const ScaledFont& font, uint32_t colour,
            int32_t mnemonic = -1);

  // The pixel a colour becomes on a mono surface: 1 for light colours, 0 for dark ones.
  static uint32_t MonoOf(uint32_t colour);

 private:
  struct Point {
    double x;
    double y;
  };

  uint32_t Solid(uint32_t colour) const;
  void Mix(int32_t x, int32_t y, uint32_t value, uint8_t rop);
  void FillPolygon(const Point* points, int count, uint32_t value, uint8_t rop);
  void FillDisc(double cx, double cy, double radius, uint32_t value, uint8_t rop);

  RasterSurface& surface_;
  RasterRegion clip_;
};

}  // namespace plat::win32
