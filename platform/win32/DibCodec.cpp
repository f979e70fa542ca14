#include "platform/win32/DibCodec.h"

#include <algorithm>
#include <cstring>

#include "platform/win32/Raster.h"
#include "platform/win32/include/windows.h"

namespace plat::win32 {

namespace {

constexpr int32_t kLargest = 0x4000;

uint32_t Nearest(const std::vector<uint32_t>& table, uint32_t colour) {
  uint32_t best = 0;
  uint32_t bestDistance = UINT32_MAX;
  for (uint32_t i = 0; i < table.size(); ++i) {
    uint32_t distance = 0;
    for (int shift = 0; shift < 24; shift += 8) {
      const int32_t d =
          static_cast<int32_t>((table[i] >> shift) & 0xFF) - static_cast<int32_t>((colour >> shift) & 0xFF);
      distance += static_cast<uint32_t>(d * d);
    }
    if (distance < bestDistance) {
      best = i;
      bestDistance = distance;
    }
  }
  return best;
}

// The surface row a DIB row lands on.
int32_t SurfaceRow(const DibLayout& layout, uint32_t row) {
  return layout.bottomUp ? layout.height - 1 - static_cast<int32_t>(row) : static_cast<int32_t>(row);
}

}  // namespace

bool DibCodec::Read(const void* info, size_t size, DibLayout* layout) {
  BITMAPINFOHEADER header;
  if (info == nullptr || size < sizeof header) return false;
  std::memcpy(&header, info, sizeof header);
  const uint16_t bits = header.biBitCount;
  if (header.biSize < sizeof header || header.biPlanes != 1 || header.biCompression != BI_RGB || header.biWidth <= 0 ||
      header.biWidth > kLargest || header.biHeight == 0 || header.biHeight > kLargest || header.biHeight < -kLargest ||
      (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32)) {
    return false;
  }
  const size_t tableSize = bits <= 8 ? (header.biClrUsed != 0 ? header.biClrUsed : (1u << bits)) : 0;
  if (bits <= 8 && tableSize > (1u << bits)) return false;
  layout->width = header.biWidth;
  layout->height = header.biHeight < 0 ? -header.biHeight : header.biHeight;
  layout->bottomUp = header.biHeight > 0;
  layout->bitsPerPixel = bits;
  layout->stride = ((static_cast<size_t>(header.biWidth) * bits + 31) / 32) * 4;
  layout->headerBytes = header.biSize + tableSize * sizeof(RGBQUAD);
  if (layout->headerBytes > size) return false;
  const auto* bytes = static_cast<const uint8_t*>(info);
  layout->colours.resize(tableSize);
  for (size_t i = 0; i < tableSize; ++i) {
    RGBQUAD q;
    std::memcpy(&q, bytes + header.biSize + i * sizeof q, sizeof q);
    layout->colours[i] = RGB(q.rgbRed, q.rgbGreen, q.rgbBlue);
  }
  return true;
}

void DibCodec::Decode(const DibLayout& layout, const void* bits, uint32_t first, uint32_t count,
                      RasterSurface& surface) {
  const auto* bytes = static_cast<const uint8_t*>(bits);
  const uint16_t depth = layout.bitsPerPixel;
  for (uint32_t i = 0; i < count && first + i < static_cast<uint32_t>(layout.height); ++i) {
    const int32_t y = SurfaceRow(layout, first + i);
    const uint8_t* row = bytes + layout.stride * i;
    for (int32_t x = 0; x < std::min(layout.width, surface.Width()); ++x) {
      uint32_t colour = 0;
      if (depth <= 8) {
        const uint32_t perByte = 8u / depth;
        const uint32_t shift = 8u - depth * (static_cast<uint32_t>(x) % perByte + 1);
        const uint32_t index = (row[static_cast<uint32_t>(x) / perByte] >> shift) & ((1u << depth) - 1);
        colour = index < layout.colours.size() ? layout.colours[index] : 0;
      } else {
        const uint8_t* p = row + static_cast<size_t>(x) * (depth / 8u);
        colour = RGB(p[2], p[1], p[0]);
      }
      if (surface.Inside(x, y)) surface.SetPixel(x, y, surface.Mono() ? Raster::MonoOf(colour) : colour);
    }
  }
}

void DibCodec::Encode(const RasterSurface& surface, const DibLayout& layout, uint32_t first, uint32_t count,
                      void* bits) {
  auto* bytes = static_cast<uint8_t*>(bits);
  const uint16_t depth = layout.bitsPerPixel;
  for (uint32_t i = 0; i < count && first + i < static_cast<uint32_t>(layout.height); ++i) {
    const int32_t y = SurfaceRow(layout, first + i);
    uint8_t* row = bytes + layout.stride * i;
    std::memset(row, 0, layout.stride);
    for (int32_t x = 0; x < layout.width; ++x) {
      uint32_t colour = surface.Inside(x, y) ? surface.Pixel(x, y) : 0;
      if (surface.Mono()) colour = colour != 0 ? 0xFFFFFFu : 0u;
      if (depth <= 8) {
        const uint32_t perByte = 8u / depth;
        const uint32_t shift = 8u - depth * (static_cast<uint32_t>(x) % perByte + 1);
        row[static_cast<uint32_t>(x) / perByte] |= static_cast<uint8_t>(Nearest(layout.colours, colour) << shift);
      } else {
        uint8_t* p = row + static_cast<size_t>(x) * (depth / 8u);
        p[0] = GetBValue(colour);
        p[1] = GetGValue(colour);
        p[2] = GetRValue(colour);
      }
    }
  }
}

}  // namespace plat::win32
