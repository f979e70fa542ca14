// gdi32's calls: handles checked and turned into objects under the one gdi32 lock, the work done
// by the DC or the object. Failures set the last error as Windows does.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/win32/DeviceContext.h"
#include "platform/win32/DibCodec.h"
#include "platform/win32/GdiObjects.h"
#include "platform/win32/GdiSeam.h"
#include "platform/win32/Text.h"
#include "platform/win32/include/windows.h"

using plat::win32::DeviceContext;
using plat::win32::GdiKind;
using plat::win32::GdiObject;
using plat::win32::GdiObjects;
using plat::win32::RasterRect;
using plat::win32::RasterRegion;
using plat::win32::RasterSurface;

namespace {

constexpr int kScreenWidth = 1024;
constexpr int kScreenHeight = 768;
constexpr int kPixelsPerInch = 96;

GdiObjects& Table() { return GdiObjects::Instance(); }

DeviceContext* Dc(HDC hdc) {
  GdiObject* object = Table().Find(hdc, GdiKind::Dc);
  if (object == nullptr) SetLastError(ERROR_INVALID_HANDLE);
  return object != nullptr ? object->dc.get() : nullptr;
}

template <typename Handle>
Handle HandleOf(const GdiObject& object) {
  return reinterpret_cast<Handle>(object.handle);
}

GdiObject& NewObject(GdiKind kind) {
  auto object = std::make_unique<GdiObject>();
  object->kind = kind;
  return Table().Add(std::move(object));
}

RasterRect Rect(const RECT& r) { return {r.left, r.top, r.right, r.bottom}; }

// NULLREGION, SIMPLEREGION or COMPLEXREGION.
int RegionType(const RasterRegion& region) {
  if (region.Empty()) return NULLREGION;
  return region.Rects().size() == 1 ? SIMPLEREGION : COMPLEXREGION;
}

std::string_view Counted(LPCSTR text, int count) {
  if (text == nullptr) return {};
  return count < 0 ? std::string_view(text) : std::string_view(text, static_cast<size_t>(count));
}

GdiObject& MakePen(DWORD style, int width, bool geometric, plat::win32::LineCap cap, COLORREF colour, bool null) {
  GdiObject& pen = NewObject(geometric ? GdiKind::ExtPen : GdiKind::Pen);
  pen.penStyle = style;
  pen.pen = {null, geometric || width > 1, std::max(width, 1), cap, colour & 0xFFFFFF};
  return pen;
}

HBITMAP MakeBitmap(RasterSurface::Format format, int width, int height, std::string label) {
  GdiObject& bitmap = NewObject(GdiKind::Bitmap);
  bitmap.surface = std::make_shared<RasterSurface>(format, width, height);
  bitmap.label = std::move(label);
  return HandleOf<HBITMAP>(bitmap);
}

}  // namespace

HDC CreateCompatibleDC(HDC hdc) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  if (hdc != nullptr && Dc(hdc) == nullptr) return nullptr;
  GdiObject& dc = NewObject(GdiKind::MemoryDc);
  dc.dc = std::make_unique<DeviceContext>(*Table().Stock(BLACK_PEN), *Table().Stock(WHITE_BRUSH),
                                          *Table().Stock(SYSTEM_FONT), *Table().Stock(plat::win32::kStockBitmapIndex));
  return HandleOf<HDC>(dc);
}

BOOL DeleteDC(HDC hdc) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  GdiObject* object = Table().Find(hdc, GdiKind::Dc);
  if (object == nullptr || object->kind != GdiKind::MemoryDc) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  object->dc.reset();
  Table().Remove(*object);
  return TRUE;
}

HGDIOBJ SelectObject(HDC hdc, HGDIOBJ h) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  GdiObject* object = Table().Find(h);
  if (dc == nullptr || object == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (object->kind == GdiKind::Region) {
    dc->SetClip(&object->region);
    return reinterpret_cast<HGDIOBJ>(static_cast<intptr_t>(RegionType(object->region)));
  }
  GdiObject* previous = dc->Select(*object);
  if (previous == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return reinterpret_cast<HGDIOBJ>(previous->handle);
}

BOOL DeleteObject(HGDIOBJ ho) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  GdiObject* object = Table().Find(ho);
  if (object == nullptr || object->kind == GdiKind::Dc || object->kind == GdiKind::MemoryDc) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Stock objects outlive every call; deleting one does nothing.
  if (object->stock) return TRUE;
  // Still selected into a DC (or held by a saved state): refused, the object stays.
  if (!Table().Remove(*object)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

HGDIOBJ GetStockObject(int i) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  GdiObject* object = Table().Stock(i);
  return object != nullptr ? reinterpret_cast<HGDIOBJ>(object->handle) : nullptr;
}

HGDIOBJ GetCurrentObject(HDC hdc, UINT type) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr) return nullptr;
  const DeviceContext::State& state = dc->Current();
  GdiObject* object = nullptr;
  switch (type) {
    case OBJ_PEN:
      object = state.pen;
      break;
    case OBJ_BRUSH:
      object = state.brush;
      break;
    case OBJ_FONT:
      object = state.font;
      break;
    case OBJ_BITMAP:
      object = state.bitmap;
      break;
    default:
      break;
  }
  return object != nullptr ? reinterpret_cast<HGDIOBJ>(object->handle) : nullptr;
}

DWORD GetObjectType(HGDIOBJ h) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  GdiObject* object = Table().Find(h);
  if (object == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return static_cast<DWORD>(object->kind);
}

int GetObjectA(HANDLE h, int c, LPVOID pv) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  GdiObject* object = Table().Find(h);
  if (object == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  auto answer = [&](const auto& record) {
    const int size = static_cast<int>(sizeof record);
    if (pv == nullptr) return size;
    if (c < size) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    std::memcpy(pv, &record, sizeof record);
    return size;
  };
  switch (object->kind) {
    case GdiKind::Pen: {
      const LOGPEN pen{object->penStyle, {object->pen.width, 0}, object->pen.colour};
      return answer(pen);
    }
    case GdiKind::ExtPen: {
      EXTLOGPEN pen{};
      pen.elpPenStyle = object->penStyle;
      pen.elpWidth = static_cast<DWORD>(object->pen.width);
      pen.elpBrushStyle = object->pen.null ? BS_NULL : BS_SOLID;
      pen.elpColor = object->pen.colour;
      return answer(pen);
    }
    case GdiKind::Brush: {
      const LOGBRUSH brush{object->brushStyle, object->brush.colour, object->brushHatch};
      return answer(brush);
    }
    case GdiKind::Font: {
      const plat::win32::FontRequest& f = object->font;
      LOGFONTA font{f.height,    f.width,   f.escapement,   f.orientation,   f.weight,  f.italic,         f.underline,
                    f.strikeOut, f.charSet, f.outPrecision, f.clipPrecision, f.quality, f.pitchAndFamily, {}};
      std::memcpy(font.lfFaceName, f.face.data(), std::min<size_t>(f.face.size(), LF_FACESIZE - 1));
      return answer(font);
    }
    case GdiKind::Bitmap: {
      const RasterSurface& s = *object->surface;
      const LONG widthBytes = s.Mono() ? ((s.Width() + 15) / 16) * 2 : s.Width() * 4;
      const BITMAP bitmap{0, s.Width(), s.Height(), widthBytes, 1, static_cast<WORD>(s.Mono() ? 1 : 32), nullptr};
      return answer(bitmap);
    }
    default:
      SetLastError(ERROR_INVALID_HANDLE);
      return 0;
  }
}

int SaveDC(HDC hdc) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  return dc != nullptr ? dc->Save() : 0;
}

BOOL RestoreDC(HDC hdc, int nSavedDC) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr) return FALSE;
  if (!dc->Restore(nSavedDC)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

int GetDeviceCaps(HDC hdc, int index) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr) return 0;
  switch (index) {
    case HORZRES:
      return kScreenWidth;
    case VERTRES:
      return kScreenHeight;
    case BITSPIXEL:
      return dc->Target() != nullptr && dc->Target()->Mono() ? 1 : 32;
    case PLANES:
      return 1;
    case LOGPIXELSX:
    case LOGPIXELSY:
      return kPixelsPerInch;
    default:
      return 0;
  }
}

HPEN CreatePen(int iStyle, int cWidth, COLORREF color) {
  const DWORD style = static_cast<DWORD>(iStyle);
  if (iStyle < 0 || style > PS_INSIDEFRAME) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::lock_guard<std::mutex> hold(Table().Lock());
  // A pen wider than a pixel draws with round ends, as a geometric one would.
  return HandleOf<HPEN>(
      MakePen(style, std::max(cWidth, 0), false, plat::win32::LineCap::Round, color, style == PS_NULL));
}

HPEN ExtCreatePen(DWORD iPenStyle, DWORD cWidth, const LOGBRUSH* plbrush, DWORD cStyle, const DWORD* pstyle) {
  const DWORD type = iPenStyle & PS_TYPE_MASK;
  const DWORD cap = iPenStyle & PS_ENDCAP_MASK;
  const bool geometric = type == PS_GEOMETRIC;
  const bool valid = plbrush != nullptr && (type == PS_COSMETIC || geometric) &&
                     (plbrush->lbStyle == BS_SOLID || plbrush->lbStyle == BS_NULL) &&
                     (iPenStyle & PS_STYLE_MASK) <= PS_INSIDEFRAME && cap <= PS_ENDCAP_FLAT &&
                     (cStyle == 0) == (pstyle == nullptr) && (geometric || cWidth == 1);
  if (!valid) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const plat::win32::LineCap lineCap = cap == PS_ENDCAP_SQUARE ? plat::win32::LineCap::Square
                                       : cap == PS_ENDCAP_FLAT ? plat::win32::LineCap::Flat
                                                               : plat::win32::LineCap::Round;
  std::lock_guard<std::mutex> hold(Table().Lock());
  GdiObject& pen = MakePen(iPenStyle, static_cast<int>(cWidth), geometric, lineCap, plbrush->lbColor,
                           plbrush->lbStyle == BS_NULL || (iPenStyle & PS_STYLE_MASK) == PS_NULL);
  pen.kind = GdiKind::ExtPen;
  pen.pen.geometric = geometric;
  return HandleOf<HPEN>(pen);
}

HBRUSH CreateSolidBrush(COLORREF color) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  GdiObject& brush = NewObject(GdiKind::Brush);
  brush.brushStyle = BS_SOLID;
  brush.brush = {false, color & 0xFFFFFF, -1, {}};
  return HandleOf<HBRUSH>(brush);
}

HBRUSH CreateHatchBrush(int iHatch, COLORREF color) {
  if (iHatch < HS_HORIZONTAL || iHatch > HS_DIAGCROSS) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::lock_guard<std::mutex> hold(Table().Lock());
  GdiObject& brush = NewObject(GdiKind::Brush);
  brush.brushStyle = BS_HATCHED;
  brush.brushHatch = static_cast<uintptr_t>(iHatch);
  brush.brush = {false, color & 0xFFFFFF, iHatch, {}};
  // An 8 x 8 cell whose 1 bits are the hatch's lines.
  brush.surface = std::make_shared<RasterSurface>(RasterSurface::Format::Mono, 8, 8);
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 8; ++x) {
      const bool horizontal = y == 7;
      const bool vertical = x == 7;
      const bool forward = x == y;
      const bool backward = x + y == 7;
      const bool on = iHatch == HS_HORIZONTAL  ? horizontal
                      : iHatch == HS_VERTICAL  ? vertical
                      : iHatch == HS_FDIAGONAL ? forward
                      : iHatch == HS_BDIAGONAL ? backward
                      : iHatch == HS_CROSS     ? horizontal || vertical
                                               : forward || backward;
      brush.surface->SetPixel(x, y, on ? 1 : 0);
    }
  }
  return HandleOf<HBRUSH>(brush);
}

HBRUSH CreatePatternBrush(HBITMAP hbm) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  GdiObject* bitmap = Table().Find(hbm, GdiKind::Bitmap);
  if (bitmap == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  GdiObject& brush = NewObject(GdiKind::Brush);
  brush.brushStyle = BS_PATTERN;
  brush.brushHatch = reinterpret_cast<uintptr_t>(hbm);
  // The brush keeps a copy: the bitmap may be deleted while the brush lives.
  brush.surface = std::make_shared<RasterSurface>(*bitmap->surface);
  const RasterSurface& s = *brush.surface;
  brush.brush = {false, 0, -1,
                 bitmap->label + (s.Mono() ? " mono " : " colour ") + std::to_string(s.Width()) + "x" +
                     std::to_string(s.Height())};
  return HandleOf<HBRUSH>(brush);
}

HBRUSH CreateBrushIndirect(const LOGBRUSH* plbrush) {
  if (plbrush == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (plbrush->lbStyle == BS_HATCHED) return CreateHatchBrush(static_cast<int>(plbrush->lbHatch), plbrush->lbColor);
  if (plbrush->lbStyle == BS_PATTERN) return CreatePatternBrush(reinterpret_cast<HBITMAP>(plbrush->lbHatch));
  if (plbrush->lbStyle != BS_SOLID && plbrush->lbStyle != BS_NULL) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::lock_guard<std::mutex> hold(Table().Lock());
  GdiObject& brush = NewObject(GdiKind::Brush);
  brush.brushStyle = plbrush->lbStyle;
  brush.brush = {plbrush->lbStyle == BS_NULL, plbrush->lbColor & 0xFFFFFF, -1, {}};
  return HandleOf<HBRUSH>(brush);
}

HFONT CreateFontIndirectA(const LOGFONTA* lplf) {
  if (lplf == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::lock_guard<std::mutex> hold(Table().Lock());
  GdiObject& font = NewObject(GdiKind::Font);
  font.font = {lplf->lfHeight,         lplf->lfWidth,
               lplf->lfEscapement,     lplf->lfOrientation,
               lplf->lfWeight,         lplf->lfItalic,
               lplf->lfUnderline,      lplf->lfStrikeOut,
               lplf->lfCharSet,        lplf->lfOutPrecision,
               lplf->lfClipPrecision,  lplf->lfQuality,
               lplf->lfPitchAndFamily, std::string(lplf->lfFaceName, strnlen(lplf->lfFaceName, LF_FACESIZE))};
  // Every face is the one font file; only size, weight and underline tell fonts apart.
  font.scaled = std::make_unique<plat::win32::ScaledFont>(lplf->lfHeight, lplf->lfWeight, lplf->lfUnderline != 0);
  return HandleOf<HFONT>(font);
}

HBITMAP CreateBitmap(int nWidth, int nHeight, UINT nPlanes, UINT nBitCount, const void* lpBits) {
  if (nWidth < 0 || nHeight < 0 || nPlanes != 1 || (nBitCount != 1 && nBitCount != 32)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::lock_guard<std::mutex> hold(Table().Lock());
  if (nWidth == 0 || nHeight == 0) return HandleOf<HBITMAP>(*Table().Stock(plat::win32::kStockBitmapIndex));
  const bool mono = nBitCount == 1;
  HBITMAP handle =
      MakeBitmap(mono ? RasterSurface::Format::Mono : RasterSurface::Format::Colour, nWidth, nHeight, "bitmap");
  if (lpBits != nullptr) {
    RasterSurface& s = *Table().Find(handle)->surface;
    const auto* bytes = static_cast<const BYTE*>(lpBits);
    // Rows of a device bitmap are whole 16-bit words, top row first; mono bits run high bit first.
    const size_t stride = mono ? static_cast<size_t>((nWidth + 15) / 16) * 2 : static_cast<size_t>(nWidth) * 4;
    for (int y = 0; y < nHeight; ++y) {
      const BYTE* row = bytes + stride * static_cast<size_t>(y);
      for (int x = 0; x < nWidth; ++x) {
        if (mono) {
          s.SetPixel(x, y, (row[x / 8] >> (7 - x % 8)) & 1u);
        } else {
          const BYTE* p = row + static_cast<size_t>(x) * 4;
          s.SetPixel(x, y, RGB(p[2], p[1], p[0]));
        }
      }
    }
  }
  return handle;
}

HBITMAP CreateCompatibleBitmap(HDC hdc, int cx, int cy) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr) return nullptr;
  if (cx <= 0 || cy <= 0) return HandleOf<HBITMAP>(*Table().Stock(plat::win32::kStockBitmapIndex));
  // Compatible with what the DC draws on: a memory DC still holding its first bitmap is mono.
  const bool mono = dc->Memory() && dc->Target() != nullptr && dc->Target()->Mono();
  return MakeBitmap(mono ? RasterSurface::Format::Mono : RasterSurface::Format::Colour, cx, cy, "bitmap");
}

HRGN CreateRectRgn(int x1, int y1, int x2, int y2) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  GdiObject& region = NewObject(GdiKind::Region);
  region.region = RasterRegion(RasterRect{std::min(x1, x2), std::min(y1, y2), std::max(x1, x2), std::max(y1, y2)});
  return HandleOf<HRGN>(region);
}

HRGN CreateRectRgnIndirect(const RECT* lprect) {
  if (lprect == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return CreateRectRgn(lprect->left, lprect->top, lprect->right, lprect->bottom);
}

COLORREF SetTextColor(HDC hdc, COLORREF color) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr) return CLR_INVALID;
  return std::exchange(dc->Attributes().textColour, color & 0xFFFFFF);
}

COLORREF GetTextColor(HDC hdc) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  return dc != nullptr ? dc->Current().textColour : CLR_INVALID;
}

COLORREF SetBkColor(HDC hdc, COLORREF color) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr) return CLR_INVALID;
  return std::exchange(dc->Attributes().backColour, color & 0xFFFFFF);
}

COLORREF GetBkColor(HDC hdc) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  return dc != nullptr ? dc->Current().backColour : CLR_INVALID;
}

int SetBkMode(HDC hdc, int mode) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr) return 0;
  if (mode != TRANSPARENT && mode != OPAQUE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return std::exchange(dc->Attributes().backMode, mode);
}

int GetBkMode(HDC hdc) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  return dc != nullptr ? dc->Current().backMode : 0;
}

int IntersectClipRect(HDC hdc, int left, int top, int right, int bottom) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr) return 0;
  dc->ClipRect({left, top, right, bottom}, false);
  return RegionType(RasterRegion(dc->ClipBox()));
}

int ExcludeClipRect(HDC hdc, int left, int top, int right, int bottom) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr) return 0;
  dc->ClipRect({left, top, right, bottom}, true);
  return dc->Current().clip ? RegionType(*dc->Current().clip) : SIMPLEREGION;
}

int SelectClipRgn(HDC hdc, HRGN hrgn) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr) return 0;
  if (hrgn == nullptr) {
    dc->SetClip(nullptr);
    return SIMPLEREGION;
  }
  GdiObject* region = Table().Find(hrgn, GdiKind::Region);
  if (region == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  dc->SetClip(&region->region);
  return RegionType(region->region);
}

int GetClipBox(HDC hdc, LPRECT lprect) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr || lprect == nullptr) return 0;
  const RasterRect box = dc->ClipBox();
  *lprect = {box.left, box.top, box.right, box.bottom};
  return box.Empty() ? NULLREGION : SIMPLEREGION;
}

BOOL MoveToEx(HDC hdc, int x, int y, LPPOINT lppt) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr) return FALSE;
  if (lppt != nullptr) *lppt = {dc->Current().x, dc->Current().y};
  dc->MoveTo(x, y);
  return TRUE;
}

BOOL LineTo(HDC hdc, int x, int y) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr) return FALSE;
  dc->LineTo(x, y);
  return TRUE;
}

BOOL Polyline(HDC hdc, const POINT* apt, int cpt) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr) return FALSE;
  if (apt == nullptr || cpt < 2) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Polyline leaves the current position where it was.
  const LONG x = dc->Current().x;
  const LONG y = dc->Current().y;
  dc->MoveTo(apt[0].x, apt[0].y);
  for (int i = 1; i < cpt; ++i) dc->LineTo(apt[i].x, apt[i].y);
  dc->MoveTo(x, y);
  return TRUE;
}

BOOL Rectangle(HDC hdc, int left, int top, int right, int bottom) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr) return FALSE;
  dc->Rectangle({left, top, right, bottom});
  return TRUE;
}

BOOL BitBlt(HDC hdc, int x, int y, int cx, int cy, HDC hdcSrc, int x1, int y1, DWORD rop) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr) return FALSE;
  const uint32_t code = (rop >> 16) & 0xFF;
  const bool usesSource = ((code >> 2) & 0x33) != (code & 0x33);
  DeviceContext* source = nullptr;
  if (usesSource) {
    source = Dc(hdcSrc);
    if (source == nullptr) return FALSE;
  }
  dc->BitBlt({x, y, x + cx, y + cy}, source, {x1, y1, x1 + cx, y1 + cy}, rop);
  return TRUE;
}

BOOL StretchBlt(HDC hdcDest, int xDest, int yDest, int wDest, int hDest, HDC hdcSrc, int xSrc, int ySrc, int wSrc,
                int hSrc, DWORD rop) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdcDest);
  if (dc == nullptr) return FALSE;
  const uint32_t code = (rop >> 16) & 0xFF;
  DeviceContext* source = nullptr;
  if (((code >> 2) & 0x33) != (code & 0x33)) {
    source = Dc(hdcSrc);
    if (source == nullptr) return FALSE;
  }
  // Mirroring by negative extents is not drawn here.
  if (wDest < 0 || hDest < 0 || wSrc < 0 || hSrc < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  dc->BitBlt({xDest, yDest, xDest + wDest, yDest + hDest}, source, {xSrc, ySrc, xSrc + wSrc, ySrc + hSrc}, rop);
  return TRUE;
}

BOOL PatBlt(HDC hdc, int x, int y, int w, int h, DWORD rop) {
  const uint32_t code = (rop >> 16) & 0xFF;
  if (((code >> 2) & 0x33) != (code & 0x33)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return BitBlt(hdc, x, y, w, h, nullptr, 0, 0, rop);
}

COLORREF GetPixel(HDC hdc, int x, int y) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  uint32_t colour = 0;
  if (dc == nullptr || !dc->GetPixel(x, y, &colour)) return CLR_INVALID;
  return colour;
}

BOOL ExtTextOutA(HDC hdc, int x, int y, UINT options, const RECT* lprect, LPCSTR lpString, UINT c, const INT*) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr) return FALSE;
  if (lpString == nullptr && c != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string_view text = Counted(lpString, static_cast<int>(c));
  const DeviceContext::State& state = dc->Current();
  const plat::win32::ScaledFont& font = *state.font->scaled;
  const int width = font.Width(plat::win32::Widen(text));
  // The alignment names the point (x, y) is on; TA_UPDATECP draws from the current position.
  const bool updateCp = (state.textAlign & TA_UPDATECP) != 0;
  if (updateCp) {
    x = state.x;
    y = state.y;
  }
  int left = x;
  if ((state.textAlign & TA_CENTER) == TA_CENTER) {
    left = x - width / 2;
  } else if ((state.textAlign & TA_RIGHT) != 0) {
    left = x - width;
  }
  int top = y;
  if ((state.textAlign & TA_BASELINE) == TA_BASELINE) {
    top = y - font.Ascent();
  } else if ((state.textAlign & TA_BOTTOM) != 0) {
    top = y - font.Height();
  }
  const RasterRect rect = lprect != nullptr ? Rect(*lprect) : RasterRect{};
  dc->Text(left, top, text, lprect != nullptr ? &rect : nullptr, (options & ETO_OPAQUE) != 0,
           (options & ETO_CLIPPED) != 0);
  if (updateCp && (state.textAlign & TA_CENTER) != TA_CENTER) {
    dc->MoveTo((state.textAlign & TA_RIGHT) != 0 ? x - width : x + width, y);
  }
  return TRUE;
}

BOOL TextOutA(HDC hdc, int x, int y, LPCSTR lpString, int c) {
  if (c < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return ExtTextOutA(hdc, x, y, 0, nullptr, lpString, static_cast<UINT>(c), nullptr);
}

BOOL GetTextExtentPoint32A(HDC hdc, LPCSTR lpString, int c, LPSIZE psizl) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr) return FALSE;
  if (psizl == nullptr || c < 0 || (lpString == nullptr && c != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const plat::win32::ScaledFont& font = *dc->Current().font->scaled;
  psizl->cx = font.Width(plat::win32::Widen(Counted(lpString, c)));
  psizl->cy = font.Height();
  return TRUE;
}

BOOL GetTextMetricsA(HDC hdc, LPTEXTMETRICA lptm) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr) return FALSE;
  if (lptm == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const GdiObject& font = *dc->Current().font;
  const plat::win32::ScaledFont& scaled = *font.scaled;
  *lptm = {};
  lptm->tmHeight = scaled.Height();
  lptm->tmAscent = scaled.Ascent();
  lptm->tmDescent = scaled.Descent();
  lptm->tmInternalLeading = scaled.InternalLeading();
  lptm->tmAveCharWidth = scaled.AverageWidth();
  lptm->tmMaxCharWidth = scaled.MaxWidth();
  lptm->tmWeight = font.font.weight == 0 ? FW_NORMAL : font.font.weight;
  lptm->tmDigitizedAspectX = kPixelsPerInch;
  lptm->tmDigitizedAspectY = kPixelsPerInch;
  lptm->tmFirstChar = 0x20;
  lptm->tmLastChar = 0xFF;
  lptm->tmDefaultChar = 0x1F;
  lptm->tmBreakChar = 0x20;
  lptm->tmItalic = font.font.italic;
  lptm->tmUnderlined = font.font.underline;
  lptm->tmStruckOut = font.font.strikeOut;
  // TMPF_FIXED_PITCH set means variable pitch, as Windows names it; the file is a TrueType outline font.
  lptm->tmPitchAndFamily = static_cast<BYTE>(TMPF_FIXED_PITCH | TMPF_VECTOR | TMPF_TRUETYPE | FF_SWISS);
  lptm->tmCharSet = font.font.charSet;
  return TRUE;
}

COLORREF SetPixel(HDC hdc, int x, int y, COLORREF color) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr) return CLR_INVALID;
  dc->SetPixel(x, y, color & 0xFFFFFF);
  return color & 0xFFFFFF;
}

BOOL GetCurrentPositionEx(HDC hdc, LPPOINT lppt) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr || lppt == nullptr) return FALSE;
  *lppt = {dc->Current().x, dc->Current().y};
  return TRUE;
}

UINT SetTextAlign(HDC hdc, UINT align) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr) return GDI_ERROR;
  return std::exchange(dc->Attributes().textAlign, align & (TA_UPDATECP | TA_CENTER | TA_BASELINE));
}

UINT GetTextAlign(HDC hdc) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  return dc != nullptr ? dc->Current().textAlign : GDI_ERROR;
}

int SetROP2(HDC hdc, int rop2) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr) return 0;
  if (rop2 < R2_BLACK || rop2 > R2_WHITE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return std::exchange(dc->Attributes().mix, rop2);
}

int GetROP2(HDC hdc) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  return dc != nullptr ? dc->Current().mix : 0;
}

// Only MM_TEXT: one logical unit is one pixel, y downwards.
int SetMapMode(HDC hdc, int iMode) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  if (Dc(hdc) == nullptr) return 0;
  if (iMode != MM_TEXT) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return MM_TEXT;
}

int GetMapMode(HDC hdc) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  return Dc(hdc) != nullptr ? MM_TEXT : 0;
}

BOOL SetBrushOrgEx(HDC hdc, int x, int y, LPPOINT lppt) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr) return FALSE;
  DeviceContext::State& state = dc->Attributes();
  if (lppt != nullptr) *lppt = {state.brushX, state.brushY};
  state.brushX = x;
  state.brushY = y;
  return TRUE;
}

BOOL GdiFlush() { return TRUE; }

int GetTextFaceA(HDC hdc, int c, LPSTR lpName) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr) return 0;
  const std::string& face = dc->Current().font->font.face;
  if (lpName == nullptr) return static_cast<int>(face.size()) + 1;
  if (c <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const size_t copied = std::min(face.size(), static_cast<size_t>(c - 1));
  std::memcpy(lpName, face.data(), copied);
  lpName[copied] = '\0';
  return static_cast<int>(copied) + 1;
}

HFONT CreateFontA(int cHeight, int cWidth, int cEscapement, int cOrientation, int cWeight, DWORD bItalic,
                  DWORD bUnderline, DWORD bStrikeOut, DWORD iCharSet, DWORD iOutPrecision, DWORD iClipPrecision,
                  DWORD iQuality, DWORD iPitchAndFamily, LPCSTR pszFaceName) {
  LOGFONTA font{cHeight,
                cWidth,
                cEscapement,
                cOrientation,
                cWeight,
                static_cast<BYTE>(bItalic),
                static_cast<BYTE>(bUnderline),
                static_cast<BYTE>(bStrikeOut),
                static_cast<BYTE>(iCharSet),
                static_cast<BYTE>(iOutPrecision),
                static_cast<BYTE>(iClipPrecision),
                static_cast<BYTE>(iQuality),
                static_cast<BYTE>(iPitchAndFamily),
                {}};
  if (pszFaceName != nullptr) std::strncpy(font.lfFaceName, pszFaceName, LF_FACESIZE - 1);
  return CreateFontIndirectA(&font);
}

HPEN CreatePenIndirect(const LOGPEN* plpen) {
  if (plpen == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return CreatePen(static_cast<int>(plpen->lopnStyle), plpen->lopnWidth.x, plpen->lopnColor);
}

HBITMAP CreateBitmapIndirect(const BITMAP* pbm) {
  if (pbm == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return CreateBitmap(pbm->bmWidth, pbm->bmHeight, pbm->bmPlanes, pbm->bmBitsPixel, pbm->bmBits);
}

BOOL SetRectRgn(HRGN hrgn, int left, int top, int right, int bottom) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  GdiObject* region = Table().Find(hrgn, GdiKind::Region);
  if (region == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  region->region = RasterRegion(
      RasterRect{std::min(left, right), std::min(top, bottom), std::max(left, right), std::max(top, bottom)});
  return TRUE;
}

int CombineRgn(HRGN hrgnDst, HRGN hrgnSrc1, HRGN hrgnSrc2, int iMode) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  GdiObject* target = Table().Find(hrgnDst, GdiKind::Region);
  GdiObject* first = Table().Find(hrgnSrc1, GdiKind::Region);
  GdiObject* second = iMode == RGN_COPY ? first : Table().Find(hrgnSrc2, GdiKind::Region);
  if (target == nullptr || first == nullptr || second == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return ERROR;
  }
  RasterRegion result = first->region;
  switch (iMode) {
    case RGN_AND:
      result.Intersect(second->region);
      break;
    case RGN_OR:
      result.Union(second->region);
      break;
    case RGN_XOR: {
      RasterRegion both = first->region;
      both.Intersect(second->region);
      result.Union(second->region);
      result.Subtract(both);
      break;
    }
    case RGN_DIFF:
      result.Subtract(second->region);
      break;
    case RGN_COPY:
      break;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return ERROR;
  }
  target->region = std::move(result);
  return RegionType(target->region);
}

int OffsetRgn(HRGN hrgn, int x, int y) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  GdiObject* region = Table().Find(hrgn, GdiKind::Region);
  if (region == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return ERROR;
  }
  region->region.Offset(x, y);
  return RegionType(region->region);
}

BOOL PtInRegion(HRGN hrgn, int x, int y) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  GdiObject* region = Table().Find(hrgn, GdiKind::Region);
  return region != nullptr && region->region.Contains(x, y) ? TRUE : FALSE;
}

int GetRgnBox(HRGN hrgn, LPRECT lprc) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  GdiObject* region = Table().Find(hrgn, GdiKind::Region);
  if (region == nullptr || lprc == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return ERROR;
  }
  const RasterRect box = region->region.Bounds();
  *lprc = {box.left, box.top, box.right, box.bottom};
  return RegionType(region->region);
}

BOOL FillRgn(HDC hdc, HRGN hrgn, HBRUSH hbr) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  GdiObject* region = Table().Find(hrgn, GdiKind::Region);
  GdiObject* brush = Table().Find(hbr, GdiKind::Brush);
  if (dc == nullptr || region == nullptr || brush == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  for (const RasterRect& rect : region->region.Rects()) dc->FillRect(rect, *brush);
  return TRUE;
}

BOOL SetViewportOrgEx(HDC hdc, int x, int y, LPPOINT lppt) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr) return FALSE;
  DeviceContext::State& state = dc->Attributes();
  if (lppt != nullptr) *lppt = {state.viewportX, state.viewportY};
  state.viewportX = x;
  state.viewportY = y;
  return TRUE;
}

BOOL GetViewportOrgEx(HDC hdc, LPPOINT lppoint) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr || lppoint == nullptr) return FALSE;
  *lppoint = {dc->Current().viewportX, dc->Current().viewportY};
  return TRUE;
}

BOOL SetWindowOrgEx(HDC hdc, int x, int y, LPPOINT lppt) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr) return FALSE;
  DeviceContext::State& state = dc->Attributes();
  if (lppt != nullptr) *lppt = {state.windowX, state.windowY};
  state.windowX = x;
  state.windowY = y;
  return TRUE;
}

BOOL LPtoDP(HDC hdc, LPPOINT lppt, int c) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr || (lppt == nullptr && c > 0)) return FALSE;
  const DeviceContext::State& state = dc->Current();
  for (int i = 0; i < c; ++i) {
    lppt[i].x += state.viewportX - state.windowX;
    lppt[i].y += state.viewportY - state.windowY;
  }
  return TRUE;
}

BOOL DPtoLP(HDC hdc, LPPOINT lppt, int c) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr || (lppt == nullptr && c > 0)) return FALSE;
  const DeviceContext::State& state = dc->Current();
  for (int i = 0; i < c; ++i) {
    lppt[i].x -= state.viewportX - state.windowX;
    lppt[i].y -= state.viewportY - state.windowY;
  }
  return TRUE;
}

BOOL Polygon(HDC hdc, const POINT* apt, int cpt) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr) return FALSE;
  if (apt == nullptr || cpt < 2) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<std::pair<int32_t, int32_t>> points;
  for (int i = 0; i < cpt; ++i) points.emplace_back(apt[i].x, apt[i].y);
  dc->Polygon(points);
  return TRUE;
}

BOOL Ellipse(HDC hdc, int left, int top, int right, int bottom) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr) return FALSE;
  dc->Ellipse({left, top, right, bottom});
  return TRUE;
}

BOOL RoundRect(HDC hdc, int left, int top, int right, int bottom, int width, int height) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr) return FALSE;
  dc->RoundRect({left, top, right, bottom}, width, height);
  return TRUE;
}

// A BITMAPINFO has no size of its own: its header and colour table are read as they describe
// themselves.
constexpr size_t kInfoReach = sizeof(BITMAPINFOHEADER) + 256 * sizeof(RGBQUAD);

HBITMAP CreateDIBitmap(HDC hdc, const BITMAPINFOHEADER* pbmih, DWORD flInit, const void* pjBits, const BITMAPINFO* pbmi,
                       UINT iUsage) {
  if (pbmih == nullptr || iUsage != DIB_RGB_COLORS ||
      ((flInit & CBM_INIT) != 0 && (pjBits == nullptr || pbmi == nullptr))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  plat::win32::DibLayout size;
  if (!plat::win32::DibCodec::Read(pbmih, kInfoReach, &size)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  plat::win32::DibLayout layout;
  if ((flInit & CBM_INIT) != 0 && !plat::win32::DibCodec::Read(pbmi, kInfoReach, &layout)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::lock_guard<std::mutex> hold(Table().Lock());
  // Compatible with the DC, as a device bitmap is: without one, mono.
  bool mono = hdc == nullptr;
  if (hdc != nullptr) {
    DeviceContext* dc = Dc(hdc);
    if (dc == nullptr) return nullptr;
    mono = dc->Target() != nullptr && dc->Target()->Mono();
  }
  HBITMAP handle =
      MakeBitmap(mono ? RasterSurface::Format::Mono : RasterSurface::Format::Colour, size.width, size.height, "bitmap");
  if ((flInit & CBM_INIT) != 0) {
    plat::win32::DibCodec::Decode(layout, pjBits, 0, static_cast<uint32_t>(layout.height),
                                  *Table().Find(handle)->surface);
  }
  return handle;
}

int SetDIBits(HDC, HBITMAP hbm, UINT start, UINT cLines, const VOID* lpBits, const BITMAPINFO* lpbmi, UINT ColorUse) {
  plat::win32::DibLayout layout;
  if (lpBits == nullptr || ColorUse != DIB_RGB_COLORS || !plat::win32::DibCodec::Read(lpbmi, kInfoReach, &layout)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::lock_guard<std::mutex> hold(Table().Lock());
  GdiObject* bitmap = Table().Find(hbm, GdiKind::Bitmap);
  // A bitmap selected into a DC may not be written this way.
  if (bitmap == nullptr || bitmap->stock || bitmap->selectedInto != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const UINT lines = std::min<UINT>(cLines, start < static_cast<UINT>(layout.height) ? layout.height - start : 0);
  plat::win32::DibCodec::Decode(layout, lpBits, start, lines, *bitmap->surface);
  return static_cast<int>(lines);
}

int GetDIBits(HDC hdc, HBITMAP hbm, UINT start, UINT cLines, LPVOID lpvBits, LPBITMAPINFO lpbmi, UINT usage) {
  if (lpbmi == nullptr || usage != DIB_RGB_COLORS) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::lock_guard<std::mutex> hold(Table().Lock());
  GdiObject* bitmap = Table().Find(hbm, GdiKind::Bitmap);
  if (Dc(hdc) == nullptr || bitmap == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const RasterSurface& surface = *bitmap->surface;
  BITMAPINFOHEADER& header = lpbmi->bmiHeader;
  if (lpvBits == nullptr && header.biBitCount == 0) {
    // Only the description: the bitmap's own size and depth.
    header.biWidth = surface.Width();
    header.biHeight = surface.Height();
    header.biPlanes = 1;
    header.biBitCount = surface.Mono() ? 1 : 32;
    header.biCompression = BI_RGB;
    header.biSizeImage = static_cast<DWORD>(((surface.Width() * header.biBitCount + 31) / 32) * 4 * surface.Height());
    return 1;
  }
  // 1-bit DIBs take a black and white table; deeper ones need none.
  if (header.biBitCount == 1) {
    lpbmi->bmiColors[0] = {0, 0, 0, 0};
    reinterpret_cast<RGBQUAD*>(lpbmi->bmiColors)[1] = {255, 255, 255, 0};
    header.biClrUsed = 2;
  } else if (header.biBitCount != 24 && header.biBitCount != 32) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  plat::win32::DibLayout layout;
  if (!plat::win32::DibCodec::Read(lpbmi, kInfoReach, &layout)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  header.biSizeImage = static_cast<DWORD>(layout.stride * static_cast<size_t>(layout.height));
  const UINT lines = std::min<UINT>(cLines, start < static_cast<UINT>(layout.height) ? layout.height - start : 0);
  if (lpvBits != nullptr) plat::win32::DibCodec::Encode(surface, layout, start, lines, lpvBits);
  return static_cast<int>(lines);
}

int StretchDIBits(HDC hdc, int xDest, int yDest, int DestWidth, int DestHeight, int xSrc, int ySrc, int SrcWidth,
                  int SrcHeight, const VOID* lpBits, const BITMAPINFO* lpbmi, UINT iUsage, DWORD rop) {
  plat::win32::DibLayout layout;
  if (lpBits == nullptr || iUsage != DIB_RGB_COLORS || DestWidth < 0 || DestHeight < 0 || SrcWidth < 0 ||
      SrcHeight < 0 || !plat::win32::DibCodec::Read(lpbmi, kInfoReach, &layout)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr) return 0;
  const bool mono = dc->Target() != nullptr && dc->Target()->Mono();
  RasterSurface pixels(mono ? RasterSurface::Format::Mono : RasterSurface::Format::Colour, layout.width, layout.height);
  plat::win32::DibCodec::Decode(layout, lpBits, 0, static_cast<uint32_t>(layout.height), pixels);
  // The source rectangle counts rows from the DIB's bottom when it is bottom-up.
  const int top = layout.bottomUp ? layout.height - ySrc - SrcHeight : ySrc;
  const std::string name = "dib " + std::to_string(layout.width) + "x" + std::to_string(layout.height);
  dc->DrawPixels({xDest, yDest, xDest + DestWidth, yDest + DestHeight}, pixels, name,
                 {xSrc, top, xSrc + SrcWidth, top + SrcHeight}, rop);
  return SrcHeight;
}

BOOL GetCharWidth32A(HDC hdc, UINT iFirst, UINT iLast, LPINT lpBuffer) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr) return FALSE;
  if (lpBuffer == nullptr || iLast < iFirst || iLast > 0xFF) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const plat::win32::ScaledFont& font = *dc->Current().font->scaled;
  for (UINT c = iFirst; c <= iLast; ++c) lpBuffer[c - iFirst] = font.Advance(static_cast<char16_t>(c));
  return TRUE;
}
