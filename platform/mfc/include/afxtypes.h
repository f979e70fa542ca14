// The class library's point, size and rectangle: the Win32 records with arithmetic.
#pragma once

#include <windows.h>

class CSize : public SIZE {
 public:
  constexpr CSize() : SIZE{0, 0} {}
  constexpr CSize(int initCX, int initCY) : SIZE{initCX, initCY} {}
  constexpr CSize(SIZE initSize) : SIZE(initSize) {}  // NOLINT(google-explicit-constructor)
  constexpr CSize operator+(SIZE size) const { return CSize(cx + size.cx, cy + size.cy); }
  constexpr CSize operator-(SIZE size) const { return CSize(cx - size.cx, cy - size.cy); }
  constexpr CSize operator-() const { return CSize(-cx, -cy); }
  constexpr bool operator==(const SIZE& size) const { return cx == size.cx && cy == size.cy; }
};

class CPoint : public POINT {
 public:
  constexpr CPoint() : POINT{0, 0} {}
  constexpr CPoint(int initX, int initY) : POINT{initX, initY} {}
  constexpr CPoint(POINT initPt) : POINT(initPt) {}  // NOLINT(google-explicit-constructor)
  // A point packed into an LPARAM-sized value: x in the low word, y in the high, both signed.
  constexpr explicit CPoint(DWORD dwPoint)
      : POINT{static_cast<SHORT>(dwPoint & 0xFFFF), static_cast<SHORT>((dwPoint >> 16) & 0xFFFF)} {}
  constexpr void Offset(int xOffset, int yOffset) {
    x += xOffset;
    y += yOffset;
  }
  constexpr CPoint operator+(SIZE size) const { return CPoint(x + size.cx, y + size.cy); }
  constexpr CPoint operator-(SIZE size) const { return CPoint(x - size.cx, y - size.cy); }
  constexpr CSize operator-(POINT point) const { return CSize(x - point.x, y - point.y); }
  constexpr CPoint& operator+=(SIZE size) {
    Offset(size.cx, size.cy);
    return *this;
  }
  constexpr CPoint& operator-=(SIZE size) {
    Offset(-size.cx, -size.cy);
    return *this;
  }
  constexpr bool operator==(const POINT& point) const { return x == point.x && y == point.y; }
};

class CRect : public RECT {
 public:
  constexpr CRect() : RECT{0, 0, 0, 0} {}
  constexpr CRect(int l, int t, int r, int b) : RECT{l, t, r, b} {}
  constexpr CRect(const RECT& srcRect) : RECT(srcRect) {}  // NOLINT(google-explicit-constructor)
  constexpr CRect(LPCRECT lpSrcRect) : RECT(*lpSrcRect) {}  // NOLINT(google-explicit-constructor)
  constexpr CRect(POINT point, SIZE size) : RECT{point.x, point.y, point.x + size.cx, point.y + size.cy} {}
  constexpr CRect(POINT topLeft, POINT bottomRight) : RECT{topLeft.x, topLeft.y, bottomRight.x, bottomRight.y} {}

  constexpr int Width() const { return right - left; }
  constexpr int Height() const { return bottom - top; }
  constexpr CSize Size() const { return CSize(Width(), Height()); }
  constexpr CPoint TopLeft() const { return CPoint(left, top); }
  constexpr CPoint BottomRight() const { return CPoint(right, bottom); }
  constexpr CPoint CenterPoint() const { return CPoint((left + right) / 2, (top + bottom) / 2); }
  constexpr BOOL IsRectEmpty() const { return right <= left || bottom <= top ? TRUE : FALSE; }
  constexpr BOOL IsRectNull() const { return left == 0 && top == 0 && right == 0 && bottom == 0 ? TRUE : FALSE; }
  // Left and top edges are inside, right and bottom outside, as for every Win32 rectangle.
  constexpr BOOL PtInRect(POINT point) const {
    return point.x >= left && point.x < right && point.y >= top && point.y < bottom ? TRUE : FALSE;
  }

  constexpr void SetRect(int l, int t, int r, int b) { *this = CRect(l, t, r, b); }
  constexpr void SetRectEmpty() { SetRect(0, 0, 0, 0); }
  constexpr void OffsetRect(int x, int y) {
    left += x;
    right += x;
    top += y;
    bottom += y;
  }
  constexpr void OffsetRect(POINT point) { OffsetRect(point.x, point.y); }
  constexpr void OffsetRect(SIZE size) { OffsetRect(size.cx, size.cy); }
  constexpr void InflateRect(int x, int y) {
    left -= x;
    right += x;
    top -= y;
    bottom += y;
  }
  constexpr void InflateRect(int l, int t, int r, int b) {
    left -= l;
    top -= t;
    right += r;
    bottom += b;
  }
  constexpr void DeflateRect(int x, int y) { InflateRect(-x, -y); }
  constexpr void DeflateRect(int l, int t, int r, int b) { InflateRect(-l, -t, -r, -b); }
  constexpr void NormalizeRect() {
    if (left > right) {
      const LONG swap = left;
      left = right;
      right = swap;
    }
    if (top > bottom) {
      const LONG swap = top;
      top = bottom;
      bottom = swap;
    }
  }
  // The overlap of two rectangles; empty (all zero) when they do not overlap.
  constexpr BOOL IntersectRect(LPCRECT a, LPCRECT b) {
    const CRect overlap(a->left > b->left ? a->left : b->left, a->top > b->top ? a->top : b->top,
                        a->right < b->right ? a->right : b->right, a->bottom < b->bottom ? a->bottom : b->bottom);
    if (overlap.IsRectEmpty()) {
      SetRectEmpty();
      return FALSE;
    }
    *this = overlap;
    return TRUE;
  }
  // The bounding rectangle of the two, an empty one counting for nothing.
  constexpr BOOL UnionRect(LPCRECT a, LPCRECT b) {
    const CRect ra(a);
    const CRect rb(b);
    if (ra.IsRectEmpty()) {
      *this = rb;
    } else if (rb.IsRectEmpty()) {
      *this = ra;
    } else {
      SetRect(ra.left < rb.left ? ra.left : rb.left, ra.top < rb.top ? ra.top : rb.top,
              ra.right > rb.right ? ra.right : rb.right, ra.bottom > rb.bottom ? ra.bottom : rb.bottom);
    }
    if (IsRectEmpty()) {
      SetRectEmpty();
      return FALSE;
    }
    return TRUE;
  }

  constexpr operator LPRECT() { return this; }  // NOLINT(google-explicit-constructor)
  constexpr operator LPCRECT() const { return this; }  // NOLINT(google-explicit-constructor)
  constexpr bool operator==(const RECT& rect) const {
    return left == rect.left && top == rect.top && right == rect.right && bottom == rect.bottom;
  }
  constexpr CRect operator+(POINT point) const {
    CRect moved(*this);
    moved.OffsetRect(point);
    return moved;
  }
  constexpr CRect operator-(POINT point) const {
    CRect moved(*this);
    moved.OffsetRect(-point.x, -point.y);
    return moved;
  }
};
static_assert(sizeof(CRect) == sizeof(RECT) && sizeof(CPoint) == sizeof(POINT) && sizeof(CSize) == sizeof(SIZE));
