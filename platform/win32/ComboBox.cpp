// The combo box class as a drop-down list: its strings (sorted under CBS_SORT), the selection set by
// code without notification, and a person's choice by keys, which sends CBN_SELCHANGE.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/ControlDraw.h"
#include "platform/win32/Controls.h"

namespace plat::win32 {
namespace {

struct Item {
  std::string text;
  LPARAM data = 0;
};

struct ComboState {
  std::vector<Item> items;
  int selection = -1;
  bool dropped = false;
  HFONT font = nullptr;
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

void Drop(HWND hwnd, ComboState* s, bool drop, bool accepted) {
  if (s->dropped == drop) return;
  if (drop) {
    NotifyParent(hwnd, CBN_DROPDOWN);
    s->dropped = true;
  } else {
    s->dropped = false;
    NotifyParent(hwnd, CBN_CLOSEUP);
    NotifyParent(hwnd, accepted ? CBN_SELENDOK : CBN_SELENDCANCEL);
  }
  InvalidateRect(hwnd, nullptr, FALSE);
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
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
      SetFocus(hwnd);
      Drop(hwnd, s, !s->dropped, true);
      return 0;
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
      s->font = reinterpret_cast<HFONT>(wParam);
      if (LOWORD(lParam)) InvalidateRect(hwnd, nullptr, TRUE);
      return 0;
    case WM_GETFONT: return reinterpret_cast<LRESULT>(s->font);
    case WM_ENABLE: InvalidateRect(hwnd, nullptr, FALSE); return 0;
    case WM_PAINT:
    case WM_PRINTCLIENT: {
      ControlPaint paint(hwnd, message, wParam);
      DrawComboBox(paint, ComboBoxLook{s->dropped});
      return 0;
    }
    default: return Attach<ComboState>(hwnd, message, wParam, lParam);
  }
}

}  // namespace plat::win32
