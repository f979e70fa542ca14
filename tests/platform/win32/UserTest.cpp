// The window manager, driven as a person drives a program: test programs written against
// <windows.h> run their message loops in processes of a test machine, and the scripted input
// driver enters moves, clicks and keys as hardware input.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/win32/InputDriver.h"
#include "platform/win32/include/windows.h"
#include "tests/platform/win32/TestMachine.h"
#include "tests/support/Seeds.h"

namespace {

using w32test::Machine;
namespace input = plat::win32::input;

// What a window does beyond DefWindowProcA: its name for the log, and a handler that may answer.
struct Behaviour {
  std::string name;
  std::function<bool(HWND, UINT, WPARAM, LPARAM, LRESULT*)> handle;
};

// The messages the test watches, as "<window> <message>" lines in the order they arrived.
std::vector<std::string> gLog;
std::set<UINT> gWatch;

const char* NameOf(UINT message) {
  static const std::map<UINT, const char*> kNames = {
      {WM_NCHITTEST, "WM_NCHITTEST"},   {WM_SETCURSOR, "WM_SETCURSOR"},     {WM_MOUSEMOVE, "WM_MOUSEMOVE"},
      {WM_LBUTTONDOWN, "WM_LBUTTONDOWN"}, {WM_LBUTTONUP, "WM_LBUTTONUP"},   {WM_LBUTTONDBLCLK, "WM_LBUTTONDBLCLK"},
      {WM_NCMOUSEMOVE, "WM_NCMOUSEMOVE"}, {WM_SETFOCUS, "WM_SETFOCUS"},     {WM_KILLFOCUS, "WM_KILLFOCUS"},
      {WM_KEYDOWN, "WM_KEYDOWN"},       {WM_KEYUP, "WM_KEYUP"},             {WM_CHAR, "WM_CHAR"},
      {WM_TIMER, "WM_TIMER"},           {WM_SIZE, "WM_SIZE"},               {WM_SHOWWINDOW, "WM_SHOWWINDOW"},
      {WM_WINDOWPOSCHANGING, "WM_WINDOWPOSCHANGING"}, {WM_WINDOWPOSCHANGED, "WM_WINDOWPOSCHANGED"},
      {WM_ACTIVATE, "WM_ACTIVATE"},     {WM_PAINT, "WM_PAINT"},             {WM_ERASEBKGND, "WM_ERASEBKGND"},
      {WM_DESTROY, "WM_DESTROY"},       {WM_NCDESTROY, "WM_NCDESTROY"},     {WM_ENABLE, "WM_ENABLE"},
  };
  auto it = kNames.find(message);
  return it == kNames.end() ? "?" : it->second;
}

LRESULT TestProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTA*>(lParam);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  auto* b = reinterpret_cast<Behaviour*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (b != nullptr && gWatch.count(message)) gLog.push_back(b->name + " " + NameOf(message));
  LRESULT result = 0;
  if (b != nullptr && b->handle && b->handle(hwnd, message, wParam, lParam, &result)) return result;
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

constexpr char kClass[] = "QxTestWindow";

// A user-interface program: it registers the test class, builds its windows and runs its message
// loop until WM_QUIT; its exit code is the quit code.
uint32_t UiProgram(const std::function<void()>& build) {
  WNDCLASSA wc{};
  wc.style = CS_DBLCLKS;
  wc.lpfnWndProc = TestProc;
  wc.lpszClassName = kClass;
  wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  if (RegisterClassA(&wc) == 0) return 100;
  build();
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return static_cast<uint32_t>(msg.wParam);
}

HWND Make(Behaviour* b, const char* text, DWORD style, HWND parent, int id, RECT r, DWORD exStyle = 0) {
  return CreateWindowExA(exStyle, kClass, text, style, r.left, r.top, r.right - r.left, r.bottom - r.top, parent,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, b);
}

// Ends a program from the host: its loop gets WM_QUIT.
void Quit(Machine& m, void* p, const char* caption) {
  HWND top = FindWindowA(nullptr, caption);
  ASSERT_NE(top, nullptr) << caption;
  PostMessageA(top, WM_QUIT, 0, 0);
  m.Wait(p);
}

class User : public ::testing::Test {
 protected:
  void SetUp() override {
    gLog.clear();
    gWatch.clear();
  }
};

TEST_F(User, AShowThatTheWindowPosChangingHandlerRefusesLeavesTheWindowHidden) {
  struct Case {
    const char* name;
    bool refuse;
    bool visible;
  } cases[] = {{"handler clears SWP_SHOWWINDOW", true, false}, {"handler lets the show through", false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    gLog.clear();
    gWatch = {WM_SHOWWINDOW, WM_WINDOWPOSCHANGING, WM_WINDOWPOSCHANGED};
    HWND popup = nullptr;
    BOOL wasVisible = -1;
    Behaviour popupB{"Popup", [&](HWND, UINT msg, WPARAM, LPARAM lp, LRESULT*) {
                       if (msg == WM_WINDOWPOSCHANGING && c.refuse) reinterpret_cast<WINDOWPOS*>(lp)->flags &= ~SWP_SHOWWINDOW;
                       return false;
                     }};
    Behaviour mainB{"Main", [&](HWND, UINT msg, WPARAM, LPARAM, LRESULT*) {
                      if (msg == WM_LBUTTONUP) wasVisible = ShowWindow(popup, SW_SHOW);
                      return false;
                    }};
    void* p = m.Start("ui.exe", 64, [&] {
      return UiProgram([&] {
        Make(&mainB, "Main", WS_OVERLAPPEDWINDOW | WS_VISIBLE, nullptr, 0, {10, 10, 410, 310});
        popup = Make(&popupB, "Popup", WS_POPUP | WS_CAPTION, nullptr, 0, {500, 100, 700, 300});
      });
    });
    m.RunUntil([] { return FindWindowA(nullptr, "Main") != nullptr; }, 1000);
    gLog.clear();
    ASSERT_TRUE(input::Click({"Main"}));
    EXPECT_EQ(wasVisible, FALSE);
    EXPECT_EQ(IsWindowVisible(popup) != FALSE, c.visible);
    EXPECT_EQ(gLog, (std::vector<std::string>{"Popup WM_SHOWWINDOW", "Popup WM_WINDOWPOSCHANGING",
                                              "Popup WM_WINDOWPOSCHANGED"}));
    EXPECT_NE(input::DumpWindows().find(std::string("\"Popup\" [500,100,700,300] ") + (c.visible ? "visible" : "hidden")),
              std::string::npos)
        << input::DumpWindows();
    Quit(m, p, "Main");
    m.Release(p);
  }
}

TEST_F(User, MinimisingMovesTheWindowAwayAndRestoringBringsItBackWhereItWas) {
  struct Step {
    uint16_t key;
    bool iconic;
    RECT rect;
    std::vector<std::string> log;
  } steps[] = {
      {'M', true, {-32000, -32000, -31840, -31976}, {"Main WM_SIZE"}},
      {'R', false, {20, 30, 320, 230}, {"Main WM_SIZE"}},
      {'M', true, {-32000, -32000, -31840, -31976}, {"Main WM_SIZE"}},
      {'R', false, {20, 30, 320, 230}, {"Main WM_SIZE"}},
  };
  Machine m;
  gWatch = {WM_SIZE};
  HWND main = nullptr;
  std::vector<WPARAM> sizes;
  Behaviour mainB{"Main", [&](HWND h, UINT msg, WPARAM wp, LPARAM, LRESULT*) {
                    if (msg == WM_SIZE) sizes.push_back(wp);
                    if (msg == WM_SYSKEYDOWN || msg == WM_KEYDOWN) {
                      if (wp == 'M') ShowWindow(h, SW_MINIMIZE);
                      if (wp == 'R') ShowWindow(h, SW_RESTORE);
                    }
                    return false;
                  }};
  void* p = m.Start("ui.exe", 32, [&] {
    return UiProgram([&] { main = Make(&mainB, "Main", WS_OVERLAPPEDWINDOW | WS_VISIBLE, nullptr, 0, {20, 30, 320, 230}); });
  });
  m.RunUntil([] { return FindWindowA(nullptr, "Main") != nullptr; }, 1000);
  for (const Step& s : steps) {
    SCOPED_TRACE(std::string(1, static_cast<char>(s.key)));
    gLog.clear();
    sizes.clear();
    ASSERT_TRUE(input::Key({"Main"}, s.key));
    EXPECT_EQ(IsIconic(main) != FALSE, s.iconic);
    RECT r{};
    GetWindowRect(main, &r);
    EXPECT_EQ(std::vector<LONG>({r.left, r.top, r.right, r.bottom}),
              std::vector<LONG>({s.rect.left, s.rect.top, s.rect.right, s.rect.bottom}));
    EXPECT_EQ(gLog, s.log);
    EXPECT_EQ(sizes, std::vector<WPARAM>{s.iconic ? SIZE_MINIMIZED : SIZE_RESTORED});
    EXPECT_TRUE(IsWindowVisible(main));
  }
  Quit(m, p, "Main");
  m.Release(p);
}

TEST_F(User, TheFocusedWindowLosesTheFocusWhenItIsHiddenOrDisabled) {
  struct Case {
    const char* name;
    uint16_t key;
    const char* focusAfter;  // the window that has the focus afterwards, or null
    std::vector<std::string> log;
  } cases[] = {
      {"hidden", 'H', "Main", {"Field WM_KILLFOCUS", "Main WM_SETFOCUS"}},
      {"disabled", 'D', nullptr, {"Field WM_KILLFOCUS"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    HWND main = nullptr, field = nullptr, focus = reinterpret_cast<HWND>(1);
    // The key's release goes to the focus window, or as a system key to the active window without one.
    auto recordFocus = [&](HWND, UINT msg, WPARAM, LPARAM, LRESULT*) {
      if (msg == WM_KEYUP || msg == WM_SYSKEYUP) focus = GetFocus();
      return false;
    };
    Behaviour mainB{"Main", recordFocus};
    Behaviour fieldB{"Field", [&](HWND h, UINT msg, WPARAM wp, LPARAM lp, LRESULT* r) {
                       if (msg == WM_LBUTTONDOWN) SetFocus(h);
                       if (msg == WM_KEYDOWN && wp == 'H') ShowWindow(h, SW_HIDE);
                       if (msg == WM_KEYDOWN && wp == 'D') EnableWindow(h, FALSE);
                       return recordFocus(h, msg, wp, lp, r);
                     }};
    void* p = m.Start("ui.exe", 64, [&] {
      return UiProgram([&] {
        main = Make(&mainB, "Main", WS_OVERLAPPEDWINDOW | WS_VISIBLE, nullptr, 0, {0, 0, 400, 300});
        field = Make(&fieldB, "Field", WS_CHILD | WS_VISIBLE | WS_BORDER, main, 7, {10, 10, 110, 40});
      });
    });
    m.RunUntil([] { return FindWindowA(nullptr, "Main") != nullptr; }, 1000);
    ASSERT_TRUE(input::Click({"Main", "", {7}}));
    gWatch = {WM_SETFOCUS, WM_KILLFOCUS};
    gLog.clear();
    ASSERT_TRUE(input::Key({"Main"}, c.key));
    EXPECT_EQ(gLog, c.log);
    EXPECT_NE(input::DumpWindows().find(std::string("\"Field\" [14,33,114,63] ") + (c.key == 'H' ? "hidden enabled" : "visible disabled") + " style"),
              std::string::npos)
        << input::DumpWindows();
    EXPECT_EQ(focus, c.focusAfter != nullptr ? main : nullptr);
    Quit(m, p, "Main");
    m.Release(p);
  }
}

TEST_F(User, MouseMessagesComeAfterTheHitTestAndTheCursorMessageAndPassThroughTransparentWindows) {
  struct Case {
    const char* name;
    std::vector<int> ids;
    std::vector<std::string> log;
  } cases[] = {
      {"a plain child takes the click, its parent asked first about the cursor",
       {1},
       {"Button WM_NCHITTEST", "Button WM_SETCURSOR", "Main WM_SETCURSOR", "Button WM_MOUSEMOVE",
        "Button WM_NCHITTEST", "Button WM_SETCURSOR", "Main WM_SETCURSOR", "Button WM_LBUTTONDOWN",
        "Button WM_NCHITTEST", "Button WM_SETCURSOR", "Main WM_SETCURSOR", "Button WM_LBUTTONUP"}},
      {"a transparent child passes it to its parent",
       {2},
       {"Label WM_NCHITTEST", "Main WM_NCHITTEST", "Main WM_SETCURSOR", "Main WM_MOUSEMOVE", "Label WM_NCHITTEST",
        "Main WM_NCHITTEST", "Main WM_SETCURSOR", "Main WM_LBUTTONDOWN", "Label WM_NCHITTEST", "Main WM_NCHITTEST",
        "Main WM_SETCURSOR", "Main WM_LBUTTONUP"}},
      {"a transparent child passes it to the sibling beneath",
       {3},
       {"Over WM_NCHITTEST", "Under WM_NCHITTEST", "Under WM_SETCURSOR", "Main WM_SETCURSOR", "Under WM_MOUSEMOVE",
        "Over WM_NCHITTEST", "Under WM_NCHITTEST", "Under WM_SETCURSOR", "Main WM_SETCURSOR", "Under WM_LBUTTONDOWN",
        "Over WM_NCHITTEST", "Under WM_NCHITTEST", "Under WM_SETCURSOR", "Main WM_SETCURSOR", "Under WM_LBUTTONUP"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    auto transparent = [](HWND, UINT msg, WPARAM, LPARAM, LRESULT* r) {
      if (msg != WM_NCHITTEST) return false;
      *r = HTTRANSPARENT;
      return true;
    };
    Behaviour mainB{"Main", nullptr}, buttonB{"Button", nullptr}, labelB{"Label", transparent},
        overB{"Over", transparent}, underB{"Under", nullptr};
    void* p = m.Start("ui.exe", 64, [&] {
      return UiProgram([&] {
        HWND main = Make(&mainB, "Main", WS_OVERLAPPEDWINDOW | WS_VISIBLE, nullptr, 0, {0, 0, 400, 300});
        Make(&buttonB, "Button", WS_CHILD | WS_VISIBLE, main, 1, {10, 10, 110, 40});
        Make(&labelB, "Label", WS_CHILD | WS_VISIBLE, main, 2, {10, 60, 110, 90});
        Make(&overB, "Over", WS_CHILD | WS_VISIBLE, main, 3, {200, 10, 300, 40});
        Make(&underB, "Under", WS_CHILD | WS_VISIBLE, main, 4, {190, 0, 310, 50});
      });
    });
    m.RunUntil([] { return FindWindowA(nullptr, "Main") != nullptr; }, 1000);
    gWatch = {WM_NCHITTEST, WM_SETCURSOR, WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_LBUTTONUP};
    gLog.clear();
    ASSERT_TRUE(input::Click({"Main", "", c.ids}));
    EXPECT_EQ(gLog, c.log);
    POINT cursor{};
    GetCursorPos(&cursor);
    HWND target = GetDlgItem(FindWindowA(nullptr, "Main"), c.ids[0]);
    RECT r{};
    GetWindowRect(target, &r);
    EXPECT_EQ(cursor.x, (r.left + r.right) / 2);
    Quit(m, p, "Main");
    m.Release(p);
  }
}

TEST_F(User, GetKeyStateDuringAMessageIsTheStateAsOfThatMessage) {
  struct Case {
    const char* name;
    uint16_t vk;
    bool shift;
    bool control;
    int ch;
  } cases[] = {
      {"a", 'A', false, false, 'a'},
      {"Shift+A", 'A', true, false, 'A'},
      {"Ctrl+A", 'A', false, true, 1},
      {"Shift+2", '2', true, false, '@'},
      {"Shift+;", VK_OEM_1, true, false, ':'},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    SHORT shiftAtKey = 0, controlAtKey = 0, shiftAtUp = 0;
    int ch = -1;
    Behaviour mainB{"Main", [&](HWND, UINT msg, WPARAM wp, LPARAM, LRESULT*) {
                      if (msg == WM_KEYDOWN && wp == c.vk) {
                        shiftAtKey = GetKeyState(VK_SHIFT);
                        controlAtKey = GetKeyState(VK_CONTROL);
                      }
                      if (msg == WM_KEYUP && wp == c.vk) shiftAtUp = GetKeyState(VK_SHIFT);
                      if (msg == WM_CHAR) ch = static_cast<int>(wp);
                      return false;
                    }};
    void* p = m.Start("ui.exe", 64, [&] {
      return UiProgram([&] { Make(&mainB, "Main", WS_OVERLAPPEDWINDOW | WS_VISIBLE, nullptr, 0, {0, 0, 400, 300}); });
    });
    m.RunUntil([] { return FindWindowA(nullptr, "Main") != nullptr; }, 1000);
    ASSERT_TRUE(input::Key({"Main"}, c.vk, c.shift, c.control));
    EXPECT_EQ(shiftAtKey < 0, c.shift);
    EXPECT_EQ(controlAtKey < 0, c.control);
    EXPECT_EQ(shiftAtUp < 0, c.shift) << "Shift is released only after the key";
    EXPECT_EQ(ch, c.ch);
    EXPECT_EQ(GetAsyncKeyState(VK_SHIFT), 0) << "the keyboard has let go";
    Quit(m, p, "Main");
    m.Release(p);
  }
}

TEST_F(User, AnIdleThreadWithA500MsTimerWakesTwentyTimesInTenSecondsForTwentyTimersAndNothingElse) {
  Machine m;
  std::vector<UINT> got;
  uint32_t thread = 0;
  void* p = m.Start("ui.exe", 64, [&]() -> uint32_t {
    thread = GetCurrentThreadId();
    SetTimer(nullptr, 0, 500, nullptr);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0)) got.push_back(msg.message);
    return 0;
  });
  m.RunUntil([&] { return thread != 0; }, 0);
  uint64_t start = m.NowMs();
  uint64_t wakesBefore = input::Wakes(thread);
  m.RunFor(10000);
  EXPECT_EQ(m.NowMs() - start, 10000u);
  EXPECT_EQ(input::Wakes(thread) - wakesBefore, 20u);
  EXPECT_EQ(got, std::vector<UINT>(20, WM_TIMER));
  PostThreadMessageA(thread, WM_QUIT, 0, 0);
  m.Wait(p);
  m.Release(p);
}

TEST_F(User, ATimerTakenLateGivesOneMessageAndKeepsItsBeat) {
  Machine m;
  std::vector<uint64_t> at;
  void* p = m.Start("ui.exe", 64, [&]() -> uint32_t {
    SetTimer(nullptr, 0, 100, nullptr);
    Sleep(350);  // three beats pass while the thread is busy
    MSG msg;
    while (at.size() < 3 && GetMessageA(&msg, nullptr, 0, 0))
      if (msg.message == WM_TIMER) at.push_back(msg.time);
    return 0;
  });
  m.Wait(p);
  EXPECT_EQ(at, (std::vector<uint64_t>{350, 400, 500}));
  m.Release(p);
}

TEST_F(User, RetrievalFollowsWindowsOrderSentPostedInputPaintTimer) {
  Machine m;
  std::vector<std::string> order;
  void* p = m.Start("ui.exe", 64, [&]() -> uint32_t {
    Behaviour mainB{"Main", [&](HWND, UINT msg, WPARAM wp, LPARAM, LRESULT*) {
                      if (msg == WM_USER + 1) order.push_back("sent");
                      if (msg == WM_USER) order.push_back("posted " + std::to_string(wp));
                      if (msg == WM_PAINT) order.push_back("paint");
                      if (msg == WM_TIMER) order.push_back("timer");
                      if (msg == WM_KEYDOWN) order.push_back("input");
                      return false;
                    }};
    return UiProgram([&] {
      HWND main = Make(&mainB, "Main", WS_OVERLAPPEDWINDOW, nullptr, 0, {0, 0, 100, 100});
      SetTimer(main, 1, 10, nullptr);
      Sleep(20);  // the timer is due
      ShowWindow(main, SW_SHOWNOACTIVATE);  // a paint is due, no focus
      SetFocus(main);
      PostMessageA(main, WM_USER, 1, 0);
      PostMessageA(main, WM_USER, 2, 0);
      order.push_back("built");
    });
  });
  m.RunUntil([] { return FindWindowA(nullptr, "Main") != nullptr; }, 1000);
  m.RunUntil([] { return input::Idle(input::ThreadOf({"Main"})); }, 1000);
  Quit(m, p, "Main");
  m.Release(p);
  ASSERT_GE(order.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(order.begin(), order.begin() + 5),
            (std::vector<std::string>{"built", "posted 1", "posted 2", "paint", "timer"}));
}


// A window of the test class that answers WM_USER with wParam + lParam and WM_USER + 1 by sending
// WM_USER back to the window in lParam (a send answered inside a send).
LRESULT AdderProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_USER) return static_cast<LRESULT>(wParam) + lParam;
  if (message == WM_USER + 1) return SendMessageA(reinterpret_cast<HWND>(lParam), WM_USER, wParam, 1000) + 1;
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

HWND MakeAdder(const char* caption) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = AdderProc;
  wc.lpszClassName = "QxAdder";
  RegisterClassA(&wc);
  return CreateWindowExA(0, "QxAdder", caption, WS_OVERLAPPED, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
}

uint32_t PumpUntilQuit() {
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0)) DispatchMessageA(&msg);
  return static_cast<uint32_t>(msg.wParam);
}

TEST_F(User, ARegisteredMessageNameHasOneNumberForTheWholeMachineWhateverItsCase) {
  struct Case {
    const char* first;   // as the first process registers it
    const char* second;  // as the second does
    bool same;
  } cases[] = {
      {"QX5310_UWM_ARE_YOU_ME", "QX5310_UWM_ARE_YOU_ME", true},
      {"QX5310_UWM_ARE_YOU_ME", "qx5310_uwm_are_you_me", true},
      {"CEnterEdit_UWM_EDIT_COMPLETE-{165BBEA0-C1A8-11d5-A04D-006067718D04}",
       "CEnterEdit_UWM_EDIT_COMPLETE-{165bbea0-c1a8-11d5-a04d-006067718d04}", true},
      {"One", "Two", false},
  };
  Machine m;
  std::vector<UINT> first, second;
  for (bool two : {false, true}) {
    void* p = m.Start(two ? "b.exe" : "a.exe", two ? 32 : 64, [&]() -> uint32_t {
      for (const Case& c : cases) (two ? second : first).push_back(RegisterWindowMessageA(two ? c.second : c.first));
      return 0;
    });
    m.Wait(p);
    m.Release(p);
  }
  ASSERT_EQ(first.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].second);
    EXPECT_GE(first[i], 0xC000u);
    EXPECT_LE(first[i], 0xFFFFu);
    EXPECT_EQ(first[i] == second[i], cases[i].same);
  }
}

TEST_F(User, ATimedSendToAWindowWhoseThreadTakesNoMessagesCostsTheTimeOutAndFails) {
  struct Case {
    const char* name;
    uint64_t startAfterMs;  // when the sender starts, counted from the receiver's last look at its queue
    UINT flags;
    uint64_t costMs;
  } cases[] = {
      {"blocked, not yet hung", 1000, SMTO_BLOCK | SMTO_ABORTIFHUNG, 200},
      {"normal, hung", 6000, SMTO_NORMAL, 200},
      {"abort if hung, hung", 6000, SMTO_BLOCK | SMTO_ABORTIFHUNG, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    HWND target = nullptr;
    void* busy = m.Start("busy.exe", 64, [&]() -> uint32_t {
      target = MakeAdder("Busy");
      Sleep(60000);  // takes no messages
      return 0;
    });
    m.RunUntil([&] { return target != nullptr; }, 1000);
    m.RunFor(c.startAfterMs);
    LRESULT ok = -1;
    DWORD error = 0, cost = 0;
    DWORD_PTR result = 77;
    void* sender = m.Start("sender.exe", 32, [&]() -> uint32_t {
      DWORD start = timeGetTime();
      ok = SendMessageTimeoutA(target, WM_USER, 1, 2, c.flags, 200, &result);
      error = GetLastError();
      cost = timeGetTime() - start;
      return 0;
    });
    m.Wait(sender);
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(error, ERROR_TIMEOUT);
    EXPECT_EQ(cost, c.costMs);
    EXPECT_EQ(result, 0u);
    m.Kill(busy);
    m.Wait(busy);
    m.Release(sender);
    m.Release(busy);
  }
}

TEST_F(User, EnumWindowsFindsAnotherProcesssHiddenWindowAndNoneOfAnEndedProcess) {
  Machine m;
  auto captions = [&]() {
    std::vector<std::string> found;
    void* p = m.Start("enum.exe", 32, [&]() -> uint32_t {
      EnumWindows(
          [](HWND h, LPARAM l) -> BOOL {
            char text[64];
            GetWindowTextA(h, text, sizeof text);
            reinterpret_cast<std::vector<std::string>*>(l)->push_back(text);
            return TRUE;
          },
          reinterpret_cast<LPARAM>(&found));
      return 0;
    });
    m.Wait(p);
    m.Release(p);
    return found;
  };
  bool built = false;
  struct Case {
    const char* name;
    bool kill;
  } cases[] = {{"ended by itself", false}, {"killed", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    built = false;
    void* owner = m.Start("owner.exe", 64, [&]() -> uint32_t {
      MakeAdder("Hidden one");
      built = true;
      return PumpUntilQuit();
    });
    m.RunUntil([&] { return built; }, 1000);
    EXPECT_EQ(captions(), std::vector<std::string>{"Hidden one"});
    if (c.kill) {
      m.Kill(owner);
    } else {
      PostMessageA(FindWindowA("QxAdder", nullptr), WM_QUIT, 0, 0);
    }
    m.Wait(owner);
    m.Release(owner);
    EXPECT_EQ(captions(), std::vector<std::string>{});
  }
}

TEST_F(User, SendsAcrossThreadsAndProcessesAreAnsweredInOrderAndASendInsideASendIsServed) {
  for (uint64_t seed : qxtest::InterleavingSeeds(16)) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    Machine m(seed);
    HWND server = nullptr;
    // A second thread of the server's process sends to it as well.
    static LRESULT sibling;
    sibling = -1;
    void* serverProcess = m.Start("server.exe", 64, [&]() -> uint32_t {
      server = MakeAdder("Server");
      HANDLE t = CreateThread(nullptr, 0, [](LPVOID window) -> DWORD {
        sibling = SendMessageA(static_cast<HWND>(window), WM_USER, 40, 2);
        return 0;
      }, server, 0, nullptr);
      CloseHandle(t);
      return PumpUntilQuit();
    });
    m.RunUntil([&] { return server != nullptr; }, 1000);
    std::vector<std::vector<LRESULT>> answers(3);
    std::vector<void*> clients;
    for (int i = 0; i < 3; ++i) {
      clients.push_back(m.Start("client.exe", i == 1 ? 32 : 64, [&, i]() -> uint32_t {
        HWND own = MakeAdder("Client");
        for (LPARAM k = 0; k < 4; ++k) answers[i].push_back(SendMessageA(server, WM_USER, i * 100, k));
        answers[i].push_back(SendMessageA(server, WM_USER + 1, i, reinterpret_cast<LPARAM>(own)));
        DestroyWindow(own);
        return 0;
      }));
    }
    for (void* c : clients) m.Wait(c);
    for (int i = 0; i < 3; ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(answers[i], (std::vector<LRESULT>{i * 100, i * 100 + 1, i * 100 + 2, i * 100 + 3, i + 1000 + 1}));
    }
    EXPECT_EQ(sibling, 42);
    PostMessageA(server, WM_QUIT, 0, 0);
    m.Wait(serverProcess);
    for (void* c : clients) m.Release(c);
    m.Release(serverProcess);
  }
}

TEST_F(User, ASenderWaitingOnAProcessThatIsKilledIsReleasedWithZero) {
  for (uint64_t seed : qxtest::InterleavingSeeds(16)) {
    SCOPED_TRACE(qxtest::SeedTrace(seed));
    Machine m(seed);
    HWND target = nullptr;
    void* stuck = m.Start("stuck.exe", 64, [&]() -> uint32_t {
      target = MakeAdder("Stuck");
      HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
      WaitForSingleObject(never, INFINITE);
      return 0;
    });
    m.RunUntil([&] { return target != nullptr; }, 1000);
    LRESULT answer = -1;
    bool returned = false;
    void* sender = m.Start("sender.exe", 32, [&]() -> uint32_t {
      answer = SendMessageA(target, WM_USER, 5, 6);
      returned = true;
      return 0;
    });
    m.RunFor(50);
    EXPECT_FALSE(returned) << "the sender waits while the receiver lives";
    m.Kill(stuck);
    m.Wait(stuck);
    m.Wait(sender);
    EXPECT_TRUE(returned);
    EXPECT_EQ(answer, 0);
    EXPECT_FALSE(IsWindow(target));
    m.Release(sender);
    m.Release(stuck);
  }
}
}  // namespace
