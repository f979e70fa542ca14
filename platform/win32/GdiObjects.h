// The objects gdi32 hands out handles for, and the machine's one table that owns them. A handle is
// a serial number that is never used again, with the object's kind in its low byte, so a stale
// handle finds nothing. An object stays while any DC state (current or saved) refers to it, or
// until the process that made it ends.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/win32/DrawingRecord.h"
#include "platform/win32/RasterRegion.h"
#include "platform/win32/RasterSurface.h"
#include "platform/win32/ScaledFont.h"

namespace plat::win32 {

class DeviceContext;

// GetObjectType's values.
enum class GdiKind : uint8_t {
  Pen = 1,
  Brush = 2,
  Dc = 3,
  Font = 6,
  Bitmap = 7,
  Region = 8,
  MemoryDc = 10,
  ExtPen = 11
};

// The LOGFONT a font was made from, in plain types.
struct FontRequest {
  int32_t height = 0;
  int32_t width = 0;
  int32_t escapement = 0;
  int32_t orientation = 0;
  int32_t weight = 0;
  uint8_t italic = 0;
  uint8_t underline = 0;
  uint8_t strikeOut = 0;
  uint8_t charSet = 0;
  uint8_t outPrecision = 0;
  uint8_t clipPrecision = 0;
  uint8_t quality = 0;
  uint8_t pitchAndFamily = 0;
  std::string face;
};

struct GdiObject {
  GdiKind kind;
  uintptr_t handle = 0;
  bool stock = false;
  uint32_t owner = 0;  // the process that made it; 0 for stock objects
  // DC states, current and saved, that hold the object.
  uint32_t selections = 0;

  // Pens: the style bits as created, and how they draw.
  uint32_t penStyle = 0;
  DrawnPen pen;
  // Brushes: a hatched or pattern brush keeps its pattern in `surface`.
  uint32_t brushStyle = 0;
  uintptr_t brushHatch = 0;  // LOGBRUSH's lbHatch as given
  DrawnBrush brush;
  // Fonts.
  FontRequest font;
  std::unique_ptr<ScaledFont> scaled;
  // Bitmaps: the pixels, a name for the drawing record, the memory DC holding it.
  // Brushes with a pattern: the pattern, copied when the brush was made.
  std::shared_ptr<RasterSurface> surface;
  std::string label;
  DeviceContext* selectedInto = nullptr;
  // Regions.
  RasterRegion region;
  // DCs.
  std::unique_ptr<DeviceContext> dc;
};

// GetStockObject's index of the 1x1 mono bitmap every memory DC starts with.
constexpr int kStockBitmapIndex = 21;

// The classic Windows colour of a system colour index (COLOR_*); false for an index with none.
bool SystemColour(int index, uint32_t* colour);

class GdiObjects {
 public:
  // The machine's one table. Its lock is held across every gdi32 call.
  static GdiObjects& Instance();
  GdiObjects() = default;
  GdiObjects(const GdiObjects&) = delete;
  GdiObjects& operator=(const GdiObjects&) = delete;
  ~GdiObjects();

  std::mutex& Lock() { return lock_; }

  GdiObject& Add(std::unique_ptr<GdiObject> object);
  // The object of a handle, or null for a handle that names none (or not of `kind`).
  GdiObject* Find(const void* handle);
  GdiObject* Find(const void* handle, GdiKind kind);
  // Removes an object no DC state holds; false (and nothing removed) otherwise.
  bool Remove(GdiObject& object);
  size_t Count() const { return objects_.size(); }
  // A process's objects go when it ends, however it ends: its DCs first, letting go of what they
  // hold, then the rest, except what a DC of another process still holds.
  void DropProcess(uint32_t processId);

  // Stock objects by GetStockObject's index, made on first use; null for an index with none.
  GdiObject* Stock(int index);
  // The brush of a system colour, made on first use; null for an index with none.
  GdiObject* SystemColourBrush(int index);

 private:
  std::mutex lock_;
  uintptr_t nextSerial_ = 1;
  std::map<uintptr_t, std::unique_ptr<GdiObject>> objects_;
  std::map<int, GdiObject*> stock_;
  std::map<int, GdiObject*> systemBrushes_;
};

}  // namespace plat::win32
