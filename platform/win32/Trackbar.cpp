// The trackbar control: a range, a position set by code without notification, tick marks every
// TBM_SETTICFREQ under TBS_AUTOTICKS, and a person's keys, clicks and drags, each reported with
// WM_HSCROLL (WM_VSCROLL under TBS_VERT) and its TB_* code, TB_ENDTRACK when the key or button goes up.
#include <algorithm>

#include "platform/win32/ControlDraw.h"
#include "platform/win32/Controls.h"
#include "platform/win32/include/windowsx.h"

namespace plat::win32 {
namespace {

// The channel runs between these margins of the client area; the thumb is this wide.
constexpr int kMargin = 8;
constexpr int kThumbHalf = 5;

struct TrackbarState {
  int min = 0;
  int max = 100;
  int pos = 0;
  int ticFrequency = 1;
  int lineSize = 1;
  int pageSize = 20;
  bool dragging = false;
  bool paging = false;
  HFONT font = nullptr;
};

bool Vertical(HWND hwnd) { return (GetWindowLongA(hwnd, GWL_STYLE) & TBS_VERT) != 0; }

int Clamp(const TrackbarState* s, int pos) { return std::clamp(pos, s->min, std::max(s->min, s->max)); }

int Length(HWND hwnd) {
  RECT r;
  GetClientRect(hwnd, &r);
  return std::max<LONG>(1, (Vertical(hwnd) ? r.bottom : r.right) - 2 * kMargin);
}

// Where a position lies along the channel, in client pixels, and back.
int Pixel(HWND hwnd, const TrackbarState* s, int pos) {
  int span = std::max(1, s->max - s->min);
  return kMargin + (pos - s->min) * Length(hwnd) / span;
}

int PositionAt(HWND hwnd, const TrackbarState* s, int pixel) {
  int span = std::max(0, s->max - s->min), length = Length(hwnd);
  return Clamp(s, s->min + ((pixel - kMargin) * span + length / 2) / length);
}

void Report(HWND hwnd, const TrackbarState* s, WORD code) {
  WORD pos = (code == TB_THUMBTRACK || code == TB_THUMBPOSITION) ? static_cast<WORD>(s->pos) : 0;
  SendMessageA(GetParent(hwnd), Vertical(hwnd) ? WM_VSCROLL : WM_HSCROLL, MAKEWPARAM(code, pos),
               reinterpret_cast<LPARAM>(hwnd));
}

// Where the channel, the thumb and each tick lie: the two ends always, and under TBS_AUTOTICKS
// every TBM_SETTICFREQ positions between.
TrackbarLook LookOf(HWND hwnd, const TrackbarState* s) {
  TrackbarLook look{Pixel(hwnd, s, s->min), Pixel(hwnd, s, s->max), Pixel(hwnd, s, s->pos), kThumbHalf, {}};
  look.ticks.push_back(look.channelStart);
  if (GetWindowLongA(hwnd, GWL_STYLE) & TBS_AUTOTICKS)
    for (int p = s->min + s->ticFrequency; p < s->max; p += s->ticFrequency) look.ticks.push_back(Pixel(hwnd, s, p));
  if (s->max > s->min) look.ticks.push_back(look.channelEnd);
  return look;
}

void Move(HWND hwnd, TrackbarState* s, int pos, WORD code) {
  s->pos = Clamp(s, pos);
  InvalidateRect(hwnd, nullptr, FALSE);
  Report(hwnd, s, code);
}

}  // namespace

LRESULT CALLBACK TrackbarProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* s = StateOf<TrackbarState>(hwnd);
  if (s == nullptr) return Attach<TrackbarState>(hwnd, message, wParam, lParam);
  switch (message) {
    case WM_GETDLGCODE: return DLGC_WANTARROWS;
    case TBM_GETPOS: return s->pos;
    case TBM_SETPOS:
      s->pos = Clamp(s, static_cast<int>(lParam));
      if (wParam) InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    case TBM_SETRANGE:
      s->min = static_cast<SHORT>(LOWORD(lParam));
      s->max = static_cast<SHORT>(HIWORD(lParam));
      s->pos = Clamp(s, s->pos);
      s->pageSize = std::max(1, (s->max - s->min) / 5);
      if (wParam) InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    case TBM_SETRANGEMIN: s->min = static_cast<int>(lParam); s->pos = Clamp(s, s->pos); return 0;
    case TBM_SETRANGEMAX: s->max = static_cast<int>(lParam); s->pos = Clamp(s, s->pos); return 0;
    case TBM_GETRANGEMIN: return s->min;
    case TBM_GETRANGEMAX: return s->max;
    case TBM_SETTICFREQ: s->ticFrequency = std::max(1, static_cast<int>(wParam)); return 0;
    case TBM_GETNUMTICS: {
      // The two ends, and the automatic ticks between them.
      if (GetWindowLongA(hwnd, GWL_STYLE) & TBS_NOTICKS) return 0;
      if (!(GetWindowLongA(hwnd, GWL_STYLE) & TBS_AUTOTICKS)) return 2;
      return 2 + std::max(0, (s->max - s->min - 1) / s->ticFrequency);
    }
    case TBM_SETPAGESIZE: { int old = s->pageSize; s->pageSize = static_cast<int>(lParam); return old; }
    case TBM_GETPAGESIZE: return s->pageSize;
    case TBM_SETLINESIZE: { int old = s->lineSize; s->lineSize = static_cast<int>(lParam); return old; }
    case TBM_GETLINESIZE: return s->lineSize;
    case TBM_GETTHUMBRECT: {
      auto* r = reinterpret_cast<RECT*>(lParam);
      RECT c;
      GetClientRect(hwnd, &c);
      int at = Pixel(hwnd, s, s->pos);
      *r = Vertical(hwnd) ? RECT{0, at - kThumbHalf, c.right, at + kThumbHalf + 1}
                          : RECT{at - kThumbHalf, 0, at + kThumbHalf + 1, c.bottom};
      return 0;
    }
    case WM_KEYDOWN:
      switch (wParam) {
        case VK_LEFT:
        case VK_UP: Move(hwnd, s, s->pos - s->lineSize, TB_LINEUP); break;
        case VK_RIGHT:
        case VK_DOWN: Move(hwnd, s, s->pos + s->lineSize, TB_LINEDOWN); break;
        case VK_PRIOR: Move(hwnd, s, s->pos - s->pageSize, TB_PAGEUP); break;
        case VK_NEXT: Move(hwnd, s, s->pos + s->pageSize, TB_PAGEDOWN); break;
        case VK_HOME: Move(hwnd, s, s->min, TB_TOP); break;
        case VK_END: Move(hwnd, s, s->max, TB_BOTTOM); break;
        default: break;
      }
      return 0;
    case WM_KEYUP:
      switch (wParam) {
        case VK_LEFT: case VK_UP: case VK_RIGHT: case VK_DOWN:
        case VK_PRIOR: case VK_NEXT: case VK_HOME: case VK_END: Report(hwnd, s, TB_ENDTRACK); break;
        default: break;
      }
      return 0;
    case WM_LBUTTONDOWN: {
      SetFocus(hwnd);
      SetCapture(hwnd);
      int at = Vertical(hwnd) ? GET_Y_LPARAM(lParam) : GET_X_LPARAM(lParam);
      int thumb = Pixel(hwnd, s, s->pos);
      // On the thumb a drag begins; beside it the thumb moves a page towards the click.
      if (at >= thumb - kThumbHalf && at <= thumb + kThumbHalf) {
        s->dragging = true;
      } else {
        s->paging = true;
        if (at < thumb)
          Move(hwnd, s, std::max(s->pos - s->pageSize, PositionAt(hwnd, s, at)), TB_PAGEUP);
        else
          Move(hwnd, s, std::min(s->pos + s->pageSize, PositionAt(hwnd, s, at)), TB_PAGEDOWN);
      }
      return 0;
    }
    case WM_MOUSEMOVE:
      if (s->dragging) {
        int at = Vertical(hwnd) ? GET_Y_LPARAM(lParam) : GET_X_LPARAM(lParam);
        Move(hwnd, s, PositionAt(hwnd, s, at), TB_THUMBTRACK);
      }
      return 0;
    case WM_LBUTTONUP: {
      bool dragging = s->dragging, paging = s->paging;
      s->dragging = s->paging = false;
      if (GetCapture() == hwnd) ReleaseCapture();
      if (dragging) Report(hwnd, s, TB_THUMBPOSITION);
      if (dragging || paging) Report(hwnd, s, TB_ENDTRACK);
      return 0;
    }
    case WM_CAPTURECHANGED:
      s->dragging = s->paging = false;
      return 0;
    case WM_SETFOCUS:
    case WM_KILLFOCUS: InvalidateRect(hwnd, nullptr, FALSE); return 0;
    case WM_SETFONT:
    case WM_GETFONT:
    case WM_ENABLE: return ControlLook(hwnd, message, wParam, lParam, &s->font);
    case WM_PAINT:
    case WM_PRINTCLIENT: {
      ControlPaint paint(hwnd, message, wParam);
      DrawTrackbar(paint, LookOf(hwnd, s));
      return 0;
    }
    default: return Attach<TrackbarState>(hwnd, message, wParam, lParam);
  }
}

}  // namespace plat::win32
