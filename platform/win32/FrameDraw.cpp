// The frames DefWindowProc paints for WM_NCPAINT, in the plain classic look: a raised dialog or
// sizing frame (or a one-pixel border), the caption bar with its small icon, text and close box,
// and a sunken client edge. Coordinates are the window's own, (0, 0) at its top left.
#include <string>

#include "platform/win32/Desktop.h"
#include "platform/win32/WindowManager.h"
#include "platform/win32/include/windows.h"

namespace plat::win32 {
namespace {

// The close box's size inside a caption, and its gap from the caption's right and top.
constexpr int kCloseWidth = 16;
constexpr int kCloseHeight = 14;
constexpr int kCloseGap = 2;
constexpr int kCaptionTextInset = 4;
constexpr int kCaptionIcon = 16;
constexpr int kCaptionIconInset = 2;

void Ring(HDC dc, RECT* r, int thickness, int colour) {
  for (int i = 0; i < thickness; ++i) {
    FrameRect(dc, r, GetSysColorBrush(colour));
    InflateRect(r, -1, -1);
  }
}

// The close box: a raised button with a cross two pixels thick.
void CloseBox(HDC dc, const RECT& caption) {
  RECT box{caption.right - kCloseGap - kCloseWidth, caption.top + kCloseGap, caption.right - kCloseGap,
           caption.top + kCloseGap + kCloseHeight};
  DrawEdge(dc, &box, EDGE_RAISED, BF_RECT | BF_MIDDLE | BF_ADJUST);
  HPEN pen = CreatePen(PS_SOLID, 1, GetSysColor(COLOR_BTNTEXT));
  HGDIOBJ old = SelectObject(dc, pen);
  const int left = box.left + 2, right = box.right - 3, top = box.top + 1, bottom = box.bottom - 2;
  for (int dx = 0; dx < 2; ++dx) {
    MoveToEx(dc, left + dx, top, nullptr);
    LineTo(dc, right + dx, bottom);
    MoveToEx(dc, right - 1 + dx, top, nullptr);
    LineTo(dc, left - 1 + dx, bottom);
  }
  SelectObject(dc, old);
  DeleteObject(pen);
}

// The small icon a caption shows: a window with a system menu that is no modal dialog shows its
// own icon, else its class's, if it has one.
HICON CaptionIcon(const Window& window) {
  if (!(window.style & WS_SYSMENU) || (window.exStyle & WS_EX_DLGMODALFRAME)) return nullptr;
  for (HICON icon : {window.smallIcon, window.bigIcon, window.cls->smallIcon, window.cls->icon})
    if (icon != nullptr) return icon;
  return nullptr;
}

void Caption(HDC dc, const Window& window, const RECT& caption) {
  const bool active = Desktop::Get().foreground == window.handle;
  FillRect(dc, &caption, GetSysColorBrush(active ? COLOR_ACTIVECAPTION : COLOR_INACTIVECAPTION));
  RECT line{caption.left, caption.bottom - 1, caption.right, caption.bottom};
  FillRect(dc, &line, GetSysColorBrush(COLOR_3DFACE));
  RECT text{caption.left + kCaptionTextInset, caption.top, caption.right - kCaptionTextInset, caption.bottom - 1};
  if (HICON icon = CaptionIcon(window); icon != nullptr) {
    const int top = caption.top + (caption.bottom - 1 - caption.top - kCaptionIcon) / 2;
    DrawIconEx(dc, caption.left + kCaptionIconInset, top, icon, kCaptionIcon, kCaptionIcon, 0, nullptr, DI_NORMAL);
    text.left = caption.left + kCaptionIconInset + kCaptionIcon + kCaptionIconInset;
  }
  if (window.style & WS_SYSMENU) text.right = caption.right - kCloseGap - kCloseWidth - kCaptionTextInset;
  LOGFONTA bold{};
  GetObjectA(GetStockObject(DEFAULT_GUI_FONT), sizeof bold, &bold);
  bold.lfWeight = FW_BOLD;
  HFONT font = CreateFontIndirectA(&bold);
  HGDIOBJ old = SelectObject(dc, font);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, GetSysColor(active ? COLOR_CAPTIONTEXT : COLOR_INACTIVECAPTIONTEXT));
  DrawTextA(dc, window.text.c_str(), -1, &text, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS);
  SelectObject(dc, old);
  DeleteObject(font);
  if (window.style & WS_SYSMENU) CloseBox(dc, RECT{caption.left, caption.top, caption.right, caption.bottom - 1});
}

}  // namespace

void DrawFrame(HWND hwnd, HDC dc) {
  const Window* window = Desktop::Get().Find(hwnd);
  if (window == nullptr || dc == nullptr) return;
  const RECT insets = FrameOf(window->style, window->exStyle);
  RECT r{0, 0, window->rect.right - window->rect.left, window->rect.bottom - window->rect.top};
  const bool sizing = (window->style & WS_THICKFRAME) != 0;
  if (sizing || (window->style & WS_DLGFRAME) || (window->exStyle & WS_EX_DLGMODALFRAME)) {
    DrawEdge(dc, &r, EDGE_RAISED, BF_RECT | BF_ADJUST);
    Ring(dc, &r, (sizing ? 4 : 3) - 2, COLOR_3DFACE);
  } else if (window->style & WS_BORDER) {
    Ring(dc, &r, 1, COLOR_WINDOWFRAME);
  }
  if ((window->style & WS_CAPTION) == WS_CAPTION) {
    const int height = insets.top - insets.left;
    Caption(dc, *window, RECT{r.left, r.top, r.right, r.top + height});
    r.top += height;
  }
  if (window->exStyle & WS_EX_CLIENTEDGE) {
    DrawEdge(dc, &r, EDGE_SUNKEN, BF_RECT | BF_ADJUST);
  } else if (window->exStyle & WS_EX_STATICEDGE) {
    DrawEdge(dc, &r, BDR_SUNKENOUTER, BF_RECT | BF_ADJUST);
  }
}

}  // namespace plat::win32
