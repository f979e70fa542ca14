// The types the window manager and the graphics device interface share: handles, message
// parameters, points, rectangles and sizes.
#pragma once

#include <cstddef>

#include "wintypes.h"

struct HWND__;
using HWND = HWND__*;
struct HDC__;
using HDC = HDC__*;
struct HBRUSH__;
using HBRUSH = HBRUSH__*;
struct HFONT__;
using HFONT = HFONT__*;
struct HICON__;
using HICON = HICON__*;
using HCURSOR = HICON;
struct HMENU__;
using HMENU = HMENU__*;
struct HDESK__;
using HDEVNOTIFY = PVOID;

using WPARAM = UINT_PTR;
using LPARAM = LONG_PTR;
using LRESULT = LONG_PTR;
using ATOM = WORD;
using PDWORD_PTR = DWORD_PTR*;
using COLORREF = DWORD;

constexpr WORD LOWORD(DWORD_PTR l) { return static_cast<WORD>(l & 0xFFFF); }
constexpr WORD HIWORD(DWORD_PTR l) { return static_cast<WORD>((l >> 16) & 0xFFFF); }
constexpr LONG MAKELONG(DWORD_PTR low, DWORD_PTR high) {
  return static_cast<LONG>(static_cast<DWORD>((low & 0xFFFF) | ((high & 0xFFFF) << 16)));
}
constexpr WPARAM MAKEWPARAM(DWORD_PTR low, DWORD_PTR high) { return static_cast<WPARAM>(static_cast<DWORD>(MAKELONG(low, high))); }
constexpr LPARAM MAKELPARAM(DWORD_PTR low, DWORD_PTR high) { return static_cast<LPARAM>(static_cast<DWORD>(MAKELONG(low, high))); }
constexpr LRESULT MAKELRESULT(DWORD_PTR low, DWORD_PTR high) { return static_cast<LRESULT>(static_cast<DWORD>(MAKELONG(low, high))); }
// Signed coordinates out of a mouse message's LPARAM.
constexpr int GET_X_LPARAM(LPARAM lp) { return static_cast<int>(static_cast<short>(LOWORD(lp))); }
constexpr int GET_Y_LPARAM(LPARAM lp) { return static_cast<int>(static_cast<short>(HIWORD(lp))); }

struct POINT {
  LONG x;
  LONG y;
};
using PPOINT = POINT*;
using LPPOINT = POINT*;
static_assert(sizeof(POINT) == 8 && offsetof(POINT, y) == 4);

struct RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};
using PRECT = RECT*;
using LPRECT = RECT*;
using LPCRECT = const RECT*;
static_assert(sizeof(RECT) == 16 && offsetof(RECT, right) == 8 && offsetof(RECT, bottom) == 12);

struct SIZE {
  LONG cx;
  LONG cy;
};
static_assert(sizeof(SIZE) == 8 && offsetof(SIZE, cy) == 4);
