// Where the window manager gets a device context for a window and gives it back: the raster
// installs its maker here. Until one is installed a DC draws nothing and records nothing.
#pragma once

#include "platform/win32/include/windows.h"

namespace plat::win32 {

// A window's surface as a DC sees it: where the client area's origin lies on the screen, and the
// part of the screen the DC may draw on.
struct WindowSurface {
  HWND window;
  POINT origin;
  RECT clip;
  bool paint;  // from BeginPaint (else GetDC)
};

struct WindowDcSeam {
  HDC (*open)(const WindowSurface& surface);
  void (*close)(HDC dc);  // EndPaint or ReleaseDC: what was drawn is the raster's to keep
};

void SetWindowDcSeam(const WindowDcSeam& seam);
HDC OpenWindowDc(const WindowSurface& surface);
void CloseWindowDc(HDC dc);

}  // namespace plat::win32
