// What a person reads off the panel's windows beyond the window dump, asked by a spy program as a
// spy tool asks (messages sent across processes), and the keys and button ids a person uses on
// them. Plain C++, so that the scenario's sources stay apart from <windows.h>.
#pragma once

#include <cstdint>
#include <string>

namespace PanelSpy {

// Where tab `index` of the sheet's tab control lies, in the tab control's client coordinates.
struct Rect {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
};
Rect TabRect(const std::string& caption, int index);
// The sheet's tab control, and what a person presses.
extern const int kTabControl;
extern const int kOk;
extern const uint16_t kHome;
extern const uint16_t kEnd;
extern const uint16_t kRight;
extern const uint16_t kEscape;

}  // namespace PanelSpy
