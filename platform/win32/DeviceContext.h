// A device context: the objects and colours selected into it, its saved states, where it draws
// and the record of everything drawn through it. A memory DC draws on the bitmap selected into
// it; a window DC draws on its window's surface (or only records, while nothing asks for pixels)
// from the window's origin, within the clip region user32 gave it. Coordinates in and out are the
// DC's logical ones; the record keeps them so.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32/DrawingRecord.h"
#include "platform/win32/GdiObjects.h"
#include "platform/win32/Raster.h"
#include "platform/win32/RasterRegion.h"
#include "platform/win32/RasterSurface.h"

namespace plat::win32 {

class DeviceContext {
 public:
  using ReleaseHook = std::function<void(DrawingRecord)>;

  static constexpr int kTransparent = 1;
  static constexpr int kOpaque = 2;

  struct State {
    GdiObject* pen = nullptr;
    GdiObject* brush = nullptr;
    GdiObject* font = nullptr;
    GdiObject* bitmap = nullptr;  // memory DCs
    uint32_t textColour = 0x000000;
    uint32_t backColour = 0xFFFFFF;
    int backMode = kOpaque;
    int mix = DrawingOperation::kCopyPen;  // SetROP2
    uint32_t textAlign = 0;                // SetTextAlign's TA_ bits
    int32_t brushX = 0;                    // SetBrushOrgEx, kept for the asking
    int32_t brushY = 0;
    int32_t x = 0;
    int32_t y = 0;
    // The program's own clip, in device coordinates, when it set one.
    std::optional<RasterRegion> clip;
    // SetViewportOrgEx and SetWindowOrgEx: a logical point is device point - viewport + window.
    int32_t viewportX = 0;
    int32_t viewportY = 0;
    int32_t windowX = 0;
    int32_t windowY = 0;
  };

  // A memory DC with the default objects (the bitmap a 1x1 mono one).
  DeviceContext(GdiObject& pen, GdiObject& brush, GdiObject& font, GdiObject& bitmap);
  // A window DC: `surface` may be null (record only); `clip` is in surface pixels.
  DeviceContext(std::shared_ptr<RasterSurface> surface, int32_t originX, int32_t originY, RasterRegion clip,
                ReleaseHook hook, GdiObject& pen, GdiObject& brush, GdiObject& font);
  DeviceContext(const DeviceContext&) = delete;
  DeviceContext& operator=(const DeviceContext&) = delete;
  // Lets go of every object its states hold.
  ~DeviceContext();

  bool Memory() const { return memory_; }
  const State& Current() const { return states_.back(); }
  State& Attributes() { return states_.back(); }
  // The surface drawn on, or null while a window DC only records.
  RasterSurface* Target() const;

  // The object takes its kind's place; the previous one is answered. Null when it cannot be
  // selected (a bitmap into a window DC or one selected in another DC, or a kind a DC does not hold).
  GdiObject* Select(GdiObject& object);
  // SaveDC: the new state's level (1 for the first save).
  int Save();
  // RestoreDC: a level from Save, or a negative count back from the current state.
  bool Restore(int level);
  // Intersects (or, with `exclude`, cuts out of) the program's clip, in logical coordinates.
  void ClipRect(const RasterRect& rect, bool exclude);
  // The program's clip replaced (null: removed), in device coordinates as SelectClipRgn takes it.
  void SetClip(const RasterRegion* region);
  // The bounds of what can be drawn, in logical coordinates.
  RasterRect ClipBox() const;
  // Where logical (0, 0) lies on the surface.
  int32_t OffsetX() const { return originX_ + Current().viewportX - Current().windowX; }
  int32_t OffsetY() const { return originY_ + Current().viewportY - Current().windowY; }

  void MoveTo(int32_t x, int32_t y);
  void LineTo(int32_t x, int32_t y);
  void Rectangle(RasterRect rect);
  void Polygon(const std::vector<std::pair<int32_t, int32_t>>& points);
  void Ellipse(RasterRect rect);
  void RoundRect(RasterRect rect, int32_t cornerWidth, int32_t cornerHeight);
  void FillRect(const RasterRect& rect, const GdiObject& brush);
  void FrameRect(const RasterRect& rect, const GdiObject& brush);
  // DrawFocusRect: every other pixel of the rectangle's edge inverted, so a second call undoes it.
  void FocusRect(const RasterRect& rect);
  // ExtTextOut: `rect` filled with the background colour when `opaqueRect`, and the glyphs kept
  // inside it when `clipToRect`; DrawText adds the index of a character to underline alone.
  void Text(int32_t x, int32_t y, std::string_view text, const RasterRect* rect, bool opaqueRect, bool clipToRect,
            int32_t mnemonic = -1);
  // BitBlt and StretchBlt: `sourceRect` of `source` onto `rect`; `source` may be null for a raster
  // operation without a source.
  void BitBlt(const RasterRect& rect, const DeviceContext* source, const RasterRect& sourceRect, uint32_t rop);
  // StretchDIBits: `from` of pixels that belong to no DC, named `name` in the record.
  void DrawPixels(const RasterRect& rect, const RasterSurface& pixels, const std::string& name, const RasterRect& from,
                  uint32_t rop);
  // The colour of a pixel in DC coordinates; false outside the clip or without pixels.
  bool GetPixel(int32_t x, int32_t y, uint32_t* colour) const;
  void SetPixel(int32_t x, int32_t y, uint32_t colour);

  const DrawingRecord& Record() const { return record_; }
  // The hook a window DC hands its record to at release, taken once.
  ReleaseHook TakeHook() { return std::move(hook_); }
  DrawingRecord TakeRecord() { return std::move(record_); }

 private:
  LinePen PenOf(const DrawnPen& pen) const;
  RasterBrush BrushOf(const GdiObject& brush) const;
  DrawingOperation Outlined(DrawingOperation::Kind kind, const RasterRect& rect) const;
  static void Hold(GdiObject* object, DeviceContext* dc);
  static void Drop(GdiObject* object);
  RasterRegion EffectiveClip() const;
  // `from` is in the source's surface pixels, `recordedFrom` as the program named it.
  void Blit(const RasterRect& rect, const RasterSurface* pixels, const std::string& name,
            const RasterRect& recordedFrom, const RasterRect& from, uint32_t sourceBack, uint32_t rop);
  std::string SourceName() const;
  void Draw(const std::function<void(Raster&)>& paint);
  void DrawClipped(const RasterRect& rect, const std::function<void(Raster&)>& paint);

  bool memory_;
  std::shared_ptr<RasterSurface> surface_;
  int32_t originX_ = 0;
  int32_t originY_ = 0;
  RasterRegion windowClip_;
  ReleaseHook hook_;
  std::vector<State> states_;
  DrawingRecord record_;
};

}  // namespace plat::win32
