// How a trackbar paints, on the background its parent answers as for a static: a sunken channel
// along the range, a tick at each place its behaviour lays out (below or right of the channel; above
// or left under TBS_TOP, both sides under TBS_BOTH, none under TBS_NOTICKS), the raised thumb at the
// position and a focus rectangle round it all while it has the focus. A disabled one shows grey
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

  if (!(style & TBS_NOTHUMB)) {
    RECT thumb = Box(vertical, look.thumb - look.thumbHalf, look.thumb + look.thumbHalf + 1, thumbFrom, thumbTo);
    DrawEdge(dc, &thumb, EDGE_RAISED, BF_RECT | BF_MIDDLE | BF_ADJUST);
    if (!paint.Enabled()) FillRect(dc, &thumb, GetSysColorBrush(COLOR_3DHILIGHT));
  }
  if (GetFocus() == paint.Window()) DrawFocusRect(dc, &client);
}

}  // namespace plat::win32
