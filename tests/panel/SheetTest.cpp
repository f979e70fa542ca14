// The sheet: its buttons, hiding instead of closing, staying hidden while it polls, the version
// labels.
#include <windows.h>

#include "platform/win32/Session.h"
#include "tests/panel/PanelTest.h"
#include "unit/ControlRequests.h"

namespace {

using ptest::ControlLine;
using ptest::kPanelCaption;
using ptest::PanelOnUnits;
using ptest::Process;
using ptest::RectOf;
namespace input = plat::win32::input;

using PanelSheet = PanelOnUnits;

constexpr int kApplyNow = 0x3021;
constexpr int kButtonStep = 75 + 6;  // a button's width and the gap to the next

size_t Polls(ctest::Machine& m, ctest::Machine::Unit unit) { return ctest::Requests(m, unit, 1).size(); }

TEST_F(PanelSheet, CancelIsHiddenAndOkTakesHelpsPlaceWithApplyBeyondIt) {
  PlugMain();
  StartPanel();
  const std::string ok = ControlLine("", IDOK);
  const std::string cancel = ControlLine("", IDCANCEL);
  const std::string apply = ControlLine("", kApplyNow);
  ASSERT_FALSE(ok.empty());
  ASSERT_FALSE(cancel.empty());
  EXPECT_TRUE(ptest::Visible(ok));
  EXPECT_FALSE(ptest::Visible(cancel));
  // The buttons stood OK, Cancel, Apply, Help a step apart; OK now stands where Help stood.
  EXPECT_EQ(RectOf(ok).left - RectOf(cancel).left, 2 * kButtonStep);
  EXPECT_EQ(RectOf(apply).left - RectOf(ok).left, 2 * kButtonStep);
  EXPECT_EQ(RectOf(ok).top, RectOf(cancel).top);
  EXPECT_EQ(RectOf(ok).right - RectOf(ok).left, RectOf(cancel).right - RectOf(cancel).left);
}

TEST_F(PanelSheet, TheCloseBoxOkAndEscHideThePanelWithoutShiftAndItPollsOn) {
  struct Case {
    const char* name;
    std::function<void()> close;
  } cases[] = {
      {"close box", [&] { input::Click(input::Target(kPanelCaption), CloseBox()); }},
      {"OK", [&] { input::Click(input::Target(kPanelCaption, "", {IDOK})); }},
      {"Esc", [&] { input::Key(input::Target(kPanelCaption), VK_ESCAPE); }},
  };
  ctest::Machine::Unit main = PlugMain();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Process& panel = StartPanel();
    ASSERT_TRUE(Sheet().visible);
    c.close();
    ptest::RunFor(100);
    EXPECT_FALSE(Sheet().visible);
    m_.ClearLog(main);
    ptest::RunFor(2000);
    EXPECT_FALSE(panel.Ended());
    EXPECT_EQ(Polls(m_, main), 4u);
    EndPanel(panel);
  }
}

TEST_F(PanelSheet, AHiddenPanelStaysHiddenWhateverTriesToShowItYetPollsEvery500Ms) {
  ctest::Machine::Unit main = PlugMain();
  Process& panel = StartPanel("H");
  EXPECT_FALSE(Sheet().visible);
  spy_->Show();
  EXPECT_FALSE(Sheet().visible);
  m_.ClearLog(main);
  const std::map<uint32_t, uint64_t> before = plat::win32::DeviceIoControlCounts(panel.Id());
  ptest::RunFor(5000);
  EXPECT_FALSE(Sheet().visible);
  EXPECT_EQ(Polls(m_, main), 10u);
  const std::map<uint32_t, uint64_t> after = plat::win32::DeviceIoControlCounts(panel.Id());
  const uint32_t changeCount = IOCTL_QX531_GET_CHANGE_COUNT;
  EXPECT_EQ(after.at(changeCount) - (before.count(changeCount) ? before.at(changeCount) : 0), 10u);
}

}  // namespace
