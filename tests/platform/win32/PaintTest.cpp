// The paint cycle seen from programs: window DCs on their top-level window's surface with
// Windows' clipping and order, erasing, frames, pictures of windows and the drawing dump.
#include <gtest/gtest.h>
#include <png.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/win32/GdiSeam.h"
#include "platform/win32/InputDriver.h"
#include "platform/win32/Snapshot.h"
#include "platform/win32/include/windows.h"
#include "tests/platform/win32/DialogTemplates.h"
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

}  // namespace
