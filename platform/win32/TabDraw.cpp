#include "platform/win32/TabDraw.h"

namespace plat::win32 {
namespace {

// How far the selected tab stands out beside and above the others.
constexpr int kSelectedRise = 2;
constexpr int kFocusInset = 3;

void DrawTab(HDC dc, const TabLook& tab, RECT r, bool selected, bool enabled, bool focused) {
  FillRect(dc, &r, GetSysColorBrush(COLOR_3DFACE));
  RECT edge = r;
  DrawEdge(dc, &edge, EDGE_RAISED, BF_LEFT | BF_TOP | BF_RIGHT);
  RECT text{r.left + 2, r.top + 2, r.right - 2, r.bottom};
  if (selected) text.bottom -= kSelectedRise;
  SetTextColor(dc, GetSysColor(enabled ? COLOR_BTNTEXT : COLOR_GRAYTEXT));
  DrawTextA(dc, tab.text.c_str(), -1, &text, DT_SINGLELINE | DT_CENTER | DT_VCENTER);
  if (focused) {
    RECT focus = r;
    InflateRect(&focus, -kFocusInset, -kFocusInset);
    DrawFocusRect(dc, &focus);
  }
}

}  // namespace

void DrawTabControl(HWND hwnd, HDC dc, const std::vector<TabLook>& tabs, int selection, int rowHeight) {
  RECT client;
  GetClientRect(hwnd, &client);
  RECT row{client.left, client.top, client.right, client.top + rowHeight};
  FillRect(dc, &row, GetSysColorBrush(COLOR_3DFACE));
  RECT display{client.left, client.top + rowHeight, client.right, client.bottom};
  DrawEdge(dc, &display, EDGE_RAISED, BF_RECT | BF_MIDDLE);

  HFONT font = reinterpret_cast<HFONT>(SendMessageA(hwnd, WM_GETFONT, 0, 0));
  HGDIOBJ oldFont = SelectObject(dc, font != nullptr ? font : GetStockObject(DEFAULT_GUI_FONT));
  SetBkMode(dc, TRANSPARENT);
  const bool enabled = IsWindowEnabled(hwnd) != FALSE;
  for (size_t i = 0; i < tabs.size(); ++i) {
    if (static_cast<int>(i) == selection) continue;
    RECT r = tabs[i].rect;
    r.top += kSelectedRise;
    DrawTab(dc, tabs[i], r, false, enabled, false);
  }
  // The selected tab last: it overlaps its neighbours and covers the frame's two top lines beneath
  // it, so that it and the display area are one.
  if (selection >= 0 && selection < static_cast<int>(tabs.size())) {
    RECT r = tabs[static_cast<size_t>(selection)].rect;
    InflateRect(&r, kSelectedRise, 0);
    r.bottom += 2;
    DrawTab(dc, tabs[static_cast<size_t>(selection)], r, true, enabled, GetFocus() == hwnd);
  }
  SelectObject(dc, oldFont);
}

}  // namespace plat::win32
