// What the rest of the Win32 stand-in asks of gdi32 beyond the Win32 calls.
//
// Window DCs (for user32's paint cycle). BeginPaint and GetDC call CreateWindowDc with
//  - the top-level window's surface, or null while nothing asks for pixels (the DC then only
//    records, and the record is the same either way);
//  - the client area's top left in surface pixels (DC coordinates start there);
//  - the clip in surface pixels: the window's visible region (cut by siblings and children only
//    under WS_CLIPSIBLINGS / WS_CLIPCHILDREN), and for BeginPaint also the update region;
//  - `onRelease`, which receives everything drawn through the DC, in the DC's coordinates.
// EndPaint and ReleaseDC call ReleaseWindowDc: the record goes to `onRelease` (called outside
// gdi32's lock, so it may draw or ask gdi32 again) and the DC is gone. DeleteDC refuses a window
// DC, as Windows does. WM_ERASEBKGND draws through the same DC as the paint that follows it.
//
// Bitmaps (for the resource loader). BitmapFromDib takes a packed DIB as an RT_BITMAP resource
// holds it (BITMAPINFOHEADER, colour table, bits; 1, 4, 8, 24 or 32 bits, uncompressed, either row
// order) and answers a gdi32 bitmap: mono for a 1-bit DIB, its bits set where the table's colour
// is light; colour otherwise. `label` names it in drawing records, e.g. "bitmap 170". LoadBitmapA
// and LoadImageA(IMAGE_BITMAP) answer this handle, which programs select, blit and DeleteObject.
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
// The end of a process: the objects it made go.
void DropProcessObjects(uint32_t processId);

}  // namespace plat::win32
