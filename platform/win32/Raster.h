// Drawing onto a surface through a clip region, with GDI's rules: ternary raster operations over
// pattern, source and destination; colour-to-mono and mono-to-colour conversion in blits; cosmetic
// lines that leave out their last pixel, geometric lines as the pen's outline filled, with flat,
// square or round ends. Coordinates are the surface's pixels.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

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
  uint32_t colour;     // COLORREF
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

// A brush as it lands on pixels: a solid colour, or a pattern repeated from the brush origin whose
// mono bits take two colours (and whose 0 bits, for a hatch in TRANSPARENT mode, leave the pixel).
struct RasterBrush {
  uint32_t colour = 0;
  const RasterSurface* pattern = nullptr;
  int32_t originX = 0;
  int32_t originY = 0;
  uint32_t zeroColour = 0;
  uint32_t oneColour = 0xFFFFFF;
  bool zeroTransparent = false;
};

class Raster {
 public:
  // Draws on `surface`, within `clip` and the surface's bounds.
  Raster(RasterSurface& surface, const RasterRegion& clip);

  // The ternary raster operations' codes (the high word's low byte of a ROP).
  static constexpr uint8_t kPatCopy = 0xF0;
  static constexpr uint8_t kSrcCopy = 0xCC;

  // Every pixel of `rect` by `rop` with a solid pattern of `colour`, or with `brush`.
  void Fill(const RasterRect& rect, uint32_t colour, uint8_t rop) { Fill(rect, RasterBrush{colour}, rop); }
  void Fill(const RasterRect& rect, const RasterBrush& brush, uint8_t rop);
  void Line(int32_t x1, int32_t y1, int32_t x2, int32_t y2, const LinePen& pen);
  // `rect` of this surface from `from` of `source`, by `rop`, stretched or shrunk to the nearest
  // source pixel when the sizes differ; pixels whose source lies outside it are left alone.
  void Blit(const RasterRect& rect, const RasterSurface& source, const RasterRect& from, uint8_t rop,
            const RasterBrush& pattern, const BlitColours& colours);
  // The pixels of `rect` for which `inside` holds: those with a 4-neighbour outside take the pen
  // colour (unless `outline` is false), the rest the fill colour (unless `fill` is false).
  template <typename Inside>
  void Shape(const RasterRect& rect, Inside inside, bool fill, uint32_t fillColour, bool outline, uint32_t penColour) {
    const uint32_t brush = Solid(fillColour);
    const uint32_t pen = Solid(penColour);
    for (int32_t y = rect.top; y < rect.bottom; ++y) {
      for (int32_t x = rect.left; x < rect.right; ++x) {
        if (!inside(x, y) || !clip_.Contains(x, y)) continue;
        const bool edge = !inside(x - 1, y) || !inside(x + 1, y) || !inside(x, y - 1) || !inside(x, y + 1);
        if (edge && outline) {
          surface_.SetPixel(x, y, pen);
        } else if (fill) {
          surface_.SetPixel(x, y, brush);
        }
      }
    }
  }
  // A polygon's inside by the alternate rule, pixel centres at whole coordinates.
  void Polygon(const std::vector<std::pair<int32_t, int32_t>>& points, uint32_t colour);
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
  // The brush's pixel at (x, y) for this surface; false where a transparent gap leaves it.
  bool BrushAt(const RasterBrush& brush, int32_t x, int32_t y, uint32_t* value) const;
  void Mix(int32_t x, int32_t y, uint32_t value, uint8_t rop);
  void FillPolygon(const Point* points, int count, uint32_t value, uint8_t rop);
  void FillDisc(double cx, double cy, double radius, uint32_t value, uint8_t rop);

  RasterSurface& surface_;
  RasterRegion clip_;
};

}  // namespace plat::win32
