// The property sheet driven by a person: pages made when first shown, a page that keeps itself,
// the buttons and their places, the ways a sheet ends, and a message box asked from a page while
// the sheet's timer keeps firing.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/win32/InputDriver.h"
#include "platform/win32/Snapshot.h"
#include "platform/win32/include/commctrl.h"
#include "platform/win32/include/windows.h"
#include "tests/platform/win32/DialogTemplates.h"
#include "tests/platform/win32/TestMachine.h"

namespace {

using w32test::Machine;
namespace input = plat::win32::input;

constexpr int kApply = 0x3021;
constexpr int kTabs = 0x3020;
constexpr int kEdit = 100;
constexpr int kAsk = 101;

// A page's template in memory: an edit and a button.
std::vector<DWORD> PageTemplate() {
  return w32test::Template(WS_CHILD | WS_CAPTION, "Page", 160, 80,
                           {{0x81, kEdit, "", WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL, 5, 5, 60, 14},
                            {0x80, kAsk, "Ask", WS_TABSTOP | BS_PUSHBUTTON, 5, 30, 60, 14}});
}

// What the pages heard, as "<page> <event>".
std::vector<std::string> gEvents;
bool gKeepPage = false;
int gTicks = 0;
int gAnswer = 0;

const char* PsnName(UINT code) {
  switch (code) {
    case PSN_SETACTIVE: return "setactive";
    case PSN_KILLACTIVE: return "killactive";
    case PSN_APPLY: return "apply";
    case PSN_RESET: return "reset";
    case PSN_QUERYCANCEL: return "querycancel";
    default: return "other";
  }
}

INT_PTR CALLBACK PageProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      SetWindowLongPtrA(hwnd, DWLP_USER, reinterpret_cast<const PROPSHEETPAGEA*>(lParam)->lParam);
      gEvents.push_back(std::to_string(reinterpret_cast<const PROPSHEETPAGEA*>(lParam)->lParam) + " init");
      return TRUE;
    case WM_NOTIFY: {
      auto* nm = reinterpret_cast<NMHDR*>(lParam);
      LONG_PTR page = GetWindowLongPtrA(hwnd, DWLP_USER);
      gEvents.push_back(std::to_string(page) + " " + PsnName(nm->code));
      SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, nm->code == PSN_KILLACTIVE && gKeepPage ? TRUE : FALSE);
      return TRUE;
    }
    case WM_COMMAND:
      if (LOWORD(wParam) == kAsk) gAnswer = MessageBoxA(hwnd, "Apply now?", "Asking", MB_YESNO | MB_ICONQUESTION);
      return TRUE;
    default: return FALSE;
  }
}

void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) { ++gTicks; }

int CALLBACK SheetCallback(HWND hwnd, UINT message, LPARAM) {
  if (message == PSCB_INITIALIZED) SetTimer(hwnd, 7, 500, Tick);
  return 0;
}

std::vector<DWORD> gPage;

uint32_t SheetProgram() {
  PROPSHEETPAGEA pages[3] = {};
  const char* titles[] = {"One", "Two", "Three"};
  for (int i = 0; i < 3; ++i) {
    pages[i].dwSize = sizeof(PROPSHEETPAGEA);
    pages[i].dwFlags = PSP_DLGINDIRECT | PSP_USETITLE;
    pages[i].pResource = reinterpret_cast<const DLGTEMPLATE*>(gPage.data());
    pages[i].pszTitle = titles[i];
    pages[i].pfnDlgProc = PageProc;
    pages[i].lParam = i;
  }
  PROPSHEETHEADERA header{};
  header.dwSize = sizeof header;
  header.dwFlags = PSH_PROPSHEETPAGE | PSH_HASHELP | PSH_USECALLBACK;
  header.pszCaption = "Settings";
  header.nPages = 3;
  header.ppsp = pages;
  header.pfnCallback = SheetCallback;
  return static_cast<uint32_t>(PropertySheetA(&header));
}

class PropertySheet : public ::testing::Test {
 protected:
  void SetUp() override {
    gEvents.clear();
    gKeepPage = false;
    gTicks = gAnswer = 0;
    gPage = PageTemplate();
    process_ = machine_.Start("sheet.exe", 64, [] { return SheetProgram(); });
    ASSERT_TRUE(machine_.RunUntil([] { return FindWindowA(nullptr, "Settings") != nullptr; }, 1000));
    sheet_ = FindWindowA(nullptr, "Settings");
  }
  void TearDown() override {
    if (!machine_.Ended(process_)) PostMessageA(sheet_, WM_QUIT, 0, 0);
    machine_.Wait(process_);
    machine_.Release(process_);
  }
  bool ClickTab(int index) { return input::Click({"Settings", "", {kTabs}}, input::Point{15 + 30 * index, 10}); }
  int Ends() {
    machine_.Wait(process_);
    return static_cast<int>(machine_.ExitCode(process_));
  }

  Machine machine_;
  void* process_ = nullptr;
  HWND sheet_ = nullptr;
};

TEST_F(PropertySheet, PagesAreMadeOnFirstActivationInOrderAndAKillActiveAnswerKeepsAPage) {
  EXPECT_EQ(gEvents, (std::vector<std::string>{"0 init", "0 setactive"}));
  struct Case {
    const char* name;
    bool keep;
    std::function<bool()> act;
    std::vector<std::string> events;
  } cases[] = {
      {"to page two", false, [this] { return ClickTab(1); }, {"0 killactive", "1 init", "1 setactive"}},
      {"page two keeps itself", true, [this] { return ClickTab(0); }, {"1 killactive"}},
      {"back to page one, made already", false, [this] { return ClickTab(0); }, {"1 killactive", "0 setactive"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    gEvents.clear();
    gKeepPage = c.keep;
    ASSERT_TRUE(c.act());
    EXPECT_EQ(gEvents, c.events);
  }
  gEvents.clear();
  HWND current = nullptr;
  ASSERT_TRUE(machine_.RunIn(process_, [&] {
    SendMessageA(sheet_, PSM_SETCURSEL, 2, 0);
    current = reinterpret_cast<HWND>(SendMessageA(sheet_, PSM_GETCURRENTPAGEHWND, 0, 0));
  }));
  EXPECT_EQ(gEvents, (std::vector<std::string>{"0 killactive", "2 init", "2 setactive"}));
  EXPECT_NE(current, nullptr);
  EXPECT_TRUE(IsWindowVisible(current));
}

TEST_F(PropertySheet, TheButtonsShareOneWidthSixPixelsApartSoOkMovesIntoHelpsPlace) {
  RECT ok{}, cancel{}, apply{}, help{};
  BOOL applyEnabled = TRUE;
  ASSERT_TRUE(machine_.RunIn(process_, [&] {
    GetWindowRect(GetDlgItem(sheet_, IDOK), &ok);
    GetWindowRect(GetDlgItem(sheet_, IDCANCEL), &cancel);
    GetWindowRect(GetDlgItem(sheet_, kApply), &apply);
    GetWindowRect(GetDlgItem(sheet_, IDHELP), &help);
    applyEnabled = IsWindowEnabled(GetDlgItem(sheet_, kApply));
  }));
  LONG width = ok.right - ok.left;
  for (const RECT& r : {cancel, apply, help}) EXPECT_EQ(r.right - r.left, width);
  EXPECT_EQ(cancel.left - ok.right, 6);
  EXPECT_EQ(apply.left - cancel.right, 6);
  EXPECT_EQ(help.left - apply.right, 6);
  EXPECT_EQ(ok.left + 3 * (width + 6), help.left);
  EXPECT_FALSE(applyEnabled);
}

TEST_F(PropertySheet, OkCancelEscAndTheCloseBoxEndTheSheet) {
  // Each case runs on a fresh sheet: the fixture's is ended by the first.
  struct Case {
    const char* name;
    std::function<bool()> act;
    int result;
    std::vector<std::string> events;
  } cases[] = {
      {"OK", [] { return input::Click({"Settings", "", {IDOK}}); }, 1, {"0 killactive", "0 apply"}},
      {"Cancel", [] { return input::Click({"Settings", "", {IDCANCEL}}); }, 0, {"0 querycancel", "0 reset"}},
      {"Esc", [] { return input::Key({"Settings"}, VK_ESCAPE); }, 0, {"0 querycancel", "0 reset"}},
      {"close box", [] { PostMessageA(FindWindowA(nullptr, "Settings"), WM_SYSCOMMAND, SC_CLOSE, 0); return true; }, 0,
       {"0 querycancel", "0 reset"}},
      {"Enter in a page's edit presses OK", [] { return input::Key({"Settings"}, VK_RETURN); }, 1,
       {"0 killactive", "0 apply"}},
  };
  bool first = true;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!first) {
      machine_.Release(process_);
      gEvents.clear();
      process_ = machine_.Start("sheet.exe", 64, [] { return SheetProgram(); });
      ASSERT_TRUE(machine_.RunUntil([] { return FindWindowA(nullptr, "Settings") != nullptr; }, 1000));
      sheet_ = FindWindowA(nullptr, "Settings");
    }
    first = false;
    gEvents.clear();
    ASSERT_TRUE(c.act());
    EXPECT_EQ(Ends(), c.result);
    EXPECT_EQ(gEvents, c.events);
  }
}

TEST_F(PropertySheet, CancelToCloseRenamesOkAndDisablesCancel) {
  char text[16] = {};
  BOOL cancelEnabled = TRUE;
  ASSERT_TRUE(machine_.RunIn(process_, [&] {
    SendMessageA(sheet_, PSM_CANCELTOCLOSE, 0, 0);
    GetWindowTextA(GetDlgItem(sheet_, IDOK), text, sizeof text);
    cancelEnabled = IsWindowEnabled(GetDlgItem(sheet_, IDCANCEL));
  }));
  EXPECT_STREQ(text, "Close");
  EXPECT_FALSE(cancelEnabled);
}

TEST_F(PropertySheet, AMessageBoxFromAPageKeepsTheSheetsTimerFiringAndTakesTheAnswer) {
  HWND page = nullptr;
  machine_.RunIn(process_, [&] { page = reinterpret_cast<HWND>(SendMessageA(sheet_, PSM_GETCURRENTPAGEHWND, 0, 0)); });
  ASSERT_NE(page, nullptr);
  char pageCaption[32] = {};
  GetWindowTextA(page, pageCaption, sizeof pageCaption);
  ASSERT_TRUE(input::Click({"Settings", pageCaption, {kAsk}}));
  ASSERT_TRUE(machine_.RunUntil([] { return FindWindowA(nullptr, "Asking") != nullptr; }, 1000));
  int before = gTicks;
  machine_.RunFor(3000);
  EXPECT_EQ(gTicks - before, 6);
  ASSERT_TRUE(input::Click({"Asking", "", {IDNO}}));
  EXPECT_EQ(gAnswer, IDNO);
  EXPECT_EQ(FindWindowA(nullptr, "Asking"), nullptr);
}

TEST_F(PropertySheet, TheTabRowRaisesTheSelectedTabAboveTheOthersAndFramesThePageArea) {
  HWND tabs = GetDlgItem(sheet_, kTabs);
  for (int selected : {0, 1}) {
    SCOPED_TRACE(selected);
    if (selected == 1) {
      ASSERT_TRUE(ClickTab(1));
    }
    std::shared_ptr<const plat::win32::RasterSurface> shot = plat::win32::picture::Snapshot({"Settings"});
    ASSERT_NE(shot, nullptr);
    RECT sheet, row;
    GetWindowRect(sheet_, &sheet);
    GetWindowRect(tabs, &row);
    const int x0 = row.left - sheet.left, y0 = row.top - sheet.top;
    const COLORREF highlight = GetSysColor(COLOR_BTNHIGHLIGHT), face = GetSysColor(COLOR_3DFACE);
    for (int i = 0; i < 3; ++i) {
      RECT tab;
      ASSERT_TRUE(SendMessageA(tabs, TCM_GETITEMRECT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&tab)));
      const int x = x0 + tab.left + 5;
      // The selected tab's highlight runs along its second row; the others' two rows lower.
      EXPECT_EQ(shot->Pixel(x, y0 + 1), i == selected ? highlight : face) << "tab " << i;
      EXPECT_EQ(shot->Pixel(x, y0 + 3), i == selected ? face : highlight) << "tab " << i;
    }
    EXPECT_EQ(shot->Pixel(x0 + 1, y0 + 40), highlight) << "the page area's raised frame";
    const std::string dump = plat::win32::picture::DumpDrawing();
    for (const char* title : {"\"One\"", "\"Two\"", "\"Three\""})
      EXPECT_NE(dump.find(title), std::string::npos) << title << " in\n" << dump;
  }
}

}  // namespace
