// How a drop-down list combo paints its selection field: a sunken field holding the current
// string (highlighted, with the focus rectangle, while it has the focus and its list is shut) on
// the background its parent answers, and the arrow button at its right, pushed in while dropped.
#include <algorithm>
#include <string>

#include "platform/win32/ControlDraw.h"
#include "platform/win32/Controls.h"

namespace plat::win32 {

namespace {
constexpr LONG kButtonWidth = 16;
constexpr LONG kTextIndent = 2;
}  // namespace

void DrawComboBox(const ControlPaint& paint, const ComboBoxLook& look) {
  HDC dc = paint.Dc();
  if (dc == nullptr) return;
  // A disabled combo is coloured as a static, as a disabled edit is.
  HBRUSH background = paint.AskColours(paint.Enabled() ? WM_CTLCOLOREDIT : WM_CTLCOLORSTATIC);
  RECT inner = paint.Client();
  DrawEdge(dc, &inner, EDGE_SUNKEN, BF_RECT | BF_ADJUST);
  RECT button{std::max(inner.left, inner.right - kButtonWidth), inner.top, inner.right, inner.bottom};
  RECT field{inner.left, inner.top, button.left, inner.bottom};
  FillRect(dc, &field, background);
  DrawEdge(dc, &button, look.dropped ? EDGE_SUNKEN : EDGE_RAISED, BF_RECT | BF_MIDDLE | BF_ADJUST);
  if (look.dropped) OffsetRect(&button, 1, 1);
  paint.Arrow(button, VK_DOWN, paint.Enabled() ? COLOR_BTNTEXT : COLOR_GRAYTEXT);

  RECT item = field;
  InflateRect(&item, -1, -1);
  const bool focused = GetFocus() == paint.Window() && !look.dropped;
  if (focused) {
    FillRect(dc, &item, GetSysColorBrush(COLOR_HIGHLIGHT));
    SetTextColor(dc, GetSysColor(COLOR_HIGHLIGHTTEXT));
    SetBkMode(dc, TRANSPARENT);
  }
  RECT text = item;
  text.left += kTextIndent;
  paint.Text(TextOf(paint.Window()).c_str(), text, DT_SINGLELINE | DT_VCENTER | DT_LEFT | DT_NOPREFIX);
  if (focused) DrawFocusRect(dc, &item);
}

}  // namespace plat::win32
