// gdi32 on the stand-in: the drawing record of window DCs, pixels where glyphs play no part, and
// Windows' rules for objects, selection and saved states.
#include <gtest/gtest.h>
#include <png.h>

#include <windows.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32/DrawingRecord.h"
#include "platform/win32/GdiSeam.h"
#include "platform/win32/PngWriter.h"
#include "platform/win32/RasterSurface.h"

namespace {

using plat::win32::DrawingRecord;
using plat::win32::RasterRect;
using plat::win32::RasterRegion;
using plat::win32::RasterSurface;

constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kBlack = RGB(0, 0, 0);
constexpr COLORREF kYellow = RGB(255, 255, 0);
constexpr COLORREF kGrey = RGB(128, 128, 128);

// A window DC on a surface of its own (or record only), whose record is kept at release.
class WindowDc {
 public:
  WindowDc(int width, int height, bool pixels, RasterRegion clip = {}, int originX = 0, int originY = 0) {
    if (pixels) surface_ = std::make_shared<RasterSurface>(RasterSurface::Format::Colour, width, height);
    if (clip.Empty()) clip = RasterRegion(RasterRect{0, 0, width, height});
    hdc_ = plat::win32::CreateWindowDc(surface_, originX, originY, clip,
                                       [this](DrawingRecord r) { record_ = std::move(r); });
  }
  ~WindowDc() { Release(); }
  HDC Hdc() const { return hdc_; }
  // Ends the DC and answers its record.
  std::string Release() {
    if (hdc_ != nullptr) plat::win32::ReleaseWindowDc(hdc_);
    hdc_ = nullptr;
    return record_.Print();
  }
  // Every pixel to `colour`.
  void Paint(COLORREF colour) { surface_->Clear(colour); }
  COLORREF At(int x, int y) const { return surface_->Pixel(x, y); }

 private:
  std::shared_ptr<RasterSurface> surface_;
  HDC hdc_ = nullptr;
  DrawingRecord record_;
};

HPEN SquarePen(COLORREF colour, DWORD width) {
  HBRUSH brush = CreateSolidBrush(colour);
  LOGBRUSH description{};
  EXPECT_EQ(GetObjectA(brush, sizeof description, &description), static_cast<int>(sizeof description));
  HPEN pen = ExtCreatePen(PS_GEOMETRIC | PS_ENDCAP_SQUARE, width, &description, 0, nullptr);
  EXPECT_TRUE(DeleteObject(brush));
  return pen;
}

// A packed 24-bit DIB, bottom-up, of `rows` given top row first.
std::vector<uint8_t> Dib24(const std::vector<std::vector<COLORREF>>& rows) {
  const int width = static_cast<int>(rows[0].size());
  const int height = static_cast<int>(rows.size());
  const size_t stride = ((static_cast<size_t>(width) * 3 + 3) / 4) * 4;
  std::vector<uint8_t> dib(sizeof(BITMAPINFOHEADER) + stride * static_cast<size_t>(height));
  BITMAPINFOHEADER header{};
  header.biSize = sizeof header;
  header.biWidth = width;
  header.biHeight = height;
  header.biPlanes = 1;
  header.biBitCount = 24;
  std::memcpy(dib.data(), &header, sizeof header);
  for (int y = 0; y < height; ++y) {
    uint8_t* row = dib.data() + sizeof header + stride * static_cast<size_t>(height - 1 - y);
    for (int x = 0; x < width; ++x) {
      const COLORREF c = rows[static_cast<size_t>(y)][static_cast<size_t>(x)];
      row[x * 3 + 0] = GetBValue(c);
      row[x * 3 + 1] = GetGValue(c);
      row[x * 3 + 2] = GetRValue(c);
    }
  }
  return dib;
}

// The panel's transparent logo: a mask with 1 where the image is white, the image's white made black.
struct MaskedLogo {
  HBITMAP image;
  HBITMAP mask;

  explicit MaskedLogo(const std::vector<std::vector<COLORREF>>& rows) {
    const std::vector<uint8_t> dib = Dib24(rows);
    image = plat::win32::BitmapFromDib(dib.data(), dib.size(), "bitmap 170");
    const int width = static_cast<int>(rows[0].size());
    const int height = static_cast<int>(rows.size());
    mask = CreateBitmap(width, height, 1, 1, nullptr);
    HDC imageDc = CreateCompatibleDC(nullptr);
    HDC maskDc = CreateCompatibleDC(nullptr);
    HGDIOBJ oldImage = SelectObject(imageDc, image);
    HGDIOBJ oldMask = SelectObject(maskDc, mask);
    SetBkColor(imageDc, kWhite);
    BitBlt(maskDc, 0, 0, width, height, imageDc, 0, 0, SRCCOPY);
    SetTextColor(imageDc, kWhite);
    SetBkColor(imageDc, kBlack);
    BitBlt(imageDc, 0, 0, width, height, maskDc, 0, 0, SRCAND);
    SelectObject(imageDc, oldImage);
    SelectObject(maskDc, oldMask);
    DeleteDC(imageDc);
    DeleteDC(maskDc);
  }
  ~MaskedLogo() {
    DeleteObject(image);
    DeleteObject(mask);
  }
  // The mask with SRCAND, then the image with SRCPAINT, at (x, y) of `hdc`.
  void Draw(HDC hdc, int x, int y, int width, int height) const {
    HDC from = CreateCompatibleDC(hdc);
    HGDIOBJ old = SelectObject(from, mask);
    BitBlt(hdc, x, y, width, height, from, 0, 0, SRCAND);
    SelectObject(from, image);
    BitBlt(hdc, x, y, width, height, from, 0, 0, SRCPAINT);
    SelectObject(from, old);
    DeleteDC(from);
  }
};

TEST(Gdi32Record, ListsEachOperationWithItsPenFontColoursAndSource) {
  struct Case {
    const char* name;
    std::function<void(HDC)> draw;
    std::string dump;
  };
  const std::vector<std::vector<COLORREF>> logo = {{kWhite, RGB(255, 0, 0)}, {RGB(0, 0, 255), kWhite}};
  const Case cases[] = {
      {"single pixels keep their colour",
       [](HDC hdc) {
         SetPixel(hdc, 3, 4, kYellow);
         const POINT points[3] = {{0, 0}, {5, 0}, {5, 5}};
         Polyline(hdc, points, 3);
       },
       "pixel 3,4 #FFFF00\nline 0,0 5,0 5,5 pen=cosmetic width=1 #000000\n"},
      {"a square-capped 4-pixel polyline keeps its points and pen",
       [](HDC hdc) {
         HPEN pen = SquarePen(kYellow, 4);
         HGDIOBJ old = SelectObject(hdc, pen);
         MoveToEx(hdc, 10, 20, nullptr);
         LineTo(hdc, 40, 20);
         LineTo(hdc, 40, 60);
         LineTo(hdc, 70, 60);
         LineTo(hdc, 62, 52);
         MoveToEx(hdc, 70, 60, nullptr);
         LineTo(hdc, 62, 68);
         SelectObject(hdc, old);
         DeleteObject(pen);
       },
       "line 10,20 40,20 40,60 70,60 62,52 pen=geometric width=4 cap=square #FFFF00\n"
       "line 70,60 62,68 pen=geometric width=4 cap=square #FFFF00\n"},
      {"a masked blit keeps its two operations and their sources",
       [&logo](HDC hdc) { MaskedLogo(logo).Draw(hdc, 5, 6, 2, 2); },
       "blit 5,6-7,8 SRCAND source=\"bitmap mono 2x2\" at 0,0 text=#000000 back=#FFFFFF\n"
       "blit 5,6-7,8 SRCPAINT source=\"bitmap 170 colour 2x2\" at 0,0\n"},
      {"text runs keep their font and colours",
       [](HDC hdc) {
         LOGFONTA request{};
         request.lfHeight = -11;
         request.lfWeight = FW_NORMAL;
         request.lfUnderline = TRUE;
         std::strcpy(request.lfFaceName, "MS Sans Serif");
         HFONT font = CreateFontIndirectA(&request);
         HGDIOBJ old = SelectObject(hdc, font);
         SetTextColor(hdc, RGB(0, 0, 255));
         SetBkMode(hdc, TRANSPARENT);
         TextOutA(hdc, 3, 4, "www.example.com", 15);
         SetBkMode(hdc, OPAQUE);
         SetBkColor(hdc, kGrey);
         const RECT box{0, 20, 50, 40};
         ExtTextOutA(hdc, 2, 22, ETO_OPAQUE, &box, "Sync", 4, nullptr);
         SelectObject(hdc, old);
         DeleteObject(font);
       },
       "text 3,4 \"www.example.com\" font=\"MS Sans Serif\" -11 w400 underline colour=#0000FF\n"
       "text 2,22 \"Sync\" font=\"MS Sans Serif\" -11 w400 underline colour=#0000FF back=#808080 opaque "
       "rect=0,20-50,40\n"},
      {"fills, frames and rectangles keep their brush and pen",
       [](HDC hdc) {
         HBRUSH brush = CreateSolidBrush(kGrey);
         HGDIOBJ old = SelectObject(hdc, brush);
         Rectangle(hdc, 1, 2, 11, 12);
         SelectObject(hdc, GetStockObject(NULL_BRUSH));
         SelectObject(hdc, GetStockObject(WHITE_PEN));
         Rectangle(hdc, 3, 4, 5, 6);
         PatBlt(hdc, 0, 0, 4, 4, PATCOPY);
         SelectObject(hdc, old);
         DeleteObject(brush);
       },
       "rectangle 1,2-11,12 pen=cosmetic width=1 #000000 brush=#808080\n"
       "rectangle 3,4-5,6 pen=cosmetic width=1 #FFFFFF brush=null\n"
       "blit 0,0-4,4 PATCOPY brush=null\n"},
      {"user32's rectangles take brushes and system colour indices",
       [](HDC hdc) {
         const RECT r{0, 0, 10, 8};
         FillRect(hdc, &r, reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1)));
         FrameRect(hdc, &r, GetSysColorBrush(COLOR_WINDOWFRAME));
         DrawFocusRect(hdc, &r);
       },
       "fill 0,0-10,8 brush=#C0C0C0\n"
       "frame 0,0-10,8 brush=#000000\n"
       "focus 0,0-10,8\n"},
      {"patterned brushes name their hatch or bitmap",
       [](HDC hdc) {
         const RECT r{0, 0, 4, 4};
         HBRUSH hatch = CreateHatchBrush(HS_DIAGCROSS, kYellow);
         HBITMAP cell = CreateBitmap(8, 8, 1, 1, nullptr);
         HBRUSH pattern = CreatePatternBrush(cell);
         FillRect(hdc, &r, hatch);
         FillRect(hdc, &r, pattern);
         LOGBRUSH lb{};
         GetObjectA(hatch, sizeof lb, &lb);
         EXPECT_EQ(lb.lbStyle, BS_HATCHED);
         EXPECT_EQ(lb.lbHatch, static_cast<ULONG_PTR>(HS_DIAGCROSS));
         for (HGDIOBJ o : {static_cast<HGDIOBJ>(hatch), static_cast<HGDIOBJ>(cell), static_cast<HGDIOBJ>(pattern)})
           DeleteObject(o);
       },
       "fill 0,0-4,4 brush=hatch5 #FFFF00\nfill 0,0-4,4 brush=pattern \"bitmap mono 8x8\"\n"},
      {"an edge is its lines' fills, outer first",
       [](HDC hdc) {
         RECT r{0, 0, 10, 8};
         DrawEdge(hdc, &r, EDGE_SUNKEN, BF_RECT | BF_ADJUST);
         EXPECT_EQ(r.left, 2);
         EXPECT_EQ(r.bottom, 6);
       },
       "fill 0,0-10,1 brush=#808080\nfill 0,0-1,8 brush=#808080\nfill 0,7-10,8 brush=#FFFFFF\nfill 9,0-10,8 "
       "brush=#FFFFFF\n"
       "fill 1,1-9,2 brush=#000000\nfill 1,1-2,7 brush=#000000\nfill 1,6-9,7 brush=#C0C0C0\nfill 8,1-9,7 "
       "brush=#C0C0C0\n"},
      {"DrawText places its lines and keeps the prefixed character",
       [](HDC hdc) {
         SelectObject(hdc, GetStockObject(DEFAULT_GUI_FONT));
         SetBkMode(hdc, TRANSPARENT);
         RECT r{0, 0, 100, 40};
         EXPECT_EQ(DrawTextA(hdc, "&Settings", -1, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE), 26);
         RECT calc{0, 0, 100, 40};
         EXPECT_EQ(DrawTextA(hdc, "Settings\nab", -1, &calc, DT_CALCRECT), 26);
         EXPECT_EQ(calc.right, 45);
         EXPECT_EQ(calc.bottom, 26);
       },
       "text 27,13 \"Settings\" font=\"MS Shell Dlg\" -11 w400 colour=#000000 mnemonic=0\n"},
  };
  for (const Case& c : cases) {
    WindowDc record(100, 100, false);
    c.draw(record.Hdc());
    EXPECT_EQ(record.Release(), c.dump) << c.name;
  }
}

// A page's worth of drawing: background, edge, a masked logo, square-capped arrows, underlined
// text and a focus rectangle, every object made afresh.
struct Scene {
  std::string dump;
  std::vector<uint8_t> png;
};

Scene DrawScene() {
  auto surface = std::make_shared<RasterSurface>(RasterSurface::Format::Colour, 120, 80);
  DrawingRecord record;
  HDC hdc = plat::win32::CreateWindowDc(surface, 0, 0, RasterRegion(RasterRect{0, 0, 120, 80}),
                                        [&record](DrawingRecord r) { record = std::move(r); });
  const RECT all{0, 0, 120, 80};
  FillRect(hdc, &all, GetSysColorBrush(COLOR_BTNFACE));
  RECT edge{2, 2, 118, 78};
  DrawEdge(hdc, &edge, EDGE_ETCHED, BF_RECT);
  MaskedLogo({{kWhite, RGB(255, 0, 0), kWhite}, {RGB(0, 0, 255), kWhite, RGB(0, 128, 0)}}).Draw(hdc, 10, 10, 3, 2);
  HPEN pen = SquarePen(kYellow, 4);
  HGDIOBJ oldPen = SelectObject(hdc, pen);
  MoveToEx(hdc, 20, 60, nullptr);
  LineTo(hdc, 60, 60);
  LineTo(hdc, 60, 30);
  LineTo(hdc, 52, 38);
  SelectObject(hdc, oldPen);
  DeleteObject(pen);
  LOGFONTA request{};
  GetObjectA(GetStockObject(DEFAULT_GUI_FONT), sizeof request, &request);
  request.lfUnderline = TRUE;
  HFONT link = CreateFontIndirectA(&request);
  HGDIOBJ oldFont = SelectObject(hdc, link);
  SetTextColor(hdc, RGB(0, 0, 255));
  SetBkMode(hdc, TRANSPARENT);
  RECT text{20, 10, 110, 30};
  DrawTextA(hdc, "www.example.com", -1, &text, DT_LEFT | DT_SINGLELINE | DT_VCENTER);
  DrawFocusRect(hdc, &text);
  SelectObject(hdc, oldFont);
  DeleteObject(link);
  plat::win32::ReleaseWindowDc(hdc);
  return {record.Print(), plat::win32::PngWriter::Encode(*surface)};
}

TEST(Gdi32Record, TwoRendersOfOneSceneGiveTheSameDumpAndPngBytes) {
  const Scene first = DrawScene();
  const Scene second = DrawScene();
  EXPECT_EQ(first.dump, second.dump);
  EXPECT_EQ(first.png, second.png);
  EXPECT_EQ(first.dump.find("0x"), std::string::npos) << "no handle values";

  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_NE(png_image_begin_read_from_memory(&image, first.png.data(), first.png.size()), 0);
  EXPECT_EQ(image.width, 120u);
  EXPECT_EQ(image.height, 80u);
  png_image_free(&image);
}

TEST(Gdi32Record, IsTheSameWithOrWithoutPixels) {
  std::string dumps[2];
  for (int pixels = 0; pixels < 2; ++pixels) {
    WindowDc dc(40, 40, pixels != 0);
    HPEN pen = SquarePen(kYellow, 4);
    HGDIOBJ old = SelectObject(dc.Hdc(), pen);
    MoveToEx(dc.Hdc(), 1, 1, nullptr);
    LineTo(dc.Hdc(), 30, 30);
    TextOutA(dc.Hdc(), 2, 2, "A", 1);
    SelectObject(dc.Hdc(), old);
    DeleteObject(pen);
    dumps[pixels] = dc.Release();
  }
  EXPECT_EQ(dumps[0], dumps[1]);
  EXPECT_FALSE(dumps[0].empty());
}

TEST(Gdi32Pixels, SquareCapsReachHalfTheWidthBeyondEachEnd) {
  struct Case {
    const char* name;
    POINT from;
    POINT to;
    DWORD width;
    std::vector<POINT> drawn;
    std::vector<POINT> clear;
  };
  const Case cases[] = {
      {"4 px horizontal",
       {10, 20},
       {30, 20},
       4,
       {{8, 20}, {31, 20}, {8, 18}, {31, 21}},
       {{7, 20}, {32, 20}, {20, 17}, {20, 22}}},
      {"4 px vertical",
       {20, 10},
       {20, 30},
       4,
       {{20, 8}, {20, 31}, {18, 8}, {21, 31}},
       {{20, 7}, {20, 32}, {17, 20}, {22, 20}}},
      {"6 px horizontal", {10, 20}, {30, 20}, 6, {{7, 20}, {32, 20}}, {{6, 20}, {33, 20}}},
  };
  for (const Case& c : cases) {
    WindowDc dc(48, 48, true);
    dc.Paint(kWhite);
    HPEN pen = SquarePen(kYellow, c.width);
    HGDIOBJ old = SelectObject(dc.Hdc(), pen);
    MoveToEx(dc.Hdc(), c.from.x, c.from.y, nullptr);
    LineTo(dc.Hdc(), c.to.x, c.to.y);
    for (const POINT& p : c.drawn)
      EXPECT_EQ(GetPixel(dc.Hdc(), p.x, p.y), kYellow) << c.name << " at " << p.x << "," << p.y;
    for (const POINT& p : c.clear)
      EXPECT_EQ(GetPixel(dc.Hdc(), p.x, p.y), kWhite) << c.name << " at " << p.x << "," << p.y;
    SelectObject(dc.Hdc(), old);
    DeleteObject(pen);
  }
}

TEST(Gdi32Pixels, MaskedLogoLeavesTheBackgroundWhereItIsWhite) {
  const COLORREF red = RGB(255, 0, 0);
  const COLORREF blue = RGB(0, 0, 255);
  const std::vector<std::vector<COLORREF>> rows = {{kWhite, red, kWhite}, {blue, kWhite, RGB(1, 2, 3)}};
  const MaskedLogo logo(rows);
  WindowDc dc(20, 20, true);
  dc.Paint(kGrey);
  logo.Draw(dc.Hdc(), 4, 5, 3, 2);
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 3; ++x) {
      const COLORREF source = rows[static_cast<size_t>(y)][static_cast<size_t>(x)];
      EXPECT_EQ(dc.At(4 + x, 5 + y), source == kWhite ? kGrey : source) << x << "," << y;
    }
  }
  EXPECT_EQ(dc.At(3, 5), kGrey);
}

TEST(Gdi32Pixels, ConversionsBetweenMonoAndColourFollowTheDcColours) {
  struct Case {
    const char* name;
    COLORREF text;
    COLORREF back;
  };
  const Case cases[] = {{"default colours", kBlack, kWhite},
                        {"white on black", kWhite, kBlack},
                        {"two colours", RGB(255, 0, 0), RGB(0, 255, 0)}};
  for (const Case& c : cases) {
    // Mono to colour: 0 bits take the destination's text colour, 1 bits its background.
    const BYTE bits[2] = {0x40, 0x00};  // 0 1 0 ...
    HBITMAP mono = CreateBitmap(3, 1, 1, 1, bits);
    HDC monoDc = CreateCompatibleDC(nullptr);
    HGDIOBJ oldMono = SelectObject(monoDc, mono);
    WindowDc dc(8, 8, true);
    SetTextColor(dc.Hdc(), c.text);
    SetBkColor(dc.Hdc(), c.back);
    BitBlt(dc.Hdc(), 0, 0, 3, 1, monoDc, 0, 0, SRCCOPY);
    EXPECT_EQ(dc.At(0, 0), c.text) << c.name;
    EXPECT_EQ(dc.At(1, 0), c.back) << c.name;
    EXPECT_EQ(dc.At(2, 0), c.text) << c.name;

    // Colour to mono: the source's background colour becomes 1, any other 0.
    SetBkColor(dc.Hdc(), c.back);
    BitBlt(monoDc, 0, 0, 3, 1, dc.Hdc(), 0, 0, SRCCOPY);
    const std::shared_ptr<RasterSurface> bitsBack = plat::win32::BitmapSurface(mono);
    EXPECT_EQ(bitsBack->Pixel(0, 0), c.text == c.back ? 1u : 0u) << c.name;
    EXPECT_EQ(bitsBack->Pixel(1, 0), 1u) << c.name;
    SelectObject(monoDc, oldMono);
    DeleteDC(monoDc);
    DeleteObject(mono);
  }
}

TEST(Gdi32Pixels, WindowDcDrawsFromItsOriginInsideItsClip) {
  RasterRegion clip(RasterRect{10, 10, 30, 30});
  clip.Subtract(RasterRect{10, 10, 20, 20});
  WindowDc dc(40, 40, true, clip, 10, 10);
  dc.Paint(kWhite);
  HBRUSH brush = CreateSolidBrush(kGrey);
  HGDIOBJ old = SelectObject(dc.Hdc(), brush);
  PatBlt(dc.Hdc(), -5, -5, 50, 50, PATCOPY);
  SelectObject(dc.Hdc(), old);
  DeleteObject(brush);
  EXPECT_EQ(dc.At(9, 25), kWhite) << "outside the window";
  EXPECT_EQ(dc.At(15, 15), kWhite) << "cut out of the clip";
  EXPECT_EQ(dc.At(25, 15), kGrey);
  EXPECT_EQ(dc.At(29, 29), kGrey);
  EXPECT_EQ(dc.At(30, 30), kWhite);
  EXPECT_EQ(GetPixel(dc.Hdc(), 15, 15), kGrey) << "DC coordinates start at the origin";
  RECT box{};
  EXPECT_EQ(GetClipBox(dc.Hdc(), &box), SIMPLEREGION);
  EXPECT_EQ(box.left, 0);
  EXPECT_EQ(box.right, 20);
}

TEST(Gdi32Pixels, ShapesFillInsideTheirOutline) {
  struct Case {
    const char* name;
    std::function<void(HDC)> draw;
    std::string dump;
    POINT brushAt;
    POINT penAt;
    POINT untouched;
  };
  const Case cases[] = {
      {"polygon",
       [](HDC hdc) {
         const POINT points[3] = {{2, 2}, {18, 2}, {2, 18}};
         Polygon(hdc, points, 3);
       },
       "polygon 2,2 18,2 2,18 pen=cosmetic width=1 #000000 brush=#808080\n",
       {5, 5},
       {10, 2},
       {15, 15}},
      {"ellipse",
       [](HDC hdc) { Ellipse(hdc, 2, 2, 18, 12); },
       "ellipse 2,2-18,12 pen=cosmetic width=1 #000000 brush=#808080\n",
       {10, 7},
       {2, 7},
       {2, 2}},
      {"round rectangle",
       [](HDC hdc) { RoundRect(hdc, 2, 2, 18, 12, 6, 6); },
       "roundrect 2,2-18,12 corner=6x6 pen=cosmetic width=1 #000000 brush=#808080\n",
       {10, 7},
       {10, 2},
       {2, 2}},
  };
  for (const Case& c : cases) {
    WindowDc dc(20, 20, true);
    dc.Paint(kWhite);
    HBRUSH brush = CreateSolidBrush(kGrey);
    HGDIOBJ old = SelectObject(dc.Hdc(), brush);
    c.draw(dc.Hdc());
    EXPECT_EQ(dc.At(c.brushAt.x, c.brushAt.y), kGrey) << c.name;
    EXPECT_EQ(dc.At(c.penAt.x, c.penAt.y), kBlack) << c.name;
    EXPECT_EQ(dc.At(c.untouched.x, c.untouched.y), kWhite) << c.name;
    SelectObject(dc.Hdc(), old);
    DeleteObject(brush);
    EXPECT_EQ(dc.Release(), c.dump) << c.name;
  }
}

TEST(Gdi32Pixels, StretchBltTakesTheNearestSourcePixel) {
  const BYTE bits[2] = {0x40, 0x00};  // 0 1
  HBITMAP mono = CreateBitmap(2, 1, 1, 1, bits);
  HDC monoDc = CreateCompatibleDC(nullptr);
  HGDIOBJ oldMono = SelectObject(monoDc, mono);
  WindowDc dc(8, 4, true);
  EXPECT_TRUE(StretchBlt(dc.Hdc(), 0, 0, 4, 2, monoDc, 0, 0, 2, 1, SRCCOPY));
  EXPECT_EQ(dc.At(0, 0), kBlack);
  EXPECT_EQ(dc.At(1, 1), kBlack);
  EXPECT_EQ(dc.At(2, 0), kWhite);
  EXPECT_EQ(dc.At(3, 1), kWhite);
  EXPECT_EQ(dc.At(4, 0), kBlack) << "outside the destination";
  SelectObject(monoDc, oldMono);
  DeleteDC(monoDc);
  DeleteObject(mono);
  EXPECT_EQ(dc.Release(), "blit 0,0-4,2 SRCCOPY source=\"bitmap mono 2x1\" from 0,0-2,1 text=#000000 back=#FFFFFF\n");
}

TEST(Gdi32Pixels, PatternedBrushesRepeatFromTheBrushOrigin) {
  struct Case {
    const char* name;
    int mode;
    std::vector<POINT> lines;  // take the brush's colour (a hatch) or the 0 bits' text colour (a pattern)
    std::vector<POINT> gaps;   // take the background colour, or keep the grey beneath when transparent
    COLORREF gapColour;
    bool hatch;
  };
  const Case cases[] = {
      {"opaque cross hatch", OPAQUE, {{7, 0}, {0, 7}, {15, 3}}, {{0, 0}, {3, 4}}, kWhite, true},
      {"transparent cross hatch", TRANSPARENT, {{7, 0}, {0, 7}}, {{0, 0}, {3, 4}}, kGrey, true},
      {"mono pattern", OPAQUE, {{0, 0}, {2, 0}, {1, 1}}, {{1, 0}, {0, 1}}, kWhite, false},
  };
  for (const Case& c : cases) {
    WindowDc dc(16, 16, true);
    dc.Paint(kGrey);
    const BYTE checker[4] = {0x55, 0x00, 0xAA, 0x00};  // 0 1 0 1 ... / 1 0 1 0 ...
    HBITMAP cell = CreateBitmap(8, 2, 1, 1, checker);
    HBRUSH brush = c.hatch ? CreateHatchBrush(HS_CROSS, kYellow) : CreatePatternBrush(cell);
    DeleteObject(cell);
    SetBkMode(dc.Hdc(), c.mode);
    const RECT all{0, 0, 16, 16};
    FillRect(dc.Hdc(), &all, brush);
    const COLORREF line = c.hatch ? kYellow : kBlack;
    for (const POINT& p : c.lines) EXPECT_EQ(dc.At(p.x, p.y), line) << c.name << " at " << p.x << "," << p.y;
    for (const POINT& p : c.gaps) EXPECT_EQ(dc.At(p.x, p.y), c.gapColour) << c.name << " at " << p.x << "," << p.y;
    DeleteObject(brush);
  }
}

TEST(Gdi32Pixels, ViewportAndWindowOriginsMoveLogicalCoordinates) {
  WindowDc dc(40, 40, true);
  dc.Paint(kWhite);
  HBRUSH brush = CreateSolidBrush(kGrey);
  HGDIOBJ old = SelectObject(dc.Hdc(), brush);
  SetViewportOrgEx(dc.Hdc(), 10, 10, nullptr);
  SetWindowOrgEx(dc.Hdc(), 2, 0, nullptr);
  POINT p{2, 0};
  LPtoDP(dc.Hdc(), &p, 1);
  EXPECT_EQ(p.x, 10);
  EXPECT_EQ(p.y, 10);
  IntersectClipRect(dc.Hdc(), 2, 0, 6, 3);
  RECT box{};
  GetClipBox(dc.Hdc(), &box);
  EXPECT_TRUE(box.left == 2 && box.top == 0 && box.right == 6 && box.bottom == 3);
  PatBlt(dc.Hdc(), 0, 0, 20, 20, PATCOPY);
  EXPECT_EQ(dc.At(10, 10), kGrey);
  EXPECT_EQ(dc.At(13, 12), kGrey);
  EXPECT_EQ(dc.At(14, 10), kWhite) << "clipped where the logical clip ends";
  EXPECT_EQ(dc.At(9, 10), kWhite);
  EXPECT_EQ(GetPixel(dc.Hdc(), 2, 0), kGrey);
  SelectObject(dc.Hdc(), old);
  DeleteObject(brush);
  EXPECT_EQ(dc.Release(), "blit 0,0-20,20 PATCOPY brush=#808080\n") << "the record keeps logical coordinates";
}

TEST(Gdi32Objects, SelectionAnswersThePreviousObjectAndHoldsItAgainstDeletion) {
  // The stock objects a DC starts with are made on first use; count after they are.
  DeleteDC(CreateCompatibleDC(nullptr));
  const size_t before = plat::win32::GdiObjectCount();
  HDC hdc = CreateCompatibleDC(nullptr);
  HBRUSH first = CreateSolidBrush(kGrey);
  HBRUSH second = CreateSolidBrush(kYellow);
  EXPECT_EQ(SelectObject(hdc, first), GetStockObject(WHITE_BRUSH));
  EXPECT_EQ(SelectObject(hdc, second), first);
  EXPECT_FALSE(DeleteObject(second)) << "selected";
  EXPECT_EQ(GetObjectType(second), OBJ_BRUSH) << "still alive";
  EXPECT_TRUE(DeleteObject(first));
  EXPECT_EQ(GetObjectType(first), 0u) << "gone";
  EXPECT_EQ(SelectObject(hdc, first), nullptr) << "a deleted handle names nothing";
  EXPECT_EQ(SelectObject(hdc, GetStockObject(WHITE_BRUSH)), second);
  EXPECT_TRUE(DeleteObject(second));
  EXPECT_TRUE(DeleteObject(GetStockObject(BLACK_PEN))) << "stock objects are never deleted";
  EXPECT_EQ(GetObjectType(GetStockObject(BLACK_PEN)), OBJ_PEN);
  EXPECT_TRUE(DeleteDC(hdc));
  EXPECT_EQ(plat::win32::GdiObjectCount(), before + 0) << "nothing left behind but stock objects";
}

TEST(Gdi32Objects, ABitmapLivesInOneMemoryDcAtATime) {
  HDC a = CreateCompatibleDC(nullptr);
  HDC b = CreateCompatibleDC(nullptr);
  HBITMAP bitmap = CreateBitmap(4, 4, 1, 1, nullptr);
  HGDIOBJ oldA = SelectObject(a, bitmap);
  EXPECT_NE(oldA, nullptr);
  EXPECT_EQ(SelectObject(b, bitmap), nullptr);
  EXPECT_FALSE(DeleteObject(bitmap));
  SelectObject(a, oldA);
  EXPECT_NE(SelectObject(b, bitmap), nullptr);
  EXPECT_TRUE(DeleteDC(b)) << "deleting the DC lets the bitmap go";
  EXPECT_TRUE(DeleteObject(bitmap));
  EXPECT_TRUE(DeleteDC(a));
}

TEST(Gdi32Record, AMemoryDcRecordsWhatItDrawsOnItsBitmap) {
  HDC hdc = CreateCompatibleDC(nullptr);
  HBITMAP bitmap = CreateBitmap(8, 8, 1, 1, nullptr);
  HGDIOBJ old = SelectObject(hdc, bitmap);
  PatBlt(hdc, 0, 0, 8, 8, WHITENESS);
  MoveToEx(hdc, 0, 0, nullptr);
  LineTo(hdc, 8, 0);
  EXPECT_EQ(plat::win32::DrawingRecordOf(hdc).Print(),
            "blit 0,0-8,8 WHITENESS\nline 0,0 8,0 pen=cosmetic width=1 #000000\n");
  EXPECT_EQ(GetPixel(hdc, 3, 0), kBlack);
  EXPECT_EQ(GetPixel(hdc, 3, 1), kWhite);
  SelectObject(hdc, old);
  DeleteObject(bitmap);
  DeleteDC(hdc);
  EXPECT_EQ(plat::win32::DrawingRecordOf(hdc).Print(), "") << "a deleted DC has no record";
}

TEST(Gdi32Objects, CompatibleBitmapTakesTheFormatOfWhatTheDcDrawsOn) {
  HDC memory = CreateCompatibleDC(nullptr);
  HBITMAP fromFresh = CreateCompatibleBitmap(memory, 4, 4);
  BITMAP info{};
  ASSERT_EQ(GetObjectA(fromFresh, sizeof info, &info), static_cast<int>(sizeof info));
  EXPECT_EQ(info.bmBitsPixel, 1) << "a fresh memory DC holds a mono bitmap";
  WindowDc window(8, 8, true);
  HBITMAP fromWindow = CreateCompatibleBitmap(window.Hdc(), 5, 3);
  ASSERT_EQ(GetObjectA(fromWindow, sizeof info, &info), static_cast<int>(sizeof info));
  EXPECT_EQ(info.bmBitsPixel, 32);
  EXPECT_EQ(info.bmWidth, 5);
  EXPECT_EQ(info.bmHeight, 3);
  DeleteObject(fromFresh);
  DeleteObject(fromWindow);
  DeleteDC(memory);
}

// A packed DIB of `bits` per pixel with `table`, rows given top row first as colour-table indices
// (or COLORREFs at 24 and 32 bits); bottom-up unless `topDown`.
std::vector<uint8_t> PackedDib(WORD bits, const std::vector<COLORREF>& table,
                               const std::vector<std::vector<DWORD>>& rows, bool topDown) {
  const int width = static_cast<int>(rows[0].size());
  const int height = static_cast<int>(rows.size());
  const size_t stride = ((static_cast<size_t>(width) * bits + 31) / 32) * 4;
  BITMAPINFOHEADER header{};
  header.biSize = sizeof header;
  header.biWidth = width;
  header.biHeight = topDown ? -height : height;
  header.biPlanes = 1;
  header.biBitCount = bits;
  header.biClrUsed = static_cast<DWORD>(table.size());
  std::vector<uint8_t> dib(sizeof header + table.size() * 4 + stride * static_cast<size_t>(height));
  std::memcpy(dib.data(), &header, sizeof header);
  for (size_t i = 0; i < table.size(); ++i) {
    const RGBQUAD q{GetBValue(table[i]), GetGValue(table[i]), GetRValue(table[i]), 0};
    std::memcpy(dib.data() + sizeof header + i * 4, &q, 4);
  }
  uint8_t* pixels = dib.data() + sizeof header + table.size() * 4;
  for (int y = 0; y < height; ++y) {
    uint8_t* row = pixels + stride * static_cast<size_t>(topDown ? y : height - 1 - y);
    for (int x = 0; x < width; ++x) {
      const DWORD v = rows[static_cast<size_t>(y)][static_cast<size_t>(x)];
      if (bits < 8) {
        const int perByte = 8 / bits;
        row[x / perByte] |= static_cast<uint8_t>(v << (8 - bits * (x % perByte + 1)));
      } else if (bits == 8) {
        row[x] = static_cast<uint8_t>(v);
      } else {
        uint8_t* p = row + static_cast<size_t>(x) * (bits / 8);
        p[0] = GetBValue(v);
        p[1] = GetGValue(v);
        p[2] = GetRValue(v);
      }
    }
  }
  return dib;
}

TEST(Gdi32Objects, BitmapsFromResourceBytesKeepEveryDepthsColours) {
  const COLORREF red = RGB(255, 0, 0);
  struct Case {
    const char* name;
    WORD bits;
    std::vector<COLORREF> table;
    std::vector<std::vector<DWORD>> rows;
    bool topDown;
    bool mono;
    std::vector<std::vector<COLORREF>> expected;  // mono: 0 black, 1 white
  };
  const Case cases[] = {
      {"1 bit, black then white",
       1,
       {kBlack, kWhite},
       {{0, 1, 1}, {1, 0, 0}},
       false,
       true,
       {{kBlack, kWhite, kWhite}, {kWhite, kBlack, kBlack}}},
      {"1 bit, white then black",
       1,
       {kWhite, kBlack},
       {{0, 1, 1}, {1, 0, 0}},
       false,
       true,
       {{kWhite, kBlack, kBlack}, {kBlack, kWhite, kWhite}}},
      {"4 bits",
       4,
       {kBlack, red, kYellow},
       {{1, 2, 0}, {2, 2, 1}},
       false,
       false,
       {{red, kYellow, kBlack}, {kYellow, kYellow, red}}},
      {"8 bits, top-down",
       8,
       {kGrey, red},
       {{1, 0, 1}, {0, 0, 1}},
       true,
       false,
       {{red, kGrey, red}, {kGrey, kGrey, red}}},
      {"32 bits",
       32,
       {},
       {{red, kGrey, kWhite}, {kYellow, kBlack, red}},
       false,
       false,
       {{red, kGrey, kWhite}, {kYellow, kBlack, red}}},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> dib = PackedDib(c.bits, c.table, c.rows, c.topDown);
    HBITMAP bitmap = plat::win32::BitmapFromDib(dib.data(), dib.size(), "bitmap 1");
    ASSERT_NE(bitmap, nullptr) << c.name;
    const std::shared_ptr<RasterSurface> s = plat::win32::BitmapSurface(bitmap);
    EXPECT_EQ(s->Mono(), c.mono) << c.name;
    for (int y = 0; y < 2; ++y) {
      for (int x = 0; x < 3; ++x) {
        const COLORREF want = c.expected[static_cast<size_t>(y)][static_cast<size_t>(x)];
        EXPECT_EQ(s->Pixel(x, y), c.mono ? (want == kWhite ? 1u : 0u) : want) << c.name << " at " << x << "," << y;
      }
    }
    DeleteObject(bitmap);
    EXPECT_EQ(plat::win32::BitmapFromDib(dib.data(), dib.size() - 1, "short"), nullptr) << c.name << ": bits cut short";
  }
}

TEST(Gdi32Objects, DibPixelsGoInAndComeBackOut) {
  const COLORREF red = RGB(255, 0, 0);
  const std::vector<std::vector<COLORREF>> rows = {{red, kWhite, kYellow}, {kBlack, kGrey, red}};
  const std::vector<uint8_t> dib = Dib24(rows);
  const auto* info = reinterpret_cast<const BITMAPINFO*>(dib.data());
  WindowDc window(8, 8, true);
  HBITMAP colour = CreateDIBitmap(window.Hdc(), &info->bmiHeader, CBM_INIT, dib.data() + sizeof(BITMAPINFOHEADER), info,
                                  DIB_RGB_COLORS);
  HBITMAP mono =
      CreateDIBitmap(nullptr, &info->bmiHeader, CBM_INIT, dib.data() + sizeof(BITMAPINFOHEADER), info, DIB_RGB_COLORS);
  BITMAP described{};
  GetObjectA(mono, sizeof described, &described);
  EXPECT_EQ(described.bmBitsPixel, 1) << "without a DC, a device bitmap is mono";

  // Read back top-down at 32 bits a pixel.
  BITMAPINFO out{};
  out.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  out.bmiHeader.biWidth = 3;
  out.bmiHeader.biHeight = -2;
  out.bmiHeader.biPlanes = 1;
  out.bmiHeader.biBitCount = 32;
  std::vector<uint8_t> bits(3 * 2 * 4);
  EXPECT_EQ(GetDIBits(window.Hdc(), colour, 0, 2, bits.data(), &out, DIB_RGB_COLORS), 2);
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 3; ++x) {
      const uint8_t* p = &bits[static_cast<size_t>((y * 3 + x) * 4)];
      EXPECT_EQ(RGB(p[2], p[1], p[0]), rows[static_cast<size_t>(y)][static_cast<size_t>(x)]) << x << "," << y;
    }
  }

  HDC memory = CreateCompatibleDC(nullptr);
  HGDIOBJ old = SelectObject(memory, colour);
  EXPECT_EQ(SetDIBits(memory, colour, 0, 2, dib.data() + sizeof(BITMAPINFOHEADER), info, DIB_RGB_COLORS), 0)
      << "not while selected";
  SelectObject(memory, old);
  DeleteDC(memory);

  EXPECT_EQ(StretchDIBits(window.Hdc(), 1, 1, 3, 2, 0, 0, 3, 2, dib.data() + sizeof(BITMAPINFOHEADER), info,
                          DIB_RGB_COLORS, SRCCOPY),
            2);
  EXPECT_EQ(window.At(1, 1), red);
  EXPECT_EQ(window.At(3, 2), red);
  EXPECT_EQ(window.Release(), "blit 1,1-4,3 SRCCOPY source=\"dib 3x2\" at 0,0\n");
  DeleteObject(colour);
  DeleteObject(mono);
}

TEST(Gdi32Objects, SaveAndRestoreBringBackObjectsAndColours) {
  HDC hdc = CreateCompatibleDC(nullptr);
  HPEN pen = CreatePen(PS_SOLID, 1, kYellow);
  SetTextColor(hdc, kGrey);
  const int level = SaveDC(hdc);
  EXPECT_EQ(level, 1);
  SelectObject(hdc, pen);
  SetTextColor(hdc, kYellow);
  EXPECT_EQ(SaveDC(hdc), 2);
  SelectObject(hdc, GetStockObject(NULL_PEN));
  EXPECT_FALSE(DeleteObject(pen)) << "a saved state still holds it";
  EXPECT_TRUE(RestoreDC(hdc, -1));
  EXPECT_EQ(GetCurrentObject(hdc, OBJ_PEN), pen);
  EXPECT_TRUE(RestoreDC(hdc, level));
  EXPECT_EQ(GetCurrentObject(hdc, OBJ_PEN), GetStockObject(BLACK_PEN));
  EXPECT_EQ(GetTextColor(hdc), kGrey);
  EXPECT_FALSE(RestoreDC(hdc, 1)) << "no saved state left";
  EXPECT_TRUE(DeleteObject(pen));
  DeleteDC(hdc);
}

TEST(Gdi32Objects, GetObjectDescribesEachKind) {
  HBRUSH brush = CreateSolidBrush(kYellow);
  LOGBRUSH lb{};
  EXPECT_EQ(GetObjectA(brush, sizeof lb, &lb), static_cast<int>(sizeof lb));
  EXPECT_EQ(lb.lbStyle, BS_SOLID);
  EXPECT_EQ(lb.lbColor, kYellow);

  HPEN pen = CreatePen(PS_DOT, 1, kGrey);
  LOGPEN lp{};
  EXPECT_EQ(GetObjectA(pen, sizeof lp, &lp), static_cast<int>(sizeof lp));
  EXPECT_EQ(lp.lopnStyle, static_cast<UINT>(PS_DOT));
  EXPECT_EQ(lp.lopnColor, kGrey);

  HPEN square = SquarePen(kYellow, 4);
  EXTLOGPEN elp{};
  EXPECT_EQ(GetObjectA(square, sizeof elp, &elp), static_cast<int>(sizeof elp));
  EXPECT_EQ(elp.elpPenStyle, PS_GEOMETRIC | PS_ENDCAP_SQUARE);
  EXPECT_EQ(elp.elpWidth, 4u);
  EXPECT_EQ(elp.elpColor, kYellow);
  EXPECT_EQ(GetObjectType(square), OBJ_EXTPEN);

  LOGFONTA font{};
  EXPECT_EQ(GetObjectA(GetStockObject(DEFAULT_GUI_FONT), sizeof font, &font), static_cast<int>(sizeof font));
  EXPECT_EQ(font.lfHeight, -11);
  EXPECT_STREQ(font.lfFaceName, "MS Shell Dlg");
  EXPECT_EQ(GetObjectA(GetStockObject(DEFAULT_GUI_FONT), 0, nullptr), static_cast<int>(sizeof font)) << "size asked";
  EXPECT_EQ(GetObjectA(GetStockObject(DEFAULT_GUI_FONT), 10, &font), 0) << "too small";

  EXPECT_EQ(ExtCreatePen(PS_COSMETIC, 4, &lb, 0, nullptr), nullptr) << "a cosmetic pen is one pixel wide";
  DeleteObject(brush);
  DeleteObject(pen);
  DeleteObject(square);
}

TEST(Gdi32Pixels, ASecondFocusRectangleUndoesTheFirst) {
  WindowDc dc(12, 12, true);
  dc.Paint(kGrey);
  const RECT r{1, 1, 11, 11};
  DrawFocusRect(dc.Hdc(), &r);
  EXPECT_EQ(dc.At(1, 1), RGB(127, 127, 127));
  EXPECT_EQ(dc.At(2, 1), kGrey);
  EXPECT_EQ(dc.At(5, 5), kGrey) << "inside is left alone";
  DrawFocusRect(dc.Hdc(), &r);
  EXPECT_EQ(dc.At(1, 1), kGrey);
}

TEST(Gdi32Pixels, AnXorPenDrawnTwiceLeavesThePixelsAsTheyWere) {
  WindowDc dc(20, 20, true);
  dc.Paint(kGrey);
  HPEN pen = CreatePen(PS_SOLID, 1, kWhite);
  HGDIOBJ old = SelectObject(dc.Hdc(), pen);
  EXPECT_EQ(SetROP2(dc.Hdc(), R2_XORPEN), R2_COPYPEN);
  MoveToEx(dc.Hdc(), 2, 5, nullptr);
  LineTo(dc.Hdc(), 15, 5);
  EXPECT_EQ(dc.At(2, 5), RGB(127, 127, 127));
  MoveToEx(dc.Hdc(), 2, 5, nullptr);
  LineTo(dc.Hdc(), 15, 5);
  EXPECT_EQ(dc.At(2, 5), kGrey);
  SelectObject(dc.Hdc(), old);
  DeleteObject(pen);
  EXPECT_NE(dc.Release().find("mix=7"), std::string::npos);
}

TEST(Gdi32Text, AlignmentNamesThePointTheTextIsOn) {
  struct Case {
    UINT align;
    const char* dump;
  };
  // "Settings" at -11: 45 wide, 13 high, the baseline 10 below the top.
  const Case cases[] = {
      {TA_LEFT | TA_TOP, "text 50,30"},    {TA_RIGHT | TA_TOP, "text 5,30"},      {TA_CENTER | TA_TOP, "text 28,30"},
      {TA_LEFT | TA_BOTTOM, "text 50,17"}, {TA_LEFT | TA_BASELINE, "text 50,20"},
  };
  for (const Case& c : cases) {
    WindowDc dc(100, 100, false);
    SelectObject(dc.Hdc(), GetStockObject(DEFAULT_GUI_FONT));
    SetTextAlign(dc.Hdc(), c.align);
    TextOutA(dc.Hdc(), 50, 30, "Settings", 8);
    EXPECT_EQ(dc.Release().substr(0, std::strlen(c.dump)), c.dump) << c.align;
  }
  WindowDc dc(100, 100, false);
  SelectObject(dc.Hdc(), GetStockObject(DEFAULT_GUI_FONT));
  SetTextAlign(dc.Hdc(), TA_UPDATECP);
  MoveToEx(dc.Hdc(), 4, 6, nullptr);
  TextOutA(dc.Hdc(), 0, 0, "Settings", 8);
  POINT at{};
  GetCurrentPositionEx(dc.Hdc(), &at);
  EXPECT_EQ(at.x, 49) << "the current position moves past the text";
  EXPECT_EQ(dc.Release().substr(0, 8), "text 4,6");
}

TEST(Gdi32Objects, RegionsCombineAsSetsOfPixels) {
  struct Case {
    int mode;
    int type;
    RECT box;
    POINT inside;
    POINT outside;
  };
  // Two overlapping squares: (0,0)-(10,10) and (5,5)-(15,15).
  const Case cases[] = {
      {RGN_AND, SIMPLEREGION, {5, 5, 10, 10}, {7, 7}, {2, 2}},
      {RGN_OR, COMPLEXREGION, {0, 0, 15, 15}, {12, 12}, {12, 2}},
      {RGN_XOR, COMPLEXREGION, {0, 0, 15, 15}, {2, 2}, {7, 7}},
      {RGN_DIFF, COMPLEXREGION, {0, 0, 10, 10}, {2, 2}, {7, 7}},
      {RGN_COPY, SIMPLEREGION, {0, 0, 10, 10}, {7, 7}, {12, 12}},
  };
  for (const Case& c : cases) {
    HRGN a = CreateRectRgn(0, 0, 10, 10);
    HRGN b = CreateRectRgn(5, 5, 15, 15);
    HRGN out = CreateRectRgn(0, 0, 0, 0);
    EXPECT_EQ(CombineRgn(out, a, b, c.mode), c.type) << c.mode;
    RECT box{};
    GetRgnBox(out, &box);
    EXPECT_TRUE(box.left == c.box.left && box.top == c.box.top && box.right == c.box.right &&
                box.bottom == c.box.bottom)
        << c.mode;
    EXPECT_TRUE(PtInRegion(out, c.inside.x, c.inside.y)) << c.mode;
    EXPECT_FALSE(PtInRegion(out, c.outside.x, c.outside.y)) << c.mode;
    for (HRGN r : {a, b, out}) DeleteObject(r);
  }
}

TEST(Gdi32Objects, SystemColoursAreTheClassicSchemeWithStockBrushes) {
  struct Case {
    int index;
    COLORREF colour;
  };
  const Case cases[] = {{COLOR_BTNFACE, RGB(192, 192, 192)}, {COLOR_WINDOW, kWhite},
                        {COLOR_WINDOWTEXT, kBlack},          {COLOR_BTNSHADOW, kGrey},
                        {COLOR_HIGHLIGHT, RGB(0, 0, 128)},   {COLOR_INFOBK, RGB(255, 255, 225)}};
  for (const Case& c : cases) {
    EXPECT_EQ(GetSysColor(c.index), c.colour) << c.index;
    HBRUSH brush = GetSysColorBrush(c.index);
    EXPECT_EQ(GetSysColorBrush(c.index), brush) << "one brush per colour";
    LOGBRUSH lb{};
    ASSERT_EQ(GetObjectA(brush, sizeof lb, &lb), static_cast<int>(sizeof lb));
    EXPECT_EQ(lb.lbColor, c.colour);
    EXPECT_TRUE(DeleteObject(brush));
    EXPECT_EQ(GetObjectType(brush), OBJ_BRUSH) << "a system brush outlives deletion";
  }
  EXPECT_EQ(GetSysColorBrush(99), nullptr);
}

TEST(Gdi32Text, ExtentsAndMetricsComeFromTheSelectedFont) {
  HDC hdc = CreateCompatibleDC(nullptr);
  LOGFONTA request{};
  request.lfHeight = -11;
  request.lfWeight = FW_BOLD;
  std::strcpy(request.lfFaceName, "Any Face At All");
  HFONT bold = CreateFontIndirectA(&request);
  HGDIOBJ old = SelectObject(hdc, GetStockObject(DEFAULT_GUI_FONT));
  SIZE size{};
  ASSERT_TRUE(GetTextExtentPoint32A(hdc, "Settings", 8, &size));
  EXPECT_EQ(size.cx, 45);
  EXPECT_EQ(size.cy, 13);
  SelectObject(hdc, bold);
  char face[8];
  EXPECT_EQ(GetTextFaceA(hdc, sizeof face, face), 8);
  EXPECT_STREQ(face, "Any Fac") << "cut to the buffer";
  ASSERT_TRUE(GetTextExtentPoint32A(hdc, "Settings", 8, &size));
  EXPECT_EQ(size.cx, 53) << "bold adds a pixel a character";
  INT widths[2] = {};
  ASSERT_TRUE(GetCharWidth32A(hdc, 'S', 'T', widths));
  EXPECT_EQ(widths[0], 8) << "7 and the bold pixel";
  TEXTMETRICA tm{};
  ASSERT_TRUE(GetTextMetricsA(hdc, &tm));
  EXPECT_EQ(tm.tmHeight, 13);
  EXPECT_EQ(tm.tmAscent + tm.tmDescent, tm.tmHeight);
  EXPECT_EQ(tm.tmWeight, FW_BOLD);
  SelectObject(hdc, old);
  DeleteObject(bold);
  DeleteDC(hdc);
}

}  // namespace
