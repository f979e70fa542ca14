// The paint cycle: update regions (kept as rectangles), WM_PAINT, WM_NCPAINT and WM_ERASEBKGND,
// BeginPaint and EndPaint, GetDC, GetWindowDC and ReleaseDC, each DC clipped as Windows clips it.
#include "platform/win32/DcSeam.h"
#include "platform/win32/Desktop.h"
#include "platform/win32/KernelBridge.h"
#include "platform/win32/MessageQueue.h"
#include "platform/win32/WindowManager.h"

namespace w = plat::win32;
using w::Desktop;

namespace plat::win32 {
namespace {

RasterRect Rect(const RECT& r) { return RasterRect{r.left, r.top, r.right, r.bottom}; }

// The part of its top-level window's surface a DC of `window` may draw on (surface pixels): its
// client area (its whole rectangle for the frame), within every ancestor's client area, less its
// siblings above it wherever a window on the way up has WS_CLIPSIBLINGS, and less its own children
// under WS_CLIPCHILDREN. Nothing for a window that is not visible.
RasterRegion VisibleRegion(const Window& window, const Window& top, bool frame) {
  Desktop& d = Desktop::Get();
  if (!Visible(window.handle)) return RasterRegion();
  RasterRegion region(Rect(frame ? window.rect : window.client));
  for (const Window* level = &window; level->parent != nullptr;) {
    const Window* parent = d.Find(level->parent);
    region.Intersect(Rect(parent->client));
    if (level->style & WS_CLIPSIBLINGS) {
      for (HWND sibling : parent->children) {
        if (sibling == level->handle) break;
        if (const Window* s = d.Find(sibling); s != nullptr && (s->style & WS_VISIBLE)) region.Subtract(Rect(s->rect));
      }
    }
    level = parent;
  }
  if (window.style & WS_CLIPCHILDREN)
    for (HWND child : window.children)
      if (const Window* c = d.Find(child); c != nullptr && (c->style & WS_VISIBLE)) region.Subtract(Rect(c->rect));
  region.Offset(-top.rect.left, -top.rect.top);
  return region;
}

HDC Open(const Window& window, WindowSurface::Use use, const RECT* update) {
  Desktop& d = Desktop::Get();
  const bool frame = use == WindowSurface::Use::Frame;
  const Window* top = d.Find(TopLevelOf(window.handle));
  RasterRegion clip = VisibleRegion(window, *top, frame);
  if (update != nullptr) {
    RECT area = *update;
    OffsetRect(&area, window.client.left - top->rect.left, window.client.top - top->rect.top);
    clip.Intersect(Rect(area));
  }
  const RECT& at = frame ? window.rect : window.client;
  return OpenWindowDc(WindowSurface{window.handle, top->handle, POINT{at.left - top->rect.left, at.top - top->rect.top},
                                    std::move(clip), use});
}

bool HasFrame(const Window& window) {
  RECT f = FrameOf(window.style, window.exStyle);
  return f.left != 0 || f.top != 0 || f.right != 0 || f.bottom != 0;
}

}  // namespace
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
  if (win->frame) {
    win->frame = false;
    if (w::HasFrame(*win)) {
      w::CallWindow(hWnd, WM_NCPAINT, 1, 0);
      if ((win = d.Find(hWnd)) == nullptr) return nullptr;
    }
  }
  RECT paint = win->update;
  bool erase = win->erase;
  win->update = RECT{};
  win->erase = false;
  HDC dc = w::Open(*win, w::WindowSurface::Use::Paint, &paint);
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
  return w::Open(*win, w::WindowSurface::Use::Client, nullptr);
}

HDC GetWindowDC(HWND hWnd) {
  Desktop& d = Desktop::Get();
  w::Window* win = hWnd == nullptr ? d.Find(d.Root()) : d.Checked(hWnd);
  if (win == nullptr) return nullptr;
  return w::Open(*win, w::WindowSurface::Use::Frame, nullptr);
}

int ReleaseDC(HWND, HDC hDC) { return hDC != nullptr && w::CloseWindowDc(hDC) ? 1 : 0; }
