// The combo box class as a drop-down list: its strings (sorted under CBS_SORT), the selection set by
// code without notification, and a person's choice by keys or by mouse, which sends CBN_SELCHANGE.
// The window is only its selection field; the rest of the height it was made with is its list's,
// which drops as a pop-up window of the class "ComboLBox" holding the mouse until it closes.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/ControlDraw.h"
#include "platform/win32/Controls.h"
#include "platform/win32/include/windowsx.h"

namespace plat::win32 {
namespace {

struct Item {
  std::string text;
  LPARAM data = 0;
};

// The selection field's height, and a row of the list, in the dialog font.
constexpr int kFieldHeight = 21;
constexpr int kRowHeight = 13;

struct ComboState {
  std::vector<Item> items;
  int selection = -1;
  bool dropped = false;
  int listHeight = 0;  // what the window was made or sized with beyond its field
  HWND list = nullptr;
  int top = 0;  // the first string the list shows
  HFONT font = nullptr;
};

// The list's own record: the combo it belongs to.
struct ListState {
  HWND combo = nullptr;
};

bool Sorted(HWND hwnd) { return (GetWindowLongA(hwnd, GWL_STYLE) & CBS_SORT) != 0; }

bool LessNoCase(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) < std::tolower(static_cast<unsigned char>(y));
  });
}

bool StartsWithNoCase(const std::string& s, const std::string& prefix, bool whole) {
  if (s.size() < prefix.size() || (whole && s.size() != prefix.size())) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(s[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
      return false;
  return true;
}

// The selection's text is the control's text.
void Select(HWND hwnd, ComboState* s, int index) {
  s->selection = index;
  std::string text = index >= 0 ? s->items[static_cast<size_t>(index)].text : std::string();
  DefWindowProcA(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
  InvalidateRect(hwnd, nullptr, FALSE);
}

LRESULT Insert(HWND hwnd, ComboState* s, INT_PTR at, LPCSTR text) {
  if (text == nullptr) return CB_ERR;
  auto count = static_cast<INT_PTR>(s->items.size());
  if (at < -1 || at > count) return CB_ERR;
  size_t index = at == -1 ? s->items.size() : static_cast<size_t>(at);
  s->items.insert(s->items.begin() + static_cast<ptrdiff_t>(index), Item{text, 0});
  if (s->selection >= static_cast<int>(index)) ++s->selection;
  (void)hwnd;
  return static_cast<LRESULT>(index);
}

LRESULT Find(const ComboState* s, INT_PTR after, LPCSTR text, bool whole) {
  if (text == nullptr || s->items.empty()) return CB_ERR;
  size_t n = s->items.size();
  size_t first = after < 0 || static_cast<size_t>(after) >= n ? 0 : static_cast<size_t>(after) + 1;
  for (size_t k = 0; k < n; ++k) {
    size_t i = (first + k) % n;
    if (StartsWithNoCase(s->items[i].text, text, whole)) return static_cast<LRESULT>(i);
  }
  return CB_ERR;
}

// A person's choice: the selection moves, and the parent hears it.
void Choose(HWND hwnd, ComboState* s, int index) {
  if (s->items.empty()) return;
  index = std::clamp(index, 0, static_cast<int>(s->items.size()) - 1);
  if (index == s->selection) return;
  Select(hwnd, s, index);
  NotifyParent(hwnd, CBN_SELCHANGE);
}

// The list shows as many rows as the combo's list height holds, never more than it has strings,
// with the selection in view.
void OpenList(HWND hwnd, ComboState* s) {
  int rows = std::clamp(s->listHeight / kRowHeight, 1, std::max(1, static_cast<int>(s->items.size())));
  s->top = std::max(0, s->selection - rows + 1);
  std::string text;
  for (const Item& item : s->items) text += (text.empty() ? "" : "\n") + item.text;
  RECT r;
  GetWindowRect(hwnd, &r);
  s->list = CreateWindowExA(WS_EX_TOOLWINDOW | WS_EX_TOPMOST, "ComboLBox", text.c_str(), WS_POPUP | WS_BORDER, r.left,
                            r.bottom, r.right - r.left, rows * kRowHeight + 2, hwnd, nullptr,
                            reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(hwnd, GWLP_HINSTANCE)), hwnd);
  if (s->list == nullptr) return;
  ShowWindow(s->list, SW_SHOWNA);
  SetCapture(s->list);
}

void CloseList(ComboState* s) {
  HWND list = s->list;
  s->list = nullptr;
  if (list == nullptr) return;
  if (GetCapture() == list) ReleaseCapture();
  DestroyWindow(list);
}

void Drop(HWND hwnd, ComboState* s, bool drop, bool accepted) {
  if (s->dropped == drop) return;
  if (drop) {
    NotifyParent(hwnd, CBN_DROPDOWN);
    s->dropped = true;
    OpenList(hwnd, s);
  } else {
    s->dropped = false;
    CloseList(s);
    NotifyParent(hwnd, CBN_CLOSEUP);
    NotifyParent(hwnd, accepted ? CBN_SELENDOK : CBN_SELENDCANCEL);
  }
  InvalidateRect(hwnd, nullptr, FALSE);
}

// The string under a point of the list's client area, or -1.
int RowAt(HWND list, const ComboState* s, LPARAM lParam) {
  POINT pt{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
  RECT client;
  GetClientRect(list, &client);
  if (!PtInRect(&client, pt)) return -1;
  int row = s->top + pt.y / kRowHeight;
  return row < static_cast<int>(s->items.size()) ? row : -1;
}

}  // namespace

LRESULT CALLBACK ComboBoxProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* s = StateOf<ComboState>(hwnd);
  if (s == nullptr) return Attach<ComboState>(hwnd, message, wParam, lParam);
  switch (message) {
    case WM_GETDLGCODE: {
      LRESULT code = DLGC_WANTCHARS | DLGC_WANTARROWS;
      // An open list takes Enter and Esc for itself.
      if (s->dropped) code |= DLGC_WANTMESSAGE;
      return code;
    }
    case CB_ADDSTRING: {
      auto text = reinterpret_cast<LPCSTR>(lParam);
      if (text == nullptr) return CB_ERR;
      INT_PTR at = -1;
      if (Sorted(hwnd)) {
        auto it = std::upper_bound(s->items.begin(), s->items.end(), std::string(text),
                                   [](const std::string& v, const Item& i) { return LessNoCase(v, i.text); });
        at = it - s->items.begin();
      }
      return Insert(hwnd, s, at, text);
    }
    case CB_INSERTSTRING: return Insert(hwnd, s, static_cast<INT_PTR>(wParam), reinterpret_cast<LPCSTR>(lParam));
    case CB_DELETESTRING: {
      if (wParam >= s->items.size()) return CB_ERR;
      s->items.erase(s->items.begin() + static_cast<ptrdiff_t>(wParam));
      if (s->selection == static_cast<int>(wParam))
        Select(hwnd, s, -1);
      else if (s->selection > static_cast<int>(wParam))
        --s->selection;
      return static_cast<LRESULT>(s->items.size());
    }
    case CB_RESETCONTENT:
      s->items.clear();
      Select(hwnd, s, -1);
      return CB_OKAY;
    case CB_GETCOUNT: return static_cast<LRESULT>(s->items.size());
    case CB_GETCURSEL: return s->selection;
    case CB_SETCURSEL: {
      auto index = static_cast<INT_PTR>(wParam);
      if (index < 0 || index >= static_cast<INT_PTR>(s->items.size())) {
        Select(hwnd, s, -1);
        return CB_ERR;
      }
      Select(hwnd, s, static_cast<int>(index));
      return index;
    }
    case CB_GETLBTEXT: {
      if (wParam >= s->items.size() || lParam == 0) return CB_ERR;
      const std::string& text = s->items[wParam].text;
      std::memcpy(reinterpret_cast<char*>(lParam), text.c_str(), text.size() + 1);
      return static_cast<LRESULT>(text.size());
    }
    case CB_GETLBTEXTLEN:
      return wParam < s->items.size() ? static_cast<LRESULT>(s->items[wParam].text.size()) : CB_ERR;
    case CB_GETITEMDATA: return wParam < s->items.size() ? s->items[wParam].data : CB_ERR;
    case CB_SETITEMDATA:
      if (wParam >= s->items.size()) return CB_ERR;
      s->items[wParam].data = lParam;
      return CB_OKAY;
    case CB_FINDSTRING: return Find(s, static_cast<INT_PTR>(wParam), reinterpret_cast<LPCSTR>(lParam), false);
    case CB_FINDSTRINGEXACT: return Find(s, static_cast<INT_PTR>(wParam), reinterpret_cast<LPCSTR>(lParam), true);
    case CB_SELECTSTRING: {
      LRESULT found = Find(s, static_cast<INT_PTR>(wParam), reinterpret_cast<LPCSTR>(lParam), false);
      if (found != CB_ERR) Select(hwnd, s, static_cast<int>(found));
      return found;
    }
    case CB_SHOWDROPDOWN: Drop(hwnd, s, wParam != 0, true); return TRUE;
    case CB_GETDROPPEDSTATE: return s->dropped ? TRUE : FALSE;
    case WM_CREATE: {
      // Made with the height of field and list together: the window keeps the field's.
      auto* cs = reinterpret_cast<const CREATESTRUCTA*>(lParam);
      s->listHeight = std::max(0, cs->cy - kFieldHeight);
      SetWindowPos(hwnd, nullptr, 0, 0, cs->cx, kFieldHeight, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }
    case WM_WINDOWPOSCHANGING: {
      auto* wp = reinterpret_cast<WINDOWPOS*>(lParam);
      if (!(wp->flags & SWP_NOSIZE) && wp->cy != kFieldHeight) {
        s->listHeight = std::max(0, wp->cy - kFieldHeight);
        wp->cy = kFieldHeight;
      }
      return 0;
    }
    case CB_GETITEMHEIGHT: return static_cast<INT_PTR>(wParam) == -1 ? kFieldHeight - 6 : kRowHeight;
    case CB_GETDROPPEDCONTROLRECT: {
      auto* r = reinterpret_cast<RECT*>(lParam);
      if (r == nullptr) return CB_ERR;
      GetWindowRect(hwnd, r);
      r->bottom += s->listHeight;
      return CB_OKAY;
    }
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
      SetFocus(hwnd);
      Drop(hwnd, s, !s->dropped, true);
      return 0;
    case WM_DESTROY: CloseList(s); return 0;
    case WM_KEYDOWN: {
      int last = static_cast<int>(s->items.size()) - 1;
      switch (wParam) {
        case VK_UP:
        case VK_LEFT: Choose(hwnd, s, s->selection < 0 ? 0 : s->selection - 1); break;
        case VK_DOWN:
        case VK_RIGHT: Choose(hwnd, s, s->selection + 1); break;
        case VK_HOME: Choose(hwnd, s, 0); break;
        case VK_END: Choose(hwnd, s, last); break;
        case VK_F4: Drop(hwnd, s, !s->dropped, true); break;
        case VK_RETURN: Drop(hwnd, s, false, true); break;
        case VK_ESCAPE: Drop(hwnd, s, false, false); break;
        default: break;
      }
      return 0;
    }
    case WM_CHAR: {
      // A letter chooses the next string that starts with it.
      char typed[2] = {static_cast<char>(wParam), 0};
      if (static_cast<unsigned char>(typed[0]) < 0x20) return 0;
      LRESULT found = Find(s, s->selection, typed, false);
      if (found != CB_ERR) Choose(hwnd, s, static_cast<int>(found));
      return 0;
    }
    case WM_SETFOCUS:
      InvalidateRect(hwnd, nullptr, FALSE);
      NotifyParent(hwnd, CBN_SETFOCUS);
      return 0;
    case WM_KILLFOCUS:
      Drop(hwnd, s, false, false);
      InvalidateRect(hwnd, nullptr, FALSE);
      NotifyParent(hwnd, CBN_KILLFOCUS);
      return 0;
    case WM_SETFONT:
    case WM_GETFONT:
    case WM_ENABLE: return ControlLook(hwnd, message, wParam, lParam, &s->font);
    case WM_PAINT:
    case WM_PRINTCLIENT: {
      ControlPaint paint(hwnd, message, wParam);
      DrawComboBox(paint, ComboBoxLook{s->dropped});
      return 0;
    }
    // The list's colours are the parent's to answer.
    case WM_CTLCOLORLISTBOX: return SendMessageA(GetParent(hwnd), message, wParam, lParam);
    default: return Attach<ComboState>(hwnd, message, wParam, lParam);
  }
}

// The dropped list holds the mouse: a button pressed outside it closes it unchanged; one released
// on a string chooses that string and closes it. Its text, one string a line, shows it in the dump.
LRESULT CALLBACK ComboListProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* l = StateOf<ListState>(hwnd);
  if (l == nullptr) return Attach<ListState>(hwnd, message, wParam, lParam);
  auto* s = StateOf<ComboState>(l->combo);
  switch (message) {
    case WM_CREATE:
      l->combo = static_cast<HWND>(reinterpret_cast<const CREATESTRUCTA*>(lParam)->lpCreateParams);
      return 0;
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
      if (s != nullptr && RowAt(hwnd, s, lParam) < 0 && s->list == hwnd) Drop(l->combo, s, false, false);
      return 0;
    case WM_LBUTTONUP: {
      if (s == nullptr || s->list != hwnd) return 0;
      int row = RowAt(hwnd, s, lParam);
      if (row < 0) return 0;
      HWND combo = l->combo;
      Drop(combo, s, false, true);
      Choose(combo, s, row);
      return 0;
    }
    case WM_GETFONT: return s != nullptr ? reinterpret_cast<LRESULT>(s->font) : 0;
    case WM_PAINT:
    case WM_PRINTCLIENT: {
      ControlPaint paint(hwnd, message, wParam);
      ComboListLook look{{}, s != nullptr ? s->top : 0, s != nullptr ? s->selection : -1, kRowHeight};
      if (s != nullptr)
        for (const Item& item : s->items) look.strings.push_back(item.text);
      DrawComboList(paint, look);
      return 0;
    }
    case WM_CAPTURECHANGED:
      // Another window took the mouse: the list closes as if dismissed.
      if (s != nullptr && s->list == hwnd && reinterpret_cast<HWND>(lParam) != hwnd) Drop(l->combo, s, false, false);
      return 0;
    default: return Attach<ListState>(hwnd, message, wParam, lParam);
  }
}

}  // namespace plat::win32
