// The paint cycle: update regions (kept as rectangles), WM_PAINT and WM_ERASEBKGND, BeginPaint and
// EndPaint, GetDC and ReleaseDC through the raster's window DC seam.
#include "platform/win32/DcSeam.h"
#include "platform/win32/Desktop.h"
#include "platform/win32/KernelBridge.h"
#include "platform/win32/MessageQueue.h"
#include "platform/win32/WindowManager.h"

namespace w = plat::win32;
using w::Desktop;

namespace plat::win32 {
namespace {

uintptr_t gNextBlankDc = 0x01010000;

// Until the raster installs its maker, a DC is a distinct handle that draws nothing.
HDC OpenBlank(const WindowSurface&) {
  gNextBlankDc += 4;
  return reinterpret_cast<HDC>(gNextBlankDc);
}

void CloseBlank(HDC) {}

WindowDcSeam& Seam() {
  static WindowDcSeam seam{OpenBlank, CloseBlank};
  return seam;
}

RECT ClientOnScreen(const Window& window) { return window.client; }

}  // namespace

void SetWindowDcSeam(const WindowDcSeam& seam) { Seam() = seam; }
HDC OpenWindowDc(const WindowSurface& surface) { return Seam().open(surface); }
void CloseWindowDc(HDC dc) { Seam().close(dc); }

}  // namespace plat::win32

BOOL InvalidateRect(HWND hWnd, const RECT* lpRect, BOOL bErase) {
  Desktop& d = Desktop::Get();
  if (hWnd == nullptr) {
    for (HWND top : d.TopLevel()) w::InvalidateTree(top, bErase != FALSE);
    return TRUE;
  }
  w::Window* win = d.Checked(hWnd);
  if (win == nullptr) return FALSE;
  RECT client{0, 0, win->client.right - win->client.left, win->client.bottom - win->client.top};
  RECT add = client;
  if (lpRect != nullptr) IntersectRect(&add, lpRect, &client);
  if (IsRectEmpty(&add)) return TRUE;
  UnionRect(&win->update, &win->update, &add);
  win->erase = win->erase || bErase != FALSE;
  if (w::MessageQueue* q = d.FindQueue(win->threadId)) q->Wake();
  return TRUE;
}

BOOL ValidateRect(HWND hWnd, const RECT* lpRect) {
  w::Window* win = Desktop::Get().Checked(hWnd);
  if (win == nullptr) return FALSE;
  // A rectangle that covers the whole update area validates it; a partial one leaves it pending.
  RECT left{};
  if (lpRect == nullptr || (lpRect->left <= win->update.left && lpRect->top <= win->update.top &&
                            lpRect->right >= win->update.right && lpRect->bottom >= win->update.bottom)) {
    win->update = left;
    win->erase = false;
  }
  return TRUE;
}

BOOL GetUpdateRect(HWND hWnd, LPRECT lpRect, BOOL bErase) {
  w::Window* win = Desktop::Get().Checked(hWnd);
  if (win == nullptr) return FALSE;
  if (lpRect != nullptr) *lpRect = win->update;
  bool pending = !IsRectEmpty(&win->update);
  if (pending && bErase && win->erase) {
    HDC dc = GetDC(hWnd);
    win->erase = w::CallWindow(hWnd, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0) == 0;
    ReleaseDC(hWnd, dc);
  }
  return pending ? TRUE : FALSE;
}

BOOL UpdateWindow(HWND hWnd) {
  w::Window* win = Desktop::Get().Checked(hWnd);
  if (win == nullptr) return FALSE;
  if (w::NeedsPaint(*win)) w::CallWindow(hWnd, WM_PAINT, 0, 0);
  return TRUE;
}

BOOL RedrawWindow(HWND hWnd, const RECT* lprcUpdate, void*, UINT flags) {
  if (flags & RDW_INVALIDATE) {
    if (flags & RDW_ALLCHILDREN)
      w::InvalidateTree(hWnd, (flags & RDW_ERASE) != 0);
    else
      InvalidateRect(hWnd, lprcUpdate, (flags & RDW_ERASE) != 0);
  }
  if (flags & RDW_UPDATENOW) UpdateWindow(hWnd);
  return TRUE;
}

HDC BeginPaint(HWND hWnd, LPPAINTSTRUCT lpPaint) {
  Desktop& d = Desktop::Get();
  w::Window* win = d.Checked(hWnd);
  if (win == nullptr || lpPaint == nullptr) return nullptr;
  RECT paint = win->update;
  bool erase = win->erase;
  win->update = RECT{};
  win->erase = false;
  RECT clip = paint;
  OffsetRect(&clip, win->client.left, win->client.top);
  HDC dc = w::OpenWindowDc(w::WindowSurface{hWnd, POINT{win->client.left, win->client.top}, clip, true});
  *lpPaint = PAINTSTRUCT{};
  lpPaint->hdc = dc;
  lpPaint->rcPaint = paint;
  lpPaint->fErase = FALSE;
  if (erase) lpPaint->fErase = w::CallWindow(hWnd, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0) == 0 ? TRUE : FALSE;
  return dc;
}

BOOL EndPaint(HWND, const PAINTSTRUCT* lpPaint) {
  if (lpPaint != nullptr && lpPaint->hdc != nullptr) w::CloseWindowDc(lpPaint->hdc);
  return TRUE;
}

HDC GetDC(HWND hWnd) {
  Desktop& d = Desktop::Get();
  w::Window* win = hWnd == nullptr ? d.Find(d.Root()) : d.Checked(hWnd);
  if (win == nullptr) return nullptr;
  return w::OpenWindowDc(
      w::WindowSurface{win->handle, POINT{win->client.left, win->client.top}, w::ClientOnScreen(*win), false});
}

int ReleaseDC(HWND, HDC hDC) {
  if (hDC == nullptr) return 0;
  w::CloseWindowDc(hDC);
  return 1;
}
