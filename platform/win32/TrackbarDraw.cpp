// How a trackbar paints, on the background its parent answers as for a static: a sunken channel
// along the range, a tick at each place its behaviour lays out (below or right of the channel; above
// or left under TBS_TOP, both sides under TBS_BOTH, none under TBS_NOTICKS), the raised thumb at the
// position, pointed towards ticks on one side, and a focus rectangle round it all while it has the
// focus. A disabled one shows grey
// ticks and a pale thumb.
#include <algorithm>

#include "platform/win32/ControlDraw.h"
#include "platform/win32/include/commctrl.h"

namespace plat::win32 {
namespace {

constexpr LONG kTickLength = 3;
constexpr LONG kTickGap = 2;       // between thumb and ticks
constexpr LONG kEdgeGap = 2;       // between the client's edge and thumb or ticks
constexpr LONG kThumbLength = 20;  // the thumb's size across the channel, at most
constexpr LONG kChannelThickness = 4;

// A rectangle given along the channel and across it.
RECT Box(bool vertical, LONG alongFrom, LONG alongTo, LONG acrossFrom, LONG acrossTo) {
  return vertical ? RECT{acrossFrom, alongFrom, acrossTo, alongTo} : RECT{alongFrom, acrossFrom, alongTo, acrossTo};
}

// The thumb: raised, and pointed towards its ticks when they lie on one side only. The point's rows
// narrow by a pixel each side, lit on the start side and dark on the end side as the edges are.
void DrawThumb(const ControlPaint& paint, bool vertical, const TrackbarLook& look, LONG from, LONG to, bool ticksBefore,
               bool ticksAfter) {
  HDC dc = paint.Dc();
  const int face = paint.Enabled() ? COLOR_3DFACE : COLOR_3DHILIGHT;
  const LONG start = look.thumb - look.thumbHalf, end = look.thumb + look.thumbHalf + 1;
  const LONG point = ticksBefore != ticksAfter ? std::min<LONG>(look.thumbHalf + 1, (to - from) / 2) : 0;
  const LONG bodyFrom = ticksBefore && point > 0 ? from + point : from;
  const LONG bodyTo = ticksAfter && point > 0 ? to - point : to;
  RECT body = Box(vertical, start, end, bodyFrom, bodyTo);
  UINT sides = BF_RECT;
  if (point > 0) sides &= ticksAfter ? (vertical ? ~BF_RIGHT : ~BF_BOTTOM) : (vertical ? ~BF_LEFT : ~BF_TOP);
  DrawEdge(dc, &body, EDGE_RAISED, sides | BF_ADJUST);
  FillRect(dc, &body, GetSysColorBrush(face));
  for (LONG i = 0; i < point; ++i) {
    const LONG across = ticksAfter ? bodyTo + i : bodyFrom - 1 - i;
    const LONG left = start + i, right = end - i;  // along the channel, `right` outside
    auto fill = [&](LONG spanFrom, LONG spanTo, int colour) {
      if (spanTo <= spanFrom) return;
      RECT r = Box(vertical, spanFrom, spanTo, across, across + 1);
      FillRect(dc, &r, GetSysColorBrush(colour));
    };
    if (right - left < 3) {
      fill(left, right, COLOR_3DDKSHADOW);  // the tip
      continue;
    }
    fill(left, left + 1, COLOR_BTNHIGHLIGHT);
    fill(left + 1, right - 2, face);
    fill(right - 2, right - 1, COLOR_BTNSHADOW);
    fill(right - 1, right, COLOR_3DDKSHADOW);
  }
}

}  // namespace

void DrawTrackbar(const ControlPaint& paint, const TrackbarLook& look) {
  HDC dc = paint.Dc();
  if (dc == nullptr) return;
  const auto style = static_cast<DWORD>(GetWindowLongA(paint.Window(), GWL_STYLE));
  const bool vertical = (style & TBS_VERT) != 0;
  const RECT& client = paint.Client();
  FillRect(dc, &client, paint.AskColours(WM_CTLCOLORSTATIC));

  const bool ticksBefore = !(style & TBS_NOTICKS) && (style & (TBS_TOP | TBS_BOTH));
  const bool ticksAfter = !(style & TBS_NOTICKS) && (!(style & TBS_TOP) || (style & TBS_BOTH));
  const LONG tickRoom = kTickLength + kTickGap;
  const LONG across = vertical ? client.right : client.bottom;
  LONG thumbFrom = kEdgeGap + (ticksBefore ? tickRoom : 0);
  LONG thumbTo = across - kEdgeGap - (ticksAfter ? tickRoom : 0);
  if (thumbTo - thumbFrom > kThumbLength) {
    const LONG spare = thumbTo - thumbFrom - kThumbLength;
    thumbFrom += spare / 2;
    thumbTo = thumbFrom + kThumbLength;
  }
  const LONG middle = (thumbFrom + thumbTo) / 2;

  RECT channel = Box(vertical, look.channelStart - look.thumbHalf, look.channelEnd + look.thumbHalf + 1,
                     middle - kChannelThickness / 2, middle + kChannelThickness / 2);
  DrawEdge(dc, &channel, EDGE_SUNKEN, BF_RECT);

  HBRUSH tickBrush = GetSysColorBrush(paint.Enabled() ? COLOR_BTNTEXT : COLOR_GRAYTEXT);
  for (int at : look.ticks) {
    if (ticksBefore) {
      RECT tick = Box(vertical, at, at + 1, thumbFrom - kTickGap - kTickLength, thumbFrom - kTickGap);
      FillRect(dc, &tick, tickBrush);
    }
    if (ticksAfter) {
      RECT tick = Box(vertical, at, at + 1, thumbTo + kTickGap, thumbTo + kTickGap + kTickLength);
      FillRect(dc, &tick, tickBrush);
    }
  }

  if (!(style & TBS_NOTHUMB)) DrawThumb(paint, vertical, look, thumbFrom, thumbTo, ticksBefore, ticksAfter);
  if (GetFocus() == paint.Window()) DrawFocusRect(dc, &client);
}

}  // namespace plat::win32
