// How statics paint: text aligned by the static's type on the background its parent answers, a
// bitmap at its own size (centred under SS_CENTERIMAGE, stretched under SS_REALSIZECONTROL),
// rectangles and frames in the system's colours, etched lines, and an owner-drawn static left to
// its parent.
#include "platform/win32/ControlDraw.h"
#include "platform/win32/Controls.h"

namespace plat::win32 {
namespace {

struct Shape {
  DWORD type;
  bool filled;  // a rectangle, else a frame
  int colour;
};

// The rectangles and frames, each in one system colour.
constexpr Shape kShapes[] = {
    {SS_BLACKRECT, true, COLOR_3DDKSHADOW}, {SS_GRAYRECT, true, COLOR_3DSHADOW},
    {SS_WHITERECT, true, COLOR_3DHILIGHT},  {SS_BLACKFRAME, false, COLOR_3DDKSHADOW},
    {SS_GRAYFRAME, false, COLOR_3DSHADOW},  {SS_WHITEFRAME, false, COLOR_3DHILIGHT},
};

constexpr bool ShapesInOrder() {
  for (size_t i = 0; i < std::size(kShapes); ++i)
    if (kShapes[i].type != SS_BLACKRECT + i) return false;
  return true;
}
static_assert(ShapesInOrder(), "one entry per type, from SS_BLACKRECT to SS_WHITEFRAME");

UINT TextFormat(DWORD style) {
  UINT format = (style & SS_NOPREFIX) ? DT_NOPREFIX : 0;
  switch (style & SS_TYPEMASK) {
    case SS_CENTER:
      format |= DT_CENTER | DT_WORDBREAK;
      break;
    case SS_RIGHT:
      format |= DT_RIGHT | DT_WORDBREAK;
      break;
    case SS_LEFTNOWORDWRAP:
      format |= DT_LEFT | DT_EXPANDTABS;
      break;
    case SS_SIMPLE:
      format |= DT_LEFT | DT_SINGLELINE;
      break;
    default:
      format |= DT_LEFT | DT_WORDBREAK;
      break;
  }
  // One line, centred from top to bottom.
  if (style & SS_CENTERIMAGE) format = (format & ~DT_WORDBREAK) | DT_SINGLELINE | DT_VCENTER;
  return format;
}

void DrawBitmap(const ControlPaint& paint, DWORD style, HBITMAP bitmap) {
  BITMAP info{};
  if (bitmap == nullptr || GetObjectA(bitmap, sizeof info, &info) != static_cast<int>(sizeof info)) return;
  const RECT& client = paint.Client();
  HDC source = CreateCompatibleDC(paint.Dc());
  HGDIOBJ old = SelectObject(source, bitmap);
  if (style & SS_REALSIZECONTROL) {
    StretchBlt(paint.Dc(), 0, 0, client.right, client.bottom, source, 0, 0, info.bmWidth, info.bmHeight, SRCCOPY);
  } else {
    const LONG x = (style & SS_CENTERIMAGE) ? (client.right - info.bmWidth) / 2 : 0;
    const LONG y = (style & SS_CENTERIMAGE) ? (client.bottom - info.bmHeight) / 2 : 0;
    BitBlt(paint.Dc(), x, y, info.bmWidth, info.bmHeight, source, 0, 0, SRCCOPY);
  }
  SelectObject(source, old);
  DeleteDC(source);
}

void AskOwner(const ControlPaint& paint) {
  DRAWITEMSTRUCT item{};
  item.CtlType = ODT_STATIC;
  item.CtlID = static_cast<UINT>(GetDlgCtrlID(paint.Window()));
  item.itemAction = ODA_DRAWENTIRE;
  item.itemState = paint.Enabled() ? 0 : ODS_DISABLED;
  item.hwndItem = paint.Window();
  item.hDC = paint.Dc();
  item.rcItem = paint.Client();
  HWND parent = GetParent(paint.Window());
  if (parent != nullptr) SendMessageA(parent, WM_DRAWITEM, item.CtlID, reinterpret_cast<LPARAM>(&item));
}

}  // namespace

void DrawStatic(const ControlPaint& paint, HANDLE image) {
  HDC dc = paint.Dc();
  if (dc == nullptr) return;
  const auto style = static_cast<DWORD>(GetWindowLongA(paint.Window(), GWL_STYLE));
  const DWORD type = style & SS_TYPEMASK;
  RECT client = paint.Client();
  if (type >= SS_BLACKRECT && type <= SS_WHITEFRAME) {
    const Shape& shape = kShapes[type - SS_BLACKRECT];
    (shape.filled ? FillRect : FrameRect)(dc, &client, GetSysColorBrush(shape.colour));
  } else if (type == SS_ETCHEDHORZ || type == SS_ETCHEDVERT || type == SS_ETCHEDFRAME) {
    DrawEdge(dc, &client, EDGE_ETCHED, type == SS_ETCHEDHORZ ? BF_TOP : type == SS_ETCHEDVERT ? BF_LEFT : BF_RECT);
  } else if (type == SS_OWNERDRAW) {
    AskOwner(paint);
  } else {
    FillRect(dc, &client, paint.AskColours(WM_CTLCOLORSTATIC));
    if (type == SS_BITMAP)
      DrawBitmap(paint, style, static_cast<HBITMAP>(image));
    else if (type != SS_ICON)
      paint.Text(TextOf(paint.Window()).c_str(), client, TextFormat(style));
  }
  if (style & SS_SUNKEN) DrawEdge(dc, &client, BDR_SUNKENOUTER, BF_RECT);
}

}  // namespace plat::win32
