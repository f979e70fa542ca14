// The controls and the dialog manager as programs see them: what code sets without notification,
// and what a person's clicks and keys (entered by the scripted input driver) send the parent, in
// order.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/win32/InputDriver.h"
#include "platform/win32/include/commctrl.h"
#include "platform/win32/include/windows.h"
#include "tests/platform/win32/ControlHost.h"
#include "tests/platform/win32/TestMachine.h"

namespace {

using w32test::Machine;
namespace input = plat::win32::input;

// What the host window heard from its controls: "command <id> <code>", "notify <id> <code>",
// "hscroll <code> <pos>", "vscroll <code> <pos>".
std::vector<std::string> gLog;
// The host's answer to UDN_DELTAPOS; it may change the record or the control.
std::function<LRESULT(NMUPDOWN*)> gDeltaPos;

LRESULT CALLBACK HostProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      gLog.push_back("command " + std::to_string(LOWORD(wParam)) + " " + std::to_string(HIWORD(wParam)));
      return 0;
    case WM_NOTIFY: {
      auto* h = reinterpret_cast<NMHDR*>(lParam);
      gLog.push_back("notify " + std::to_string(h->idFrom) + " " + std::to_string(static_cast<int>(h->code)));
      if (h->code == UDN_DELTAPOS && gDeltaPos) return gDeltaPos(reinterpret_cast<NMUPDOWN*>(lParam));
      return 0;
    }
    case WM_HSCROLL:
    case WM_VSCROLL:
      gLog.push_back(std::string(message == WM_HSCROLL ? "hscroll " : "vscroll ") + std::to_string(LOWORD(wParam)) +
                     " " + std::to_string(static_cast<SHORT>(HIWORD(wParam))));
      return 0;
    default: return DefWindowProcA(hwnd, message, wParam, lParam);
  }
}

using test::Control;

uint32_t HostProgram(const std::vector<Control>& controls) {
  return test::RunControlHost(HostProc, "QxControlHost", controls);
}

class Controls : public ::testing::Test {
 protected:
  void SetUp() override {
    gLog.clear();
    gDeltaPos = nullptr;
  }
  void TearDown() override {
    if (process_ != nullptr) {
      PostMessageA(FindWindowA(nullptr, "Host"), WM_QUIT, 0, 0);
      machine_.Wait(process_);
      machine_.Release(process_);
    }
  }
  void Run(std::vector<Control> controls) {
    process_ = machine_.Start("host.exe", 64, [controls] { return HostProgram(controls); });
    ASSERT_TRUE(machine_.RunUntil([] { return FindWindowA(nullptr, "Host") != nullptr; }, 1000));
    gLog.clear();
  }
  HWND Item(int id) { return GetDlgItem(FindWindowA(nullptr, "Host"), id); }
  // A message sent by code, from another thread of the program.
  LRESULT Send(int id, UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    EXPECT_TRUE(machine_.RunIn(process_, [&] { result = SendMessageA(Item(id), message, wParam, lParam); }));
    return result;
  }
  std::string Text(int id) {
    char text[128] = {};
    machine_.RunIn(process_, [&] { GetWindowTextA(Item(id), text, sizeof text); });
    return text;
  }

  Machine machine_;
  void* process_ = nullptr;
};

TEST_F(Controls, SettersNotifyNobody) {
  Run({{"Button", 10, "Check", BS_AUTOCHECKBOX, {10, 10, 110, 30}},
       {"ComboBox", 11, "", CBS_DROPDOWNLIST, {10, 40, 160, 60}},
       {UPDOWN_CLASSA, 12, "", 0, {200, 10, 216, 40}},
       {TRACKBAR_CLASSA, 13, "", TBS_AUTOTICKS, {10, 100, 210, 130}}});
  Send(11, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("one"));
  Send(11, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("two"));
  struct Case {
    const char* name;
    int id;
    UINT set;
    WPARAM wParam;
    LPARAM lParam;
    UINT get;
    LRESULT expected;
  } cases[] = {
      {"BM_SETCHECK", 10, BM_SETCHECK, BST_CHECKED, 0, BM_GETCHECK, BST_CHECKED},
      {"CB_SETCURSEL", 11, CB_SETCURSEL, 1, 0, CB_GETCURSEL, 1},
      {"UDM_SETPOS", 12, UDM_SETPOS, 0, 40, UDM_GETPOS, 40},
      {"TBM_SETPOS", 13, TBM_SETPOS, TRUE, 70, TBM_GETPOS, 70},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    gLog.clear();
    Send(c.id, c.set, c.wParam, c.lParam);
    EXPECT_EQ(Send(c.id, c.get, 0, 0), c.expected);
    EXPECT_TRUE(gLog.empty()) << gLog.front();
  }
  EXPECT_EQ(Text(11), "two");
}

TEST_F(Controls, APersonsActionChangesTheControlBeforeItsNotification) {
  Run({{"Button", 10, "Check", BS_AUTOCHECKBOX, {10, 10, 110, 30}},
       {"Button", 20, "A", BS_AUTORADIOBUTTON | WS_GROUP | WS_TABSTOP, {10, 200, 110, 220}},
       {"Button", 21, "B", BS_AUTORADIOBUTTON, {10, 230, 110, 250}},
       {"Button", 22, "C", BS_AUTORADIOBUTTON, {10, 260, 110, 280}},
       {"Button", 30, "Push", BS_PUSHBUTTON | WS_GROUP, {300, 200, 380, 230}}});
  struct Case {
    const char* name;
    int id;
    std::vector<std::string> log;
    std::vector<std::pair<int, LRESULT>> checks;
  } cases[] = {
      {"check box on", 10, {"command 10 0"}, {{10, BST_CHECKED}}},
      {"check box off", 10, {"command 10 0"}, {{10, BST_UNCHECKED}}},
      {"radio B", 21, {"command 21 0"}, {{20, BST_UNCHECKED}, {21, BST_CHECKED}, {22, BST_UNCHECKED}}},
      {"radio C clears B", 22, {"command 22 0"}, {{20, BST_UNCHECKED}, {21, BST_UNCHECKED}, {22, BST_CHECKED}}},
      {"push button", 30, {"command 30 0"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    gLog.clear();
    ASSERT_TRUE(input::Click({"Host", "", {c.id}}));
    EXPECT_EQ(gLog, c.log);
    for (auto [id, state] : c.checks) EXPECT_EQ(Send(id, BM_GETCHECK, 0, 0), state) << id;
  }
}

TEST_F(Controls, ADropDownListChosenByKeysSendsSelChange) {
  Run({{"ComboBox", 11, "", CBS_DROPDOWNLIST | CBS_SORT, {10, 40, 160, 60}}});
  for (const char* s : {"48000", "44100", "96000"}) Send(11, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(s));
  char text[16] = {};
  Send(11, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(text));
  EXPECT_STREQ(text, "44100");
  ASSERT_TRUE(input::Click({"Host", "", {11}}));  // focus, and the list drops
  ASSERT_TRUE(input::Key({"Host", "", {11}}, VK_ESCAPE));
  gLog.clear();
  struct Case {
    WORD vk;
    LRESULT selection;
    std::vector<std::string> log;
  } cases[] = {
      {VK_DOWN, 0, {"command 11 1"}},
      {VK_DOWN, 1, {"command 11 1"}},
      {VK_END, 2, {"command 11 1"}},
      {VK_DOWN, 2, {}},
      {VK_HOME, 0, {"command 11 1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.vk);
    gLog.clear();
    ASSERT_TRUE(input::Key({"Host", "", {11}}, c.vk));
    EXPECT_EQ(Send(11, CB_GETCURSEL, 0, 0), c.selection);
    EXPECT_EQ(gLog, c.log);
  }
}

TEST_F(Controls, ADropDownListChosenByMouseDropsItsListAndSendsSelChangeOnlyForAnotherString) {
  Run({{"ComboBox", 11, "", CBS_DROPDOWNLIST, {10, 40, 160, 140}}});
  for (const char* s : {"44100", "48000", "96000"}) Send(11, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(s));
  RECT field{};
  machine_.RunIn(process_, [&] { GetWindowRect(Item(11), &field); });
  EXPECT_EQ(field.bottom - field.top, 21) << "the window is its selection field; the rest is the list's";
  auto dropped = [] { return FindWindowA("ComboLBox", nullptr) != nullptr; };
  auto clickRow = [](int row) { return input::Click({"ComboLBox"}, input::Point{20, row * 13 + 6}); };
  struct Case {
    const char* name;
    std::function<bool()> close;
    LRESULT selection;
    std::vector<std::string> log;  // after the drop's own "command 11 7"
  } cases[] = {
      {"a string chosen", [&] { return clickRow(2); }, 2, {"command 11 8", "command 11 9", "command 11 1"}},
      {"the same string again", [&] { return clickRow(2); }, 2, {"command 11 8", "command 11 9"}},
      {"another string", [&] { return clickRow(0); }, 0, {"command 11 8", "command 11 9", "command 11 1"}},
      {"a click outside the list", [] { return input::Click({"Host"}, input::Point{400, 300}); }, 0,
       {"command 11 8", "command 11 10"}},
      {"a click on the field again", [] { return input::Click({"Host", "", {11}}); }, 0,
       {"command 11 8", "command 11 10"}},
  };
  ASSERT_TRUE(input::Click({"Host", "", {11}}));
  ASSERT_TRUE(input::Key({"Host", "", {11}}, VK_ESCAPE));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    gLog.clear();
    ASSERT_TRUE(input::Click({"Host", "", {11}}));
    ASSERT_TRUE(dropped());
    EXPECT_EQ(gLog, std::vector<std::string>{"command 11 7"});
    std::string dump = input::DumpWindows();
    EXPECT_NE(dump.find("ComboLBox id=0 \"44100\n48000\n96000\" [" + std::to_string(field.left) + "," +
                        std::to_string(field.bottom) + "," + std::to_string(field.right) + "," +
                        std::to_string(field.bottom + 3 * 13 + 2) + "] visible"),
              std::string::npos)
        << dump;
    gLog.clear();
    ASSERT_TRUE(c.close());
    EXPECT_FALSE(dropped());
    EXPECT_EQ(Send(11, CB_GETCURSEL, 0, 0), c.selection);
    EXPECT_EQ(gLog, c.log);
  }
}

TEST_F(Controls, ClicksOnStaticsAndEditsNotifyTheParentInOrder) {
  Run({{"Static", 30, "Link", SS_NOTIFY, {10, 10, 110, 30}},
       {"Static", 31, "Label", SS_LEFT, {10, 40, 110, 60}},
       {"Edit", 15, "", WS_BORDER, {200, 10, 300, 30}},
       {"Edit", 16, "", WS_BORDER, {200, 40, 300, 60}}});
  struct Case {
    const char* name;
    int id;
    std::vector<std::string> log;
  } cases[] = {
      {"a static with SS_NOTIFY", 30, {"command 30 0"}},
      {"a static without it lets the click through", 31, {}},
      {"the first edit takes the focus", 15, {"command 15 256"}},
      {"the second edit: the first hears its loss first", 16, {"command 15 512", "command 16 256"}},
      {"and back", 15, {"command 16 512", "command 15 256"}},
      {"a click in the focused edit", 15, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    gLog.clear();
    ASSERT_TRUE(input::Click({"Host", "", {c.id}}));
    EXPECT_EQ(gLog, c.log);
  }
}

TEST_F(Controls, ATooltipsTextsShowInTheWindowDump) {
  Run({{TOOLTIPS_CLASSA, 40, "", 0, {0, 0, 0, 0}}});
  HWND host = FindWindowA(nullptr, "Host");
  auto tool = [host](UINT_PTR id, const char* text) {
    TTTOOLINFOA ti{};
    ti.cbSize = sizeof ti;
    ti.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    ti.hwnd = host;
    ti.uId = id;
    ti.lpszText = const_cast<LPSTR>(text);
    return ti;
  };
  struct Case {
    const char* name;
    UINT message;
    UINT_PTR id;
    const char* text;
    const char* shown;
  } cases[] = {
      {"a tool", TTM_ADDTOOLA, 15, "Sample rate", "15: Sample rate"},
      {"a second", TTM_ADDTOOLA, 16, "Latency", "15: Sample rate\n16: Latency"},
      {"a text updated", TTM_UPDATETIPTEXTA, 15, "Rate", "15: Rate\n16: Latency"},
      {"a tool of that id again is refused", TTM_ADDTOOLA, 16, "Other", "15: Rate\n16: Latency"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TTTOOLINFOA ti = tool(c.id, c.text);
    Send(40, c.message, 0, reinterpret_cast<LPARAM>(&ti));
    std::string dump = input::DumpWindows();
    EXPECT_NE(dump.find(std::string(TOOLTIPS_CLASSA) + " id=40 \"" + c.shown + "\""), std::string::npos) << dump;
  }
}

TEST_F(Controls, AnActionFromASimulatedThreadOnlyQueuesItsInputForTheWindowsThread) {
  Run({{"Button", 10, "Check", BS_AUTOCHECKBOX, {10, 10, 110, 30}}, {"Edit", 15, "", WS_BORDER, {200, 10, 300, 30}}});
  struct Case {
    const char* name;
    std::function<bool()> act;
    std::vector<std::string> log;
  } cases[] = {
      {"a click", [] { return input::Click({"Host", "", {10}}); }, {"command 10 0"}},
      {"a click into the edit", [] { return input::Click({"Host", "", {15}}); }, {"command 15 256"}},
      {"typing", [] { return input::Type({"Host", "", {15}}, "7"); }, {"command 15 1024", "command 15 768"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    gLog.clear();
    bool queued = false;
    std::vector<std::string> seenAtOnce;
    ASSERT_TRUE(machine_.RunIn(process_, [&] {
      queued = c.act();
      seenAtOnce = gLog;
    }));
    EXPECT_TRUE(queued);
    EXPECT_TRUE(seenAtOnce.empty()) << "the action returned before the window's thread took it";
    machine_.RunUntil([&] { return gLog.size() >= c.log.size(); }, 1000);
    EXPECT_EQ(gLog, c.log);
  }
  EXPECT_EQ(Text(15), "7");
}

TEST_F(Controls, AnUpDownAsksItsParentBeforeEachStepAndReportsAfter) {
  constexpr int kUp = 12, kBuddy = 14;
  // The buddy edit reports each number the up-down writes into it: EN_UPDATE, then EN_CHANGE.
  const std::string kBuddyChanged = "command 14 1024", kBuddyChanged2 = "command 14 768";
  struct Case {
    const char* name;
    LPARAM range;  // MAKELONG(upper, lower)
    int start;
    const char* buddyText;
    bool clickUp;
    std::function<LRESULT(NMUPDOWN*)> handler;
    int expected;
    std::vector<std::string> log;
  } cases[] = {
      {"a step up", MAKELONG(10, 0), 5, nullptr, true, nullptr, 6,
       {"notify 12 -722", kBuddyChanged, kBuddyChanged2, "vscroll 4 6", "vscroll 8 6"}},
      {"the handler vetoes", MAKELONG(10, 0), 5, nullptr, true, [](NMUPDOWN*) -> LRESULT { return 1; }, 5,
       {"notify 12 -722", "vscroll 8 5"}},
      {"an inverted range: up lowers", MAKELONG(0, 10), 5, nullptr, true, nullptr, 4,
       {"notify 12 -722", kBuddyChanged, kBuddyChanged2, "vscroll 4 4", "vscroll 8 4"}},
      {"clamped at the top without wrapping", MAKELONG(10, 0), 10, nullptr, true, nullptr, 10,
       {"notify 12 -722", kBuddyChanged, kBuddyChanged2, "vscroll 4 10", "vscroll 8 10"}},
      {"the handler set the position and changed the delta", MAKELONG(100, 0), 5, nullptr, true,
       [](NMUPDOWN* nm) -> LRESULT {
         SendMessageA(nm->hdr.hwndFrom, UDM_SETPOS, 0, 50);
         nm->iDelta = 10;
         return 0;
       },
       60, {"notify 12 -722", kBuddyChanged, kBuddyChanged2, kBuddyChanged, kBuddyChanged2, "vscroll 4 60", "vscroll 8 60"}},
      {"a buddy holding a number is read first", MAKELONG(100, 0), 5, "20", false, nullptr, 19,
       {"notify 12 -722", kBuddyChanged, kBuddyChanged2, "vscroll 4 19", "vscroll 8 19"}},
      {"a buddy holding no number leaves the position", MAKELONG(100, 0), 5, "abc", true, nullptr, 6,
       {"notify 12 -722", kBuddyChanged, kBuddyChanged2, "vscroll 4 6", "vscroll 8 6"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    gDeltaPos = nullptr;
    Run({{"Edit", kBuddy, "", WS_BORDER, {10, 10, 80, 30}},
         {UPDOWN_CLASSA, kUp, "", UDS_AUTOBUDDY | UDS_SETBUDDYINT | UDS_ALIGNRIGHT | UDS_ARROWKEYS, {0, 0, 16, 20}}});
    Machine& m = machine_;
    void* p = process_;
    HWND host = FindWindowA(nullptr, "Host");
    m.RunIn(p, [&] {
      SendDlgItemMessageA(host, kUp, UDM_SETRANGE, 0, c.range);
      SendDlgItemMessageA(host, kUp, UDM_SETPOS, 0, c.start);
      if (c.buddyText != nullptr) SetDlgItemTextA(host, kBuddy, c.buddyText);
    });
    gLog.clear();
    gDeltaPos = c.handler;
    RECT r{};
    m.RunIn(p, [&] { GetClientRect(GetDlgItem(host, kUp), &r); });
    ASSERT_TRUE(input::Click({"Host", "", {kUp}}, input::Point{r.right / 2, c.clickUp ? 2 : r.bottom - 2}));
    EXPECT_EQ(gLog, c.log);
    LRESULT pos = 0;
    char buddy[16] = {};
    m.RunIn(p, [&] {
      pos = SendDlgItemMessageA(host, kUp, UDM_GETPOS32, 0, 0);
      GetDlgItemTextA(host, kBuddy, buddy, sizeof buddy);
    });
    EXPECT_EQ(pos, c.expected);
    EXPECT_EQ(std::string(buddy), std::to_string(c.expected));
    PostMessageA(host, WM_QUIT, 0, 0);
    m.Wait(p);
    m.Release(p);
    process_ = nullptr;
  }
}

TEST_F(Controls, TrackbarKeysClicksAndDragsReportTheirScrollCodes) {
  // A trackbar 216 pixels wide: the channel runs from 8 to 208, two pixels a step over 0..100; the
  // input driver drags in four moves.
  Run({{TRACKBAR_CLASSA, 13, "", TBS_AUTOTICKS, {10, 100, 226, 130}}});
  struct Case {
    const char* name;
    std::function<bool()> act;
    int pos;
    std::vector<std::string> log;
  } cases[] = {
      {"click right of the thumb pages towards it", [] { return input::Click({"Host", "", {13}}, input::Point{150, 10}); },
       20, {"hscroll 3 0", "hscroll 8 0"}},
      {"right arrow", [] { return input::Key({"Host", "", {13}}, VK_RIGHT); }, 21, {"hscroll 1 0", "hscroll 8 0"}},
      {"left arrow", [] { return input::Key({"Host", "", {13}}, VK_LEFT); }, 20, {"hscroll 0 0", "hscroll 8 0"}},
      {"page down", [] { return input::Key({"Host", "", {13}}, VK_NEXT); }, 40, {"hscroll 3 0", "hscroll 8 0"}},
      {"page up", [] { return input::Key({"Host", "", {13}}, VK_PRIOR); }, 20, {"hscroll 2 0", "hscroll 8 0"}},
      {"end", [] { return input::Key({"Host", "", {13}}, VK_END); }, 100, {"hscroll 7 0", "hscroll 8 0"}},
      {"home", [] { return input::Key({"Host", "", {13}}, VK_HOME); }, 0, {"hscroll 6 0", "hscroll 8 0"}},
      {"drag the thumb", [] { return input::Drag({"Host", "", {13}}, {8, 10}, {108, 10}); }, 50,
       {"hscroll 5 13", "hscroll 5 25", "hscroll 5 38", "hscroll 5 50", "hscroll 4 50", "hscroll 8 0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    gLog.clear();
    ASSERT_TRUE(c.act());
    EXPECT_EQ(Send(13, TBM_GETPOS, 0, 0), c.pos);
    EXPECT_EQ(gLog, c.log);
  }
}

TEST_F(Controls, AnEditTakesTypingUpToItsLimitAndPastesEachWay) {
  Run({{"Edit", 15, "", WS_BORDER | ES_AUTOHSCROLL, {10, 10, 200, 30}}});
  Send(15, EM_LIMITTEXT, 6, 0);
  input::SetClipboardText("12345678");
  struct Case {
    const char* name;
    std::function<bool()> act;
    const char* text;
  } cases[] = {
      {"typing", [] { return input::Type({"Host", "", {15}}, "abc"); }, "abc"},
      {"Ctrl+V to the limit", [] { return input::Key({"Host", "", {15}}, 'V', false, true); }, "abc123"},
      {"typing at the limit", [] { return input::Type({"Host", "", {15}}, "z"); }, "abc123"},
  };
  ASSERT_TRUE(input::Click({"Host", "", {15}}));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(c.act());
    EXPECT_EQ(Text(15), c.text);
  }
  struct Paste {
    const char* name;
    std::function<bool()> act;
  } pastes[] = {
      {"Shift+Insert", [] { return input::Key({"Host", "", {15}}, VK_INSERT, true); }},
      {"WM_PASTE", [this] { Send(15, WM_PASTE, 0, 0); return true; }},
  };
  for (const Paste& p : pastes) {
    SCOPED_TRACE(p.name);
    Send(15, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("x"));
    Send(15, EM_SETSEL, 1, 1);
    gLog.clear();
    ASSERT_TRUE(p.act());
    EXPECT_EQ(Text(15), "x12345");
    EXPECT_EQ(gLog, (std::vector<std::string>{"command 15 1281", "command 15 1024", "command 15 768"}));
  }
}

// A program's copy through the clipboard API: a moveable block of text handed to the clipboard.
std::string Copy(HWND owner, const char* text) {
  if (!OpenClipboard(owner)) return "open refused " + std::to_string(GetLastError());
  EmptyClipboard();
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, std::strlen(text) + 1);
  std::memcpy(GlobalLock(block), text, std::strlen(text) + 1);
  GlobalUnlock(block);
  HANDLE set = SetClipboardData(CF_TEXT, block);
  std::string result = set == block ? "set" : "refused " + std::to_string(GetLastError());
  if (set == nullptr) GlobalFree(block);
  CloseClipboard();
  return result;
}

TEST_F(Controls, TheClipboardIsOneThreadsAtATimeTakesAMoveableBlockAndFeedsPaste) {
  Run({{"Edit", 15, "", WS_BORDER | ES_AUTOHSCROLL, {10, 10, 200, 30}}});
  HWND host = FindWindowA(nullptr, "Host");
  input::SetClipboardText("from a person");
  struct Case {
    const char* name;
    std::function<std::string()> act;  // run on a thread of its own in the program
    const char* result;
    const char* clipboard;
  } cases[] = {
      {"a copy by the program", [host] { return Copy(host, "4096"); }, "set", "4096"},
      {"data set without opening it",
       [] {
         HGLOBAL block = GlobalAlloc(GHND, 4);
         HANDLE set = SetClipboardData(CF_TEXT, block);
         DWORD error = GetLastError();
         GlobalFree(block);
         return set == nullptr ? "refused " + std::to_string(error) : std::string("set");
       },
       "refused 1418", "4096"},
      {"a fixed block",
       [host] {
         OpenClipboard(host);
         EmptyClipboard();
         HGLOBAL block = GlobalAlloc(GPTR, 4);
         HANDLE set = SetClipboardData(CF_TEXT, block);
         GlobalFree(block);
         CloseClipboard();
         return set == nullptr ? std::string("refused") : std::string("set");
       },
       "refused", ""},
      {"opened without a window and emptied, nothing may be set",
       [] {
         OpenClipboard(nullptr);
         EmptyClipboard();
         HGLOBAL block = GlobalAlloc(GHND, 4);
         HANDLE set = SetClipboardData(CF_TEXT, block);
         GlobalFree(block);
         CloseClipboard();
         return set == nullptr ? std::string("refused") : std::string("set");
       },
       "refused", ""},
      {"the block is the clipboard's once set",
       [host] {
         OpenClipboard(host);
         EmptyClipboard();
         HGLOBAL block = GlobalAlloc(GHND, 3);
         std::memcpy(GlobalLock(block), "48", 3);
         GlobalUnlock(block);
         SetClipboardData(CF_TEXT, block);
         CloseClipboard();
         return GlobalFree(block) == block && GetLastError() == ERROR_INVALID_HANDLE ? std::string("kept")
                                                                                     : std::string("freed");
       },
       "kept", "48"},
      {"read back as a program reads it",
       [host] {
         if (!IsClipboardFormatAvailable(CF_TEXT) || IsClipboardFormatAvailable(CF_BITMAP)) return std::string("formats");
         if (GetClipboardData(CF_TEXT) != nullptr) return std::string("read while closed");
         OpenClipboard(host);
         HANDLE block = GetClipboardData(CF_TEXT);
         std::string text = static_cast<const char*>(GlobalLock(block));
         BOOL more = GlobalUnlock(block);
         DWORD error = GetLastError();
         CloseClipboard();
         return text + (more == FALSE && error == ERROR_SUCCESS ? " unlocked" : " still locked");
       },
       "48 unlocked", "48"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string result;
    ASSERT_TRUE(machine_.RunIn(process_, [&] { result = c.act(); }));
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(input::ClipboardText(), c.clipboard);
  }
  // Open on a thread that has ended, it is closed again; open on one that runs, no other opens it
  // and the edit pastes nothing.
  Send(15, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(""));
  machine_.RunIn(process_, [host] { Copy(host, "96000"); });
  Send(15, WM_PASTE, 0, 0);
  EXPECT_EQ(Text(15), "96000");
  HANDLE release = nullptr;
  machine_.RunIn(process_, [&] {
    release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    CreateThread(nullptr, 0, [](LPVOID event) -> DWORD {
      OpenClipboard(nullptr);
      WaitForSingleObject(event, INFINITE);
      CloseClipboard();
      return 0;
    }, release, 0, nullptr);
  });
  std::string refused;
  machine_.RunIn(process_, [&] { refused = Copy(host, "1"); });
  EXPECT_EQ(refused, "open refused 5");
  Send(15, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(""));
  Send(15, WM_PASTE, 0, 0);
  EXPECT_EQ(Text(15), "");
  machine_.RunIn(process_, [&] { SetEvent(release); });
  machine_.RunFor(10);
  Send(15, WM_PASTE, 0, 0);
  EXPECT_EQ(Text(15), "96000");
}

}  // namespace
