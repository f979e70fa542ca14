#include "platform/win32/RasterSurface.h"

#include <algorithm>

namespace plat::win32 {

RasterSurface::RasterSurface(Format format, int32_t width, int32_t height)
    : format_(format),
      width_(std::max(width, 0)),
      height_(std::max(height, 0)),
      mask_(format == Format::Mono ? 1u : 0xFFFFFFu),
      pixels_(static_cast<size_t>(width_) * static_cast<size_t>(height_), 0) {}

void RasterSurface::Clear(uint32_t value) { std::fill(pixels_.begin(), pixels_.end(), value & mask_); }

}  // namespace plat::win32
