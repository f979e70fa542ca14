#include "platform/win32/ControlDraw.h"

#include <algorithm>

namespace plat::win32 {

LRESULT ControlLook(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, HFONT* font) {
  switch (message) {
    case WM_SETFONT:
      *font = reinterpret_cast<HFONT>(wParam);
      if (LOWORD(lParam)) InvalidateRect(hwnd, nullptr, TRUE);
      return 0;
    case WM_GETFONT: return reinterpret_cast<LRESULT>(*font);
    default: InvalidateRect(hwnd, nullptr, FALSE); return 0;  // WM_ENABLE
  }
}

ControlPaint::ControlPaint(HWND hwnd, UINT message, WPARAM wParam) : hwnd_(hwnd) {
  // WM_PRINTCLIENT, and WM_PAINT from a caller that supplies a DC, draw into that DC.
  dc_ = reinterpret_cast<HDC>(wParam);
  if (message == WM_PAINT && dc_ == nullptr) {
    dc_ = BeginPaint(hwnd, &ps_);
    begun_ = true;
  }
  GetClientRect(hwnd, &client_);
  enabled_ = IsWindowEnabled(hwnd) != FALSE;
  if (dc_ == nullptr) return;
  saved_ = SaveDC(dc_);
  // Without a font of its own a control writes in the DC's default, the system font.
  auto font = reinterpret_cast<HFONT>(SendMessageA(hwnd, WM_GETFONT, 0, 0));
  if (font != nullptr) SelectObject(dc_, font);
}

ControlPaint::~ControlPaint() {
  if (dc_ != nullptr && saved_ != 0) RestoreDC(dc_, saved_);
  if (begun_) EndPaint(hwnd_, &ps_);
}

HBRUSH ControlPaint::AskColours(UINT message) const {
  HWND parent = GetParent(hwnd_);
  auto brush = parent != nullptr ? reinterpret_cast<HBRUSH>(SendMessageA(parent, message, reinterpret_cast<WPARAM>(dc_),
                                                                         reinterpret_cast<LPARAM>(hwnd_)))
                                 : nullptr;
  if (brush == nullptr)
    brush = reinterpret_cast<HBRUSH>(
        DefWindowProcA(hwnd_, message, reinterpret_cast<WPARAM>(dc_), reinterpret_cast<LPARAM>(hwnd_)));
  return brush;
}

void ControlPaint::Text(const char* text, RECT rect, UINT format) const {
  if (!enabled_) SetTextColor(dc_, GetSysColor(COLOR_GRAYTEXT));
  DrawTextA(dc_, text, -1, &rect, format);
}

void ControlPaint::Arrow(const RECT& rect, WPARAM direction, int colour) const {
  const LONG width = rect.right - rect.left, height = rect.bottom - rect.top;
  const bool vertical = direction == VK_UP || direction == VK_DOWN;
  // Rows of 1, 3, 5, ... pixels from the tip; one for every 3 pixels of room, 2 to 4.
  const LONG rows = std::clamp<LONG>((std::min(width, height) - 2) / 3, 2, 4);
  const LONG centreX = rect.left + width / 2, centreY = rect.top + height / 2;
  HBRUSH brush = GetSysColorBrush(colour);
  for (LONG i = 0; i < rows; ++i) {
    // Row i lies i pixels from the tip, which points towards `direction`.
    const bool tipFirst = direction == VK_UP || direction == VK_LEFT;
    const LONG along = (vertical ? centreY : centreX) - rows / 2 + (tipFirst ? i : rows - 1 - i);
    const LONG across = vertical ? centreX : centreY;
    RECT row = vertical ? RECT{across - i, along, across + i + 1, along + 1}
                        : RECT{along, across - i, along + 1, across + i + 1};
    FillRect(dc_, &row, brush);
  }
}

}  // namespace plat::win32
