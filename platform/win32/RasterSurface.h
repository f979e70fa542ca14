// The pixels of a bitmap or a window: 32-bit colour, each pixel a COLORREF value (0x00BBGGRR), or
// one bit per pixel (0 or 1). Bits are kept one per word so every operation has one pixel type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace plat::win32 {

class RasterSurface {
 public:
  enum class Format : uint8_t { Mono, Colour };

  // A new surface, every pixel 0 (black; for a mono surface, the background bit 0).
  RasterSurface(Format format, int32_t width, int32_t height);

  Format PixelFormat() const { return format_; }
  bool Mono() const { return format_ == Format::Mono; }
  int32_t Width() const { return width_; }
  int32_t Height() const { return height_; }
  bool Inside(int32_t x, int32_t y) const { return x >= 0 && y >= 0 && x < width_ && y < height_; }

  // The caller keeps (x, y) inside.
  uint32_t Pixel(int32_t x, int32_t y) const { return pixels_[Index(x, y)]; }
  void SetPixel(int32_t x, int32_t y, uint32_t value) { pixels_[Index(x, y)] = value & mask_; }
  // Every pixel to `value`.
  void Clear(uint32_t value);

  // The meaningful bits of a pixel: 0xFFFFFF for colour, 1 for mono.
  uint32_t Mask() const { return mask_; }

 private:
  size_t Index(int32_t x, int32_t y) const {
    return static_cast<size_t>(y) * static_cast<size_t>(width_) + static_cast<size_t>(x);
  }

  Format format_;
  int32_t width_;
  int32_t height_;
  uint32_t mask_;
  std::vector<uint32_t> pixels_;
};

}  // namespace plat::win32
