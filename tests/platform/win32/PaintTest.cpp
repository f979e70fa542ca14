// The paint cycle seen from programs: window DCs on their top-level window's surface with
// Windows' clipping and order, erasing, frames, pictures of windows and the drawing dump.
#include <gtest/gtest.h>
#include <png.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/win32/GdiSeam.h"
#include "platform/win32/ImageObjects.h"
#include "platform/win32/InputDriver.h"
#include "platform/win32/Snapshot.h"
#include "platform/win32/include/commctrl.h"
#include "platform/win32/include/windows.h"
#include "tests/platform/win32/DialogTemplates.h"
#include "tests/platform/win32/DrawingDump.h"
#include "tests/platform/win32/TestMachine.h"

namespace {

using plat::win32::RasterSurface;
using w32test::Machine;
namespace input = plat::win32::input;
namespace picture = plat::win32::picture;

constexpr COLORREF kRed = RGB(255, 0, 0);
constexpr COLORREF kBlue = RGB(0, 0, 255);
constexpr COLORREF kGreen = RGB(0, 255, 0);

// A program whose one thread runs `setup` and then its message loop until WM_QUIT.
void* StartProgram(Machine& m, std::function<void()> setup) {
  return m.Start("paint.exe", 64, [setup = std::move(setup)] {
    setup();
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    return static_cast<uint32_t>(msg.wParam);
  });
}

void End(Machine& m, void* process, const char* window) {
  PostMessageA(FindWindowA(nullptr, window), WM_QUIT, 0, 0);
  m.Wait(process);
  m.Release(process);
}

// A child that fills itself with the colour in its user data.
LRESULT CALLBACK SwatchProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_PAINT) return DefWindowProcA(hwnd, message, wParam, lParam);
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd, &ps);
  RECT r;
  GetClientRect(hwnd, &r);
  HBRUSH brush = CreateSolidBrush(static_cast<COLORREF>(GetWindowLongPtrA(hwnd, GWLP_USERDATA)));
  FillRect(dc, &r, brush);
  DeleteObject(brush);
  EndPaint(hwnd, &ps);
  return 0;
}

void RegisterSwatch() {
  WNDCLASSA wc{};
  wc.lpfnWndProc = SwatchProc;
  wc.lpszClassName = "QxSwatch";
  RegisterClassA(&wc);
}

HWND Swatch(HWND parent, int id, DWORD style, int x, int y, COLORREF colour) {
  HWND swatch = CreateWindowExA(0, "QxSwatch", "", WS_CHILD | WS_VISIBLE | style, x, y, 20, 20, parent,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
  SetWindowLongPtrA(swatch, GWLP_USERDATA, static_cast<LONG_PTR>(colour));
  return swatch;
}

// The dialog below: a blue swatch (id 1) under a red 4-pixel line along y = 30.
struct Overlap {
  DWORD dialogStyle;
  DWORD lowerStyle;
  bool childFirst;  // the dialog has the blue swatch paint before it draws its line
  HBRUSH dialogBrush = nullptr;
};
Overlap gOverlap{};

INT_PTR CALLBACK OverlapProc(HWND hwnd, UINT message, WPARAM, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      Swatch(hwnd, 1, 0, 40, 20, kBlue);
      return TRUE;
    case WM_CTLCOLORDLG: return reinterpret_cast<INT_PTR>(gOverlap.dialogBrush);
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      // After the dialog's erase, which would cover a child painted before it.
      if (gOverlap.childFirst) UpdateWindow(GetDlgItem(hwnd, 1));
      LOGBRUSH lb{BS_SOLID, kRed, 0};
      HPEN pen = ExtCreatePen(PS_GEOMETRIC | PS_ENDCAP_SQUARE, 4, &lb, 0, nullptr);
      HGDIOBJ old = SelectObject(dc, pen);
      MoveToEx(dc, 10, 30, nullptr);
      LineTo(dc, 90, 30);
      SelectObject(dc, old);
      DeleteObject(pen);
      EndPaint(hwnd, &ps);
      return TRUE;
    }
    default: return FALSE;
  }
}

std::vector<DWORD> gTemplate;

void ShowOverlap() {
  RegisterSwatch();
  gTemplate = w32test::Template(WS_POPUP | WS_VISIBLE | gOverlap.dialogStyle, "Overlap", 80, 60, {});
  CreateDialogIndirectParamA(nullptr, reinterpret_cast<const DLGTEMPLATE*>(gTemplate.data()), nullptr, OverlapProc,
                             0);
}

TEST(Paint, ChildrenAndSiblingsAreClippedOnlyByTheStylesThatAskForItAndLaterPaintsLieOnTop) {
  struct Order {
    const char* name;
    Overlap overlap;
    COLORREF crossing;
  } orders[] = {
      {"a child painting after its dialog draws over the dialog's line", {0, 0, false}, kBlue},
      {"a dialog painting after its child draws its line over the child", {0, 0, true}, kRed},
      {"WS_CLIPCHILDREN keeps the dialog's line out of the child", {WS_CLIPCHILDREN, 0, true}, kBlue},
  };
  for (const Order& c : orders) {
    SCOPED_TRACE(c.name);
    Machine m;
    gOverlap = c.overlap;
    void* p = StartProgram(m, ShowOverlap);
    ASSERT_TRUE(m.RunUntil([] { return FindWindowA(nullptr, "Overlap") != nullptr; }, 1000));
    std::shared_ptr<const RasterSurface> shot = picture::Snapshot({"Overlap"});
    ASSERT_NE(shot, nullptr);
    EXPECT_EQ(shot->Pixel(50, 30), c.crossing);
    EXPECT_EQ(shot->Pixel(20, 30), kRed) << "the line beside the child";
    EXPECT_EQ(shot->Pixel(45, 25), kBlue) << "the child away from the line";
    EXPECT_EQ(shot->Pixel(5, 5), GetSysColor(COLOR_3DFACE)) << "a dialog erases with the face colour";
    End(m, p, "Overlap");
  }
}

// Two overlapping siblings: the first made lies on top and paints first; the second paints after
// it and draws over it unless it has WS_CLIPSIBLINGS.
INT_PTR CALLBACK SiblingsProc(HWND hwnd, UINT message, WPARAM, LPARAM) {
  if (message != WM_INITDIALOG) return FALSE;
  Swatch(hwnd, 1, 0, 10, 10, kBlue);
  Swatch(hwnd, 2, gOverlap.lowerStyle, 20, 20, kGreen);
  return TRUE;
}

TEST(Paint, ALowerSiblingDrawsOverAnUpperOneUnlessItClipsSiblings) {
  struct Case {
    const char* name;
    DWORD lowerStyle;
    COLORREF shared;  // (25, 25), where both lie
  } cases[] = {
      {"without WS_CLIPSIBLINGS the later paint lies on top", 0, kGreen},
      {"with WS_CLIPSIBLINGS the upper sibling stays whole", WS_CLIPSIBLINGS, kBlue},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    gOverlap = Overlap{0, c.lowerStyle, false};
    void* p = StartProgram(m, [] {
      RegisterSwatch();
      gTemplate = w32test::Template(WS_POPUP | WS_VISIBLE, "Siblings", 60, 60, {});
      CreateDialogIndirectParamA(nullptr, reinterpret_cast<const DLGTEMPLATE*>(gTemplate.data()), nullptr,
                                 SiblingsProc, 0);
    });
    ASSERT_TRUE(m.RunUntil([] { return FindWindowA(nullptr, "Siblings") != nullptr; }, 1000));
    std::shared_ptr<const RasterSurface> shot = picture::Snapshot({"Siblings"});
    ASSERT_NE(shot, nullptr);
    EXPECT_EQ(shot->Pixel(25, 25), c.shared);
    EXPECT_EQ(shot->Pixel(15, 15), kBlue);
    EXPECT_EQ(shot->Pixel(35, 35), kGreen);
    End(m, p, "Siblings");
  }
}

TEST(Paint, TheBackgroundIsTheClassBrushOrTheDialogsOwnAnswerOrTheFaceColour) {
  struct Case {
    const char* name;
    bool dialog;
    COLORREF brush;  // the class brush, or the dialog's answer to WM_CTLCOLORDLG; CLR_INVALID for none
    COLORREF expected;
  } cases[] = {
      {"a window's class brush", false, kGreen, kGreen},
      {"a dialog's answer to WM_CTLCOLORDLG", true, kGreen, kGreen},
      {"a dialog with no answer takes the face colour", true, CLR_INVALID, GetSysColor(COLOR_3DFACE)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    gOverlap = Overlap{};
    void* p = StartProgram(m, [&c] {
      HBRUSH brush = c.brush != CLR_INVALID ? CreateSolidBrush(c.brush) : nullptr;
      if (c.dialog) {
        gOverlap.dialogBrush = brush;
        ShowOverlap();
        return;
      }
      WNDCLASSA wc{};
      wc.lpfnWndProc = DefWindowProcA;
      wc.lpszClassName = "QxPlain";
      wc.hbrBackground = brush;
      RegisterClassA(&wc);
      CreateWindowExA(0, "QxPlain", "Overlap", WS_POPUP | WS_VISIBLE, 10, 10, 100, 80, nullptr, nullptr, nullptr,
                      nullptr);
    });
    ASSERT_TRUE(m.RunUntil([] { return FindWindowA(nullptr, "Overlap") != nullptr; }, 1000));
    std::shared_ptr<const RasterSurface> shot = picture::Snapshot({"Overlap"});
    ASSERT_NE(shot, nullptr);
    EXPECT_EQ(shot->Pixel(5, 5), c.expected);
    End(m, p, "Overlap");
  }
}


// A plain window of class "QxPlain" with a background brush of `colour`, drawn by `paint`.
std::function<void(HDC)> gPaint;

LRESULT CALLBACK PlainProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_PAINT || !gPaint) return DefWindowProcA(hwnd, message, wParam, lParam);
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd, &ps);
  gPaint(dc);
  EndPaint(hwnd, &ps);
  return 0;
}

HWND ShowPlain(const char* text, DWORD style, COLORREF colour, int width = 100, int height = 80) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = PlainProc;
  wc.lpszClassName = "QxPlain";
  wc.hbrBackground = CreateSolidBrush(colour);
  RegisterClassA(&wc);
  return CreateWindowExA(0, "QxPlain", text, style, 10, 10, width, height, nullptr, nullptr, nullptr, nullptr);
}

using test::DrawingOf;

TEST(Paint, ALogoBlittedThroughItsMaskKeepsTheBackgroundWhereTheMaskIsWhite) {
  Machine m;
  gPaint = [](HDC dc) {
    // An 8x8 logo, red on its left half and black on its right; its mask white (1) on the right.
    HDC logoDc = CreateCompatibleDC(dc);
    HBITMAP logo = CreateCompatibleBitmap(dc, 8, 8);
    HGDIOBJ oldLogo = SelectObject(logoDc, logo);
    RECT left{0, 0, 4, 8}, right{4, 0, 8, 8};
    HBRUSH red = CreateSolidBrush(kRed);
    FillRect(logoDc, &left, red);
    FillRect(logoDc, &right, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    DeleteObject(red);
    static const WORD kMaskRows[8] = {0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F};
    HBITMAP mask = CreateBitmap(8, 8, 1, 1, kMaskRows);
    HDC maskDc = CreateCompatibleDC(dc);
    HGDIOBJ oldMask = SelectObject(maskDc, mask);
    BitBlt(dc, 10, 10, 8, 8, maskDc, 0, 0, SRCAND);
    BitBlt(dc, 10, 10, 8, 8, logoDc, 0, 0, SRCPAINT);
    SelectObject(maskDc, oldMask);
    SelectObject(logoDc, oldLogo);
    DeleteDC(maskDc);
    DeleteDC(logoDc);
    DeleteObject(mask);
    DeleteObject(logo);
  };
  void* p = StartProgram(m, [] { ShowPlain("Logo", WS_POPUP | WS_VISIBLE, kGreen); });
  ASSERT_TRUE(m.RunUntil([] { return FindWindowA(nullptr, "Logo") != nullptr; }, 1000));
  std::shared_ptr<const RasterSurface> shot = picture::Snapshot({"Logo"});
  ASSERT_NE(shot, nullptr);
  struct Probe {
    const char* name;
    int x, y;
    COLORREF colour;
  } probes[] = {
      {"the logo's colour where the mask is black", 11, 12, kRed},
      {"the background where the mask is white", 16, 12, kGreen},
      {"the background beside the logo", 5, 5, kGreen},
  };
  for (const Probe& probe : probes) EXPECT_EQ(shot->Pixel(probe.x, probe.y), probe.colour) << probe.name;
  const std::string drawing = DrawingOf(picture::DumpDrawing(), "QxPlain id=0 \"Logo\"");
  EXPECT_NE(drawing.find("    fill 0,0-100,80 brush=#00FF00\n"
                         "    blit 10,10-18,18 SRCAND source=\"bitmap mono 8x8\" at 0,0 text=#000000 back=#FFFFFF\n"
                         "    blit 10,10-18,18 SRCPAINT source=\"bitmap colour 8x8\" at 0,0\n"),
            std::string::npos)
      << drawing;
  gPaint = nullptr;
  End(m, p, "Logo");
}

TEST(Paint, AWindowThatIsHiddenMinimisedOrMissingHasNoPicture) {
  struct Case {
    const char* name;
    const char* window;
    DWORD style;
    int show;  // ShowWindow's command after creation, or -1
  } cases[] = {
      {"a window made without WS_VISIBLE", "Quiet", WS_POPUP, -1},
      {"a window hidden after it was shown", "Quiet", WS_POPUP | WS_VISIBLE, SW_HIDE},
      {"a minimised window", "Quiet", WS_OVERLAPPEDWINDOW | WS_VISIBLE, SW_MINIMIZE},
      {"a window that does not exist", "Nobody", WS_POPUP | WS_VISIBLE, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    void* p = StartProgram(m, [&c] {
      HWND hwnd = ShowPlain("Quiet", c.style, kGreen);
      if (c.show >= 0) ShowWindow(hwnd, c.show);
    });
    ASSERT_TRUE(m.RunUntil([] { return FindWindowA(nullptr, "Quiet") != nullptr; }, 1000));
    m.RunFor(10);
    EXPECT_EQ(picture::Snapshot({c.window}), nullptr);
    EXPECT_TRUE(picture::Png({c.window}).empty());
    End(m, p, "Quiet");
  }
}

TEST(Paint, APictureIsTakenFromTheHostOnly) {
  Machine m;
  void* p = StartProgram(m, [] { ShowPlain("Shown", WS_POPUP | WS_VISIBLE, kGreen); });
  ASSERT_TRUE(m.RunUntil([] { return FindWindowA(nullptr, "Shown") != nullptr; }, 1000));
  bool pictured = true;
  ASSERT_TRUE(m.RunIn(p, [&pictured] { pictured = picture::Snapshot({"Shown"}) != nullptr; }));
  EXPECT_FALSE(pictured) << "a simulated thread cannot run the machine";
  EXPECT_NE(picture::Snapshot({"Shown"}), nullptr);
  End(m, p, "Shown");
}

TEST(Paint, ATopLevelFrameHasRaisedEdgesACaptionWithItsTextAndACloseBox) {
  Machine m;
  void* p = StartProgram(m, [] { ShowPlain("Framed", WS_OVERLAPPEDWINDOW | WS_VISIBLE, kGreen, 200, 100); });
  ASSERT_TRUE(m.RunUntil([] { return FindWindowA(nullptr, "Framed") != nullptr; }, 1000));
  std::shared_ptr<const RasterSurface> shot = picture::Snapshot({"Framed"});
  ASSERT_NE(shot, nullptr);
  ASSERT_EQ(shot->Width(), 200);
  ASSERT_EQ(shot->Height(), 100);
  struct Probe {
    const char* name;
    int x, y;
    int colour;  // a system colour index, or -1 for the class brush's green
  } probes[] = {
      {"the outer edge's light top left", 0, 0, COLOR_3DLIGHT},
      {"the inner edge's highlight", 1, 1, COLOR_BTNHIGHLIGHT},
      {"the outer edge's dark bottom right", 199, 99, COLOR_3DDKSHADOW},
      {"the sizing frame's face", 3, 50, COLOR_3DFACE},
      {"the active caption beyond its text", 150, 8, COLOR_ACTIVECAPTION},
      {"the face line beneath the caption", 100, 22, COLOR_3DFACE},
      {"the close box's light corner", 178, 6, COLOR_3DLIGHT},
      {"the close box's dark corner", 193, 19, COLOR_3DDKSHADOW},
      {"the client area", 100, 60, -1},
  };
  for (const Probe& probe : probes)
    EXPECT_EQ(shot->Pixel(probe.x, probe.y), probe.colour < 0 ? kGreen : GetSysColor(probe.colour)) << probe.name;
  const std::string drawing = DrawingOf(picture::DumpDrawing(), "QxPlain id=0 \"Framed\"");
  EXPECT_NE(drawing.find("  frame:\n"), std::string::npos) << drawing;
  EXPECT_NE(drawing.find("    fill 4,4-196,23 brush=#000080\n"), std::string::npos) << drawing;
  EXPECT_NE(drawing.find("\"Framed\" font=\"MS Shell Dlg\" -11 w700 colour=#FFFFFF"), std::string::npos) << drawing;
  EXPECT_NE(drawing.find("  paint:\n    fill 0,0-"), std::string::npos) << drawing;
  ASSERT_TRUE(m.RunIn(p, [] { SetWindowTextA(FindWindowA(nullptr, "Framed"), "Renamed"); }));
  const std::string renamed = DrawingOf(picture::DumpDrawing(), "QxPlain id=0 \"Renamed\"");
  EXPECT_NE(renamed.find("\"Renamed\" font="), std::string::npos) << "the caption redrawn at once\n" << renamed;
  // With an icon, the caption shows it small at its left, the text after it.
  ASSERT_TRUE(m.RunIn(p, [] {
    SendMessageA(FindWindowA(nullptr, "Renamed"), WM_SETICON, ICON_SMALL,
                 reinterpret_cast<LPARAM>(LoadIconA(nullptr, IDI_APPLICATION)));
  }));
  shot = picture::Snapshot({"Renamed"});
  ASSERT_NE(shot, nullptr);
  EXPECT_EQ(shot->Pixel(6 + 8, 5 + 10), RGB(255, 255, 255)) << "the icon's window";
  EXPECT_EQ(shot->Pixel(6 + 8, 5 + 1), GetSysColor(COLOR_ACTIVECAPTION)) << "above the icon's window";
  const std::string iconed = DrawingOf(picture::DumpDrawing(), "QxPlain id=0 \"Renamed\"");
  EXPECT_NE(iconed.find("text 24,"), std::string::npos) << "the text after the icon\n" << iconed;
  End(m, p, "Renamed");
}

// Objects a program makes and never deletes.
HICON gLeakedIcon = nullptr;

void Leak() {
  HWND hwnd = ShowPlain("Leaky", WS_OVERLAPPEDWINDOW | WS_VISIBLE, kGreen);
  HDC dc = GetDC(hwnd);
  HDC memory = CreateCompatibleDC(dc);
  SelectObject(memory, CreateCompatibleBitmap(dc, 4, 4));
  SelectObject(memory, CreateSolidBrush(kBlue));
  CreatePen(PS_SOLID, 2, kRed);
  LOGFONTA font{};
  font.lfHeight = -12;
  CreateFontIndirectA(&font);
  gLeakedIcon = CopyIcon(LoadIconA(nullptr, IDI_APPLICATION));
}

TEST(Paint, AKilledProgramLeavesNoGdiObjectsOrIconsAndEachMachineStartsWithNone) {
  size_t stock = 0;
  HBRUSH fromFirstMachine = nullptr;
  {
    Machine m;
    // The first run makes the stock objects it uses; the second must leave only those.
    for (int run = 0; run < 2; ++run) {
      SCOPED_TRACE(run);
      void* p = StartProgram(m, Leak);
      ASSERT_TRUE(m.RunUntil([] { return FindWindowA(nullptr, "Leaky") != nullptr; }, 1000));
      m.RunFor(10);
      if (run == 1) {
        EXPECT_GE(plat::win32::GdiObjectCount(), stock + 6) << "the window DC and five objects";
      }
      m.Kill(p);
      m.Wait(p);
      m.Release(p);
      if (run == 0) {
        stock = plat::win32::GdiObjectCount();
      } else {
        EXPECT_EQ(plat::win32::GdiObjectCount(), stock);
      }
      EXPECT_EQ(plat::win32::ImageObjectOf(gLeakedIcon), nullptr) << "nor icons";
    }
    fromFirstMachine = CreateSolidBrush(kRed);
    EXPECT_NE(fromFirstMachine, nullptr);
  }
  Machine next;
  EXPECT_EQ(plat::win32::GdiObjectCount(), 0u);
  LOGBRUSH lb{};
  EXPECT_EQ(GetObjectA(fromFirstMachine, sizeof lb, &lb), 0) << "a handle of another machine names nothing";
}

// A dialog with every kind of control the stand-in has.
INT_PTR CALLBACK EverythingProc(HWND hwnd, UINT message, WPARAM, LPARAM) {
  if (message != WM_INITDIALOG) return FALSE;
  auto make = [hwnd](const char* cls, int id, DWORD style, int x, int y, int cx, int cy) {
    return CreateWindowExA(0, cls, "", WS_CHILD | WS_VISIBLE | style, x, y, cx, cy, hwnd,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
  };
  HWND updown = make(UPDOWN_CLASSA, 107, UDS_SETBUDDYINT | UDS_ALIGNRIGHT, 0, 0, 16, 20);
  SendMessageA(updown, UDM_SETBUDDY, reinterpret_cast<WPARAM>(GetDlgItem(hwnd, 104)), 0);
  make(TRACKBAR_CLASSA, 108, TBS_HORZ, 10, 150, 150, 30);
  HWND tabs = make(WC_TABCONTROLA, 109, WS_CLIPSIBLINGS, 180, 10, 150, 100);
  LOGFONTA font{};
  font.lfHeight = -12;
  std::strcpy(font.lfFaceName, "Tahoma");
  SendMessageA(tabs, WM_SETFONT, reinterpret_cast<WPARAM>(CreateFontIndirectA(&font)), FALSE);
  for (const char* text : {"First", "Second"}) {
    TCITEMA item{};
    item.mask = TCIF_TEXT;
    item.pszText = const_cast<char*>(text);
    SendMessageA(tabs, TCM_INSERTITEMA, 9, reinterpret_cast<LPARAM>(&item));
  }
  HWND icon = make("Static", 110, SS_ICON, 200, 150, 32, 32);
  SendMessageA(icon, STM_SETICON, reinterpret_cast<WPARAM>(LoadIconA(nullptr, IDI_INFORMATION)), 0);
  SendDlgItemMessageA(hwnd, 106, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("One"));
  SendDlgItemMessageA(hwnd, 106, CB_SETCURSEL, 0, 0);
  return TRUE;
}

void ShowEverything() {
  gTemplate = w32test::Template(
      WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | WS_VISIBLE, "Everything", 240, 140,
      {{0x80, IDOK, "OK", WS_TABSTOP | BS_DEFPUSHBUTTON, 180, 120, 50, 14},
       {0x80, 101, "Check", WS_TABSTOP | BS_AUTOCHECKBOX, 10, 10, 60, 10},
       {0x80, 102, "Radio", WS_TABSTOP | BS_AUTORADIOBUTTON, 10, 24, 60, 10},
       {0x80, 103, "Group", BS_GROUPBOX, 5, 40, 100, 40},
       {0x81, 104, "7", WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL, 10, 52, 40, 12},
       {0x82, 105, "Label", SS_LEFT, 10, 84, 60, 8},
       {0x85, 106, "", WS_TABSTOP | CBS_DROPDOWNLIST | WS_VSCROLL, 10, 96, 60, 60}});
  CreateDialogIndirectParamA(nullptr, reinterpret_cast<const DLGTEMPLATE*>(gTemplate.data()), nullptr,
                             EverythingProc, 0);
}

TEST(Paint, ADialogWithEveryControlRendersToAPngAtItsSizeAndTheSameBytesAndDumpEachTime) {
  Machine m;
  void* p = StartProgram(m, ShowEverything);
  ASSERT_TRUE(m.RunUntil([] { return FindWindowA(nullptr, "Everything") != nullptr; }, 1000));
  RECT window;
  GetWindowRect(FindWindowA(nullptr, "Everything"), &window);

  const std::vector<uint8_t> png = picture::Png({"Everything"});
  const std::string dump = picture::DumpDrawing();
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_NE(png_image_begin_read_from_memory(&image, png.data(), png.size()), 0);
  EXPECT_EQ(image.width, static_cast<png_uint_32>(window.right - window.left));
  EXPECT_EQ(image.height, static_cast<png_uint_32>(window.bottom - window.top));
  png_image_free(&image);

  for (const char* control : {"Button id=1 ", "Button id=101 ", "Button id=102 ", "Button id=103 ", "Edit id=104 ",
                              "Static id=105 ", "ComboBox id=106 ", "msctls_updown32 id=107 ",
                              "msctls_trackbar32 id=108 ", "SysTabControl32 id=109 ", "Static id=110 "})
    EXPECT_NE(dump.find(control), std::string::npos) << control << " in\n" << dump;
  const std::string tabs = DrawingOf(dump, "SysTabControl32 id=109 ");
  EXPECT_NE(tabs.find("\"First\" font=\"Tahoma\" -12"), std::string::npos) << "in the tab control's font\n" << tabs;
  EXPECT_NE(tabs.find("\"Second\" font=\"Tahoma\" -12"), std::string::npos) << tabs;
  const std::string dialog = DrawingOf(dump, "#32770 id=0 \"Everything\"");
  EXPECT_NE(dialog.find("    fill 0,0-"), std::string::npos) << "the dialog's erase\n" << dialog;
  EXPECT_NE(dialog.find("\"Everything\" font="), std::string::npos) << "the caption\n" << dialog;

  EXPECT_EQ(picture::Png({"Everything"}), png) << "an unchanged window gives the same bytes";
  EXPECT_EQ(picture::DumpDrawing(), dump);
  End(m, p, "Everything");
}

// A 4x4 icon as a resource holds it: 24-bit colour rows, then the AND mask's rows, both bottom-up.
// Its left half is blue with a black mask, its right half black with a white mask (transparent).
HICON FourByFourIcon() {
  BITMAPINFOHEADER header{sizeof(BITMAPINFOHEADER), 4, 8, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  std::vector<uint8_t> dib(sizeof header);
  std::memcpy(dib.data(), &header, sizeof header);
  for (int row = 0; row < 4; ++row) {
    for (int x = 0; x < 4; ++x) {
      const bool left = x < 2;
      dib.insert(dib.end(), {static_cast<uint8_t>(left ? 255 : 0), 0, 0});  // blue, green, red
    }
  }
  for (int row = 0; row < 4; ++row) dib.insert(dib.end(), {0x30, 0, 0, 0});  // the right two pixels set
  plat::win32::ImageObject icon{plat::win32::ImageKind::Icon, 0, false, false, 4, 4, 2, 2, dib, 0};
  return static_cast<HICON>(plat::win32::AddImageObject(std::move(icon)));
}

TEST(Paint, IconsAreDrawnThroughTheirMasksAndSystemIconsAsPlainPicturesOfTheirKind) {
  struct Probe {
    int x, y;
    COLORREF colour;
  };
  struct Case {
    const char* name;
    LPCSTR system;  // null: the 4x4 icon from its bits, drawn 32x32
    std::vector<Probe> probes;
  } cases[] = {
      {"an icon's colour where its mask is black, the background where white", nullptr,
       {{4, 4, kBlue}, {28, 4, kGreen}, {12, 28, kBlue}, {20, 28, kGreen}}},
      {"the error icon: a red disc with a white cross", IDI_ERROR, {{16, 16, RGB(255, 255, 255)}, {6, 16, kRed}}},
      {"the warning icon: a yellow triangle with a black mark", IDI_WARNING,
       {{8, 27, RGB(255, 255, 0)}, {16, 15, RGB(0, 0, 0)}, {2, 2, kGreen}}},
      {"the information icon: a white disc with a blue mark", IDI_INFORMATION,
       {{16, 20, RGB(0, 0, 255)}, {8, 16, RGB(255, 255, 255)}}},
      {"the application icon: a window with its caption bar", IDI_APPLICATION,
       {{16, 8, RGB(0, 0, 128)}, {16, 20, RGB(255, 255, 255)}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    gPaint = [&c](HDC dc) {
      HICON icon = c.system != nullptr ? LoadIconA(nullptr, c.system) : FourByFourIcon();
      EXPECT_TRUE(DrawIconEx(dc, 0, 0, icon, 32, 32, 0, nullptr, DI_NORMAL));
    };
    void* p = StartProgram(m, [] { ShowPlain("Icon", WS_POPUP | WS_VISIBLE, kGreen, 40, 40); });
    ASSERT_TRUE(m.RunUntil([] { return FindWindowA(nullptr, "Icon") != nullptr; }, 1000));
    std::shared_ptr<const RasterSurface> shot = picture::Snapshot({"Icon"});
    ASSERT_NE(shot, nullptr);
    for (const Probe& probe : c.probes)
      EXPECT_EQ(shot->Pixel(probe.x, probe.y), probe.colour) << probe.x << "," << probe.y;
    gPaint = nullptr;
    End(m, p, "Icon");
  }
}

// A window that, when clicked, asks with a message box.
LRESULT CALLBACK AskingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_LBUTTONUP) {
    MessageBoxA(hwnd, "Keep the changes?", "Careful", MB_YESNO | MB_ICONEXCLAMATION);
    return 0;
  }
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

TEST(Paint, AMessageBoxShowsItsFrameIconTextAndButtons) {
  Machine m;
  void* p = StartProgram(m, [] {
    WNDCLASSA wc{};
    wc.lpfnWndProc = AskingProc;
    wc.lpszClassName = "QxAsking";
    RegisterClassA(&wc);
    CreateWindowExA(0, "QxAsking", "Asking", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 300, 200, nullptr, nullptr,
                    nullptr, nullptr);
  });
  ASSERT_TRUE(m.RunUntil([] { return FindWindowA(nullptr, "Asking") != nullptr; }, 1000));
  ASSERT_TRUE(input::Click({"Asking"}));
  HWND box = FindWindowA(nullptr, "Careful");
  ASSERT_NE(box, nullptr);
  RECT r;
  GetWindowRect(box, &r);
  std::shared_ptr<const RasterSurface> shot = picture::Snapshot({"Careful"});
  ASSERT_NE(shot, nullptr);
  EXPECT_EQ(shot->Width(), r.right - r.left);
  EXPECT_EQ(shot->Height(), r.bottom - r.top);
  const std::string dump = picture::DumpDrawing();
  const std::string drawing = DrawingOf(dump, "#32770 id=0 \"Careful\"");
  EXPECT_NE(drawing.find("text 7,5 \"Careful\" font=\"MS Shell Dlg\" -11 w700"), std::string::npos) << drawing;
  EXPECT_NE(drawing.find("  paint:\n    fill 0,0-"), std::string::npos) << drawing;
  for (const char* item : {"Static id=20 ", "Static id=65535 \"Keep the changes?\"", "Button id=6 \"&Yes\"",
                           "Button id=7 \"&No\""})
    EXPECT_NE(dump.find(item), std::string::npos) << item << " in\n" << dump;
  // The icon's static sits left of the text.
  RECT icon, text;
  GetWindowRect(GetDlgItem(box, 20), &icon);
  GetWindowRect(GetDlgItem(box, 0xFFFF), &text);
  EXPECT_LE(icon.right, text.left);
  EXPECT_EQ(icon.right - icon.left, 32);
  ASSERT_TRUE(input::Click({"Careful", "", {IDNO}}));
  End(m, p, "Asking");
}

}  // namespace
