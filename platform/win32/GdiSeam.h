// What the rest of the Win32 stand-in asks of gdi32 beyond the Win32 calls.
//
// user32's paint cycle makes window DCs here: at BeginPaint or GetDC it calls CreateWindowDc with
// the window's surface (null while nothing asks for pixels: the DC then only records), the client
// origin in surface pixels, and the clip region in surface pixels (the window's visible region,
// cut to the update region for BeginPaint). At EndPaint or ReleaseDC it calls ReleaseWindowDc,
// which hands the DC's record to `onRelease` and frees the DC. A program never gets to DeleteDC a
// window DC (DeleteDC refuses it), as Windows would not have it.
//
// The resource loader makes bitmaps here: BitmapFromDib takes a packed DIB as an RT_BITMAP
// resource holds it (BITMAPINFOHEADER, colour table, bits) and makes a mono bitmap of a 1-bit DIB,
// a colour bitmap of any other; `label` names it in drawing records (e.g. "bitmap 170").
//
// Every call takes the gdi32 lock itself; none may be made while holding it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/win32/DrawingRecord.h"
#include "platform/win32/RasterRegion.h"
#include "platform/win32/RasterSurface.h"
#include "platform/win32/include/windef.h"

namespace plat::win32 {

HDC CreateWindowDc(std::shared_ptr<RasterSurface> surface, int32_t originX, int32_t originY, const RasterRegion& clip,
                   std::function<void(DrawingRecord)> onRelease);
// False for a DC CreateWindowDc did not make (or already released).
bool ReleaseWindowDc(HDC hdc);

// Null for bytes that are no DIB this stand-in reads (1, 4, 8, 24 or 32 bits, uncompressed).
HBITMAP BitmapFromDib(const void* dib, size_t size, const std::string& label);

// What a DC has drawn so far (empty for a handle that is no DC), and the pixels of a bitmap (null
// for a handle that is no bitmap): for snapshots and tests.
DrawingRecord DrawingRecordOf(HDC hdc);
std::shared_ptr<RasterSurface> BitmapSurface(HBITMAP bitmap);
// The GDI objects alive, stock objects included: a program that leaks shows here.
size_t GdiObjectCount();

}  // namespace plat::win32
