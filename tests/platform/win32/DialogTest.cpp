// The dialog manager driven by a person: templates in memory made into dialogs, a dialog nested in
// another, and the keys IsDialogMessageA takes (Tab, Shift+Tab, Enter, Esc, arrows), entered by the
// scripted input driver.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/win32/InputDriver.h"
#include "platform/win32/include/windows.h"
#include "tests/platform/win32/DialogTemplates.h"
#include "tests/platform/win32/TestMachine.h"

namespace {

using w32test::Machine;
namespace input = plat::win32::input;

using w32test::Item;
using w32test::Template;

// The commands the outer dialog heard, as "<id> <code>".
std::vector<std::string> gCommands;
std::vector<DWORD> gPage;

INT_PTR CALLBACK PageProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

INT_PTR CALLBACK OuterProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    if (!gPage.empty())
      CreateDialogIndirectParamA(nullptr, reinterpret_cast<const DLGTEMPLATE*>(gPage.data()), hwnd, PageProc, 0);
    return TRUE;
  }
  if (message == WM_COMMAND) {
    gCommands.push_back(std::to_string(LOWORD(wParam)) + " " + std::to_string(HIWORD(wParam)));
    return TRUE;
  }
  return FALSE;
}

// The id of the window with the keyboard focus, from the window dump; -1 when none.
int FocusId() {
  std::string dump = input::DumpWindows();
  size_t at = dump.find(" focus");
  if (at == std::string::npos) return -1;
  size_t line = dump.rfind('\n', at);
  size_t id = dump.find("id=", line == std::string::npos ? 0 : line);
  return std::stoi(dump.substr(id + 3));
}

class Dialogs : public ::testing::Test {
 protected:
  void SetUp() override { gCommands.clear(); }
  void TearDown() override {
    PostMessageA(FindWindowA(nullptr, "Outer"), WM_QUIT, 0, 0);
    machine_.Wait(process_);
    machine_.Release(process_);
    gPage.clear();
  }
  // A program showing the modeless dialog "Outer" made from `outer`, with its message loop.
  void Run(std::vector<DWORD> outer) {
    outer_ = std::move(outer);
    process_ = machine_.Start("dialogs.exe", 64, [this] {
      HWND dlg = CreateDialogIndirectParamA(nullptr, reinterpret_cast<const DLGTEMPLATE*>(outer_.data()), nullptr,
                                            OuterProc, 0);
      if (dlg == nullptr) return 100u;
      MSG msg;
      while (GetMessageA(&msg, nullptr, 0, 0)) {
        if (!IsDialogMessageA(dlg, &msg)) {
          TranslateMessage(&msg);
          DispatchMessageA(&msg);
        }
      }
      return static_cast<uint32_t>(msg.wParam);
    });
    ASSERT_TRUE(machine_.RunUntil([] { return FindWindowA(nullptr, "Outer") != nullptr; }, 1000));
  }

  Machine machine_;
  void* process_ = nullptr;
  std::vector<DWORD> outer_;
};

constexpr DWORD kPopup = WS_POPUP | WS_CAPTION | WS_VISIBLE;

TEST_F(Dialogs, TabEnterAndEscThroughANestedDialogWithAnEditThatWantsAllKeys) {
  gPage = Template(DS_CONTROL | WS_CHILD | WS_VISIBLE, "Page", 100, 40,
                   {{0x81, 100, "", WS_TABSTOP | WS_BORDER, 5, 5, 60, 12},
                    {0x81, 101, "", WS_TABSTOP | WS_BORDER | ES_MULTILINE, 5, 20, 60, 12}});
  Run(Template(kPopup, "Outer", 200, 120,
               {{0x80, IDOK, "OK", WS_TABSTOP | BS_DEFPUSHBUTTON, 100, 100, 40, 14},
                {0x80, IDCANCEL, "Cancel", WS_TABSTOP | BS_PUSHBUTTON, 150, 100, 40, 14}}));
  ASSERT_EQ(FocusId(), IDOK);
  struct Case {
    const char* name;
    WORD vk;
    bool shift;
    int focus;
    std::vector<std::string> commands;
  } cases[] = {
      {"Tab to Cancel", VK_TAB, false, IDCANCEL, {}},
      {"Tab into the nested dialog's edit", VK_TAB, false, 100, {}},
      {"Enter in the nested edit presses the outer default", VK_RETURN, false, 100, {"1 0"}},
      {"Esc in the nested edit cancels the outer dialog", VK_ESCAPE, false, 100, {"2 0"}},
      {"Tab to the edit that wants all keys", VK_TAB, false, 101, {}},
      {"Tab stays in the edit that wants all keys", VK_TAB, false, 101, {}},
      {"Esc stays too", VK_ESCAPE, false, 101, {}},
      {"Shift+Tab stays too", VK_TAB, true, 101, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    gCommands.clear();
    ASSERT_TRUE(input::Key({"Outer"}, c.vk, c.shift));
    EXPECT_EQ(FocusId(), c.focus) << input::DumpWindows();
    EXPECT_EQ(gCommands, c.commands);
  }
  // Out of the edit by the mouse; then back out of the nested dialog, and round again.
  ASSERT_TRUE(input::Click({"Outer", "Page", {100}}));
  struct Back {
    const char* name;
    WORD vk;
    bool shift;
    int focus;
    std::vector<std::string> commands;
  } back[] = {
      {"Shift+Tab back out to Cancel", VK_TAB, true, IDCANCEL, {}},
      {"Enter on a focused push button presses it", VK_RETURN, false, IDCANCEL, {"2 0"}},
      {"Shift+Tab to OK", VK_TAB, true, IDOK, {}},
      {"Shift+Tab wraps to the last stop", VK_TAB, true, 101, {}},
  };
  for (const Back& c : back) {
    SCOPED_TRACE(c.name);
    gCommands.clear();
    ASSERT_TRUE(input::Key({"Outer"}, c.vk, c.shift));
    EXPECT_EQ(FocusId(), c.focus) << input::DumpWindows();
    EXPECT_EQ(gCommands, c.commands);
  }
}

TEST_F(Dialogs, NextDlgCtlMovesTheFocusForwardBackAndToAGivenControlAcrossTheNestedDialog) {
  gPage = Template(DS_CONTROL | WS_CHILD | WS_VISIBLE, "Page", 100, 40,
                   {{0x81, 100, "", WS_TABSTOP | WS_BORDER, 5, 5, 60, 12},
                    {0x81, 101, "", WS_TABSTOP | WS_BORDER, 5, 20, 60, 12}});
  Run(Template(kPopup, "Outer", 200, 120,
               {{0x80, IDOK, "OK", WS_TABSTOP | BS_DEFPUSHBUTTON, 100, 100, 40, 14},
                {0x80, IDCANCEL, "Cancel", WS_TABSTOP | BS_PUSHBUTTON, 150, 100, 40, 14}}));
  HWND outer = FindWindowA(nullptr, "Outer");
  HWND page = FindWindowExA(outer, nullptr, nullptr, "Page");
  ASSERT_NE(page, nullptr);
  struct Case {
    const char* name;
    HWND given;  // a control, or none for the next or previous stop
    WPARAM back;
    int focus;
  } cases[] = {
      {"to a given edit of the nested dialog", GetDlgItem(page, 101), 0, 101},
      {"forward out of it", nullptr, 0, IDOK},
      {"back into it", nullptr, 1, 101},
      {"back within it", nullptr, 1, 100},
      {"to a given button of the outer dialog", GetDlgItem(outer, IDCANCEL), 0, IDCANCEL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    machine_.RunIn(process_, [&] {
      PostMessageA(outer, WM_NEXTDLGCTL, c.given != nullptr ? reinterpret_cast<WPARAM>(c.given) : c.back,
                   c.given != nullptr ? TRUE : FALSE);
    });
    ASSERT_TRUE(input::Move({"Outer"}));  // lets the dialog's thread take the posted message
    EXPECT_EQ(FocusId(), c.focus) << input::DumpWindows();
  }
}

TEST_F(Dialogs, ArrowsMoveWithinARadioGroupCheckingAndClickingTheAutomaticOnes) {
  Run(Template(kPopup, "Outer", 200, 120,
               {{0x80, 11, "One", WS_TABSTOP | WS_GROUP | BS_AUTORADIOBUTTON, 5, 5, 60, 10},
                {0x80, 12, "Two", BS_AUTORADIOBUTTON, 5, 20, 60, 10},
                {0x80, 13, "Three", BS_AUTORADIOBUTTON, 5, 35, 60, 10},
                {0x80, IDOK, "OK", WS_TABSTOP | WS_GROUP | BS_DEFPUSHBUTTON, 100, 100, 40, 14}}));
  ASSERT_TRUE(input::Click({"Outer", "", {11}}));
  EXPECT_EQ(gCommands, std::vector<std::string>{"11 0"});
  struct Case {
    WORD vk;
    int focus;
    std::vector<int> checked;  // of 11, 12, 13
  } cases[] = {
      {VK_DOWN, 12, {0, 1, 0}},
      {VK_RIGHT, 13, {0, 0, 1}},
      {VK_DOWN, 11, {1, 0, 0}},
      {VK_UP, 13, {0, 0, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.vk);
    gCommands.clear();
    ASSERT_TRUE(input::Key({"Outer"}, c.vk));
    EXPECT_EQ(FocusId(), c.focus);
    EXPECT_EQ(gCommands, std::vector<std::string>{std::to_string(c.focus) + " 0"});
    std::vector<int> checked;
    HWND outer = FindWindowA(nullptr, "Outer");
    machine_.RunIn(process_, [&] {
      for (int id : {11, 12, 13}) checked.push_back(static_cast<int>(IsDlgButtonChecked(outer, id)));
    });
    EXPECT_EQ(checked, c.checked);
  }
}

TEST_F(Dialogs, DialogUnitsMapWithTheFixedBaseUnitsAndTheDefaultButtonMoves) {
  Run(Template(kPopup, "Outer", 200, 120,
               {{0x80, IDOK, "OK", WS_TABSTOP | BS_DEFPUSHBUTTON, 100, 100, 40, 14},
                {0x80, 7, "Other", WS_TABSTOP | BS_PUSHBUTTON, 150, 100, 40, 14}}));
  HWND outer = FindWindowA(nullptr, "Outer");
  RECT mapped{4, 8, 40, 14}, client{}, ok{};
  LRESULT before = 0, after = 0;
  LONG okStyle = 0, otherStyle = 0;
  machine_.RunIn(process_, [&] {
    MapDialogRect(outer, &mapped);
    GetClientRect(outer, &client);
    GetWindowRect(GetDlgItem(outer, IDOK), &ok);
    MapWindowPoints(nullptr, outer, reinterpret_cast<POINT*>(&ok), 2);
    before = SendMessageA(outer, DM_GETDEFID, 0, 0);
    SendMessageA(outer, DM_SETDEFID, 7, 0);
    after = SendMessageA(outer, DM_GETDEFID, 0, 0);
    okStyle = GetWindowLongA(GetDlgItem(outer, IDOK), GWL_STYLE) & BS_TYPEMASK;
    otherStyle = GetWindowLongA(GetDlgItem(outer, 7), GWL_STYLE) & BS_TYPEMASK;
  });
  EXPECT_EQ(mapped.left, 6);
  EXPECT_EQ(mapped.top, 13);
  EXPECT_EQ(mapped.right, 60);
  EXPECT_EQ(mapped.bottom, 23);
  EXPECT_EQ(client.right, 300);
  EXPECT_EQ(client.bottom, 195);
  EXPECT_EQ(ok.left, 150);
  EXPECT_EQ(ok.top, 163);
  EXPECT_EQ(before, MAKELONG(IDOK, DC_HASDEFID));
  EXPECT_EQ(after, MAKELONG(7, DC_HASDEFID));
  EXPECT_EQ(okStyle, static_cast<LONG>(BS_PUSHBUTTON));
  EXPECT_EQ(otherStyle, static_cast<LONG>(BS_DEFPUSHBUTTON));
}

// A program whose window "Timed" ticks every 500 ms and, when clicked, asks a question of a
// message box of `type`; the answer and the ticks are kept.
struct Asking {
  UINT type;
  int answer = 0;
  int ticks = 0;
};
Asking gAsking{MB_OK};

LRESULT CALLBACK TimedProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_TIMER: ++gAsking.ticks; return 0;
    case WM_LBUTTONUP: gAsking.answer = MessageBoxA(hwnd, "Keep the changes?", "Question", gAsking.type); return 0;
    default: return DefWindowProcA(hwnd, message, wParam, lParam);
  }
}

TEST(MessageBox, AModalBoxKeepsTheTimersFiringDisablesItsOwnerAndAnswersTheButtonPressed) {
  struct Case {
    const char* name;
    UINT type;
    std::function<bool()> answer;
    int expected;
  } cases[] = {
      {"Yes clicked", MB_YESNO | MB_ICONQUESTION, [] { return input::Click({"Question", "", {IDYES}}); }, IDYES},
      {"No clicked", MB_YESNO | MB_ICONQUESTION, [] { return input::Click({"Question", "", {IDNO}}); }, IDNO},
      {"Enter takes the second default", MB_OKCANCEL | MB_DEFBUTTON2, [] { return input::Key({"Question"}, VK_RETURN); },
       IDCANCEL},
      {"Esc cancels", MB_OKCANCEL, [] { return input::Key({"Question"}, VK_ESCAPE); }, IDCANCEL},
      {"Esc on OK alone is OK", MB_OK | MB_ICONEXCLAMATION, [] { return input::Key({"Question"}, VK_ESCAPE); }, IDOK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    gAsking = Asking{c.type};
    void* p = m.Start("timed.exe", 64, [] {
      WNDCLASSA wc{};
      wc.lpfnWndProc = TimedProc;
      wc.lpszClassName = "QxTimed";
      RegisterClassA(&wc);
      HWND hwnd = CreateWindowExA(0, "QxTimed", "Timed", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 300, 200, nullptr,
                                  nullptr, nullptr, nullptr);
      SetTimer(hwnd, 1, 500, nullptr);
      MSG msg;
      while (GetMessageA(&msg, nullptr, 0, 0)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
      }
      return static_cast<uint32_t>(msg.wParam);
    });
    ASSERT_TRUE(m.RunUntil([] { return FindWindowA(nullptr, "Timed") != nullptr; }, 1000));
    HWND timed = FindWindowA(nullptr, "Timed");
    ASSERT_TRUE(input::Click({"Timed"}));
    ASSERT_TRUE(m.RunUntil([] { return FindWindowA(nullptr, "Question") != nullptr; }, 1000));
    HWND box = FindWindowA(nullptr, "Question");
    EXPECT_EQ(GetWindow(box, GW_OWNER), timed);
    EXPECT_FALSE(IsWindowEnabled(timed));
    int before = gAsking.ticks;
    m.RunFor(2000);
    EXPECT_EQ(gAsking.ticks - before, 4);
    ASSERT_TRUE(c.answer());
    EXPECT_EQ(gAsking.answer, c.expected);
    EXPECT_EQ(FindWindowA(nullptr, "Question"), nullptr);
    EXPECT_TRUE(IsWindowEnabled(timed));
    PostMessageA(timed, WM_QUIT, 0, 0);
    m.Wait(p);
    m.Release(p);
  }
}

}  // namespace
