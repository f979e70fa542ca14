#include "tools/qx5310sim/PanelSpy.h"

#include <commctrl.h>
#include <windows.h>

#include "tools/qx5310sim/HostProcess.h"

namespace PanelSpy {

const int kTabControl = 0x3020;  // a property sheet's tab control
const int kOk = IDOK;
const uint16_t kHome = VK_HOME;
const uint16_t kEnd = VK_END;
const uint16_t kRight = VK_RIGHT;
const uint16_t kEscape = VK_ESCAPE;

Rect TabRect(const std::string& caption, int index) {
  Rect rect;
  RunHostProgram("qx5310spy.exe", [&]() -> uint32_t {
    HWND sheet = FindWindowA(nullptr, caption.c_str());
    HWND tab = sheet != nullptr ? GetDlgItem(sheet, kTabControl) : nullptr;
    RECT r{};
    if (tab != nullptr && SendMessageA(tab, TCM_GETITEMRECT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&r)))
      rect = {r.left, r.top, r.right, r.bottom};
    return 0;
  });
  return rect;
}

}  // namespace PanelSpy
