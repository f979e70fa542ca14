// The sheet: its buttons, hiding instead of closing, staying hidden while it polls.
#include <windows.h>

#include <cstdio>

#include "tests/panel/PanelTest.h"

namespace {

using ptest::kPanelCaption;
using ptest::PanelOnUnits;
namespace input = plat::win32::input;

using PanelSheet = PanelOnUnits;

TEST_F(PanelSheet, Smoke) {
  PlugMain();
  StartPanel();
  std::printf("%s\n", input::DumpWindows().c_str());
}

}  // namespace
