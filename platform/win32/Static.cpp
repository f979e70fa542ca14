// The static class: text aligned by its type (left, centre, right), icons and bitmaps loaded through
// the control's module, STM_SETIMAGE, and STN_CLICKED under SS_NOTIFY.
#include "platform/win32/ControlDraw.h"
#include "platform/win32/Controls.h"
#include "platform/win32/ImageObjects.h"

namespace plat::win32 {
namespace {

struct StaticState {
  HANDLE image = nullptr;
  HFONT font = nullptr;
};

DWORD TypeOf(HWND hwnd) { return static_cast<DWORD>(GetWindowLongA(hwnd, GWL_STYLE)) & SS_TYPEMASK; }

// A picture static takes its picture's size, unless it centres the picture in its own rectangle or
// keeps its own size; an icon keeps its own size under SS_REALSIZEIMAGE.
void FitToImage(HWND hwnd, HANDLE image) {
  DWORD style = static_cast<DWORD>(GetWindowLongA(hwnd, GWL_STYLE));
  if (style & (SS_CENTERIMAGE | SS_REALSIZECONTROL)) return;
  SIZE size{};
  BITMAP bitmap{};
  if (const ImageObject* object = ImageObjectOf(image); object != nullptr) {
    size = SIZE{object->width, object->height};
  } else if (GetObjectA(image, sizeof bitmap, &bitmap) == static_cast<int>(sizeof bitmap)) {
    size = SIZE{bitmap.bmWidth, bitmap.bmHeight};
  } else {
    return;
  }
  SetWindowPos(hwnd, nullptr, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

HANDLE SetImage(HWND hwnd, StaticState* s, HANDLE image) {
  HANDLE old = s->image;
  s->image = image;
  FitToImage(hwnd, image);
  InvalidateRect(hwnd, nullptr, TRUE);
  return old;
}

}  // namespace

LRESULT CALLBACK StaticProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* s = StateOf<StaticState>(hwnd);
  if (s == nullptr) return Attach<StaticState>(hwnd, message, wParam, lParam);
  switch (message) {
    case WM_CREATE: {
      // A picture static's text names its resource in the module it was made with.
      auto* cs = reinterpret_cast<const CREATESTRUCTA*>(lParam);
      DWORD type = TypeOf(hwnd);
      if ((type == SS_BITMAP || type == SS_ICON) && cs->lpszName != nullptr &&
          (IS_INTRESOURCE(cs->lpszName) || cs->lpszName[0] != '\0')) {
        HANDLE image = type == SS_BITMAP ? static_cast<HANDLE>(LoadBitmapA(cs->hInstance, cs->lpszName))
                                         : static_cast<HANDLE>(LoadIconA(cs->hInstance, cs->lpszName));
        if (image != nullptr) SetImage(hwnd, s, image);
      }
      return 0;
    }
    case WM_GETDLGCODE: return DLGC_STATIC;
    case WM_NCHITTEST:
      // Without SS_NOTIFY the mouse goes through to the parent.
      if (!(GetWindowLongA(hwnd, GWL_STYLE) & SS_NOTIFY)) return HTTRANSPARENT;
      return DefWindowProcA(hwnd, message, wParam, lParam);
    case WM_LBUTTONDOWN:
      if (GetWindowLongA(hwnd, GWL_STYLE) & SS_NOTIFY) NotifyParent(hwnd, STN_CLICKED);
      return 0;
    case WM_LBUTTONDBLCLK:
      if (GetWindowLongA(hwnd, GWL_STYLE) & SS_NOTIFY) NotifyParent(hwnd, STN_DBLCLK);
      return 0;
    case STM_SETIMAGE:
      if ((wParam == IMAGE_BITMAP && TypeOf(hwnd) != SS_BITMAP) ||
          (wParam == IMAGE_ICON && TypeOf(hwnd) != SS_ICON))
        return 0;
      return reinterpret_cast<LRESULT>(SetImage(hwnd, s, reinterpret_cast<HANDLE>(lParam)));
    case STM_GETIMAGE: return reinterpret_cast<LRESULT>(s->image);
    case STM_SETICON:
      if (TypeOf(hwnd) != SS_ICON) return 0;
      return reinterpret_cast<LRESULT>(SetImage(hwnd, s, reinterpret_cast<HANDLE>(wParam)));
    case STM_GETICON: return TypeOf(hwnd) == SS_ICON ? reinterpret_cast<LRESULT>(s->image) : 0;
    case WM_SETTEXT:
      InvalidateRect(hwnd, nullptr, TRUE);
      return DefWindowProcA(hwnd, message, wParam, lParam);
    case WM_SETFONT:
    case WM_GETFONT:
    case WM_ENABLE: return ControlLook(hwnd, message, wParam, lParam, &s->font);
    case WM_PAINT:
    case WM_PRINTCLIENT: {
      ControlPaint paint(hwnd, message, wParam);
      DrawStatic(paint, s->image);
      return 0;
    }
    default: return Attach<StaticState>(hwnd, message, wParam, lParam);
  }
}

}  // namespace plat::win32
