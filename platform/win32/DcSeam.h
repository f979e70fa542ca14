// Where the window manager gets a device context for a window and gives it back. The window
// manager works out where the DC draws; the surfaces (WindowSurfaces.cpp) make the DC, on the
// top-level window's pixels when something asks for them, and keep what each window last drew.
#pragma once

#include "platform/win32/RasterRegion.h"
#include "platform/win32/include/windows.h"

namespace plat::win32 {

// A window's surface as a DC sees it: the top-level window whose surface it is (its top left is
// the surface's (0, 0)), where the DC's (0, 0) lies on it, and the part of it the DC may draw on.
struct WindowSurface {
  enum class Use : uint8_t {
    Paint,   // BeginPaint: what it draws is the window's last paint
    Client,  // GetDC: added to the window's last paint
    Frame,   // GetWindowDC: what it draws is the window's frame
  };
  HWND window;
  HWND top;
  POINT origin;
  RasterRegion clip;
  Use use;
};

HDC OpenWindowDc(const WindowSurface& surface);
// EndPaint or ReleaseDC: false for a DC OpenWindowDc did not make (or already closed).
bool CloseWindowDc(HDC dc);

}  // namespace plat::win32
