// How each control paints: what it asks its parent, what it records, and pixels where glyphs play
// no part. A control paints into a memory DC handed to it with WM_PRINTCLIENT, on its own thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32/GdiSeam.h"
#include "platform/win32/RasterSurface.h"
#include "platform/win32/include/commctrl.h"
#include "platform/win32/include/windows.h"
#include "tests/platform/win32/ControlHost.h"
#include "tests/platform/win32/DialogTemplates.h"
#include "tests/platform/win32/TestMachine.h"

namespace {

using w32test::Machine;

constexpr UINT kRunTask = WM_APP + 1;
constexpr COLORREF kPaper = RGB(1, 2, 3);  // what a memory DC's bitmap holds before a paint

// The colour queries the host heard, as "<message> <id>"; what it answers to them (a null answer
// leaves the query to the default).
std::vector<std::string> gAsked;
std::function<HBRUSH(UINT, HDC, HWND)> gAnswer;
std::function<void()> gTask;

LRESULT CALLBACK HostProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC) {
    char line[32];
    std::snprintf(line, sizeof line, "%04X %d", message, GetDlgCtrlID(reinterpret_cast<HWND>(lParam)));
    gAsked.push_back(line);
    HBRUSH brush = gAnswer ? gAnswer(message, reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam)) : nullptr;
    if (brush != nullptr) return reinterpret_cast<LRESULT>(brush);
  }
  if (message == kRunTask) {
    gTask();
    return 0;
  }
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

using test::Control;

uint32_t HostProgram(const std::vector<Control>& controls) {
  return test::RunControlHost(HostProc, "QxPaintHost", controls);
}

std::string Hex(COLORREF c) {
  char text[8];
  std::snprintf(text, sizeof text, "#%02X%02X%02X", GetRValue(c), GetGValue(c), GetBValue(c));
  return text;
}

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The ticks of a trackbar's record: fills one pixel wide and three long, in `colour`.
int Ticks(const std::string& record, COLORREF colour) {
  int n = 0;
  size_t start = 0;
  for (size_t end = record.find('\n'); end != std::string::npos; start = end + 1, end = record.find('\n', start)) {
    int left = 0, top = 0, right = 0, bottom = 0;
    char brush[16] = {};
    const std::string line = record.substr(start, end - start);
    if (std::sscanf(line.c_str(), "fill %d,%d-%d,%d brush=%15s", &left, &top, &right, &bottom, brush) == 5 &&
        right - left == 1 && bottom - top == 3 && brush == Hex(colour))
      ++n;
  }
  return n;
}

// One paint of a control: its record and its pixels.
struct Picture {
  std::string record;
  std::shared_ptr<plat::win32::RasterSurface> pixels;
  COLORREF At(int x, int y) const { return pixels->Pixel(x, y); }
};

class ControlPainting : public ::testing::Test {
 protected:
  void SetUp() override {
    gAsked.clear();
    gAnswer = nullptr;
  }
  void TearDown() override {
    if (process_ != nullptr) {
      PostMessageA(FindWindowA(nullptr, "Host"), WM_QUIT, 0, 0);
      machine_.Wait(process_);
      machine_.Release(process_);
    }
    gAnswer = nullptr;
    gTask = nullptr;
  }
  void Run(std::vector<Control> controls) {
    process_ = machine_.Start("paint.exe", 64, [controls] { return HostProgram(controls); });
    ASSERT_TRUE(machine_.RunUntil([] { return FindWindowA(nullptr, "Host") != nullptr; }, 1000));
  }
  HWND Item(int id) { return GetDlgItem(FindWindowA(nullptr, "Host"), id); }
  // Runs `task` on the host's own thread, where focus and painting belong.
  void OnUi(std::function<void()> task) {
    gTask = std::move(task);
    ASSERT_TRUE(machine_.RunIn(process_, [] { SendMessageA(FindWindowA(nullptr, "Host"), kRunTask, 0, 0); }));
  }
  LRESULT Send(int id, UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    OnUi([&] { result = SendMessageA(Item(id), message, wParam, lParam); });
    return result;
  }
  // The control's paint into a memory DC of its client size, on paper of kPaper.
  Picture Paint(int id) {
    return PaintWindow([this, id] { return Item(id); });
  }
  Picture PaintWindow(const std::function<HWND()>& window) {
    Picture picture;
    OnUi([&] {
      HWND hwnd = window();
      RECT client;
      GetClientRect(hwnd, &client);
      HDC dc = CreateCompatibleDC(nullptr);
      HBITMAP bitmap = CreateBitmap(client.right, client.bottom, 1, 32, nullptr);
      HGDIOBJ old = SelectObject(dc, bitmap);
      picture.pixels = plat::win32::BitmapSurface(bitmap);
      picture.pixels->Clear(kPaper);
      SendMessageA(hwnd, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT);
      picture.record = plat::win32::DrawingRecordOf(dc).Print();
      SelectObject(dc, old);
      DeleteDC(dc);
      DeleteObject(bitmap);
    });
    return picture;
  }

  Machine machine_;
  void* process_ = nullptr;
};

TEST_F(ControlPainting, EachControlAsksItsParentForTheColoursWindowsAsksFor) {
  Run({{"Button", 10, "Push", BS_PUSHBUTTON, {0, 0, 80, 24}},
       {"Button", 11, "Check", BS_AUTOCHECKBOX, {0, 30, 80, 50}},
       {"Button", 12, "Radio", BS_AUTORADIOBUTTON, {0, 60, 80, 80}},
       {"Button", 13, "Group", BS_GROUPBOX, {100, 0, 200, 100}},
       {"Static", 14, "Label", SS_LEFT, {0, 90, 80, 110}},
       {"Edit", 15, "typed", 0, {0, 120, 80, 140}},
       {"Edit", 16, "read only", ES_READONLY, {0, 150, 80, 170}},
       {"Edit", 17, "disabled", WS_DISABLED, {0, 180, 80, 200}},
       {"ComboBox", 18, "", CBS_DROPDOWNLIST, {100, 120, 200, 141}},
       {TRACKBAR_CLASSA, 19, "", 0, {100, 150, 300, 180}}});
  struct Case {
    int id;
    UINT asked;
  } cases[] = {
      {10, WM_CTLCOLORBTN},    {11, WM_CTLCOLORSTATIC}, {12, WM_CTLCOLORSTATIC}, {13, WM_CTLCOLORSTATIC},
      {14, WM_CTLCOLORSTATIC}, {15, WM_CTLCOLOREDIT},   {16, WM_CTLCOLORSTATIC}, {17, WM_CTLCOLORSTATIC},
      {18, WM_CTLCOLOREDIT},   {19, WM_CTLCOLORSTATIC},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    gAsked.clear();
    Paint(c.id);
    char expected[32];
    std::snprintf(expected, sizeof expected, "%04X %d", c.asked, c.id);
    EXPECT_EQ(gAsked, std::vector<std::string>{expected});
  }
}

TEST_F(ControlPainting, AStaticDrawsItsTextInTheColourAndModeItsParentAnswers) {
  Run({{"Static", 10, "Coloured", SS_LEFT, {0, 0, 120, 20}},
       {"Static", 11, "Centred", SS_CENTER, {0, 30, 120, 50}},
       {"Static", 12, "Right", SS_RIGHT, {0, 60, 120, 80}}});
  HBRUSH yellow = CreateSolidBrush(RGB(255, 255, 0));
  struct Case {
    const char* name;
    int mode;
    COLORREF text;
    HBRUSH brush;
    std::vector<std::string> expected;  // lines the record holds
  } cases[] = {
      {"transparent red on yellow",
       TRANSPARENT,
       RGB(255, 0, 0),
       yellow,
       {"fill 0,0-120,20 brush=#FFFF00", "\"Coloured\"", "colour=#FF0000\n"}},
      {"opaque blue on yellow",
       OPAQUE,
       RGB(0, 0, 255),
       yellow,
       {"fill 0,0-120,20 brush=#FFFF00", "colour=#0000FF back=#00FF00 opaque"}},
      {"the null brush fills nothing",
       TRANSPARENT,
       RGB(0, 0, 0),
       static_cast<HBRUSH>(GetStockObject(NULL_BRUSH)),
       {"fill 0,0-120,20 brush=null"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    gAnswer = [&](UINT, HDC dc, HWND) {
      SetTextColor(dc, c.text);
      SetBkColor(dc, RGB(0, 255, 0));
      SetBkMode(dc, c.mode);
      return c.brush;
    };
    const Picture p = Paint(10);
    for (const std::string& line : c.expected) EXPECT_NE(p.record.find(line), std::string::npos) << p.record;
    if (c.mode == TRANSPARENT) {
      EXPECT_EQ(p.record.find("opaque"), std::string::npos) << p.record;
    }
    // Glyphs never reach the bottom row, which shows the brush (or the paper beneath the null one).
    EXPECT_EQ(p.At(60, 19), c.brush == yellow ? RGB(255, 255, 0) : kPaper);
  }
  DeleteObject(yellow);

  // Without an answer of the parent's own, the default: window text on the button face.
  gAnswer = nullptr;
  const Picture plain = Paint(10);
  EXPECT_NE(plain.record.find("fill 0,0-120,20 brush=" + Hex(GetSysColor(COLOR_3DFACE))), std::string::npos)
      << plain.record;
  EXPECT_NE(plain.record.find("colour=" + Hex(GetSysColor(COLOR_WINDOWTEXT))), std::string::npos) << plain.record;

  // The type aligns the text: left at the edge, centred, right against the far edge.
  auto textX = [](const std::string& record) { return std::stoi(record.substr(record.find("text ") + 5)); };
  const int left = textX(Paint(10).record), centre = textX(Paint(11).record), right = textX(Paint(12).record);
  EXPECT_EQ(left, 0);
  EXPECT_GT(centre, 20);
  EXPECT_GT(right, centre);
}

TEST_F(ControlPainting, ControlsThatTakeTheirParentsColoursDrawInThem) {
  Run({{"Button", 10, "Check", BS_AUTOCHECKBOX, {0, 0, 100, 20}},
       {"Button", 11, "Radio", BS_AUTORADIOBUTTON, {0, 30, 100, 50}},
       {"Button", 12, "Group", BS_GROUPBOX, {120, 0, 300, 100}},
       {"Edit", 13, "typed", 0, {0, 60, 100, 80}},
       {"Edit", 14, "fixed", ES_READONLY, {0, 90, 100, 110}},
       {"Button", 15, "Push", BS_PUSHBUTTON, {0, 120, 100, 144}}});
  HBRUSH yellow = CreateSolidBrush(RGB(255, 255, 0));
  gAnswer = [&](UINT, HDC dc, HWND) {
    SetTextColor(dc, RGB(255, 0, 0));
    SetBkMode(dc, TRANSPARENT);
    return yellow;
  };
  struct Case {
    int id;
    const char* background;  // the yellow fill the record holds
    bool takes;              // a push button asks but keeps the system's colours, as on Windows
  } cases[] = {
      {10, "fill 0,0-100,20 brush=#FFFF00", true},
      {11, "fill 0,0-100,20 brush=#FFFF00", true},
      // A group box fills only behind its text; what it frames is left alone.
      {12, "fill 6,0-", true},
      {13, "fill 0,0-100,20 brush=#FFFF00", true},
      {14, "fill 0,0-100,20 brush=#FFFF00", true},
      {15, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    const std::string record = Paint(c.id).record;
    if (c.takes) {
      EXPECT_NE(record.find(c.background), std::string::npos) << record;
      EXPECT_NE(record.find("colour=#FF0000\n"), std::string::npos) << record;
    } else {
      EXPECT_EQ(record.find("#FFFF00"), std::string::npos) << record;
      EXPECT_EQ(record.find("#FF0000"), std::string::npos) << record;
    }
  }
  gAnswer = nullptr;
  DeleteObject(yellow);
}

TEST_F(ControlPainting, ABitmapStaticDrawsItsBitmapAtItsSize) {
  Run({{"Static", 10, "", SS_BITMAP, {0, 0, 40, 30}}, {"Static", 11, "", SS_BITMAP | SS_CENTERIMAGE, {0, 40, 40, 70}}});
  // 6 x 4 pixels, each its own colour.
  std::vector<DWORD> bits(24);
  for (size_t i = 0; i < bits.size(); ++i) bits[i] = 0x00102030u + static_cast<DWORD>(i) * 0x00010101u;
  HBITMAP bitmap = CreateBitmap(6, 4, 1, 32, bits.data());
  Send(10, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap));
  Send(11, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap));
  // A plain bitmap static takes the bitmap's size; a centring one keeps its own.
  struct Case {
    int id;
    LONG width, height;  // the static's
    int x, y;            // where the bitmap lands
  } cases[] = {{10, 6, 4, 0, 0}, {11, 40, 30, 17, 13}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    const Picture p = Paint(c.id);
    const std::string blit = "blit " + std::to_string(c.x) + "," + std::to_string(c.y) + "-" + std::to_string(c.x + 6) +
                             "," + std::to_string(c.y + 4) + " SRCCOPY source=\"bitmap colour 6x4\" at 0,0";
    EXPECT_NE(p.record.find(blit), std::string::npos) << p.record;
    RECT client;
    GetClientRect(Item(c.id), &client);
    EXPECT_EQ(client.right, c.width);
    EXPECT_EQ(client.bottom, c.height);
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 6; ++x)
        EXPECT_EQ(p.At(c.x + x, c.y + y), RGB(0x10, 0x20, 0x30) + static_cast<COLORREF>(y * 6 + x) * 0x010101u);
    if (c.width > 6) {
      EXPECT_EQ(p.At(c.x + 6, c.y + 4), GetSysColor(COLOR_3DFACE));
    }
  }
  // The bitmap stays the program's: the static let go of it.
  Send(10, STM_SETIMAGE, IMAGE_BITMAP, 0);
  Send(11, STM_SETIMAGE, IMAGE_BITMAP, 0);
  EXPECT_TRUE(DeleteObject(bitmap));
}

TEST_F(ControlPainting, AnIconStaticDrawsItsIcon) {
  Run({{"Static", 10, "", SS_ICON, {0, 0, 40, 40}}});
  const Picture empty = Paint(10);
  Send(10, STM_SETICON, reinterpret_cast<WPARAM>(LoadIconA(nullptr, IDI_APPLICATION)), 0);
  const Picture p = Paint(10);
  RECT client;
  GetClientRect(Item(10), &client);
  EXPECT_EQ(client.right, 32);  // the icon's own size
  // The application icon's white window, where the face showed before.
  EXPECT_EQ(empty.At(8, 10), GetSysColor(COLOR_3DFACE));
  EXPECT_EQ(p.At(8, 10), RGB(255, 255, 255)) << p.record;
}

TEST_F(ControlPainting, ButtonsShowTheirStateAndGreyWhenDisabled) {
  Run({{"Button", 10, "Check", BS_AUTOCHECKBOX, {0, 0, 100, 20}},
       {"Button", 11, "Radio", BS_AUTORADIOBUTTON, {0, 30, 100, 50}},
       {"Button", 12, "Push", BS_PUSHBUTTON, {0, 60, 100, 84}},
       {"Button", 13, "Default", BS_DEFPUSHBUTTON, {0, 90, 100, 114}},
       {"Button", 14, "Group", BS_GROUPBOX, {120, 0, 300, 100}}});
  const COLORREF ink = GetSysColor(COLOR_WINDOWTEXT), grey = GetSysColor(COLOR_GRAYTEXT);
  const COLORREF field = GetSysColor(COLOR_WINDOW), face = GetSysColor(COLOR_3DFACE);
  struct Case {
    const char* name;
    int id;
    WPARAM check;
    bool enabled;
    int x, y;  // a pixel of the mark (the box's middle), or of the frame
    COLORREF there;
  } cases[] = {
      // The check box's square is 13 pixels at the left, centred; the mark crosses its middle.
      {"check box unchecked", 10, BST_UNCHECKED, true, 6, 10, field},
      {"check box checked", 10, BST_CHECKED, true, 6, 10, ink},
      {"check box checked, disabled", 10, BST_CHECKED, false, 6, 10, grey},
      {"check box unchecked, disabled", 10, BST_UNCHECKED, false, 6, 10, face},
      {"radio unchecked", 11, BST_UNCHECKED, true, 6, 10, field},
      {"radio checked", 11, BST_CHECKED, true, 6, 10, ink},
      {"radio checked, disabled", 11, BST_CHECKED, false, 6, 10, grey},
      // A default push button is framed in black; a plain one is not.
      {"default push button", 13, BST_UNCHECKED, true, 0, 0, GetSysColor(COLOR_WINDOWFRAME)},
      {"push button", 12, BST_UNCHECKED, true, 0, 0, GetSysColor(COLOR_3DLIGHT)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Send(c.id, BM_SETCHECK, c.check, 0);
    OnUi([&] { EnableWindow(Item(c.id), c.enabled ? TRUE : FALSE); });
    const Picture p = Paint(c.id);
    EXPECT_EQ(p.At(c.x, c.y), c.there) << p.record;
    const std::string text = "colour=" + Hex(c.enabled ? (c.id >= 12 ? GetSysColor(COLOR_BTNTEXT) : ink) : grey);
    EXPECT_NE(p.record.find(text), std::string::npos) << p.record;
    OnUi([&] { EnableWindow(Item(c.id), TRUE); });
  }
  // A group box's etched frame runs round it, through its text's middle; its inside is not painted.
  const Picture group = Paint(14);
  EXPECT_EQ(group.At(0, 99), GetSysColor(COLOR_BTNHIGHLIGHT));
  EXPECT_EQ(group.At(90, 50), kPaper);
  EXPECT_NE(group.record.find("\"Group\""), std::string::npos) << group.record;
}

TEST_F(ControlPainting, AButtonPlacesItsTextByItsAlignmentStyles) {
  Run({{"Button", 10, "Text", BS_PUSHBUTTON, {0, 0, 200, 40}},
       {"Button", 11, "Text", BS_PUSHBUTTON | BS_LEFT, {0, 0, 200, 40}},
       {"Button", 12, "Text", BS_PUSHBUTTON | BS_RIGHT | BS_TOP, {0, 0, 200, 40}},
       {"Button", 13, "Text", BS_AUTOCHECKBOX, {0, 0, 200, 40}},
       {"Button", 14, "Text", BS_AUTOCHECKBOX | BS_CENTER | BS_BOTTOM, {0, 0, 200, 40}}});
  // Where each run of text starts.
  auto at = [&](int id) {
    const std::string record = Paint(id).record;
    const size_t text = record.find("text ");
    return std::make_pair(std::stoi(record.substr(text + 5)), std::stoi(record.substr(record.find(',', text) + 1)));
  };
  const auto centred = at(10), left = at(11), rightTop = at(12), check = at(13), checkCentred = at(14);
  EXPECT_LT(left.first, centred.first);
  EXPECT_GT(rightTop.first, centred.first);
  EXPECT_EQ(left.second, centred.second);
  EXPECT_LT(rightTop.second, centred.second);
  EXPECT_EQ(check.first, 13 + 4);  // beside the box
  EXPECT_GT(checkCentred.first, check.first);
  EXPECT_GT(checkCentred.second, check.second);
}

TEST_F(ControlPainting, TheFocusedButtonDrawsAFocusRectangle) {
  Run({{"Button", 10, "Push", BS_PUSHBUTTON, {0, 0, 100, 24}},
       {"Button", 11, "Check", BS_AUTOCHECKBOX, {0, 30, 100, 50}}});
  for (int id : {10, 11}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(Count(Paint(id).record, "focus "), 0);
    OnUi([&] { SetFocus(Item(id)); });
    EXPECT_EQ(Count(Paint(id).record, "focus "), 1);
  }
}

TEST_F(ControlPainting, AnEditHighlightsItsSelectionWhileItHasTheFocus) {
  Run({{"Edit", 10, "abcdef", 0, {0, 0, 120, 20}}, {"Edit", 11, "secret", ES_PASSWORD, {0, 30, 120, 50}}});
  Send(10, EM_SETSEL, 2, 4);
  const std::string highlighted =
      "colour=" + Hex(GetSysColor(COLOR_HIGHLIGHTTEXT)) + " back=" + Hex(GetSysColor(COLOR_HIGHLIGHT));
  const std::string unfocused = Paint(10).record;
  EXPECT_EQ(Count(unfocused, "text "), 1) << unfocused;
  EXPECT_NE(unfocused.find("\"abcdef\""), std::string::npos) << unfocused;
  OnUi([&] { SetFocus(Item(10)); });
  const Picture focused = Paint(10);
  EXPECT_NE(focused.record.find("\"ab\""), std::string::npos) << focused.record;
  EXPECT_NE(focused.record.find("\"cd\" font=\"System\" 16 w700 " + highlighted), std::string::npos) << focused.record;
  EXPECT_NE(focused.record.find("\"ef\""), std::string::npos) << focused.record;
  EXPECT_EQ(Count(focused.record, highlighted), 1) << focused.record;
  // A multi-line edit writes each line below the last, the selection across the line end.
  OnUi([&] {
    HWND lines = CreateWindowExA(0, "Edit", "one\r\ntwo", WS_CHILD | WS_VISIBLE | ES_MULTILINE, 0, 60, 120, 60,
                                 FindWindowA(nullptr, "Host"), reinterpret_cast<HMENU>(12), nullptr, nullptr);
    SendMessageA(lines, EM_SETSEL, 2, 6);
    SetFocus(lines);
  });
  const std::string multi = Paint(12).record;
  EXPECT_NE(multi.find("text 1,1 \"on\""), std::string::npos) << multi;
  EXPECT_NE(multi.find("\"e\" font=\"System\" 16 w700 " + highlighted), std::string::npos) << multi;
  EXPECT_NE(multi.find("text 1,17 \"t\" font=\"System\" 16 w700 " + highlighted), std::string::npos) << multi;
  EXPECT_NE(multi.find("\"wo\""), std::string::npos) << multi;
  // A password shows as asterisks.
  EXPECT_NE(Paint(11).record.find("\"******\""), std::string::npos);
}

TEST_F(ControlPainting, AComboShowsItsCurrentStringAndItsArrow) {
  Run({{"ComboBox", 10, "", CBS_DROPDOWNLIST, {0, 0, 120, 21}}});
  Send(10, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("first"));
  Send(10, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("second"));
  Send(10, CB_SETCURSEL, 1, 0);
  RECT client;
  GetClientRect(Item(10), &client);
  const Picture p = Paint(10);
  EXPECT_NE(p.record.find("\"second\""), std::string::npos) << p.record;
  // The arrow's middle, in the button at the right, is dark; the button face beside it is not.
  const int arrowX = client.right - 2 - 8, arrowY = client.bottom / 2;
  EXPECT_EQ(p.At(arrowX, arrowY), GetSysColor(COLOR_BTNTEXT)) << p.record;
  EXPECT_EQ(p.At(client.right - 5, 4), GetSysColor(COLOR_3DFACE));
  // Disabled, the arrow and the string are grey.
  OnUi([&] { EnableWindow(Item(10), FALSE); });
  const Picture disabled = Paint(10);
  EXPECT_EQ(disabled.At(arrowX, arrowY), GetSysColor(COLOR_GRAYTEXT));
  EXPECT_NE(disabled.record.find("colour=" + Hex(GetSysColor(COLOR_GRAYTEXT))), std::string::npos);
}

TEST_F(ControlPainting, AComboDroppedListShowsItsStringsWithTheSelectionHighlighted) {
  Run({{"ComboBox", 10, "", CBS_DROPDOWNLIST, {0, 0, 120, 100}}});
  for (const char* s : {"first", "second", "third"}) Send(10, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(s));
  Send(10, CB_SETCURSEL, 1, 0);
  Send(10, CB_SHOWDROPDOWN, TRUE, 0);
  gAsked.clear();
  const Picture p = PaintWindow([] { return FindWindowA("ComboLBox", nullptr); });
  Send(10, CB_SHOWDROPDOWN, FALSE, 0);
  // Its colours are asked of the combo's parent, which leaves them to the default.
  EXPECT_NE(std::find_if(gAsked.begin(), gAsked.end(), [](const std::string& a) { return a.rfind("0134", 0) == 0; }),
            gAsked.end());
  const std::string highlighted = "colour=" + Hex(GetSysColor(COLOR_HIGHLIGHTTEXT)) + "\n";
  for (const char* line : {"brush=#FFFFFF\n", "\"first\"", "\"third\""}) {
    EXPECT_NE(p.record.find(line), std::string::npos) << p.record;
  }
  const size_t row = p.record.find("fill 0,13-");
  ASSERT_NE(row, std::string::npos) << p.record;
  EXPECT_NE(p.record.find("brush=" + Hex(GetSysColor(COLOR_HIGHLIGHT)), row), std::string::npos) << p.record;
  const size_t second = p.record.find("\"second\"");
  ASSERT_NE(second, std::string::npos) << p.record;
  EXPECT_EQ(p.record.find(highlighted, second), p.record.find('\n', second) - highlighted.size() + 1) << p.record;
  EXPECT_EQ(p.At(100, 20), GetSysColor(COLOR_HIGHLIGHT));
  EXPECT_EQ(p.At(100, 5), GetSysColor(COLOR_WINDOW));
}

TEST_F(ControlPainting, AnUpDownShowsTwoArrowsAndTheButtonTheMouseHolds) {
  struct Case {
    DWORD style;
    POINT first, second;  // the arrows' middles
  } cases[] = {{0, {8, 10}, {8, 30}}, {UDS_HORZ, {10, 10}, {30, 10}}};
  Run({{UPDOWN_CLASSA, 10, "", 0, {0, 0, 16, 40}}, {UPDOWN_CLASSA, 11, "", UDS_HORZ, {0, 50, 40, 70}}});
  for (const Case& c : cases) {
    const int id = c.style == 0 ? 10 : 11;
    SCOPED_TRACE(id);
    const Picture p = Paint(id);
    EXPECT_EQ(p.At(c.first.x, c.first.y), GetSysColor(COLOR_BTNTEXT)) << p.record;
    EXPECT_EQ(p.At(c.second.x, c.second.y), GetSysColor(COLOR_BTNTEXT)) << p.record;
  }
  // The button the mouse holds is sunken (its top-left edge in shadow), the other raised, until
  // the mouse lets go.
  const COLORREF sunken = GetSysColor(COLOR_BTNSHADOW), raised = GetSysColor(COLOR_3DLIGHT);
  struct Held {
    const char* name;
    int id;
    POINT click;
    POINT held, other;  // the top-left corners of the two buttons
  } helds[] = {
      {"up", 10, {8, 5}, {0, 0}, {0, 20}},
      {"down", 10, {8, 35}, {0, 20}, {0, 0}},
      {"up on the right under UDS_HORZ", 11, {30, 10}, {20, 0}, {0, 0}},
  };
  for (const Held& h : helds) {
    SCOPED_TRACE(h.name);
    Send(h.id, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(h.click.x, h.click.y));
    const Picture down = Paint(h.id);
    EXPECT_EQ(down.At(h.held.x, h.held.y), sunken) << down.record;
    EXPECT_EQ(down.At(h.other.x, h.other.y), raised) << down.record;
    Send(h.id, WM_LBUTTONUP, 0, MAKELPARAM(h.click.x, h.click.y));
    EXPECT_EQ(Paint(h.id).At(h.held.x, h.held.y), raised);
  }
}

TEST_F(ControlPainting, ATrackbarShowsTicksUnderAutomaticTicksAndItsThumbAtThePosition) {
  Run({{TRACKBAR_CLASSA, 10, "", TBS_AUTOTICKS, {0, 0, 216, 30}},
       {TRACKBAR_CLASSA, 11, "", 0, {0, 40, 216, 70}},
       {TRACKBAR_CLASSA, 12, "", TBS_NOTICKS, {0, 80, 216, 110}}});
  for (int id : {10, 11, 12}) {
    Send(id, TBM_SETRANGE, FALSE, MAKELPARAM(0, 6));
    Send(id, TBM_SETPOS, TRUE, 3);
  }
  const COLORREF ink = GetSysColor(COLOR_BTNTEXT);
  struct Case {
    int id;
    int ticks;
  } cases[] = {{10, 7}, {11, 2}, {12, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    const Picture p = Paint(c.id);
    EXPECT_EQ(Ticks(p.record, ink), c.ticks) << p.record;
    // The thumb's face at the middle position (pixel 8 + 3 * 200 / 6).
    RECT thumb;
    Send(c.id, TBM_GETTHUMBRECT, 0, reinterpret_cast<LPARAM>(&thumb));
    EXPECT_EQ((thumb.left + thumb.right) / 2, 108);
    EXPECT_EQ(p.At(108, 12), GetSysColor(COLOR_3DFACE));
  }
  // Disabled: grey ticks, a pale thumb.
  OnUi([&] { EnableWindow(Item(10), FALSE); });
  const Picture disabled = Paint(10);
  EXPECT_EQ(Ticks(disabled.record, GetSysColor(COLOR_GRAYTEXT)), 7) << disabled.record;
  EXPECT_EQ(disabled.At(108, 12), GetSysColor(COLOR_3DHILIGHT));
}

TEST_F(ControlPainting, ATrackbarsThumbPointsTowardsTicksOnOneSideOnly) {
  Run({{TRACKBAR_CLASSA, 10, "", TBS_AUTOTICKS, {0, 0, 216, 30}},
       {TRACKBAR_CLASSA, 11, "", TBS_AUTOTICKS | TBS_TOP, {0, 40, 216, 70}},
       {TRACKBAR_CLASSA, 12, "", TBS_AUTOTICKS | TBS_BOTH, {0, 80, 216, 110}},
       {TRACKBAR_CLASSA, 13, "", TBS_AUTOTICKS | TBS_VERT, {300, 0, 330, 216}}});
  for (int id : {10, 11, 12, 13}) {
    Send(id, TBM_SETRANGE, FALSE, MAKELPARAM(0, 6));
    Send(id, TBM_SETPOS, TRUE, 3);
  }
  HBRUSH yellow = CreateSolidBrush(RGB(255, 255, 0));
  gAnswer = [&](UINT, HDC, HWND) { return yellow; };
  const COLORREF dark = GetSysColor(COLOR_3DDKSHADOW), background = RGB(255, 255, 0);
  struct Case {
    const char* name;
    int id;
    POINT tip, corner;  // the point's tip, and beside it where a square thumb would have its corner
    COLORREF atCorner;
  } cases[] = {
      {"down towards ticks below", 10, {108, 21}, {103, 21}, background},
      {"up towards ticks above", 11, {108, 7}, {103, 7}, background},
      {"square between ticks on both sides", 12, {108, 22}, {103, 22}, dark},
      {"right towards ticks on the right", 13, {21, 108}, {21, 103}, background},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Picture p = Paint(c.id);
    EXPECT_EQ(p.At(c.tip.x, c.tip.y), dark) << p.record;
    EXPECT_EQ(p.At(c.corner.x, c.corner.y), c.atCorner) << p.record;
  }
  gAnswer = nullptr;
  DeleteObject(yellow);
}

TEST_F(ControlPainting, TwoPaintsOfAnUnchangedControlGiveTheSameRecord) {
  Run({{"Button", 10, "Check", BS_AUTOCHECKBOX, {0, 0, 100, 20}},
       {"Static", 11, "Label", SS_CENTER, {0, 30, 100, 50}},
       {"Edit", 12, "text", 0, {0, 60, 100, 80}},
       {"ComboBox", 13, "", CBS_DROPDOWNLIST, {0, 90, 100, 111}},
       {UPDOWN_CLASSA, 14, "", 0, {120, 0, 136, 40}},
       {TRACKBAR_CLASSA, 15, "", TBS_AUTOTICKS, {120, 50, 320, 80}}});
  for (int id = 10; id <= 15; ++id) {
    SCOPED_TRACE(id);
    const Picture first = Paint(id), second = Paint(id);
    EXPECT_FALSE(first.record.empty());
    EXPECT_EQ(first.record, second.record);
  }
}

TEST_F(ControlPainting, AControlWritesInTheFontItWasGiven) {
  Run({{"Static", 10, "Label", SS_LEFT, {0, 0, 100, 20}}});
  EXPECT_NE(Paint(10).record.find("font=\"System\""), std::string::npos);
  LOGFONTA description{};
  description.lfHeight = 15;
  description.lfWeight = 600;
  std::strcpy(description.lfFaceName, "Arial");
  HFONT font = CreateFontIndirectA(&description);
  Send(10, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  EXPECT_EQ(Send(10, WM_GETFONT, 0, 0), reinterpret_cast<LRESULT>(font));
  EXPECT_NE(Paint(10).record.find("font=\"Arial\" 15 w600"), std::string::npos);
  Send(10, WM_SETFONT, 0, FALSE);
  EXPECT_TRUE(DeleteObject(font));
}

TEST(DialogFont, ADialogGivesItsTemplatesFontToItselfAndEachControl) {
  Machine machine;
  std::vector<DWORD> t = w32test::Template(
      DS_SETFONT | WS_POPUP | WS_VISIBLE, "Fonts", 100, 60,
      {{0x82, 10, "Label", SS_LEFT, 4, 4, 60, 10}, {0x80, 11, "OK", BS_DEFPUSHBUTTON, 4, 20, 50, 14}});
  std::string record;
  size_t withDialog = 0, after = 0;
  LRESULT dialogFont = 0, labelFont = 0, buttonFont = 0;
  void* process = machine.Start("fonts.exe", 64, [&] {
    HWND dlg = CreateDialogIndirectParamA(
        nullptr, reinterpret_cast<const DLGTEMPLATE*>(t.data()), nullptr,
        [](HWND, UINT, WPARAM, LPARAM) -> INT_PTR { return FALSE; }, 0);
    dialogFont = SendMessageA(dlg, WM_GETFONT, 0, 0);
    labelFont = SendMessageA(GetDlgItem(dlg, 10), WM_GETFONT, 0, 0);
    buttonFont = SendMessageA(GetDlgItem(dlg, 11), WM_GETFONT, 0, 0);
    HDC dc = CreateCompatibleDC(nullptr);
    SendMessageA(GetDlgItem(dlg, 10), WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT);
    record = plat::win32::DrawingRecordOf(dc).Print();
    DeleteDC(dc);
    withDialog = plat::win32::GdiObjectCount();
    DestroyWindow(dlg);
    after = plat::win32::GdiObjectCount();
    return 0u;
  });
  machine.Wait(process);
  machine.Release(process);
  EXPECT_NE(dialogFont, 0);
  EXPECT_EQ(labelFont, dialogFont);
  EXPECT_EQ(buttonFont, dialogFont);
  // 8 points at 96 pixels an inch.
  EXPECT_NE(record.find("font=\"MS Shell Dlg\" -11 w400"), std::string::npos) << record;
  // The font went with the dialog.
  EXPECT_EQ(after, withDialog - 1);
}

}  // namespace
