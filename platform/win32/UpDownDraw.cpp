// How an up-down control paints: two raised buttons, each with its arrow, one above the other (side
// by side under UDS_HORZ), the arrows grey while the control is disabled.
#include "platform/win32/ControlDraw.h"
#include "platform/win32/include/commctrl.h"

namespace plat::win32 {

void DrawUpDown(const ControlPaint& paint) {
  HDC dc = paint.Dc();
  if (dc == nullptr) return;
  const bool horizontal = (GetWindowLongA(paint.Window(), GWL_STYLE) & UDS_HORZ) != 0;
  const RECT& client = paint.Client();
  const LONG middleX = (client.left + client.right) / 2, middleY = (client.top + client.bottom) / 2;
  struct Half {
    RECT rect;
    WPARAM arrow;
  };
  const Half halves[] = {
      horizontal ? Half{{client.left, client.top, middleX, client.bottom}, VK_LEFT}
                 : Half{{client.left, client.top, client.right, middleY}, VK_UP},
      horizontal ? Half{{middleX, client.top, client.right, client.bottom}, VK_RIGHT}
                 : Half{{client.left, middleY, client.right, client.bottom}, VK_DOWN},
  };
  for (const Half& half : halves) {
    RECT face = half.rect;
    DrawEdge(dc, &face, EDGE_RAISED, BF_RECT | BF_MIDDLE | BF_ADJUST);
    paint.Arrow(face, half.arrow, paint.Enabled() ? COLOR_BTNTEXT : COLOR_GRAYTEXT);
  }
}

}  // namespace plat::win32
