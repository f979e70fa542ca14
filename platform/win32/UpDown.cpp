// The up-down control: a range (an inverted one makes "up" lower the position), a position set by
// code without notification, a buddy (the previous sibling under UDS_AUTOBUDDY) whose number it reads
// before a step and writes after it under UDS_SETBUDDYINT, and steps by click or arrow key, each
// asked of the parent with UDN_DELTAPOS and reported with WM_VSCROLL (WM_HSCROLL under UDS_HORZ).
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>

#include "platform/win32/ControlDraw.h"
#include "platform/win32/Controls.h"
#include "platform/win32/KernelBridge.h"
#include "platform/win32/include/windowsx.h"

namespace plat::win32 {
namespace {

struct UpDownState {
  int lower = 100;  // the position at the "down" end
  int upper = 0;    // the position at the "up" end
  int pos = 0;
  HWND buddy = nullptr;
  int base = 10;
  HFONT font = nullptr;
  int held = 0;  // the button the mouse holds in: 1 "up", -1 "down"
};

// The buddies whose arrow keys an up-down takes (UDS_ARROWKEYS): the buddy's own procedure and
// its up-down, by machine and buddy.
std::map<std::pair<uint64_t, HWND>, std::pair<WNDPROC, HWND>>& Buddies() {
  static std::map<std::pair<uint64_t, HWND>, std::pair<WNDPROC, HWND>> buddies;
  return buddies;
}

DWORD StyleOf(HWND hwnd) { return static_cast<DWORD>(GetWindowLongA(hwnd, GWL_STYLE)); }

int Clamp(const UpDownState* s, int pos) {
  return std::clamp(pos, std::min(s->lower, s->upper), std::max(s->lower, s->upper));
}

// The buddy's number; false when its text is none.
bool ReadBuddy(const UpDownState* s, int* value) {
  if (s->buddy == nullptr || !IsWindow(s->buddy)) return false;
  std::string text = TextOf(s->buddy);
  std::string digits;
  for (char c : text)
    if (c != ',') digits += c;
  if (digits.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(digits.c_str(), &end, s->base);
  if (end == digits.c_str() || *end != '\0' || errno != 0) return false;
  *value = static_cast<int>(v);
  return true;
}

void WriteBuddy(HWND hwnd, const UpDownState* s) {
  if (!(StyleOf(hwnd) & UDS_SETBUDDYINT) || s->buddy == nullptr || !IsWindow(s->buddy)) return;
  char text[16];
  if (s->base == 16)
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(s->pos));
  else
    std::snprintf(text, sizeof text, "%d", s->pos);
  SetWindowTextA(s->buddy, text);
}

// Under UDS_SETBUDDYINT the position is what the buddy says, when it says a number.
void SyncFromBuddy(HWND hwnd, UpDownState* s) {
  int value = 0;
  if ((StyleOf(hwnd) & UDS_SETBUDDYINT) && ReadBuddy(s, &value)) s->pos = Clamp(s, value);
}

void Step(HWND hwnd, bool up) {
  auto* s = StateOf<UpDownState>(hwnd);
  SyncFromBuddy(hwnd, s);
  NMUPDOWN nm{};
  nm.iPos = s->pos;
  nm.iDelta = (up ? 1 : -1) * (s->upper < s->lower ? -1 : 1);
  if (NotifyParent(hwnd, UDN_DELTAPOS, &nm.hdr) != 0) return;
  s = StateOf<UpDownState>(hwnd);
  if (s == nullptr) return;
  // The handler may have set the position itself; the delta, perhaps changed, goes on top of it.
  int target = s->pos + nm.iDelta;
  int low = std::min(s->lower, s->upper), high = std::max(s->lower, s->upper);
  if ((StyleOf(hwnd) & UDS_WRAP) && (target < low || target > high))
    target = target < low ? high : low;
  s->pos = std::clamp(target, low, high);
  WriteBuddy(hwnd, s);
  UINT scroll = (StyleOf(hwnd) & UDS_HORZ) ? WM_HSCROLL : WM_VSCROLL;
  SendMessageA(GetParent(hwnd), scroll, MAKEWPARAM(SB_THUMBPOSITION, static_cast<WORD>(s->pos)),
               reinterpret_cast<LPARAM>(hwnd));
}

LRESULT CALLBACK BuddyProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto it = Buddies().find({MachineSerial(), hwnd});
  if (it == Buddies().end()) return DefWindowProcA(hwnd, message, wParam, lParam);
  auto [proc, updown] = it->second;
  if (message == WM_KEYDOWN && (wParam == VK_UP || wParam == VK_DOWN) && IsWindowEnabled(updown)) {
    Step(updown, wParam == VK_UP);
    return 0;
  }
  if (message == WM_NCDESTROY) Buddies().erase(it);
  return CallWindowProcA(proc, hwnd, message, wParam, lParam);
}

void Release(HWND buddy) {
  auto it = Buddies().find({MachineSerial(), buddy});
  if (it == Buddies().end()) return;
  if (IsWindow(buddy)) SetWindowLongPtrA(buddy, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(it->second.first));
  Buddies().erase(it);
}

// Takes a buddy: places itself at the buddy's side under UDS_ALIGNRIGHT or UDS_ALIGNLEFT, the buddy
// giving up the room, and takes its arrow keys under UDS_ARROWKEYS.
HWND SetBuddy(HWND hwnd, UpDownState* s, HWND buddy) {
  HWND old = s->buddy;
  if (old != nullptr) Release(old);
  s->buddy = buddy;
  if (buddy == nullptr || !IsWindow(buddy)) return old;
  DWORD style = StyleOf(hwnd);
  if (style & (UDS_ALIGNRIGHT | UDS_ALIGNLEFT)) {
    RECT b, me;
    GetWindowRect(buddy, &b);
    GetWindowRect(hwnd, &me);
    HWND parent = GetParent(hwnd);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&b), 2);
    LONG width = me.right - me.left, height = b.bottom - b.top;
    if (style & UDS_ALIGNRIGHT) {
      SetWindowPos(buddy, nullptr, b.left, b.top, b.right - b.left - width, height, SWP_NOZORDER | SWP_NOACTIVATE);
      SetWindowPos(hwnd, nullptr, b.right - width, b.top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    } else {
      SetWindowPos(buddy, nullptr, b.left + width, b.top, b.right - b.left - width, height,
                   SWP_NOZORDER | SWP_NOACTIVATE);
      SetWindowPos(hwnd, nullptr, b.left, b.top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    }
  }
  if (style & UDS_ARROWKEYS) {
    auto proc = reinterpret_cast<WNDPROC>(GetWindowLongPtrA(buddy, GWLP_WNDPROC));
    Buddies()[{MachineSerial(), buddy}] = {proc, hwnd};
    SetWindowLongPtrA(buddy, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&BuddyProc));
  }
  return old;
}

}  // namespace

LRESULT CALLBACK UpDownProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* s = StateOf<UpDownState>(hwnd);
  if (s == nullptr) return Attach<UpDownState>(hwnd, message, wParam, lParam);
  switch (message) {
    case WM_CREATE:
      if (StyleOf(hwnd) & UDS_AUTOBUDDY) SetBuddy(hwnd, s, GetWindow(hwnd, GW_HWNDPREV));
      return 0;
    case WM_GETDLGCODE: return DLGC_WANTARROWS;
    case UDM_SETRANGE:
      s->upper = static_cast<SHORT>(LOWORD(lParam));
      s->lower = static_cast<SHORT>(HIWORD(lParam));
      s->pos = Clamp(s, s->pos);
      return 0;
    case UDM_GETRANGE: return MAKELONG(static_cast<WORD>(s->upper), static_cast<WORD>(s->lower));
    case UDM_SETRANGE32:
      s->lower = static_cast<int>(wParam);
      s->upper = static_cast<int>(lParam);
      s->pos = Clamp(s, s->pos);
      return 0;
    case UDM_GETRANGE32:
      if (wParam != 0) *reinterpret_cast<int*>(wParam) = s->lower;
      if (lParam != 0) *reinterpret_cast<int*>(lParam) = s->upper;
      return 0;
    case UDM_SETPOS:
    case UDM_SETPOS32: {
      int old = s->pos;
      s->pos = Clamp(s, message == UDM_SETPOS ? static_cast<SHORT>(LOWORD(lParam)) : static_cast<int>(lParam));
      WriteBuddy(hwnd, s);
      return old;
    }
    case UDM_GETPOS: {
      // Under UDS_SETBUDDYINT the buddy's text is read; a high word of 1 says it held no number.
      if (StyleOf(hwnd) & UDS_SETBUDDYINT) {
        int value = 0;
        if (!ReadBuddy(s, &value)) return MAKELONG(static_cast<WORD>(s->pos), 1);
        s->pos = Clamp(s, value);
      }
      return MAKELONG(static_cast<WORD>(s->pos), 0);
    }
    case UDM_GETPOS32: {
      bool ok = true;
      if (StyleOf(hwnd) & UDS_SETBUDDYINT) {
        int value = 0;
        ok = ReadBuddy(s, &value);
        if (ok) s->pos = Clamp(s, value);
      }
      if (lParam != 0) *reinterpret_cast<BOOL*>(lParam) = ok ? FALSE : TRUE;
      return s->pos;
    }
    case UDM_SETBUDDY: return reinterpret_cast<LRESULT>(SetBuddy(hwnd, s, reinterpret_cast<HWND>(wParam)));
    case UDM_GETBUDDY: return reinterpret_cast<LRESULT>(s->buddy);
    case UDM_SETBASE: {
      if (wParam != 10 && wParam != 16) return 0;
      int old = s->base;
      s->base = static_cast<int>(wParam);
      return old;
    }
    case UDM_GETBASE: return s->base;
    case WM_LBUTTONDOWN: {
      // The upper half steps up, the lower half down (left and right under UDS_HORZ).
      RECT r;
      GetClientRect(hwnd, &r);
      bool up = (StyleOf(hwnd) & UDS_HORZ) ? GET_X_LPARAM(lParam) >= r.right / 2 : GET_Y_LPARAM(lParam) < r.bottom / 2;
      SetCapture(hwnd);
      s->held = up ? 1 : -1;
      InvalidateRect(hwnd, nullptr, FALSE);
      Step(hwnd, up);
      return 0;
    }
    case WM_CAPTURECHANGED:
      s->held = 0;
      InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    case WM_LBUTTONUP:
      if (GetCapture() == hwnd) {
        ReleaseCapture();
        UINT scroll = (StyleOf(hwnd) & UDS_HORZ) ? WM_HSCROLL : WM_VSCROLL;
        SendMessageA(GetParent(hwnd), scroll, MAKEWPARAM(SB_ENDSCROLL, static_cast<WORD>(s->pos)),
                     reinterpret_cast<LPARAM>(hwnd));
      }
      return 0;
    case WM_KEYDOWN:
      if ((StyleOf(hwnd) & UDS_ARROWKEYS) && (wParam == VK_UP || wParam == VK_DOWN)) Step(hwnd, wParam == VK_UP);
      return 0;
    case WM_DESTROY:
      if (s->buddy != nullptr) Release(s->buddy);
      return 0;
    case WM_SETFONT:
    case WM_GETFONT:
    case WM_ENABLE: return ControlLook(hwnd, message, wParam, lParam, &s->font);
    case WM_PAINT:
    case WM_PRINTCLIENT: {
      ControlPaint paint(hwnd, message, wParam);
      DrawUpDown(paint, s->held);
      return 0;
    }
    default: return Attach<UpDownState>(hwnd, message, wParam, lParam);
  }
}

}  // namespace plat::win32
