// The class library's dialogs, property sheet and pages in a program image driven by the input
// driver: pages made on first activation, data exchange each way, command-update handlers at idle,
// the modal loop's idle messages and timers, and message boxes shown from a page.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/win32/InputDriver.h"
#include "platform/win32/include/commctrl.h"
#include "platform/win32/include/windows.h"
#include "tests/platform/mfc/images/DialogProbeIds.h"
#include "tests/platform/win32/TestMachine.h"

namespace {

using w32test::Machine;
namespace input = plat::win32::input;
using namespace dlgprobe;

constexpr char kSheet[] = "Probe Sheet";
constexpr int kTabs = 0x3020;
constexpr int kApply = 0x3021;
using Lines = std::vector<std::string>;

Lines Split(const std::string& text) {
  Lines lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

std::string TextOf(HWND hWnd) {
  char text[128] = {};
  GetWindowTextA(hWnd, text, sizeof text);
  return text;
}

// A run of the probe with a window to wait for; what it wrote is read a step at a time.
class Probe {
 public:
  Probe(Machine& machine, const std::string& arguments, const char* window) : machine_(machine) {
    process_ = machine_.StartProgram("DialogProbe.exe", "DialogProbe.exe " + arguments, 64);
    if (process_ != nullptr && window != nullptr) {
      machine_.RunUntil([window] { return FindWindowA(nullptr, window) != nullptr; }, 1000);
      hWnd_ = FindWindowA(nullptr, window);
      Settle();
    }
  }
  ~Probe() {
    if (process_ == nullptr) {
      return;
    }
    if (!machine_.Ended(process_)) {
      machine_.Kill(process_);
    }
    machine_.Wait(process_);
    machine_.Release(process_);
  }
  Probe(const Probe&) = delete;
  Probe& operator=(const Probe&) = delete;

  HWND Window() const { return hWnd_; }
  HWND Item(int id) const { return GetDlgItem(hWnd_, id); }
  HWND Page() {
    HWND page = nullptr;
    machine_.RunIn(process_, [&] { page = reinterpret_cast<HWND>(SendMessageA(hWnd_, PSM_GETCURRENTPAGEHWND, 0, 0)); });
    return page;
  }
  // Lets the program run until its thread waits for input again.
  void Settle() {
    const uint32_t thread = input::ThreadOf({kSheet});
    machine_.RunUntil([thread] { return thread == 0 || input::Idle(thread); }, 100);
  }
  // One of the probe's own requests, handled before this returns.
  void Ask(unsigned request, WPARAM wParam = 0) {
    PostMessageA(hWnd_, WM_APP + request, wParam, 0);
    Settle();
  }
  // What it wrote since the last call.
  Lines Written() {
    const Lines all = Split(machine_.DebugOutput(process_));
    Lines fresh(all.begin() + static_cast<std::ptrdiff_t>(std::min(read_, all.size())), all.end());
    read_ = all.size();
    return fresh;
  }
  int Ends() {
    machine_.Wait(process_);
    return static_cast<int>(machine_.ExitCode(process_));
  }
  bool ClickTab(int index) {
    RECT item{};
    const HWND tabs = Item(kTabs);
    machine_.RunIn(process_, [&] { SendMessageA(tabs, TCM_GETITEMRECT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item)); });
    const bool done = input::Click({kSheet, "", {kTabs}}, input::Point{(item.left + item.right) / 2, (item.top + item.bottom) / 2});
    Settle();
    return done;
  }

 private:
  Machine& machine_;
  void* process_ = nullptr;
  HWND hWnd_ = nullptr;
  size_t read_ = 0;
};

TEST(ClassLibrarySheet, PagesAreMadeOnFirstActivationWithTheirObjectsAndHearActivationInOrder) {
  Machine m;
  Probe probe(m, "sheet", kSheet);
  ASSERT_NE(nullptr, probe.Window());
  // The first page's template list is in place, once, when its OnInitDialog runs.
  EXPECT_EQ(Lines({"1 init combo 3", "1 setactive", "sheet init active 0"}), probe.Written());
  struct Case {
    const char* name;
    std::function<void()> act;
    Lines written;
  } cases[] = {
      {"by hand to the second page", [&] { probe.ClickTab(1); }, {"1 killactive", "2 init", "2 setactive"}},
      {"by hand back to the first, made already", [&] { probe.ClickTab(0); }, {"2 killactive", "1 setactive"}},
      {"by the program to the third",
       [&] { probe.Ask(kSetActivePage, 2); },
       {"1 killactive", "3 init", "3 setactive", "SetActivePage 2 done active 2"}},
      {"by the program to the second, made already",
       [&] { probe.Ask(kSetActivePage, 1); },
       {"3 killactive", "2 setactive", "SetActivePage 1 done active 1"}},
      {"to a page that is not there", [&] { probe.Ask(kSetActivePage, 7); }, {"SetActivePage 7 refused active 1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.act();
    EXPECT_EQ(c.written, probe.Written());
  }
}

TEST(ClassLibrarySheet, TheButtonThatEndsTheSheetIsDoModalsAnswerAfterThePagesHeardIt) {
  struct Case {
    const char* name;
    std::function<bool()> act;
    int result;
    Lines written;
  } cases[] = {
      {"OK", [] { return input::Click({kSheet, "", {IDOK}}); }, IDOK, {"1 killactive", "1 apply", "DoModal 1 runs 1"}},
      {"Cancel", [] { return input::Click({kSheet, "", {IDCANCEL}}); }, IDCANCEL, {"1 reset", "DoModal 2 runs 1"}},
      {"Esc", [] { return input::Key({kSheet}, VK_ESCAPE); }, IDCANCEL, {"1 reset", "DoModal 2 runs 1"}},
      {"Enter", [] { return input::Key({kSheet}, VK_RETURN); }, IDOK, {"1 killactive", "1 apply", "DoModal 1 runs 1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    Probe probe(m, "sheet", kSheet);
    probe.Written();
    ASSERT_TRUE(c.act());
    EXPECT_EQ(c.result, probe.Ends());
    EXPECT_EQ(c.written, probe.Written());
  }
}

TEST(ClassLibrarySheet, TheOwnerIsDisabledWhileTheSheetRuns) {
  Machine m;
  Probe probe(m, "owned", kSheet);
  EXPECT_EQ(Lines({"1 init combo 3", "1 setactive", "sheet init active 0 owner disabled"}), probe.Written());
  ASSERT_TRUE(input::Click({kSheet, "", {IDOK}}));
  EXPECT_EQ(IDOK, probe.Ends());
  EXPECT_EQ(Lines({"1 killactive", "1 apply", "DoModal 1 owner enabled"}), probe.Written());
}

TEST(ClassLibrarySheet, CancelToCloseAndSetModifiedChangeTheSheetsButtons) {
  Machine m;
  Probe probe(m, "sheet", kSheet);
  EXPECT_FALSE(IsWindowEnabled(probe.Item(kApply)));
  probe.Ask(kModified);
  EXPECT_TRUE(IsWindowEnabled(probe.Item(kApply)));
  probe.Ask(kCancelToClose);
  EXPECT_EQ("Close", TextOf(probe.Item(IDOK)));
  EXPECT_FALSE(IsWindowEnabled(probe.Item(IDCANCEL)));
}

TEST(ClassLibraryDataExchange, UpdateDataLoadsTheControlsAndSavesWhatThePersonEntered) {
  Machine m;
  Probe probe(m, "sheet", kSheet);
  probe.Written();
  // Saving: what was typed, chosen and clicked, into the members; the short edit took no more
  // than its validation allows.
  ASSERT_TRUE(input::Click({kSheet, "First", {kText}}));
  ASSERT_TRUE(input::Type({kSheet, "First", {kText}}, "typed"));
  ASSERT_TRUE(input::Click({kSheet, "First", {kCheck}}));
  ASSERT_TRUE(input::Key({kSheet}, VK_TAB, true));
  ASSERT_TRUE(input::Key({kSheet}, VK_DOWN));
  ASSERT_TRUE(input::Click({kSheet, "First", {kShort}}));
  ASSERT_TRUE(input::Type({kSheet, "First", {kShort}}, "abcdefghij"));
  probe.Ask(kSaveActive);
  EXPECT_EQ(Lines({"saved typed 1 1 abcdefgh"}), probe.Written());
  // Loading: the members into the controls.
  probe.Ask(kLoadFirst);
  EXPECT_EQ(Lines({"loaded Loaded 2 1 limit 8"}), probe.Written());
  // The control attached by data exchange was taken over once, however often the data moved.
  probe.Ask(kReport);
  const Lines report = probe.Written();
  ASSERT_EQ(1u, report.size());
  EXPECT_NE(std::string::npos, report[0].find("subclassed 1"));
}

TEST(ClassLibraryDataExchange, AFailedValidationShowsItsBoxFocusesTheControlAndKeepsThePage) {
  Machine m;
  Probe probe(m, "sheet", kSheet);
  probe.Written();
  probe.Ask(kLongShort);
  PostMessageA(probe.Window(), WM_APP + kSetActivePage, 1, 0);
  ASSERT_TRUE(m.RunUntil([] { return FindWindowA(nullptr, "Dialog Probe") != nullptr; }, 1000));
  const HWND box = FindWindowA(nullptr, "Dialog Probe");
  EXPECT_EQ("Please enter no more than 8 characters.", TextOf(GetDlgItem(box, 0xFFFF)));
  ASSERT_TRUE(input::Click({"Dialog Probe", "", {IDOK}}));
  probe.Settle();
  EXPECT_EQ(Lines({"1 killactive kept", "SetActivePage 1 refused active 0"}), probe.Written());
  probe.Ask(kReport);
  const Lines report = probe.Written();
  ASSERT_EQ(1u, report.size());
  EXPECT_NE(std::string::npos, report[0].find("focus 1005"));
  // Leaving by hand is refused the same way.
  probe.ClickTab(1);
  ASSERT_TRUE(m.RunUntil([] { return FindWindowA(nullptr, "Dialog Probe") != nullptr; }, 1000));
  ASSERT_TRUE(input::Key({"Dialog Probe"}, VK_RETURN));
  probe.Settle();
  EXPECT_EQ(Lines({"1 killactive kept"}), probe.Written());
}

TEST(ClassLibraryCommandUi, UpdateHandlersSetTheButtonsAtIdleAndDisablingTheFocusMovesItOn) {
  Machine m;
  Probe probe(m, "sheet", kSheet);
  const HWND page = probe.Page();
  ASSERT_NE(nullptr, page);
  const HWND act = GetDlgItem(page, kAct);
  EXPECT_FALSE(IsWindowEnabled(act));
  probe.Ask(kAllowAct, 1);
  EXPECT_TRUE(IsWindowEnabled(act));
  probe.Ask(kFocusAct);
  probe.Written();
  probe.Ask(kReport);
  EXPECT_NE(std::string::npos, probe.Written().at(0).find("focus 1003"));
  probe.Ask(kAllowAct, 0);
  EXPECT_FALSE(IsWindowEnabled(act));
  probe.Ask(kReport);
  EXPECT_NE(std::string::npos, probe.Written().at(0).find("focus 1004"));
}

TEST(ClassLibraryModalLoop, EachEmptyQueueGivesOneIdleRoundRepeatedWhileItsAnswerIsNonzero) {
  struct Case {
    const char* arguments;
    int kicksPerRound;
  } cases[] = {{"sheet", 1}, {"sheet 0", 1}, {"sheet 1", 2}, {"sheet 3", 4}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    Machine m;
    Probe probe(m, c.arguments, kSheet);
    probe.Ask(kReport);
    probe.Written();
    m.RunFor(10000);
    probe.Ask(kReport);
    // Twenty timers in ten virtual seconds; one idle round after each, and one after the report
    // that started the count.
    const Lines written = probe.Written();
    ASSERT_EQ(1u, written.size());
    EXPECT_EQ("kicks " + std::to_string(21 * c.kicksPerRound) + " timers 20",
              written[0].substr(0, written[0].find(" focus")));
  }
}

TEST(ClassLibraryModalLoop, AMessageBoxFromAPageRunsItsOwnLoopWhileTheSheetsTimerKeepsFiring) {
  Machine m;
  Probe probe(m, "sheet", kSheet);
  ASSERT_TRUE(input::Click({kSheet, "First", {kAsk}}));
  ASSERT_TRUE(m.RunUntil([] { return FindWindowA(nullptr, "Dialog Probe") != nullptr; }, 1000));
  probe.Ask(kReport);
  probe.Written();
  m.RunFor(3000);
  probe.Ask(kReport);
  const Lines during = probe.Written();
  ASSERT_EQ(1u, during.size());
  EXPECT_EQ(0u, during[0].find("kicks 0 timers 6"));
  ASSERT_TRUE(input::Click({"Dialog Probe", "", {IDNO}}));
  probe.Settle();
  EXPECT_EQ(Lines({"asked 7"}), probe.Written());
}

TEST(ClassLibraryDialog, DoModalExchangesTheMembersAndAnswersTheButton) {
  struct Case {
    const char* name;
    std::function<bool()> act;
    int result;
    std::string written;
  } cases[] = {
      {"typed, then Enter", [] { return input::Type({"Probe Dialog", "", {kText}}, "abc") && input::Key({"Probe Dialog"}, VK_RETURN); },
       IDOK, "DoModal 1 abc 1 0"},
      {"more than validation allows is not taken",
       [] { return input::Type({"Probe Dialog", "", {kText}}, "abcdefgh") && input::Click({"Probe Dialog", "", {IDOK}}); },
       IDOK, "DoModal 1 abcde 1 0"},
      {"checked, then Esc",
       [] { return input::Click({"Probe Dialog", "", {kCheck}}) && input::Key({"Probe Dialog"}, VK_ESCAPE); }, IDCANCEL,
       "DoModal 2 Start 1 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    Probe probe(m, "dialog", "Probe Dialog");
    // The template's list is in place before OnInitDialog; the base adds the separate
    // initialisation data, then loads the members.
    EXPECT_EQ(Lines({"dialog init combo 2 then 3 loaded Start 1 units 6x13"}), probe.Written());
    ASSERT_TRUE(c.act());
    EXPECT_EQ(c.result, probe.Ends());
    EXPECT_EQ(Lines({c.written}), probe.Written());
  }
}

TEST(ClassLibraryDialog, AModelessDialogTakesItsKeysThroughTheApplicationsLoop) {
  Machine m;
  Probe probe(m, "modeless", "Probe Dialog");
  EXPECT_EQ(Lines({"dialog init combo 2 then 3 loaded Start 1 units 6x13"}), probe.Written());
  ASSERT_TRUE(input::Type({"Probe Dialog", "", {kText}}, "xyz"));
  ASSERT_TRUE(input::Key({"Probe Dialog"}, VK_TAB));
  ASSERT_TRUE(input::Key({"Probe Dialog"}, VK_RETURN));
  EXPECT_EQ(7, probe.Ends());
  EXPECT_EQ(Lines({"modeless saved xyz 0"}), probe.Written());
}

TEST(ClassLibrarySheet, ASheetThatRefusesToShowStaysHiddenYetRunsUntilItLetsItself) {
  Machine m;
  Probe probe(m, "hidden", kSheet);
  ASSERT_NE(nullptr, probe.Window());
  EXPECT_FALSE(IsWindowVisible(probe.Window()));
  m.RunFor(2000);
  probe.Written();
  probe.Ask(kReport);
  EXPECT_EQ(0u, probe.Written().at(0).find("kicks 5 timers 4"));
  EXPECT_FALSE(IsWindowVisible(probe.Window()));
  probe.Ask(kShow);
  EXPECT_TRUE(IsWindowVisible(probe.Window()));
}

TEST(ClassLibraryProgram, TwoProcessesRunningTheImageKeepTheirOwnApplicationAndHandleMaps) {
  Machine m;
  Probe a(m, "twin", nullptr);
  Probe b(m, "twin", nullptr);
  for (Probe* probe : {&a, &b}) {
    EXPECT_EQ(IDOK, probe->Ends());
    const Lines written = probe->Written();
    EXPECT_EQ(Lines({"1 init combo 3", "1 setactive", "sheet init active 0", "twins 2 mine 1", "1 killactive",
                     "1 apply", "DoModal 1 runs 1"}),
              written);
  }
}

}  // namespace
