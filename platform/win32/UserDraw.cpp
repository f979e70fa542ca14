// The drawing calls user32 offers on any DC: rectangles with a brush, text laid out in a
// rectangle, edges and focus rectangles, and the system colours with their brushes.
#include <mutex>
#include <string_view>

#include "platform/win32/DeviceContext.h"
#include "platform/win32/GdiObjects.h"
#include "platform/win32/TextLayout.h"
#include "platform/win32/include/windows.h"

using plat::win32::DeviceContext;
using plat::win32::GdiKind;
using plat::win32::GdiObject;
using plat::win32::GdiObjects;
using plat::win32::RasterRect;

namespace {

GdiObjects& Table() { return GdiObjects::Instance(); }

DeviceContext* Dc(HDC hdc) {
  GdiObject* object = Table().Find(hdc, GdiKind::Dc);
  if (object == nullptr) SetLastError(ERROR_INVALID_HANDLE);
  return object != nullptr ? object->dc.get() : nullptr;
}

// A brush handle, or a system colour index + 1 as window classes and FillRect take them.
GdiObject* Brush(HBRUSH hbr) {
  const auto value = reinterpret_cast<uintptr_t>(hbr);
  if (value != 0 && value <= COLOR_MENUBAR + 1) return Table().SystemColourBrush(static_cast<int>(value - 1));
  return Table().Find(hbr, GdiKind::Brush);
}

RasterRect Rect(const RECT& r) { return {r.left, r.top, r.right, r.bottom}; }

}  // namespace

int FillRect(HDC hDC, const RECT* lprc, HBRUSH hbr) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hDC);
  GdiObject* brush = Brush(hbr);
  if (dc == nullptr || lprc == nullptr || brush == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  dc->FillRect(Rect(*lprc), *brush);
  return 1;
}

int FrameRect(HDC hDC, const RECT* lprc, HBRUSH hbr) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hDC);
  GdiObject* brush = Brush(hbr);
  if (dc == nullptr || lprc == nullptr || brush == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  dc->FrameRect(Rect(*lprc), *brush);
  return 1;
}

BOOL DrawFocusRect(HDC hDC, const RECT* lprc) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hDC);
  if (dc == nullptr || lprc == nullptr) return FALSE;
  dc->FocusRect(Rect(*lprc));
  return TRUE;
}

BOOL DrawEdge(HDC hdc, LPRECT qrc, UINT edge, UINT grfFlags) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr || qrc == nullptr) return FALSE;
  RasterRect r = Rect(*qrc);
  // Outer then inner: the top-left and bottom-right colours of each line, raised or sunken.
  struct Line {
    UINT raised;
    UINT sunken;
    int raisedTopLeft;
    int raisedBottomRight;
    int sunkenTopLeft;
    int sunkenBottomRight;
  };
  const Line lines[2] = {
      {BDR_RAISEDOUTER, BDR_SUNKENOUTER, COLOR_3DLIGHT, COLOR_3DDKSHADOW, COLOR_BTNSHADOW, COLOR_BTNHIGHLIGHT},
      {BDR_RAISEDINNER, BDR_SUNKENINNER, COLOR_BTNHIGHLIGHT, COLOR_BTNSHADOW, COLOR_3DDKSHADOW, COLOR_3DLIGHT}};
  for (const Line& line : lines) {
    const bool raised = (edge & line.raised) != 0;
    if (!raised && (edge & line.sunken) == 0) continue;
    const int topLeft = raised ? line.raisedTopLeft : line.sunkenTopLeft;
    const int bottomRight = raised ? line.raisedBottomRight : line.sunkenBottomRight;
    const GdiObject& light = *Table().SystemColourBrush(topLeft);
    const GdiObject& dark = *Table().SystemColourBrush(bottomRight);
    if ((grfFlags & BF_TOP) != 0) dc->FillRect({r.left, r.top, r.right, r.top + 1}, light);
    if ((grfFlags & BF_LEFT) != 0) dc->FillRect({r.left, r.top, r.left + 1, r.bottom}, light);
    if ((grfFlags & BF_BOTTOM) != 0) dc->FillRect({r.left, r.bottom - 1, r.right, r.bottom}, dark);
    if ((grfFlags & BF_RIGHT) != 0) dc->FillRect({r.right - 1, r.top, r.right, r.bottom}, dark);
    if ((grfFlags & BF_LEFT) != 0) ++r.left;
    if ((grfFlags & BF_TOP) != 0) ++r.top;
    if ((grfFlags & BF_RIGHT) != 0) --r.right;
    if ((grfFlags & BF_BOTTOM) != 0) --r.bottom;
  }
  if ((grfFlags & BF_MIDDLE) != 0) dc->FillRect(r, *Table().SystemColourBrush(COLOR_BTNFACE));
  if ((grfFlags & BF_ADJUST) != 0) *qrc = {r.left, r.top, r.right, r.bottom};
  return TRUE;
}

int DrawTextA(HDC hdc, LPCSTR lpchText, int cchText, LPRECT lprc, UINT format) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  DeviceContext* dc = Dc(hdc);
  if (dc == nullptr || lprc == nullptr || (lpchText == nullptr && cchText != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const std::string_view text = lpchText == nullptr ? std::string_view()
                                : cchText < 0       ? std::string_view(lpchText)
                                                    : std::string_view(lpchText, static_cast<size_t>(cchText));
  plat::win32::TextLayoutFormat layout;
  layout.horizontal = (format & DT_RIGHT) != 0    ? plat::win32::TextLayoutFormat::Horizontal::Right
                      : (format & DT_CENTER) != 0 ? plat::win32::TextLayoutFormat::Horizontal::Centre
                                                  : plat::win32::TextLayoutFormat::Horizontal::Left;
  layout.vertical = (format & DT_BOTTOM) != 0    ? plat::win32::TextLayoutFormat::Vertical::Bottom
                    : (format & DT_VCENTER) != 0 ? plat::win32::TextLayoutFormat::Vertical::Centre
                                                 : plat::win32::TextLayoutFormat::Vertical::Top;
  layout.singleLine = (format & DT_SINGLELINE) != 0;
  layout.wordBreak = (format & DT_WORDBREAK) != 0;
  layout.noPrefix = (format & DT_NOPREFIX) != 0;
  const RasterRect rect = Rect(*lprc);
  const plat::win32::TextLayoutResult result =
      plat::win32::TextLayout::Lay(text, *dc->Current().font->scaled, rect, layout);
  if ((format & DT_CALCRECT) != 0) {
    lprc->right = result.extent.right;
    lprc->bottom = result.extent.bottom;
    return result.height;
  }
  for (const plat::win32::TextLayoutLine& line : result.lines) {
    const int32_t mnemonic = (format & DT_HIDEPREFIX) != 0 ? -1 : line.mnemonic;
    dc->Text(line.x, line.y, line.text, &rect, false, (format & DT_NOCLIP) == 0, mnemonic);
  }
  return result.height;
}

DWORD GetSysColor(int nIndex) {
  uint32_t colour = 0;
  return plat::win32::SystemColour(nIndex, &colour) ? colour : 0;
}

HBRUSH GetSysColorBrush(int nIndex) {
  std::lock_guard<std::mutex> hold(Table().Lock());
  GdiObject* brush = Table().SystemColourBrush(nIndex);
  return brush != nullptr ? reinterpret_cast<HBRUSH>(brush->handle) : nullptr;
}
