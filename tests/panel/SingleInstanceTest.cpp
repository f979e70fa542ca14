// One panel at a time: a second start brings the running one forward and ends, whatever else is on
// the desktop; the hidden-start switch; closing for good with Shift held frees the single instance.
#include <windows.h>

#include "tests/panel/PanelTest.h"

namespace {

using ptest::kPanelCaption;
using ptest::kPanelImage;
using ptest::PanelOnUnits;
using ptest::Process;
namespace input = plat::win32::input;

using SingleInstance = PanelOnUnits;

TEST_F(SingleInstance, ASecondStartShowsRestoresAndRaisesTheRunningPanelThenEnds) {
  enum class First { Visible, Hidden, Minimised };
  struct Case {
    const char* name;
    First first;
  } cases[] = {{"visible", First::Visible}, {"hidden", First::Hidden}, {"minimised", First::Minimised}};
  PlugMain();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Process& first = StartPanel(c.first == First::Hidden ? "H" : "");
    if (c.first == First::Minimised) spy_->Minimise();
    EXPECT_EQ(Sheet().visible, c.first != First::Hidden);

    Process second(kPanelImage);
    ASSERT_TRUE(second.WaitEnd(2000));
    EXPECT_EQ(ptest::TopLevelLines(kPanelCaption).size(), 1u);
    const ptest::SheetState sheet = Sheet();
    EXPECT_TRUE(sheet.visible);
    EXPECT_FALSE(sheet.iconic);
    EXPECT_TRUE(sheet.foreground);
    EXPECT_FALSE(first.Ended());
    EndPanel(first);
  }
}

TEST_F(SingleInstance, TheSearchPassesOverOtherProgramsWindowsThatAnswerOtherwiseOrNotAtAll) {
  PlugMain();
  StartPanel("H");
  ptest::OtherProgram other(m_.Run());
  other.OpenWindows();
  const uint64_t start = ptest::NowMs();
  Process second(kPanelImage);
  ASSERT_TRUE(second.WaitEnd(2000));
  // The window that takes no messages cost the search its 200 ms; raising the panel over it may
  // wait as long again on its thread.
  EXPECT_GE(ptest::NowMs() - start, 200u);
  EXPECT_LE(ptest::NowMs() - start, 400u);
  EXPECT_TRUE(Sheet().visible);
  EXPECT_TRUE(Sheet().foreground);
}

TEST_F(SingleInstance, AMutexTakenByAnotherProgramWithoutAPanelEndsTheStartSilently) {
  PlugMain();
  ptest::OtherProgram other(m_.Run());
  other.OpenWindows();
  other.TakePanelMutex();
  Process panel(kPanelImage);
  ASSERT_TRUE(panel.WaitEnd(2000));
  EXPECT_TRUE(ptest::TopLevelLines(kPanelCaption).empty());
}

TEST_F(SingleInstance, OneArgumentBeginningWithCapitalHStartsThePanelHidden) {
  struct Case {
    const char* arguments;
    bool hidden;
  } cases[] = {{"", false}, {"H", true}, {"Hidden", true}, {"h", false}, {"H x", false}, {"x", false}, {"xH", false}};
  PlugMain();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("arguments \"") + c.arguments + "\"");
    Process& panel = StartPanel(c.arguments);
    ptest::RunFor(2000);
    const ptest::SheetState sheet = Sheet();
    EXPECT_TRUE(sheet.found);
    EXPECT_EQ(sheet.visible, !c.hidden);
    EXPECT_FALSE(panel.Ended());
    EndPanel(panel);
  }
}

TEST_F(SingleInstance, ClosingWithShiftHeldEndsTheProgramDetachedAndTheNextStartRunsAsTheFirst) {
  const input::Target sheet(kPanelCaption);
  struct Case {
    const char* name;
    std::function<void()> close;
  } cases[] = {
      {"close box", [&] { input::Click(sheet, CloseBox(), input::Button::Left, true); }},
      {"OK", [&] { input::Click(input::Target(kPanelCaption, "", {IDOK}), {}, input::Button::Left, true); }},
      {"Esc", [&] { input::Key(sheet, VK_ESCAPE, true); }},
  };
  ctest::Machine::Unit main = PlugMain();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Process& panel = StartPanel();
    m_.ClearLog(main);
    c.close();
    ASSERT_TRUE(panel.WaitEnd(2000));
    EXPECT_NE(panel.DebugOutput().find("Shutting service down\n"), std::string::npos);
    const std::vector<scripted::LogEntry> detach = ctest::Requests(m_, main, 12);
    ASSERT_EQ(detach.size(), 1u);
    EXPECT_EQ(ctest::LoggedWord(detach[0], 0), 0u);
    const scripted::State state = m_.State(main);
    EXPECT_EQ(state.opens, state.closes);

    Process& next = StartPanel();
    ptest::RunFor(1000);
    EXPECT_TRUE(Sheet().visible);
    EXPECT_FALSE(next.Ended());
    EndPanel(next);
  }
}

}  // namespace
