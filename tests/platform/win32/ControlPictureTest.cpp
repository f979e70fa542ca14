// A dialog holding every kind of control, painted through the paint cycle: its picture, read back
// through libpng, and its drawing dump, the same for every render of the unchanged dialog.
#include <gtest/gtest.h>
#include <png.h>

#include <string>
#include <vector>

#include "platform/win32/InputDriver.h"
#include "platform/win32/Snapshot.h"
#include "platform/win32/include/commctrl.h"
#include "platform/win32/include/windows.h"
#include "tests/platform/win32/DialogTemplates.h"
#include "tests/platform/win32/DrawingDump.h"
#include "tests/platform/win32/TestMachine.h"

namespace {

using w32test::Machine;
namespace picture = plat::win32::picture;

std::vector<DWORD> gTemplate;
HBITMAP gLogo = nullptr;

INT_PTR CALLBACK EveryControlProc(HWND hwnd, UINT message, WPARAM, LPARAM) {
  if (message != WM_INITDIALOG) return FALSE;
  // 16 x 8 pixels: red above, blue below.
  std::vector<DWORD> bits(16 * 8);
  for (size_t i = 0; i < bits.size(); ++i) bits[i] = i < 64 ? 0x00FF0000u : 0x000000FFu;
  gLogo = CreateBitmap(16, 8, 1, 32, bits.data());
  SendDlgItemMessageA(hwnd, 18, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(gLogo));
  SendDlgItemMessageA(hwnd, 12, BM_SETCHECK, BST_CHECKED, 0);
  for (const char* s : {"44100", "48000", "96000"})
    SendDlgItemMessageA(hwnd, 21, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(s));
  SendDlgItemMessageA(hwnd, 21, CB_SETCURSEL, 1, 0);
  HFONT font = reinterpret_cast<HFONT>(SendMessageA(hwnd, WM_GETFONT, 0, 0));
  HWND updown = CreateWindowExA(0, UPDOWN_CLASSA, "", WS_CHILD | WS_VISIBLE, 150, 150, 16, 24, hwnd,
                                reinterpret_cast<HMENU>(22), nullptr, nullptr);
  HWND trackbar = CreateWindowExA(0, TRACKBAR_CLASSA, "", WS_CHILD | WS_VISIBLE | TBS_AUTOTICKS, 10, 190, 200, 30, hwnd,
                                  reinterpret_cast<HMENU>(23), nullptr, nullptr);
  SendMessageA(updown, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  SendMessageA(trackbar, TBM_SETRANGE, FALSE, MAKELPARAM(0, 6));
  SendMessageA(trackbar, TBM_SETPOS, TRUE, 2);
  return TRUE;
}

void ShowEveryControl() {
  using w32test::Item;
  gTemplate = w32test::Template(DS_SETFONT | WS_POPUP | WS_VISIBLE, "Every control", 200, 160,
                                {{0x80, 10, "Push", BS_PUSHBUTTON | WS_TABSTOP, 4, 4, 50, 14},
                                 {0x80, 11, "OK", BS_DEFPUSHBUTTON | WS_TABSTOP, 60, 4, 50, 14},
                                 {0x80, 12, "Check", BS_AUTOCHECKBOX, 4, 22, 60, 10},
                                 {0x80, 13, "Radio", BS_AUTORADIOBUTTON, 4, 34, 60, 10},
                                 {0x80, 14, "Group", BS_GROUPBOX, 120, 20, 76, 40},
                                 {0x82, 15, "Left", SS_LEFT, 4, 48, 50, 8},
                                 {0x82, 16, "Centre", SS_CENTER, 4, 58, 50, 8},
                                 {0x82, 17, "Right", SS_RIGHT, 4, 68, 50, 8},
                                 {0x82, 18, "", SS_BITMAP, 60, 48, 20, 10},
                                 {0x81, 19, "typed", WS_BORDER, 4, 80, 60, 12},
                                 {0x81, 20, "fixed", WS_BORDER | ES_READONLY, 70, 80, 60, 12},
                                 {0x85, 21, "", CBS_DROPDOWNLIST, 4, 96, 60, 60},
                                 {0x80, 24, "Disabled", BS_AUTOCHECKBOX | WS_DISABLED, 120, 64, 60, 10}});
  CreateDialogIndirectParamA(nullptr, reinterpret_cast<const DLGTEMPLATE*>(gTemplate.data()), nullptr, EveryControlProc,
                             0);
}

using test::DrawingOf;

TEST(ControlPicture, ADialogWithEveryKindOfControlIsPicturedAndDumpedTheSameEachTime) {
  Machine m;
  void* p = m.Start("controls.exe", 64, [] {
    ShowEveryControl();
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    DeleteObject(gLogo);
    return static_cast<uint32_t>(msg.wParam);
  });
  ASSERT_TRUE(m.RunUntil([] { return FindWindowA(nullptr, "Every control") != nullptr; }, 1000));

  const std::vector<uint8_t> png = picture::Png({"Every control"});
  const std::string dump = picture::DumpDrawing();
  ASSERT_FALSE(png.empty());
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_NE(png_image_begin_read_from_memory(&image, png.data(), png.size()), 0);
  RECT window;
  GetWindowRect(FindWindowA(nullptr, "Every control"), &window);
  EXPECT_EQ(static_cast<LONG>(image.width), window.right - window.left);
  EXPECT_EQ(static_cast<LONG>(image.height), window.bottom - window.top);
  png_image_free(&image);

  // Each control's drawing, in its look.
  struct Case {
    const char* window;
    const char* drawn;
  } cases[] = {
      {"Button id=10 \"Push\"", "\"Push\" font=\"MS Shell Dlg\" -11 w400"},
      {"Button id=11 \"OK\"", "frame 0,0-"},
      {"Button id=12 \"Check\"", "\"Check\" font=\"MS Shell Dlg\" -11 w400 colour=#000000"},
      {"Button id=13 \"Radio\"", "ellipse "},
      {"Button id=14 \"Group\"", "\"Group\""},
      {"Static id=15 \"Left\"", "text 0,0 \"Left\""},
      {"Static id=16 \"Centre\"", "\"Centre\""},
      {"Static id=17 \"Right\"", "\"Right\""},
      {"Static id=18", "blit 0,0-16,8 SRCCOPY source=\"bitmap colour 16x8\" at 0,0"},
      {"Edit id=19 \"typed\"", "\"typed\""},
      {"Edit id=20 \"fixed\"", "fill 0,0-"},
      {"ComboBox id=21 \"48000\"", "\"48000\""},
      {"msctls_updown32 id=22", "fill "},
      {"msctls_trackbar32 id=23", "fill "},
      {"Button id=24 \"Disabled\"", "colour=#808080"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.window);
    const std::string drawing = DrawingOf(dump, c.window);
    EXPECT_NE(drawing.find(c.drawn), std::string::npos) << dump;
  }

  // Unchanged, it renders to the same bytes and the same dump.
  EXPECT_EQ(picture::Png({"Every control"}), png);
  EXPECT_EQ(picture::DumpDrawing(), dump);

  PostMessageA(FindWindowA(nullptr, "Every control"), WM_QUIT, 0, 0);
  m.Wait(p);
  m.Release(p);
}

TEST(ControlPicture, ATooltipDrawsNothingEvenWhenShown) {
  Machine m;
  void* p = m.Start("tips.exe", 64, [] {
    CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, "Tip", WS_POPUP | WS_VISIBLE, 10, 10, 80, 20, nullptr, nullptr,
                    nullptr, nullptr);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0)) DispatchMessageA(&msg);
    return static_cast<uint32_t>(msg.wParam);
  });
  ASSERT_TRUE(m.RunUntil([] { return FindWindowA(nullptr, "Tip") != nullptr; }, 1000));
  ASSERT_NE(picture::Snapshot({"Tip"}), nullptr);
  const std::string drawing = DrawingOf(picture::DumpDrawing(), "tooltips_class32 id=0 \"Tip\"");
  for (const char* op : {"fill ", "text ", "frame ", "blit "})
    EXPECT_EQ(drawing.find(op), std::string::npos) << drawing;
  PostMessageA(FindWindowA(nullptr, "Tip"), WM_QUIT, 0, 0);
  m.Wait(p);
  m.Release(p);
}

}  // namespace
