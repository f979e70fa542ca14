// How buttons paint: push buttons raised (sunken while pushed) in the system's button colours, a
// default one framed in black; check boxes and radio buttons a box or circle beside their text;
// group boxes an etched frame under their text; an owner-drawn button is left to its parent.
#include <algorithm>
#include <string>

#include "platform/win32/ControlDraw.h"
#include "platform/win32/Controls.h"

namespace plat::win32 {
namespace {

constexpr LONG kCheckBox = 13;      // a check box's square
constexpr LONG kRadioBox = 12;      // a radio button's circle
constexpr LONG kTextGap = 4;        // between box and text
constexpr LONG kCaptionIndent = 8;  // a group box's text from its left edge

// The check mark inside a check box's 9-pixel interior: each of its 7 columns 3 pixels tall,
// starting this far down.
constexpr LONG kCheckMarkTops[] = {2, 3, 4, 3, 2, 1, 0};

UINT TextFormat(DWORD style, UINT horizontal) {
  return horizontal | ((style & BS_MULTILINE) ? DT_WORDBREAK : DT_SINGLELINE | DT_VCENTER);
}

void DrawPush(const ControlPaint& paint, DWORD style, bool pushed, bool focused) {
  HDC dc = paint.Dc();
  // The parent is asked, but push buttons keep the system's colours: a face needs more than the
  // one brush the answer gives.
  paint.AskColours(WM_CTLCOLORBTN);
  RECT face = paint.Client();
  if ((style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) {
    FrameRect(dc, &face, GetSysColorBrush(COLOR_WINDOWFRAME));
    InflateRect(&face, -1, -1);
  }
  DrawEdge(dc, &face, pushed ? EDGE_SUNKEN : EDGE_RAISED, BF_RECT | BF_MIDDLE | BF_ADJUST);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
  RECT text = face;
  if (pushed) OffsetRect(&text, 1, 1);
  paint.Text(TextOf(paint.Window()).c_str(), text, TextFormat(style, DT_CENTER));
  if (focused) {
    RECT focus = face;
    InflateRect(&focus, -2, -2);
    DrawFocusRect(dc, &focus);
  }
}

void DrawCheckMark(HDC dc, const RECT& interior, int colour) {
  HBRUSH brush = GetSysColorBrush(colour);
  for (LONG i = 0; i < static_cast<LONG>(std::size(kCheckMarkTops)); ++i) {
    RECT column{interior.left + 1 + i, interior.top + kCheckMarkTops[i], interior.left + 2 + i,
                interior.top + kCheckMarkTops[i] + 3};
    FillRect(dc, &column, brush);
  }
}

// A check box's square or a radio button's circle, at `box`.
void DrawBox(const ControlPaint& paint, const RECT& box, bool radio, const ButtonLook& look) {
  HDC dc = paint.Dc();
  const int interiorColour = look.pushed || !paint.Enabled() ? COLOR_3DFACE : COLOR_WINDOW;
  const int markColour = !paint.Enabled() ? COLOR_GRAYTEXT : COLOR_WINDOWTEXT;
  if (radio) {
    HPEN pen = CreatePen(PS_SOLID, 1, GetSysColor(COLOR_BTNSHADOW));
    HGDIOBJ oldPen = SelectObject(dc, pen);
    HGDIOBJ oldBrush = SelectObject(dc, GetSysColorBrush(interiorColour));
    Ellipse(dc, box.left, box.top, box.right, box.bottom);
    SelectObject(dc, oldBrush);
    SelectObject(dc, oldPen);
    DeleteObject(pen);
    if (look.check == BST_UNCHECKED) return;
    // The dot: 4 pixels across with its corners cut.
    const LONG cx = (box.left + box.right) / 2, cy = (box.top + box.bottom) / 2;
    const RECT dot[] = {
        {cx - 2, cy - 1, cx + 2, cy + 1}, {cx - 1, cy - 2, cx + 1, cy - 1}, {cx - 1, cy + 1, cx + 1, cy + 2}};
    for (const RECT& r : dot) FillRect(dc, &r, GetSysColorBrush(markColour));
    return;
  }
  RECT interior = box;
  DrawEdge(dc, &interior, EDGE_SUNKEN, BF_RECT | BF_ADJUST);
  // An indeterminate box shows its mark greyed on the face colour.
  const bool indeterminate = look.check == BST_INDETERMINATE;
  FillRect(dc, &interior, GetSysColorBrush(indeterminate ? COLOR_3DFACE : interiorColour));
  if (look.check != BST_UNCHECKED) DrawCheckMark(dc, interior, indeterminate ? COLOR_BTNSHADOW : markColour);
}

void DrawCheckOrRadio(const ControlPaint& paint, DWORD style, bool radio, const ButtonLook& look) {
  HDC dc = paint.Dc();
  HBRUSH background = paint.AskColours(WM_CTLCOLORSTATIC);
  const RECT& client = paint.Client();
  FillRect(dc, &client, background);
  const LONG size = radio ? kRadioBox : kCheckBox;
  const bool boxRight = (style & BS_LEFTTEXT) != 0;
  const LONG boxLeft = boxRight ? client.right - size : client.left;
  const LONG boxTop = client.top + (client.bottom - client.top - size) / 2;
  DrawBox(paint, RECT{boxLeft, boxTop, boxLeft + size, boxTop + size}, radio, look);
  RECT text = boxRight ? RECT{client.left, client.top, boxLeft - kTextGap, client.bottom}
                       : RECT{boxLeft + size + kTextGap, client.top, client.right, client.bottom};
  const std::string caption = TextOf(paint.Window());
  paint.Text(caption.c_str(), text, TextFormat(style, DT_LEFT));
  if (look.focused && !caption.empty()) {
    // The focus goes round the text itself.
    RECT extent = text;
    DrawTextA(dc, caption.c_str(), -1, &extent, TextFormat(style, DT_LEFT) | DT_CALCRECT);
    const LONG height = extent.bottom - extent.top;
    const LONG top = (style & BS_MULTILINE) ? text.top : text.top + (text.bottom - text.top - height) / 2;
    RECT focus{extent.left - 1, top, std::min(extent.right + 1, text.right), top + height};
    DrawFocusRect(dc, &focus);
  }
}

void DrawGroupBox(const ControlPaint& paint) {
  HDC dc = paint.Dc();
  HBRUSH background = paint.AskColours(WM_CTLCOLORSTATIC);
  TEXTMETRICA metrics{};
  GetTextMetricsA(dc, &metrics);
  const RECT& client = paint.Client();
  // The frame runs through the middle of the text's line; the inside is left to what it frames.
  RECT frame{client.left, client.top + metrics.tmHeight / 2, client.right, client.bottom};
  DrawEdge(dc, &frame, EDGE_ETCHED, BF_RECT);
  const std::string caption = TextOf(paint.Window());
  if (caption.empty()) return;
  RECT text{client.left + kCaptionIndent, client.top, client.right - kCaptionIndent, client.top + metrics.tmHeight};
  RECT extent = text;
  DrawTextA(dc, caption.c_str(), -1, &extent, DT_SINGLELINE | DT_LEFT | DT_CALCRECT);
  // The frame's line stops either side of the text.
  RECT gap{text.left - 2, text.top, std::min(extent.right + 2, client.right), text.bottom};
  FillRect(dc, &gap, background);
  paint.Text(caption.c_str(), text, DT_SINGLELINE | DT_LEFT);
}

// The parent draws an owner-drawn button, told its state.
void AskOwner(const ControlPaint& paint, const ButtonLook& look) {
  DRAWITEMSTRUCT item{};
  item.CtlType = ODT_BUTTON;
  item.CtlID = static_cast<UINT>(GetDlgCtrlID(paint.Window()));
  item.itemAction = ODA_DRAWENTIRE;
  item.itemState =
      (look.pushed ? ODS_SELECTED : 0) | (look.focused ? ODS_FOCUS : 0) | (paint.Enabled() ? 0 : ODS_DISABLED);
  item.hwndItem = paint.Window();
  item.hDC = paint.Dc();
  item.rcItem = paint.Client();
  HWND parent = GetParent(paint.Window());
  if (parent != nullptr) SendMessageA(parent, WM_DRAWITEM, item.CtlID, reinterpret_cast<LPARAM>(&item));
}

}  // namespace

void DrawButton(const ControlPaint& paint, const ButtonLook& look) {
  if (paint.Dc() == nullptr) return;
  const auto style = static_cast<DWORD>(GetWindowLongA(paint.Window(), GWL_STYLE));
  switch (style & BS_TYPEMASK) {
    case BS_GROUPBOX:
      DrawGroupBox(paint);
      return;
    case BS_OWNERDRAW:
      AskOwner(paint, look);
      return;
    case BS_CHECKBOX:
    case BS_AUTOCHECKBOX:
    case BS_3STATE:
    case BS_AUTO3STATE:
    case BS_RADIOBUTTON:
    case BS_AUTORADIOBUTTON: {
      const bool radio = (style & BS_TYPEMASK) == BS_RADIOBUTTON || (style & BS_TYPEMASK) == BS_AUTORADIOBUTTON;
      // A push-like one is a push button that stays in while checked.
      if (style & BS_PUSHLIKE)
        DrawPush(paint, style, look.pushed || look.check != BST_UNCHECKED, look.focused);
      else
        DrawCheckOrRadio(paint, style, radio, look);
      return;
    }
    default:
      DrawPush(paint, style, look.pushed, look.focused);
      return;
  }
}

}  // namespace plat::win32
