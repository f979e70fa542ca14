// The machine's window surfaces: one per top-level window, drawn into only once something has
// asked for its pixels, and the record of what each window last drew (always kept): its last paint,
// with what GetDC drew since, and its frame.
#pragma once

#include <map>
#include <memory>

#include "platform/win32/DcSeam.h"
#include "platform/win32/DrawingRecord.h"
#include "platform/win32/RasterSurface.h"

namespace plat::win32 {

class WindowSurfaces {
 public:
  static WindowSurfaces& Get();

  // From now on `top` draws pixels too, on a surface of `width` x `height` cleared to black (a new
  // one when the size changed); the surface.
  std::shared_ptr<RasterSurface> Draw(HWND top, int32_t width, int32_t height);
  // The surface of `top`, null while it draws no pixels.
  std::shared_ptr<RasterSurface> SurfaceOf(HWND top) const;

  // What the window last drew; null when it has drawn nothing.
  const DrawingRecord* LastPaint(HWND window) const;
  const DrawingRecord* LastFrame(HWND window) const;

  // A window gone: its record and surface go with it.
  void Forget(HWND window);

  // For the seam.
  HDC Open(const WindowSurface& surface);
  void Keep(HWND window, WindowSurface::Use use, DrawingRecord record);

 private:
  std::map<HWND, std::shared_ptr<RasterSurface>> surfaces_;
  std::map<HWND, DrawingRecord> paints_;
  std::map<HWND, DrawingRecord> frames_;
};

}  // namespace plat::win32
