// The button class: push and default push buttons, check boxes, radio buttons (automatic or not),
// group boxes, and the user and owner-drawn kinds, which behave as push buttons here.
#include "platform/win32/ControlDraw.h"
#include "platform/win32/Controls.h"
#include "platform/win32/include/windowsx.h"

namespace plat::win32 {
namespace {

struct ButtonState {
  WPARAM check = BST_UNCHECKED;
  bool pushed = false;
  bool focused = false;
  HFONT font = nullptr;
};

DWORD TypeOf(HWND hwnd) { return static_cast<DWORD>(GetWindowLongA(hwnd, GWL_STYLE)) & BS_TYPEMASK; }

bool IsRadio(DWORD type) { return type == BS_RADIOBUTTON || type == BS_AUTORADIOBUTTON; }
bool IsCheck(DWORD type) {
  return type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_3STATE || type == BS_AUTO3STATE;
}

LRESULT DialogCode(DWORD type) {
  switch (type) {
    case BS_DEFPUSHBUTTON: return DLGC_BUTTON | DLGC_DEFPUSHBUTTON;
    case BS_PUSHBUTTON:
    case BS_PUSHBOX:
    case BS_USERBUTTON:
    case BS_OWNERDRAW: return DLGC_BUTTON | DLGC_UNDEFPUSHBUTTON;
    case BS_RADIOBUTTON:
    case BS_AUTORADIOBUTTON: return DLGC_BUTTON | DLGC_RADIOBUTTON;
    case BS_GROUPBOX: return DLGC_STATIC;
    default: return DLGC_BUTTON;
  }
}

void SetCheck(HWND hwnd, ButtonState* s, WPARAM check) {
  DWORD type = TypeOf(hwnd);
  if (!IsRadio(type) && !IsCheck(type)) return;
  if (type != BS_3STATE && type != BS_AUTO3STATE && check == BST_INDETERMINATE) check = BST_CHECKED;
  s->check = check & 3;
  // A checked radio button is where Tab enters its group.
  if (IsRadio(type)) {
    LONG style = GetWindowLongA(hwnd, GWL_STYLE);
    SetWindowLongA(hwnd, GWL_STYLE, s->check ? style | static_cast<LONG>(WS_TABSTOP)
                                             : style & ~static_cast<LONG>(WS_TABSTOP));
  }
}

// A click: an automatic button changes first, then the parent hears BN_CLICKED.
void Clicked(HWND hwnd, ButtonState* s) {
  switch (TypeOf(hwnd)) {
    case BS_AUTOCHECKBOX: SetCheck(hwnd, s, s->check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED); break;
    case BS_AUTO3STATE: SetCheck(hwnd, s, (s->check + 1) % 3); break;
    case BS_AUTORADIOBUTTON: {
      HWND parent = GetParent(hwnd);
      SetCheck(hwnd, s, BST_CHECKED);
      // The other automatic radio buttons of the group are cleared.
      for (HWND h = GetNextDlgGroupItem(parent, hwnd, FALSE); h != nullptr && h != hwnd;
           h = GetNextDlgGroupItem(parent, h, FALSE)) {
        if (SendMessageA(h, WM_GETDLGCODE, 0, 0) & DLGC_RADIOBUTTON) SendMessageA(h, BM_SETCHECK, BST_UNCHECKED, 0);
      }
      break;
    }
    default: break;
  }
  NotifyParent(hwnd, BN_CLICKED);
}

}  // namespace

LRESULT CALLBACK ButtonProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* s = StateOf<ButtonState>(hwnd);
  if (s == nullptr) return Attach<ButtonState>(hwnd, message, wParam, lParam);
  switch (message) {
    case WM_GETDLGCODE: return DialogCode(TypeOf(hwnd));
    case BM_GETCHECK: return static_cast<LRESULT>(s->check);
    case BM_SETCHECK:
      SetCheck(hwnd, s, wParam);
      InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    case BM_GETSTATE:
      return static_cast<LRESULT>(s->check | (s->pushed ? BST_PUSHED : 0) | (s->focused ? BST_FOCUS : 0));
    case BM_SETSTATE:
      s->pushed = wParam != 0;
      InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    case BM_SETSTYLE: {
      LONG style = GetWindowLongA(hwnd, GWL_STYLE);
      SetWindowLongA(hwnd, GWL_STYLE, (style & ~0xFFFF) | static_cast<LONG>(wParam & 0xFFFF));
      if (LOWORD(lParam)) InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    }
    case BM_CLICK:
      if (!IsWindowEnabled(hwnd)) return 0;
      SendMessageA(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, 0);
      SendMessageA(hwnd, WM_LBUTTONUP, 0, 0);
      return 0;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
      if (TypeOf(hwnd) == BS_GROUPBOX) return 0;
      SetFocus(hwnd);
      SetCapture(hwnd);
      s->pushed = true;
      InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    case WM_LBUTTONUP: {
      if (!s->pushed) return 0;
      s->pushed = false;
      if (GetCapture() == hwnd) ReleaseCapture();
      RECT r;
      GetClientRect(hwnd, &r);
      POINT pt{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
      InvalidateRect(hwnd, nullptr, FALSE);
      if (PtInRect(&r, pt)) Clicked(hwnd, s);
      return 0;
    }
    case WM_CAPTURECHANGED:
      s->pushed = false;
      return 0;
    case WM_KEYDOWN:
      if (wParam == VK_SPACE && TypeOf(hwnd) != BS_GROUPBOX) s->pushed = true;
      return 0;
    case WM_KEYUP:
      if (wParam == VK_SPACE && s->pushed) {
        s->pushed = false;
        Clicked(hwnd, s);
      }
      return 0;
    case WM_SETFOCUS:
      s->focused = true;
      InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    case WM_KILLFOCUS:
      s->focused = false;
      s->pushed = false;
      InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    case WM_NCHITTEST:
      // A group box lets the mouse through to what it frames.
      if (TypeOf(hwnd) == BS_GROUPBOX) return HTTRANSPARENT;
      return DefWindowProcA(hwnd, message, wParam, lParam);
    case WM_SETTEXT:
      InvalidateRect(hwnd, nullptr, FALSE);
      return DefWindowProcA(hwnd, message, wParam, lParam);
    case WM_SETFONT:
    case WM_GETFONT:
    case WM_ENABLE: return ControlLook(hwnd, message, wParam, lParam, &s->font);
    case WM_PAINT:
    case WM_PRINTCLIENT: {
      ControlPaint paint(hwnd, message, wParam);
      DrawButton(paint, ButtonLook{s->check, s->pushed, s->focused});
      return 0;
    }
    default: return Attach<ButtonState>(hwnd, message, wParam, lParam);
  }
}

}  // namespace plat::win32

BOOL CheckDlgButton(HWND hDlg, int nIDButton, UINT uCheck) {
  HWND button = GetDlgItem(hDlg, nIDButton);
  if (button == nullptr) return FALSE;
  SendMessageA(button, BM_SETCHECK, uCheck, 0);
  return TRUE;
}

UINT IsDlgButtonChecked(HWND hDlg, int nIDButton) {
  HWND button = GetDlgItem(hDlg, nIDButton);
  return button == nullptr ? 0 : static_cast<UINT>(SendMessageA(button, BM_GETCHECK, 0, 0));
}

BOOL CheckRadioButton(HWND hDlg, int nIDFirstButton, int nIDLastButton, int nIDCheckButton) {
  bool found = false;
  for (int id = nIDFirstButton; id <= nIDLastButton; ++id) {
    HWND button = GetDlgItem(hDlg, id);
    if (button == nullptr) continue;
    found = true;
    SendMessageA(button, BM_SETCHECK, id == nIDCheckButton ? BST_CHECKED : BST_UNCHECKED, 0);
  }
  return found ? TRUE : FALSE;
}
