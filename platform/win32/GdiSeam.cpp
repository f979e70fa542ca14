#include "platform/win32/GdiSeam.h"

#include <mutex>

#include "platform/win32/DeviceContext.h"
#include "platform/win32/DibCodec.h"
#include "platform/win32/GdiObjects.h"
#include "platform/win32/include/windows.h"

namespace plat::win32 {

HDC CreateWindowDc(std::shared_ptr<RasterSurface> surface, int32_t originX, int32_t originY, const RasterRegion& clip,
                   std::function<void(DrawingRecord)> onRelease) {
  GdiObjects& table = GdiObjects::Instance();
  std::lock_guard<std::mutex> hold(table.Lock());
  auto object = std::make_unique<GdiObject>();
  object->kind = GdiKind::Dc;
  object->dc =
      std::make_unique<DeviceContext>(std::move(surface), originX, originY, clip, std::move(onRelease),
                                      *table.Stock(BLACK_PEN), *table.Stock(WHITE_BRUSH), *table.Stock(SYSTEM_FONT));
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
  DibLayout layout;
  if (!DibCodec::Read(dib, size, &layout)) return nullptr;
  if ((size - layout.headerBytes) / layout.stride < static_cast<size_t>(layout.height)) return nullptr;
  auto surface = std::make_shared<RasterSurface>(
      layout.bitsPerPixel == 1 ? RasterSurface::Format::Mono : RasterSurface::Format::Colour, layout.width,
      layout.height);
  DibCodec::Decode(layout, static_cast<const uint8_t*>(dib) + layout.headerBytes, 0,
                   static_cast<uint32_t>(layout.height), *surface);
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

void DropProcessObjects(uint32_t processId) {
  GdiObjects& table = GdiObjects::Instance();
  std::lock_guard<std::mutex> hold(table.Lock());
  table.DropProcess(processId);
}

}  // namespace plat::win32
