#include "platform/win32/Raster.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "platform/win32/FontFile.h"
#include "platform/win32/ScaledFont.h"

namespace plat::win32 {

namespace {

// Bit i of a ternary code is the result where pattern, source and destination are the bits of i
// (pattern the highest), so each set bit adds the pixels where the three match it.
uint32_t Rop3(uint8_t rop, uint32_t p, uint32_t s, uint32_t d, uint32_t mask) {
  if (rop == Raster::kSrcCopy) return s & mask;
  if (rop == Raster::kPatCopy) return p & mask;
  uint32_t r = 0;
  for (int i = 0; i < 8; ++i) {
    if (((rop >> i) & 1) == 0) continue;
    r |= ((i & 4) != 0 ? p : ~p) & ((i & 2) != 0 ? s : ~s) & ((i & 1) != 0 ? d : ~d);
  }
  return r & mask;
}

uint32_t Blend(uint32_t over, uint32_t under, uint32_t alpha) {
  uint32_t out = 0;
  for (int shift = 0; shift < 24; shift += 8) {
    const uint32_t a = (over >> shift) & 0xFF;
    const uint32_t b = (under >> shift) & 0xFF;
    out |= ((a * alpha + b * (255 - alpha) + 127) / 255) << shift;
  }
  return out;
}

}  // namespace

Raster::Raster(RasterSurface& surface, const RasterRegion& clip) : surface_(surface), clip_(clip) {
  clip_.Intersect(RasterRect{0, 0, surface.Width(), surface.Height()});
}

uint32_t Raster::MonoOf(uint32_t colour) {
  const uint32_t r = colour & 0xFF;
  const uint32_t g = (colour >> 8) & 0xFF;
  const uint32_t b = (colour >> 16) & 0xFF;
  return (r * 30 + g * 59 + b * 11) >= 128 * 100 ? 1u : 0u;
}

uint32_t Raster::Solid(uint32_t colour) const { return surface_.Mono() ? MonoOf(colour) : colour & 0xFFFFFF; }

void Raster::Mix(int32_t x, int32_t y, uint32_t value, uint8_t rop) {
  if (clip_.Contains(x, y)) surface_.SetPixel(x, y, Rop3(rop, value, 0, surface_.Pixel(x, y), surface_.Mask()));
}

bool Raster::BrushAt(const RasterBrush& brush, int32_t x, int32_t y, uint32_t* value) const {
  if (brush.pattern == nullptr || brush.pattern->Width() == 0 || brush.pattern->Height() == 0) {
    *value = Solid(brush.colour);
    return true;
  }
  const int32_t w = brush.pattern->Width();
  const int32_t h = brush.pattern->Height();
  const uint32_t bit = brush.pattern->Pixel(((x - brush.originX) % w + w) % w, ((y - brush.originY) % h + h) % h);
  if (!brush.pattern->Mono()) {
    *value = Solid(bit);
    return true;
  }
  if (bit == 0 && brush.zeroTransparent) return false;
  *value = Solid(bit != 0 ? brush.oneColour : brush.zeroColour);
  return true;
}

void Raster::Fill(const RasterRect& rect, const RasterBrush& brush, uint8_t rop) {
  for (const RasterRect& piece : clip_.Rects()) {
    const RasterRect r = piece.Intersect(rect);
    for (int32_t y = r.top; y < r.bottom; ++y) {
      for (int32_t x = r.left; x < r.right; ++x) {
        uint32_t pattern = 0;
        if (!BrushAt(brush, x, y, &pattern)) continue;
        surface_.SetPixel(x, y, Rop3(rop, pattern, 0, surface_.Pixel(x, y), surface_.Mask()));
      }
    }
  }
}

void Raster::Blit(const RasterRect& rect, const RasterSurface& source, const RasterRect& from, uint8_t rop,
                  const RasterBrush& brush, const BlitColours& colours) {
  const uint32_t zeroBit = colours.destinationText & 0xFFFFFF;
  const uint32_t oneBit = colours.destinationBackground & 0xFFFFFF;
  const uint32_t monoOne = colours.sourceBackground & 0xFFFFFF;
  const int64_t width = rect.right - rect.left;
  const int64_t height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0) return;
  const int64_t fromWidth = from.right - from.left;
  const int64_t fromHeight = from.bottom - from.top;
  for (const RasterRect& piece : clip_.Rects()) {
    const RasterRect r = piece.Intersect(rect);
    for (int32_t y = r.top; y < r.bottom; ++y) {
      const int32_t sy = from.top + static_cast<int32_t>((y - rect.top) * fromHeight / height);
      for (int32_t x = r.left; x < r.right; ++x) {
        const int32_t sx = from.left + static_cast<int32_t>((x - rect.left) * fromWidth / width);
        if (!source.Inside(sx, sy)) continue;
        uint32_t s = source.Pixel(sx, sy);
        if (source.Mono() && !surface_.Mono()) {
          s = s != 0 ? oneBit : zeroBit;
        } else if (!source.Mono() && surface_.Mono()) {
          s = s == monoOne ? 1u : 0u;
        }
        uint32_t pattern = 0;
        if (!BrushAt(brush, x, y, &pattern)) continue;
        surface_.SetPixel(x, y, Rop3(rop, pattern, s, surface_.Pixel(x, y), surface_.Mask()));
      }
    }
  }
}

void Raster::Line(int32_t x1, int32_t y1, int32_t x2, int32_t y2, const LinePen& pen) {
  const uint32_t value = Solid(pen.colour);
  if (pen.width <= 1) {
    // Bresenham, leaving out the end point as LineTo does.
    const int32_t dx = std::abs(x2 - x1);
    const int32_t dy = -std::abs(y2 - y1);
    const int32_t sx = x1 < x2 ? 1 : -1;
    const int32_t sy = y1 < y2 ? 1 : -1;
    int32_t error = dx + dy;
    int32_t x = x1;
    int32_t y = y1;
    while (x != x2 || y != y2) {
      Mix(x, y, value, pen.mix);
      const int32_t e2 = 2 * error;
      if (e2 >= dy) {
        error += dy;
        x += sx;
      }
      if (e2 <= dx) {
        error += dx;
        y += sy;
      }
    }
    return;
  }
  // The pen's outline around the segment, with pixel centres at whole coordinates.
  const double half = pen.width / 2.0;
  const double ex = x2 - x1;
  const double ey = y2 - y1;
  const double length = std::sqrt(ex * ex + ey * ey);
  const double ux = length > 0 ? ex / length : 1.0;
  const double uy = length > 0 ? ey / length : 0.0;
  const double nx = -uy * half;
  const double ny = ux * half;
  const double extend = pen.cap == LineCap::Square ? half : 0.0;
  if (length == 0 && pen.cap == LineCap::Flat) return;
  const double ax = x1 - ux * extend;
  const double ay = y1 - uy * extend;
  const double bx = x2 + ux * extend;
  const double by = y2 + uy * extend;
  const Point outline[4] = {{ax + nx, ay + ny}, {bx + nx, by + ny}, {bx - nx, by - ny}, {ax - nx, ay - ny}};
  if (length > 0 || pen.cap == LineCap::Square) FillPolygon(outline, 4, value, pen.mix);
  if (pen.cap == LineCap::Round) {
    FillDisc(x1, y1, half, value, pen.mix);
    FillDisc(x2, y2, half, value, pen.mix);
  }
}

void Raster::FillPolygon(const Point* points, int count, uint32_t value, uint8_t rop) {
  double top = points[0].y;
  double bottom = points[0].y;
  for (int i = 1; i < count; ++i) {
    top = std::min(top, points[i].y);
    bottom = std::max(bottom, points[i].y);
  }
  const RasterRect bounds = clip_.Bounds();
  const int32_t firstRow = std::max(bounds.top, static_cast<int32_t>(std::ceil(top)));
  const int32_t lastRow = std::min(bounds.bottom, static_cast<int32_t>(std::ceil(bottom)));
  std::vector<double> crossings;
  for (int32_t y = firstRow; y < lastRow; ++y) {
    crossings.clear();
    for (int i = 0; i < count; ++i) {
      const Point& p = points[i];
      const Point& q = points[(i + 1) % count];
      if ((p.y <= y && y < q.y) || (q.y <= y && y < p.y))
        crossings.push_back(p.x + (y - p.y) * (q.x - p.x) / (q.y - p.y));
    }
    std::sort(crossings.begin(), crossings.end());
    for (size_t i = 0; i + 1 < crossings.size(); i += 2) {
      const int32_t from = std::max(bounds.left, static_cast<int32_t>(std::ceil(crossings[i])));
      const int32_t to = std::min(bounds.right, static_cast<int32_t>(std::ceil(crossings[i + 1])));
      for (int32_t x = from; x < to; ++x) Mix(x, y, value, rop);
    }
  }
}

void Raster::Polygon(const std::vector<std::pair<int32_t, int32_t>>& points, uint32_t colour) {
  if (points.size() < 3) return;
  std::vector<Point> outline;
  outline.reserve(points.size());
  for (const auto& [x, y] : points) outline.push_back({static_cast<double>(x), static_cast<double>(y)});
  FillPolygon(outline.data(), static_cast<int>(outline.size()), Solid(colour), kPatCopy);
}

void Raster::FillDisc(double cx, double cy, double radius, uint32_t value, uint8_t rop) {
  const RasterRect bounds = clip_.Bounds();
  const int32_t firstRow = std::max(bounds.top, static_cast<int32_t>(std::floor(cy - radius)));
  const int32_t lastRow = std::min(bounds.bottom, static_cast<int32_t>(std::ceil(cy + radius)) + 1);
  for (int32_t y = firstRow; y < lastRow; ++y) {
    for (int32_t x = static_cast<int32_t>(std::floor(cx - radius)); x <= static_cast<int32_t>(std::ceil(cx + radius));
         ++x) {
      const double dx = x - cx;
      const double dy = y - cy;
      if (dx * dx + dy * dy < radius * radius) Mix(x, y, value, rop);
    }
  }
}

void Raster::Text(int32_t x, int32_t y, std::u16string_view text, const ScaledFont& font, uint32_t colour,
                  int32_t mnemonic) {
  FontFile& file = FontFile::Instance();
  const int32_t baseline = y + font.Ascent();
  int32_t pen = x;
  int32_t index = 0;
  for (char16_t c : text) {
    const GlyphImage& glyph = file.Glyph(c, font.PixelsPerEm(), font.Bold());
    for (int32_t row = 0; row < glyph.rows; ++row) {
      const int32_t py = baseline - glyph.top + row;
      for (int32_t column = 0; column < glyph.width; ++column) {
        const uint32_t alpha = glyph.coverage[static_cast<size_t>(row * glyph.width + column)];
        const int32_t px = pen + glyph.left + column;
        if (alpha == 0 || !clip_.Contains(px, py)) continue;
        if (surface_.Mono()) {
          if (alpha >= 128) surface_.SetPixel(px, py, MonoOf(colour));
        } else {
          surface_.SetPixel(px, py, Blend(colour, surface_.Pixel(px, py), alpha));
        }
      }
    }
    const int32_t advance = font.Advance(c);
    if (index++ == mnemonic) {
      const int32_t top = baseline + font.UnderlineOffset();
      Fill(RasterRect{pen, top, pen + advance, top + font.UnderlineThickness()}, colour, kPatCopy);
    }
    pen += advance;
  }
  if (font.Underline()) {
    const int32_t top = baseline + font.UnderlineOffset();
    Fill(RasterRect{x, top, pen, top + font.UnderlineThickness()}, colour, kPatCopy);
  }
}

}  // namespace plat::win32
