// How an up-down control paints: two raised buttons, each with its arrow, one above the other (side
// by side under UDS_HORZ, "up" on the right), the one the mouse holds sunken, the arrows grey while
// the control is disabled.
#include "platform/win32/ControlDraw.h"
#include "platform/win32/include/commctrl.h"

namespace plat::win32 {

void DrawUpDown(const ControlPaint& paint, int held) {
  HDC dc = paint.Dc();
  if (dc == nullptr) return;
  const bool horizontal = (GetWindowLongA(paint.Window(), GWL_STYLE) & UDS_HORZ) != 0;
  const RECT& client = paint.Client();
  const LONG middleX = (client.left + client.right) / 2, middleY = (client.top + client.bottom) / 2;
  struct Half {
    RECT rect;
    WPARAM arrow;
    int button;  // as `held` names it
  };
  const Half halves[] = {
      horizontal ? Half{{client.left, client.top, middleX, client.bottom}, VK_LEFT, -1}
                 : Half{{client.left, client.top, client.right, middleY}, VK_UP, 1},
      horizontal ? Half{{middleX, client.top, client.right, client.bottom}, VK_RIGHT, 1}
                 : Half{{client.left, middleY, client.right, client.bottom}, VK_DOWN, -1},
  };
  for (const Half& half : halves) {
    RECT face = half.rect;
    const bool in = held == half.button;
    DrawEdge(dc, &face, in ? EDGE_SUNKEN : EDGE_RAISED, BF_RECT | BF_MIDDLE | BF_ADJUST);
    if (in) OffsetRect(&face, 1, 1);
    paint.Arrow(face, half.arrow, paint.Enabled() ? COLOR_BTNTEXT : COLOR_GRAYTEXT);
  }
}

}  // namespace plat::win32
