// The panel's windows as the window dump shows them, and the names a test reaches them by.
#pragma once

#include <string>
#include <vector>

#include "platform/win32/InputDriver.h"
#include "tests/panel/PanelProcess.h"

namespace ptest {

namespace input = plat::win32::input;

// The pages in the sheet's order.
inline const std::vector<std::string> kPages = {"Settings", "Routing", "MIDI Programming", "Quick Start", "KR-6"};

// The top-level windows of the window dump whose caption is `caption`, one line each.
std::vector<std::string> TopLevelLines(const std::string& caption);
// The dump's line of control `id` on the page captioned `page` of the sheet, or of the sheet itself
// when `page` is empty; empty when not there.
std::string ControlLine(const std::string& page, int id, const std::string& caption = kPanelCaption);
// The screen rectangle a dump line shows.
struct ScreenRect {
  int left, top, right, bottom;
  bool operator==(const ScreenRect&) const = default;
};
ScreenRect RectOf(const std::string& line);
bool Visible(const std::string& line);

}  // namespace ptest
