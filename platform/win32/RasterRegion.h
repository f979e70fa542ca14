// A set of pixels kept as non-overlapping rectangles, as GDI keeps clip and update regions.
// Coordinates are surface pixels; a rectangle holds [left, right) x [top, bottom).
#pragma once

#include <cstdint>
#include <vector>

namespace plat::win32 {

struct RasterRect {
  int32_t left;
  int32_t top;
  int32_t right;
  int32_t bottom;

  bool Empty() const { return right <= left || bottom <= top; }
  bool Contains(int32_t x, int32_t y) const { return x >= left && x < right && y >= top && y < bottom; }
  RasterRect Intersect(const RasterRect& other) const;
  RasterRect Offset(int32_t dx, int32_t dy) const { return {left + dx, top + dy, right + dx, bottom + dy}; }
  bool operator==(const RasterRect&) const = default;
};

class RasterRegion {
 public:
  RasterRegion() = default;
  explicit RasterRegion(const RasterRect& rect);

  bool Empty() const { return rects_.empty(); }
  bool Contains(int32_t x, int32_t y) const;
  // The smallest rectangle holding the region; empty for an empty region.
  RasterRect Bounds() const;
  // The rectangles, sorted top to bottom, then left to right.
  const std::vector<RasterRect>& Rects() const { return rects_; }

  void Union(const RasterRect& rect);
  void Union(const RasterRegion& other);
  void Subtract(const RasterRect& rect);
  void Subtract(const RasterRegion& other);
  void Intersect(const RasterRect& rect);
  void Intersect(const RasterRegion& other);
  void Offset(int32_t dx, int32_t dy);

 private:
  std::vector<RasterRect> rects_;
};

}  // namespace plat::win32
