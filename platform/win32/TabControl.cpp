// The tab control: a row of tabs, each its text and parameter; TCM_SETCURSEL notifies nobody, while
// a click or arrow key asks the parent with TCN_SELCHANGING (nonzero keeps the tab) and tells it
// with TCN_SELCHANGE.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/Controls.h"
#include "platform/win32/TabDraw.h"
#include "platform/win32/include/windowsx.h"

namespace plat::win32 {
namespace {

constexpr int kRowHeight = 20;
constexpr int kCharWidth = 6;
constexpr int kPadding = 12;
constexpr int kBorder = 4;

struct Tab {
  std::string text;
  LPARAM param = 0;
};

struct TabState {
  std::vector<Tab> tabs;
  int selection = -1;
  HFONT font = nullptr;  // WM_SETFONT's; the caller keeps it alive
};

RECT TabRect(const TabState* s, size_t index) {
  int x = 0;
  for (size_t i = 0;; ++i) {
    int width = static_cast<int>(s->tabs[i].text.size()) * kCharWidth + kPadding;
    if (i == index) return RECT{x, 0, x + width, kRowHeight};
    x += width;
  }
}

void Choose(HWND hwnd, TabState* s, int index) {
  if (index < 0 || index >= static_cast<int>(s->tabs.size()) || index == s->selection) return;
  NMHDR nm{};
  if (NotifyParent(hwnd, TCN_SELCHANGING, &nm) != 0) return;
  s = StateOf<TabState>(hwnd);
  if (s == nullptr) return;
  s->selection = index;
  InvalidateRect(hwnd, nullptr, FALSE);
  NotifyParent(hwnd, TCN_SELCHANGE, &nm);
}

void Fill(const Tab& tab, TCITEMA* item) {
  if ((item->mask & TCIF_TEXT) && item->pszText != nullptr && item->cchTextMax > 0) {
    size_t n = std::min(tab.text.size(), static_cast<size_t>(item->cchTextMax - 1));
    std::memcpy(item->pszText, tab.text.data(), n);
    item->pszText[n] = 0;
  }
  if (item->mask & TCIF_PARAM) item->lParam = tab.param;
}

}  // namespace

LRESULT CALLBACK TabControlProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* s = StateOf<TabState>(hwnd);
  if (s == nullptr) return Attach<TabState>(hwnd, message, wParam, lParam);
  switch (message) {
    case WM_GETDLGCODE: return DLGC_WANTARROWS | DLGC_WANTCHARS;
    case TCM_INSERTITEMA: {
      auto* item = reinterpret_cast<const TCITEMA*>(lParam);
      if (item == nullptr) return -1;
      size_t at = std::min(static_cast<size_t>(wParam), s->tabs.size());
      Tab tab;
      if ((item->mask & TCIF_TEXT) && item->pszText != nullptr) tab.text = item->pszText;
      if (item->mask & TCIF_PARAM) tab.param = item->lParam;
      s->tabs.insert(s->tabs.begin() + static_cast<ptrdiff_t>(at), std::move(tab));
      if (s->selection < 0) s->selection = 0;
      else if (s->selection >= static_cast<int>(at) && s->tabs.size() > 1) ++s->selection;
      InvalidateRect(hwnd, nullptr, FALSE);
      return static_cast<LRESULT>(at);
    }
    case TCM_SETITEMA: {
      auto* item = reinterpret_cast<const TCITEMA*>(lParam);
      if (item == nullptr || wParam >= s->tabs.size()) return FALSE;
      if ((item->mask & TCIF_TEXT) && item->pszText != nullptr) s->tabs[wParam].text = item->pszText;
      if (item->mask & TCIF_PARAM) s->tabs[wParam].param = item->lParam;
      return TRUE;
    }
    case TCM_GETITEMA:
      if (wParam >= s->tabs.size() || lParam == 0) return FALSE;
      Fill(s->tabs[wParam], reinterpret_cast<TCITEMA*>(lParam));
      return TRUE;
    case TCM_DELETEITEM:
      if (wParam >= s->tabs.size()) return FALSE;
      s->tabs.erase(s->tabs.begin() + static_cast<ptrdiff_t>(wParam));
      if (s->selection >= static_cast<int>(s->tabs.size())) s->selection = static_cast<int>(s->tabs.size()) - 1;
      return TRUE;
    case TCM_DELETEALLITEMS:
      s->tabs.clear();
      s->selection = -1;
      return TRUE;
    case TCM_GETITEMCOUNT: return static_cast<LRESULT>(s->tabs.size());
    case TCM_GETCURSEL: return s->selection;
    case TCM_SETCURSEL: {
      auto index = static_cast<INT_PTR>(wParam);
      if (index < 0 || index >= static_cast<INT_PTR>(s->tabs.size())) return -1;
      int old = s->selection;
      s->selection = static_cast<int>(index);
      InvalidateRect(hwnd, nullptr, FALSE);
      return old;
    }
    case TCM_GETITEMRECT:
      if (wParam >= s->tabs.size() || lParam == 0) return FALSE;
      *reinterpret_cast<RECT*>(lParam) = TabRect(s, wParam);
      return TRUE;
    case TCM_ADJUSTRECT: {
      // The display area under the row of tabs, from the window's rectangle, or back.
      auto* r = reinterpret_cast<RECT*>(lParam);
      if (r == nullptr) return 0;
      int sign = wParam ? -1 : 1;
      r->left += sign * kBorder;
      r->right -= sign * kBorder;
      r->top += sign * (kRowHeight + kBorder);
      r->bottom -= sign * kBorder;
      return 0;
    }
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK: {
      POINT pt{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
      for (size_t i = 0; i < s->tabs.size(); ++i) {
        RECT r = TabRect(s, i);
        if (PtInRect(&r, pt)) {
          Choose(hwnd, s, static_cast<int>(i));
          break;
        }
      }
      return 0;
    }
    case WM_PAINT: {
      std::vector<TabLook> looks;
      for (size_t i = 0; i < s->tabs.size(); ++i) looks.push_back(TabLook{s->tabs[i].text, TabRect(s, i)});
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      DrawTabControl(hwnd, dc, looks, s->selection, kRowHeight);
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_SETFONT:
      s->font = reinterpret_cast<HFONT>(wParam);
      if (LOWORD(lParam) != 0) InvalidateRect(hwnd, nullptr, TRUE);
      return 0;
    case WM_GETFONT: return reinterpret_cast<LRESULT>(s->font);
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
      InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    case WM_KEYDOWN:
      if (wParam == VK_LEFT) Choose(hwnd, s, s->selection - 1);
      if (wParam == VK_RIGHT) Choose(hwnd, s, s->selection + 1);
      return 0;
    default: return Attach<TabState>(hwnd, message, wParam, lParam);
  }
}

}  // namespace plat::win32
