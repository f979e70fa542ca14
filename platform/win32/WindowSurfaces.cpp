#include "platform/win32/WindowSurfaces.h"

#include <utility>

#include "platform/win32/GdiSeam.h"
#include "platform/win32/MachineState.h"

namespace plat::win32 {

WindowSurfaces& WindowSurfaces::Get() { return MachineState::Of<WindowSurfaces>(); }

std::shared_ptr<RasterSurface> WindowSurfaces::Draw(HWND top, int32_t width, int32_t height) {
  std::shared_ptr<RasterSurface>& surface = surfaces_[top];
  if (surface == nullptr || surface->Width() != width || surface->Height() != height) {
    surface = std::make_shared<RasterSurface>(RasterSurface::Format::Colour, width, height);
  } else {
    surface->Clear(0);
  }
  return surface;
}

std::shared_ptr<RasterSurface> WindowSurfaces::SurfaceOf(HWND top) const {
  auto found = surfaces_.find(top);
  return found != surfaces_.end() ? found->second : nullptr;
}

const DrawingRecord* WindowSurfaces::LastPaint(HWND window) const {
  auto found = paints_.find(window);
  return found != paints_.end() ? &found->second : nullptr;
}

const DrawingRecord* WindowSurfaces::LastFrame(HWND window) const {
  auto found = frames_.find(window);
  return found != frames_.end() ? &found->second : nullptr;
}

void WindowSurfaces::Forget(HWND window) {
  surfaces_.erase(window);
  paints_.erase(window);
  frames_.erase(window);
}

HDC WindowSurfaces::Open(const WindowSurface& surface) {
  std::shared_ptr<RasterSurface> pixels = SurfaceOf(surface.top);
  HWND window = surface.window;
  WindowSurface::Use use = surface.use;
  // The record comes back at release; the surfaces are looked up again then, as the machine's.
  return CreateWindowDc(std::move(pixels), surface.origin.x, surface.origin.y, surface.clip,
                        [window, use](DrawingRecord record) { Get().Keep(window, use, std::move(record)); });
}

void WindowSurfaces::Keep(HWND window, WindowSurface::Use use, DrawingRecord record) {
  switch (use) {
    case WindowSurface::Use::Paint: paints_[window] = std::move(record); break;
    case WindowSurface::Use::Frame: frames_[window] = std::move(record); break;
    case WindowSurface::Use::Client: {
      DrawingRecord& kept = paints_[window];
      for (const DrawingOperation& operation : record.Operations()) kept.Add(operation);
      break;
    }
  }
}

HDC OpenWindowDc(const WindowSurface& surface) { return WindowSurfaces::Get().Open(surface); }
bool CloseWindowDc(HDC dc) { return ReleaseWindowDc(dc); }

}  // namespace plat::win32
