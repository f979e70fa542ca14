// The types the window manager and the graphics device interface share: handles (each a distinct
// pointer type, so a brush never passes for a pen), message parameters, points, rectangles, sizes
// and colours.
#pragma once

#include <cstddef>

#include "wintypes.h"

// Calling conventions: one convention on this machine's processors, so each names nothing.
#define WINAPI
#define CALLBACK
#define APIENTRY

struct HWND__;
using HWND = HWND__*;
struct HDC__;
using HDC = HDC__*;
struct HBRUSH__;
using HBRUSH = HBRUSH__*;
struct HPEN__;
using HPEN = HPEN__*;
struct HFONT__;
using HFONT = HFONT__*;
struct HBITMAP__;
using HBITMAP = HBITMAP__*;
struct HRGN__;
using HRGN = HRGN__*;
struct HPALETTE__;
using HPALETTE = HPALETTE__*;
struct HICON__;
using HICON = HICON__*;
// A cursor is an icon with a hot spot.
using HCURSOR = HICON;
struct HMENU__;
using HMENU = HMENU__*;
struct HACCEL__;
using HACCEL = HACCEL__*;
struct HHOOK__;
using HHOOK = HHOOK__*;
struct HMONITOR__;
using HMONITOR = HMONITOR__*;
// Any GDI object: each specific handle converts to it, as SelectObject and DeleteObject need.
using HGDIOBJ = void*;
using HGLOBAL = HANDLE;
using HLOCAL = HANDLE;

using WPARAM = UINT_PTR;
using LPARAM = LONG_PTR;
using LRESULT = LONG_PTR;
using ATOM = WORD;
using COLORREF = DWORD;
using LPCOLORREF = DWORD*;
using LPINT = int*;
using LPWORD = WORD*;
using LPLONG = LONG*;
using PDWORD_PTR = DWORD_PTR*;

constexpr WORD LOWORD(DWORD_PTR l) { return static_cast<WORD>(l & 0xFFFF); }
constexpr WORD HIWORD(DWORD_PTR l) { return static_cast<WORD>((l >> 16) & 0xFFFF); }
constexpr BYTE LOBYTE(DWORD_PTR w) { return static_cast<BYTE>(w & 0xFF); }
constexpr BYTE HIBYTE(DWORD_PTR w) { return static_cast<BYTE>((w >> 8) & 0xFF); }
constexpr WORD MAKEWORD(DWORD_PTR low, DWORD_PTR high) {
  return static_cast<WORD>((low & 0xFF) | ((high & 0xFF) << 8));
}
constexpr LONG MAKELONG(DWORD_PTR low, DWORD_PTR high) {
  return static_cast<LONG>(static_cast<DWORD>((low & 0xFFFF) | ((high & 0xFFFF) << 16)));
}
constexpr WPARAM MAKEWPARAM(DWORD_PTR low, DWORD_PTR high) {
  return static_cast<WPARAM>(static_cast<DWORD>(MAKELONG(low, high)));
}
constexpr LPARAM MAKELPARAM(DWORD_PTR low, DWORD_PTR high) {
  return static_cast<LPARAM>(static_cast<DWORD>(MAKELONG(low, high)));
}
constexpr LRESULT MAKELRESULT(DWORD_PTR low, DWORD_PTR high) {
  return static_cast<LRESULT>(static_cast<DWORD>(MAKELONG(low, high)));
}

struct POINT {
  LONG x;
  LONG y;
};
using PPOINT = POINT*;
using LPPOINT = POINT*;
static_assert(sizeof(POINT) == 8 && offsetof(POINT, y) == 4);

// A point packed into one LPARAM-sized value, as mouse messages carry it.
struct POINTS {
  SHORT x;
  SHORT y;
};
static_assert(sizeof(POINTS) == 4 && offsetof(POINTS, y) == 2);

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
using PSIZE = SIZE*;
using LPSIZE = SIZE*;
static_assert(sizeof(SIZE) == 8 && offsetof(SIZE, cy) == 4);

constexpr COLORREF RGB(BYTE r, BYTE g, BYTE b) {
  return static_cast<COLORREF>(r) | (static_cast<COLORREF>(g) << 8) | (static_cast<COLORREF>(b) << 16);
}
constexpr BYTE GetRValue(COLORREF rgb) { return static_cast<BYTE>(rgb & 0xFF); }
constexpr BYTE GetGValue(COLORREF rgb) { return static_cast<BYTE>((rgb >> 8) & 0xFF); }
constexpr BYTE GetBValue(COLORREF rgb) { return static_cast<BYTE>((rgb >> 16) & 0xFF); }
