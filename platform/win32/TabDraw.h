// How a tab control looks: its row of tabs, the selected one raised above the others and joined
// to the display area's raised frame beneath. Behaviour stays in TabControl.cpp.
#pragma once

#include <string>
#include <vector>

#include "platform/win32/include/windows.h"

namespace plat::win32 {

struct TabLook {
  std::string text;
  RECT rect;  // as TCM_GETITEMRECT gives it
};

// The whole control through a DC of its client area: `rowHeight` is the row's height.
void DrawTabControl(HWND hwnd, HDC dc, const std::vector<TabLook>& tabs, int selection, int rowHeight);

}  // namespace plat::win32
