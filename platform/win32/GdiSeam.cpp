#include "platform/win32/GdiSeam.h"

#include <cstring>
#include <mutex>
#include <vector>

#include "platform/win32/DeviceContext.h"
#include "platform/win32/GdiObjects.h"
#include "platform/win32/Raster.h"
#include "platform/win32/include/windows.h"

namespace plat::win32 {

namespace {

// A pixel of a DIB row; `table` holds the colour table as COLORREFs.
uint32_t DibPixel(const uint8_t* row, int32_t x, uint16_t bits, const std::vector<uint32_t>& table) {
  switch (bits) {
    case 1:
    case 4:
    case 8: {
      const uint32_t perByte = 8u / bits;
      const uint32_t shift = 8u - bits * (static_cast<uint32_t>(x) % perByte + 1);
      const uint32_t index = (row[static_cast<uint32_t>(x) / perByte] >> shift) & ((1u << bits) - 1);
      return index < table.size() ? table[index] : 0;
    }
    case 24: {
      const uint8_t* p = row + static_cast<size_t>(x) * 3;
      return static_cast<uint32_t>(p[2]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[0]) << 16);
    }
    default: {
      const uint8_t* p = row + static_cast<size_t>(x) * 4;
      return static_cast<uint32_t>(p[2]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[0]) << 16);
    }
  }
}

}  // namespace

HDC CreateWindowDc(std::shared_ptr<RasterSurface> surface, int32_t originX, int32_t originY, const RasterRegion& clip,
                   std::function<void(DrawingRecord)> onRelease) {
  GdiObjects& table = GdiObjects::Instance();
  std::lock_guard<std::mutex> hold(table.Lock());
  auto object = std::make_unique<GdiObject>();
  object->kind = GdiKind::Dc;
  object->dc = std::make_unique<DeviceContext>(std::move(surface), originX, originY, clip, std::move(onRelease),
                                               *table.Stock(BLACK_PEN), *table.Stock(WHITE_BRUSH),
                                               *table.Stock(SYSTEM_FONT));
  return reinterpret_cast<HDC>(table.Add(std::move(object)).handle);
}

bool ReleaseWindowDc(HDC hdc) {
  DeviceContext::ReleaseHook hook;
  DrawingRecord record;
  {
    GdiObjects& table = GdiObjects::Instance();
    std::lock_guard<std::mutex> hold(table.Lock());
    GdiObject* object = table.Find(hdc);
    if (object == nullptr || object->kind != GdiKind::Dc) return false;
    hook = object->dc->TakeHook();
    record = object->dc->TakeRecord();
    object->dc.reset();
    table.Remove(*object);
  }
  // Outside the lock: the hook may draw or ask gdi32 again.
  if (hook) hook(std::move(record));
  return true;
}

HBITMAP BitmapFromDib(const void* dib, size_t size, const std::string& label) {
  BITMAPINFOHEADER header;
  if (dib == nullptr || size < sizeof header) return nullptr;
  std::memcpy(&header, dib, sizeof header);
  const uint16_t bits = header.biBitCount;
  if (header.biSize < sizeof header || header.biPlanes != 1 || header.biCompression != BI_RGB || header.biWidth <= 0 ||
      header.biHeight == 0 || (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32)) {
    return nullptr;
  }
  const int64_t width = header.biWidth;
  const int64_t height = header.biHeight < 0 ? -static_cast<int64_t>(header.biHeight) : header.biHeight;
  const size_t colours = bits <= 8 ? (header.biClrUsed != 0 ? header.biClrUsed : (1u << bits)) : 0;
  if (colours > (1u << (bits <= 8 ? bits : 0)) && bits <= 8) return nullptr;
  const size_t stride = static_cast<size_t>(((width * bits + 31) / 32) * 4);
  const size_t tableAt = header.biSize;
  const size_t bitsAt = tableAt + colours * sizeof(RGBQUAD);
  if (width > 0x4000 || height > 0x4000 || bitsAt > size || (size - bitsAt) / stride < static_cast<size_t>(height)) {
    return nullptr;
  }
  const auto* bytes = static_cast<const uint8_t*>(dib);
  std::vector<uint32_t> table(colours);
  for (size_t i = 0; i < colours; ++i) {
    RGBQUAD q;
    std::memcpy(&q, bytes + tableAt + i * sizeof q, sizeof q);
    table[i] = RGB(q.rgbRed, q.rgbGreen, q.rgbBlue);
  }
  auto surface = std::make_shared<RasterSurface>(bits == 1 ? RasterSurface::Format::Mono : RasterSurface::Format::Colour,
                                                 static_cast<int32_t>(width), static_cast<int32_t>(height));
  const bool bottomUp = header.biHeight > 0;
  for (int32_t y = 0; y < surface->Height(); ++y) {
    const int32_t stored = bottomUp ? surface->Height() - 1 - y : y;
    const uint8_t* row = bytes + bitsAt + stride * static_cast<size_t>(stored);
    for (int32_t x = 0; x < surface->Width(); ++x) {
      const uint32_t colour = DibPixel(row, x, bits, table);
      surface->SetPixel(x, y, bits == 1 ? Raster::MonoOf(colour) : colour);
    }
  }
  GdiObjects& objects = GdiObjects::Instance();
  std::lock_guard<std::mutex> hold(objects.Lock());
  auto object = std::make_unique<GdiObject>();
  object->kind = GdiKind::Bitmap;
  object->surface = std::move(surface);
  object->label = label;
  return reinterpret_cast<HBITMAP>(objects.Add(std::move(object)).handle);
}

DrawingRecord DrawingRecordOf(HDC hdc) {
  GdiObjects& table = GdiObjects::Instance();
  std::lock_guard<std::mutex> hold(table.Lock());
  GdiObject* object = table.Find(hdc, GdiKind::Dc);
  return object != nullptr ? object->dc->Record() : DrawingRecord{};
}

std::shared_ptr<RasterSurface> BitmapSurface(HBITMAP bitmap) {
  GdiObjects& table = GdiObjects::Instance();
  std::lock_guard<std::mutex> hold(table.Lock());
  GdiObject* object = table.Find(bitmap, GdiKind::Bitmap);
  return object != nullptr ? object->surface : nullptr;
}

size_t GdiObjectCount() {
  GdiObjects& table = GdiObjects::Instance();
  std::lock_guard<std::mutex> hold(table.Lock());
  return table.Count();
}

}  // namespace plat::win32
