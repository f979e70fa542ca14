// Icons drawn on a DC: one from a resource through its AND mask and then its colour bits, as
// Windows draws them; a system icon, which has no bits here, as a plain picture of its kind.
#include <cstring>
#include <vector>

#include "platform/win32/DibCodec.h"
#include "platform/win32/ImageObjects.h"
#include "platform/win32/include/windows.h"

namespace w = plat::win32;

namespace {

constexpr int kDefaultSize = 32;  // SM_CXICON, SM_CYICON

// The AND mask and then the colour bits, each stretched to (x, y, cx, cy).
bool DrawBits(HDC hdc, int x, int y, int cx, int cy, const w::ImageObject& icon, UINT flags) {
  const std::vector<uint8_t>& dib = icon.dib;
  BITMAPINFOHEADER header{};
  if (dib.size() < sizeof header) return false;
  std::memcpy(&header, dib.data(), sizeof header);
  // The colour half: the same header with the height of the icon alone.
  std::vector<uint8_t> colourInfo(dib.begin(), dib.end());
  header.biHeight /= 2;
  std::memcpy(colourInfo.data(), &header, sizeof header);
  w::DibLayout layout;
  if (!w::DibCodec::Read(colourInfo.data(), colourInfo.size(), &layout)) return false;
  const size_t colourBytes = layout.stride * static_cast<size_t>(layout.height);
  const size_t maskStride = static_cast<size_t>((layout.width + 31) / 32) * 4;
  if (dib.size() < layout.headerBytes + colourBytes + maskStride * static_cast<size_t>(layout.height)) return false;
  struct MonoInfo {
    BITMAPINFOHEADER header;
    RGBQUAD colours[2];
  } mask{{static_cast<DWORD>(sizeof(BITMAPINFOHEADER)), layout.width, header.biHeight, 1, 1, BI_RGB, 0, 0, 0, 2, 0},
         {{0, 0, 0, 0}, {255, 255, 255, 0}}};
  const int w = layout.width, h = layout.height;
  if (flags & DI_MASK)
    StretchDIBits(hdc, x, y, cx, cy, 0, 0, w, h, dib.data() + layout.headerBytes + colourBytes,
                  reinterpret_cast<const BITMAPINFO*>(&mask), DIB_RGB_COLORS, SRCAND);
  if (flags & DI_IMAGE)
    StretchDIBits(hdc, x, y, cx, cy, 0, 0, w, h, dib.data() + layout.headerBytes,
                  reinterpret_cast<const BITMAPINFO*>(colourInfo.data()), DIB_RGB_COLORS,
                  (flags & DI_MASK) ? SRCINVERT : SRCCOPY);
  return true;
}

// Plain pictures of the system icons, in a 32-unit box scaled to (x, y, cx, cy).
class Sketch {
 public:
  Sketch(HDC hdc, int x, int y, int cx, int cy) : hdc_(hdc), x_(x), y_(y), cx_(cx), cy_(cy) {}

  void Disc(COLORREF fill, COLORREF outline) {
    Select(fill, outline, [&] { Ellipse(hdc_, X(1), Y(1), X(31), Y(31)); });
  }
  void Box(int left, int top, int right, int bottom, COLORREF fill) {
    Select(fill, fill, [&] { Rectangle(hdc_, X(left), Y(top), X(right), Y(bottom)); });
  }
  void Triangle(COLORREF fill, COLORREF outline) {
    const POINT corners[] = {{X(16), Y(2)}, {X(30), Y(29)}, {X(2), Y(29)}};
    Select(fill, outline, [&] { Polygon(hdc_, corners, 3); });
  }
  void Cross(COLORREF colour) {
    LOGBRUSH lb{BS_SOLID, colour, 0};
    HPEN pen = ExtCreatePen(PS_GEOMETRIC | PS_ENDCAP_FLAT, static_cast<DWORD>(X(4) - X(0)), &lb, 0, nullptr);
    HGDIOBJ old = SelectObject(hdc_, pen);
    MoveToEx(hdc_, X(10), Y(10), nullptr);
    LineTo(hdc_, X(22), Y(22));
    MoveToEx(hdc_, X(22), Y(10), nullptr);
    LineTo(hdc_, X(10), Y(22));
    SelectObject(hdc_, old);
    DeleteObject(pen);
  }

 private:
  int X(int u) const { return x_ + u * cx_ / kDefaultSize; }
  int Y(int u) const { return y_ + u * cy_ / kDefaultSize; }
  template <typename Draw>
  void Select(COLORREF fill, COLORREF outline, Draw draw) {
    HBRUSH brush = CreateSolidBrush(fill);
    HPEN pen = CreatePen(PS_SOLID, 1, outline);
    HGDIOBJ oldBrush = SelectObject(hdc_, brush);
    HGDIOBJ oldPen = SelectObject(hdc_, pen);
    draw();
    SelectObject(hdc_, oldPen);
    SelectObject(hdc_, oldBrush);
    DeleteObject(pen);
    DeleteObject(brush);
  }

  HDC hdc_;
  int x_, y_, cx_, cy_;
};

constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kBlack = RGB(0, 0, 0);
constexpr COLORREF kRed = RGB(255, 0, 0);
constexpr COLORREF kYellow = RGB(255, 255, 0);
constexpr COLORREF kBlue = RGB(0, 0, 255);
constexpr COLORREF kNavy = RGB(0, 0, 128);

void DrawSystem(HDC hdc, int x, int y, int cx, int cy, WORD id) {
  Sketch s(hdc, x, y, cx, cy);
  switch (id) {
    case 32513:  // IDI_HAND: a red disc with a white cross
      s.Disc(kRed, kBlack);
      s.Cross(kWhite);
      break;
    case 32514:  // IDI_QUESTION: a white disc with a blue mark, its hook as two bars
      s.Disc(kWhite, kBlack);
      s.Box(11, 7, 21, 10, kBlue);
      s.Box(18, 10, 21, 16, kBlue);
      s.Box(14, 15, 18, 20, kBlue);
      s.Box(14, 22, 18, 26, kBlue);
      break;
    case 32515:  // IDI_EXCLAMATION: a yellow triangle with a black mark
      s.Triangle(kYellow, kBlack);
      s.Box(14, 10, 18, 21, kBlack);
      s.Box(14, 23, 18, 26, kBlack);
      break;
    case 32516:  // IDI_ASTERISK: a white disc with a blue "i"
      s.Disc(kWhite, kBlack);
      s.Box(14, 7, 18, 11, kBlue);
      s.Box(14, 13, 18, 25, kBlue);
      break;
    default:  // IDI_APPLICATION and the rest: a window with a caption bar
      s.Box(3, 5, 29, 27, kBlack);
      s.Box(4, 6, 28, 26, kWhite);
      s.Box(4, 6, 28, 10, kNavy);
      break;
  }
}

}  // namespace

BOOL DrawIconEx(HDC hdc, int xLeft, int yTop, HICON hIcon, int cxWidth, int cyWidth, UINT, HBRUSH, UINT diFlags) {
  const w::ImageObject* icon = w::ImageObjectOf(hIcon);
  if (icon == nullptr || icon->kind == w::ImageKind::Bitmap) {
    SetLastError(ERROR_INVALID_CURSOR_HANDLE);
    return FALSE;
  }
  if (cxWidth == 0) cxWidth = (diFlags & DI_DEFAULTSIZE) ? kDefaultSize : icon->width;
  if (cyWidth == 0) cyWidth = (diFlags & DI_DEFAULTSIZE) ? kDefaultSize : icon->height;
  if ((diFlags & DI_NORMAL) == 0) diFlags |= DI_NORMAL;
  if (icon->system) {
    DrawSystem(hdc, xLeft, yTop, cxWidth, cyWidth, icon->systemId);
    return TRUE;
  }
  if (!DrawBits(hdc, xLeft, yTop, cxWidth, cyWidth, *icon, diFlags)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

BOOL DrawIcon(HDC hDC, int X, int Y, HICON hIcon) {
  return DrawIconEx(hDC, X, Y, hIcon, 0, 0, 0, nullptr, DI_NORMAL | DI_DEFAULTSIZE);
}
