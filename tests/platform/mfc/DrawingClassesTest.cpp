// The class library's drawing classes over gdi32 in a simulated process: DCs selecting and
// restoring objects, drawing members reaching the bitmap, the objects describing themselves and
// owning their handles, and a window's DCs and font.
#include <afxwin.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "platform/win32/GdiSeam.h"
#include "tests/platform/win32/TestMachine.h"
#include "tests/platform/win32/images/ProbeResources.h"

namespace {

using w32test::Machine;

constexpr int kWidth = 40;
constexpr int kHeight = 20;
constexpr COLORREF kRed = RGB(255, 0, 0);
constexpr COLORREF kBlue = RGB(0, 0, 255);
constexpr COLORREF kGrey = RGB(128, 128, 128);

// The label font of the routing page.
LOGFONT LabelFont() {
  LOGFONT font{};
  font.lfHeight = 15;
  font.lfWeight = 600;
  std::strcpy(font.lfFaceName, "Arial");
  return font;
}

// A window that keeps the font it is given, as controls do.
class FontKeeper : public CWnd {
 protected:
  LRESULT OnSetFont(WPARAM wParam, LPARAM) {
    font_ = reinterpret_cast<HFONT>(wParam);
    return 0;
  }
  LRESULT OnGetFont(WPARAM, LPARAM) { return reinterpret_cast<LRESULT>(font_); }
  DECLARE_MESSAGE_MAP()

 private:
  HFONT font_ = nullptr;
};

BEGIN_MESSAGE_MAP(FontKeeper, CWnd)
ON_MESSAGE(WM_SETFONT, OnSetFont)
ON_MESSAGE(WM_GETFONT, OnGetFont)
END_MESSAGE_MAP()

class DrawingClasses : public ::testing::Test {
 protected:
  void SetUp() override {
    process_ = machine_.Start("canvas.exe", 64, [this] {
      canvas_ = std::make_unique<CWnd>();
      if (!canvas_->CreateEx(0, nullptr, "Canvas", WS_OVERLAPPEDWINDOW | WS_VISIBLE, CRect(0, 0, 200, 150), nullptr,
                             0)) {
        return 100u;
      }
      MSG msg;
      while (::GetMessageA(&msg, nullptr, 0, 0)) {
        ::DispatchMessageA(&msg);
      }
      canvas_.reset();
      return static_cast<uint32_t>(msg.wParam);
    });
    ASSERT_TRUE(machine_.RunUntil([this] { return canvas_ != nullptr && canvas_->m_hWnd != nullptr; }, 1000));
  }
  void TearDown() override {
    In([this] { ::PostMessageA(canvas_->m_hWnd, WM_QUIT, 0, 0); });
    machine_.Wait(process_);
    EXPECT_EQ(0u, machine_.ExitCode(process_));
    machine_.Release(process_);
  }
  // Runs `body` on a thread of the canvas's process, then drops its temporary objects as an idle
  // pass would.
  void In(const std::function<void()>& body) {
    ASSERT_TRUE(machine_.RunIn(process_, [&] {
      body();
      CGdiObject::DeleteTempMap();
      CDC::DeleteTempMap();
    }));
  }
  // A memory DC holding a colour bitmap of kWidth x kHeight, filled white.
  static void MakeCanvas(CDC& dc, CBitmap& bitmap) {
    ASSERT_TRUE(dc.CreateCompatibleDC(nullptr));
    ASSERT_TRUE(bitmap.CreateBitmap(kWidth, kHeight, 1, 32, nullptr));
    ASSERT_NE(nullptr, dc.SelectObject(&bitmap));
    dc.FillSolidRect(0, 0, kWidth, kHeight, RGB(255, 255, 255));
  }

  Machine machine_;
  void* process_ = nullptr;
  std::unique_ptr<CWnd> canvas_;
};

TEST_F(DrawingClasses, EachSelectionAnswersTheObjectItReplacedAndTakesItBack) {
  struct Case {
    const char* name;
    std::function<std::unique_ptr<CGdiObject>()> make;
    // Selects the object with its kind's member, answering the previous object.
    std::function<CGdiObject*(CDC&, CGdiObject*)> select;
    int stock;  // what a new memory DC holds; -1 for its one-pixel bitmap
  };
  const Case cases[] = {
      {"pen", [] { return std::make_unique<CPen>(PS_SOLID, 1, kRed); },
       [](CDC& dc, CGdiObject* o) -> CGdiObject* { return dc.SelectObject(static_cast<CPen*>(o)); }, BLACK_PEN},
      {"brush", [] { return std::make_unique<CBrush>(kBlue); },
       [](CDC& dc, CGdiObject* o) -> CGdiObject* { return dc.SelectObject(static_cast<CBrush*>(o)); }, WHITE_BRUSH},
      {"font",
       [] {
         auto font = std::make_unique<CFont>();
         const LOGFONT description = LabelFont();
         font->CreateFontIndirect(&description);
         return font;
       },
       [](CDC& dc, CGdiObject* o) -> CGdiObject* { return dc.SelectObject(static_cast<CFont*>(o)); }, SYSTEM_FONT},
      {"bitmap",
       [] {
         auto bitmap = std::make_unique<CBitmap>();
         bitmap->CreateBitmap(8, 8, 1, 1, nullptr);
         return bitmap;
       },
       [](CDC& dc, CGdiObject* o) -> CGdiObject* { return dc.SelectObject(static_cast<CBitmap*>(o)); }, -1},
      {"any object", [] { return std::make_unique<CPen>(PS_DOT, 1, kGrey); },
       [](CDC& dc, CGdiObject* o) { return dc.SelectObject(o); }, BLACK_PEN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    In([&] {
      CDC dc;
      ASSERT_TRUE(dc.CreateCompatibleDC(nullptr));
      std::unique_ptr<CGdiObject> object = c.make();
      ASSERT_NE(nullptr, object->m_hObject);
      CGdiObject* previous = c.select(dc, object.get());
      ASSERT_NE(nullptr, previous);
      if (c.stock >= 0) {
        EXPECT_EQ(::GetStockObject(c.stock), previous->m_hObject);
      } else {
        BITMAP bitmap{};
        ASSERT_EQ(static_cast<int>(sizeof bitmap), previous->GetObject(sizeof bitmap, &bitmap));
        EXPECT_EQ(1, bitmap.bmWidth);
        EXPECT_EQ(1, bitmap.bmHeight);
      }
      // The same temporary object stands for the handle until the next idle pass.
      EXPECT_EQ(previous, CGdiObject::FromHandle(previous->m_hObject));
      EXPECT_FALSE(object.get() == previous);
      // Putting the old object back answers the program's own object.
      EXPECT_EQ(object.get(), c.select(dc, previous));
    });
  }
}

TEST_F(DrawingClasses, SelectStockObjectAndRestoreDCPutBackWhatWasSelected) {
  In([&] {
    CDC dc;
    CBitmap bitmap;
    MakeCanvas(dc, bitmap);
    CPen pen(PS_SOLID, 1, kRed);
    CBrush brush(kBlue);
    const int saved = dc.SaveDC();
    ASSERT_NE(0, saved);
    dc.SelectObject(&pen);
    dc.SelectObject(&brush);
    dc.SetTextColor(kRed);
    dc.SetBkMode(TRANSPARENT);
    CGdiObject* replaced = dc.SelectStockObject(NULL_BRUSH);
    ASSERT_NE(nullptr, replaced);
    EXPECT_EQ(&brush, replaced);
    EXPECT_EQ(::GetStockObject(NULL_BRUSH), dc.GetCurrentBrush()->m_hObject);
    EXPECT_EQ(&pen, dc.GetCurrentPen());
    EXPECT_TRUE(dc.RestoreDC(saved));
    EXPECT_EQ(::GetStockObject(BLACK_PEN), dc.GetCurrentPen()->m_hObject);
    EXPECT_EQ(::GetStockObject(WHITE_BRUSH), dc.GetCurrentBrush()->m_hObject);
    EXPECT_EQ(RGB(0, 0, 0), dc.GetTextColor());
    EXPECT_EQ(OPAQUE, dc.GetBkMode());
    EXPECT_EQ(&bitmap, dc.GetCurrentBitmap());
  });
}

TEST_F(DrawingClasses, DrawingMembersReachTheBitmap) {
  In([&] {
    CDC dc;
    CBitmap bitmap;
    MakeCanvas(dc, bitmap);
    // A filled rectangle leaves the background colour set to its colour.
    dc.FillSolidRect(CRect(0, 0, 10, 10), kGrey);
    EXPECT_EQ(kGrey, dc.GetPixel(5, 5));
    EXPECT_EQ(kGrey, dc.GetBkColor());
    // Lines from the current position, which MoveTo answers before moving it.
    CPen pen(PS_SOLID, 1, kRed);
    CPen* oldPen = dc.SelectObject(&pen);
    EXPECT_EQ(CPoint(0, 0), dc.MoveTo(12, 2));
    EXPECT_EQ(CPoint(12, 2), dc.MoveTo(CPoint(12, 4)));
    dc.LineTo(30, 4);
    EXPECT_EQ(CPoint(30, 4), dc.GetCurrentPosition());
    EXPECT_EQ(kRed, dc.GetPixel(20, 4));
    EXPECT_EQ(RGB(255, 255, 255), dc.GetPixel(20, 5));
    dc.SelectObject(oldPen);
    // A rectangle is outlined with the pen and filled with the brush.
    CBrush brush(kBlue);
    CBrush* oldBrush = dc.SelectObject(&brush);
    dc.Rectangle(CRect(12, 8, 20, 16));
    EXPECT_EQ(RGB(0, 0, 0), dc.GetPixel(12, 10));
    EXPECT_EQ(kBlue, dc.GetPixel(15, 12));
    dc.SelectObject(oldBrush);
    dc.FillRect(CRect(22, 8, 26, 12), &brush);
    EXPECT_EQ(kBlue, dc.GetPixel(23, 9));
    // Copied into a second DC.
    CDC copy;
    CBitmap copyBitmap;
    MakeCanvas(copy, copyBitmap);
    EXPECT_TRUE(copy.BitBlt(0, 0, kWidth, kHeight, &dc, 0, 0, SRCCOPY));
    EXPECT_EQ(kGrey, copy.GetPixel(5, 5));
    EXPECT_EQ(kRed, copy.GetPixel(20, 4));
    EXPECT_EQ(kBlue, copy.GetPixel(15, 12));
  });
}

TEST_F(DrawingClasses, AnArrowDrawnThroughTheClassesIsRecordedWithItsExtendedPen) {
  std::string printed;
  In([&] {
    CDC dc;
    CBitmap bitmap;
    MakeCanvas(dc, bitmap);
    CBrush blue(RGB(0, 128, 255));
    LOGBRUSH logBrush{};
    blue.GetLogBrush(&logBrush);
    CPen pen(PS_SOLID | PS_GEOMETRIC | PS_ENDCAP_SQUARE, 4, &logBrush);
    CPen* oldPen = dc.SelectObject(&pen);
    dc.MoveTo(2, 3);
    dc.LineTo(20, 3);
    dc.LineTo(20, 15);
    dc.LineTo(30, 15);
    dc.SelectObject(oldPen);
    const plat::win32::DrawingRecord record = plat::win32::DrawingRecordOf(dc.m_hDC);
    ASSERT_FALSE(record.Operations().empty());
    printed = plat::win32::DrawingRecord::PrintOperation(record.Operations().back());
  });
  EXPECT_EQ("line 2,3 20,3 20,15 30,15 pen=geometric width=4 cap=square #0080FF", printed);
}

TEST_F(DrawingClasses, TextIsMeasuredAndDrawnInTheSelectedFont) {
  In([&] {
    CDC dc;
    CBitmap bitmap;
    MakeCanvas(dc, bitmap);
    CFont font;
    const LOGFONT description = LabelFont();
    ASSERT_TRUE(font.CreateFontIndirect(&description));
    CFont* oldFont = dc.SelectObject(&font);
    TEXTMETRIC metrics{};
    ASSERT_TRUE(dc.GetTextMetrics(&metrics));
    EXPECT_EQ(15, metrics.tmHeight);
    const CSize extent = dc.GetTextExtent(CString("From"));
    EXPECT_GT(extent.cx, 0);
    EXPECT_EQ(15, extent.cy);
    EXPECT_EQ(extent, dc.GetTextExtent("From!", 4));
    CRect measured(0, 0, 0, 0);
    dc.DrawText(CString("From"), measured, DT_CALCRECT | DT_SINGLELINE);
    EXPECT_EQ(extent, measured.Size());
    dc.SetTextColor(kRed);
    dc.SetBkMode(TRANSPARENT);
    EXPECT_TRUE(dc.TextOut(0, 0, CString("From")));
    int red = 0;
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < kWidth; ++x) {
        red += dc.GetPixel(x, y) == kRed ? 1 : 0;
      }
    }
    EXPECT_GT(red, 0);
    dc.SelectObject(oldFont);
  });
}

TEST_F(DrawingClasses, ObjectsDescribeThemselves) {
  In([&] {
    // The routing page's arrow pen: geometric, 4 wide, square ends, from a brush's description.
    CBrush yellow(RGB(255, 255, 0));
    LOGBRUSH logBrush{};
    ASSERT_EQ(static_cast<int>(sizeof logBrush), yellow.GetLogBrush(&logBrush));
    EXPECT_EQ(BS_SOLID, logBrush.lbStyle);
    EXPECT_EQ(RGB(255, 255, 0), logBrush.lbColor);
    CPen arrow;
    ASSERT_TRUE(arrow.CreatePen(PS_SOLID | PS_GEOMETRIC | PS_ENDCAP_SQUARE, 4, &logBrush));
    EXTLOGPEN extPen{};
    ASSERT_GT(arrow.GetExtLogPen(&extPen), 0);
    EXPECT_EQ(PS_SOLID | PS_GEOMETRIC | PS_ENDCAP_SQUARE, extPen.elpPenStyle);
    EXPECT_EQ(4u, extPen.elpWidth);
    EXPECT_EQ(RGB(255, 255, 0), extPen.elpColor);
    CPen plain(PS_DASH, 1, kGrey);
    LOGPEN logPen{};
    ASSERT_EQ(static_cast<int>(sizeof logPen), plain.GetLogPen(&logPen));
    EXPECT_EQ(static_cast<UINT>(PS_DASH), logPen.lopnStyle);
    EXPECT_EQ(kGrey, logPen.lopnColor);
    CFont font;
    const LOGFONT description = LabelFont();
    font.CreateFontIndirect(&description);
    LOGFONT logFont{};
    ASSERT_EQ(static_cast<int>(sizeof logFont), font.GetLogFont(&logFont));
    EXPECT_EQ(15, logFont.lfHeight);
    EXPECT_EQ(600, logFont.lfWeight);
    EXPECT_STREQ("Arial", logFont.lfFaceName);
    // A monochrome bitmap's rows are padded to whole words.
    CBitmap made;
    const BYTE bits[4] = {0xA0, 0, 0x40, 0};
    ASSERT_TRUE(made.CreateBitmap(3, 2, 1, 1, bits));
    BITMAP shape{};
    ASSERT_EQ(static_cast<int>(sizeof shape), made.GetBitmap(&shape));
    EXPECT_EQ(3, shape.bmWidth);
    EXPECT_EQ(2, shape.bmHeight);
    EXPECT_EQ(2, shape.bmWidthBytes);
    EXPECT_EQ(1, shape.bmBitsPixel);
  });
}

TEST_F(DrawingClasses, ACompatibleBitmapTakesItsDCsFormat) {
  In([&] {
    CClientDC screen(canvas_.get());
    CDC memory;
    ASSERT_TRUE(memory.CreateCompatibleDC(&screen));
    struct Case {
      const char* name;
      CDC* dc;
      int bitsPixel;
    };
    // A new memory DC holds a one-bit bitmap, so a bitmap like it is monochrome.
    const Case cases[] = {{"window DC", &screen, screen.GetDeviceCaps(BITSPIXEL)}, {"memory DC", &memory, 1}};
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      CBitmap bitmap;
      ASSERT_TRUE(bitmap.CreateCompatibleBitmap(c.dc, 20, 10));
      BITMAP shape{};
      ASSERT_EQ(static_cast<int>(sizeof shape), bitmap.GetBitmap(&shape));
      EXPECT_EQ(20, shape.bmWidth);
      EXPECT_EQ(10, shape.bmHeight);
      EXPECT_EQ(c.bitsPixel, shape.bmBitsPixel);
    }
  });
}

TEST_F(DrawingClasses, LoadBitmapFindsTheResourceModulesBitmap) {
  In([&] {
    const HMODULE library = ::LoadLibraryA("ProbeLibrary.dll");
    ASSERT_NE(nullptr, library);
    const HINSTANCE own = AfxGetResourceHandle();
    AfxSetResourceHandle(library);
    CBitmap logo;
    CBitmap missing;
    EXPECT_TRUE(logo.LoadBitmap(probe::kLogo));
    EXPECT_FALSE(missing.LoadBitmap(probe::kLogo + 1));
    EXPECT_EQ(nullptr, missing.m_hObject);
    AfxSetResourceHandle(own);
    BITMAP shape{};
    ASSERT_EQ(static_cast<int>(sizeof shape), logo.GetBitmap(&shape));
    EXPECT_EQ(4, shape.bmWidth);
    EXPECT_EQ(4, shape.bmHeight);
    // A device bitmap at the screen's depth, whatever the resource's was.
    CClientDC screen(canvas_.get());
    EXPECT_EQ(screen.GetDeviceCaps(BITSPIXEL), shape.bmBitsPixel);
    logo.DeleteObject();
    ::FreeLibrary(library);
  });
}

TEST_F(DrawingClasses, AnObjectOwnsItsHandleUntilDetachedAndTemporariesNeverDeleteOne) {
  In([&] {
    HGDIOBJ owned = nullptr;
    {
      CBrush brush(kBlue);
      owned = brush.m_hObject;
      EXPECT_EQ(&brush, CGdiObject::FromHandle(owned));
      EXPECT_EQ(&brush, CBrush::FromHandle(static_cast<HBRUSH>(owned)));
    }
    EXPECT_EQ(0u, ::GetObjectType(owned));

    CPen pen(PS_SOLID, 2, kRed);
    const HGDIOBJ detached = pen.Detach();
    EXPECT_EQ(nullptr, pen.m_hObject);
    EXPECT_FALSE(pen.DeleteObject());
    CGdiObject* temporary = CGdiObject::FromHandle(detached);
    EXPECT_NE(&pen, temporary);
    EXPECT_NE(nullptr, dynamic_cast<CPen*>(temporary));
    CGdiObject::DeleteTempMap();
    EXPECT_EQ(OBJ_PEN, ::GetObjectType(detached));
    // Attached again, the object owns it once more; a second handle is refused.
    EXPECT_TRUE(pen.Attach(detached));
    EXPECT_FALSE(pen.Attach(::GetStockObject(WHITE_PEN)));
    EXPECT_FALSE(pen.CreatePen(PS_SOLID, 1, kBlue));
    EXPECT_EQ(detached, pen.m_hObject);
    EXPECT_TRUE(pen.DeleteObject());
    EXPECT_EQ(0u, ::GetObjectType(detached));

    struct Kind {
      int stock;
      bool (*is)(CGdiObject*);
    };
    const Kind kinds[] = {
        {BLACK_PEN, [](CGdiObject* o) { return dynamic_cast<CPen*>(o) != nullptr; }},
        {GRAY_BRUSH, [](CGdiObject* o) { return dynamic_cast<CBrush*>(o) != nullptr; }},
        {DEFAULT_GUI_FONT, [](CGdiObject* o) { return dynamic_cast<CFont*>(o) != nullptr; }},
    };
    for (const Kind& kind : kinds) {
      EXPECT_TRUE(kind.is(CGdiObject::FromHandle(::GetStockObject(kind.stock)))) << kind.stock;
    }
    // A stock object outlives the object that took it.
    {
      CFont stock;
      EXPECT_TRUE(stock.CreateStockObject(DEFAULT_GUI_FONT));
    }
    EXPECT_EQ(OBJ_FONT, ::GetObjectType(::GetStockObject(DEFAULT_GUI_FONT)));
  });
}

TEST_F(DrawingClasses, AWindowGivesItsDCsAndKeepsItsFontsObject) {
  In([&] {
    CDC* dc = canvas_->GetDC();
    ASSERT_NE(nullptr, dc);
    EXPECT_EQ(dc, CDC::FromHandle(dc->GetSafeHdc()));
    EXPECT_EQ(1, canvas_->ReleaseDC(dc));
    {
      CClientDC client(canvas_.get());
      EXPECT_NE(nullptr, client.m_hDC);
      EXPECT_EQ(&client, CDC::FromHandle(client.m_hDC));
    }
    FontKeeper label;
    ASSERT_TRUE(label.Create(nullptr, "From", WS_VISIBLE, CRect(5, 5, 60, 20), canvas_.get(), 1382));
    EXPECT_EQ(nullptr, label.GetFont());
    CFont font;
    const LOGFONT description = LabelFont();
    font.CreateFontIndirect(&description);
    label.SetFont(&font, TRUE);
    EXPECT_EQ(&font, label.GetFont());
    // A font the program never attached comes back as a temporary object of its handle.
    label.SetFont(CFont::FromHandle(static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT))));
    EXPECT_EQ(::GetStockObject(DEFAULT_GUI_FONT), label.GetFont()->m_hObject);
    label.DestroyWindow();
  });
}

}  // namespace
