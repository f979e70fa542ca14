// How edits paint: the text, line by line, on the background its parent answers (as a static's
// when read-only or disabled), aligned by ES_CENTER and ES_RIGHT, the selection highlighted while
// the edit has the focus (always under ES_NOHIDESEL), a password as asterisks.
#include <algorithm>
#include <string>

#include "platform/win32/ControlDraw.h"
#include "platform/win32/Controls.h"

namespace plat::win32 {
namespace {

constexpr LONG kMargin = 1;  // around the text, inside the client area

LONG Width(HDC dc, const std::string& text, size_t from, size_t to) {
  SIZE size{};
  GetTextExtentPoint32A(dc, text.c_str() + from, static_cast<int>(to - from), &size);
  return size.cx;
}

}  // namespace

void DrawEdit(const ControlPaint& paint, const EditLook& look) {
  HDC dc = paint.Dc();
  if (dc == nullptr) return;
  const auto style = static_cast<DWORD>(GetWindowLongA(paint.Window(), GWL_STYLE));
  const bool staticLook = (style & ES_READONLY) || !paint.Enabled();
  const RECT& client = paint.Client();
  FillRect(dc, &client, paint.AskColours(staticLook ? WM_CTLCOLORSTATIC : WM_CTLCOLOREDIT));
  if (!paint.Enabled()) SetTextColor(dc, GetSysColor(COLOR_GRAYTEXT));
  std::string text = TextOf(paint.Window());
  if (style & ES_PASSWORD) text.assign(text.size(), '*');
  const bool showSelection = look.selStart < look.selEnd && (GetFocus() == paint.Window() || (style & ES_NOHIDESEL));
  TEXTMETRICA metrics{};
  GetTextMetricsA(dc, &metrics);
  const RECT area{client.left + kMargin, client.top + kMargin, client.right - kMargin, client.bottom - kMargin};
  LONG y = area.top;
  for (size_t start = 0; start <= text.size() && y < area.bottom; y += metrics.tmHeight) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const size_t shown = end > start && text[end - 1] == '\r' ? end - 1 : end;
    const LONG width = Width(dc, text, start, shown);
    LONG x = area.left;
    if (style & ES_RIGHT)
      x = area.right - width;
    else if (style & ES_CENTER)
      x = area.left + (area.right - area.left - width) / 2;
    // Before the selection, the selection, after it: each a run of its own.
    const size_t selFrom = showSelection ? std::clamp(look.selStart, start, shown) : shown;
    const size_t selTo = showSelection ? std::clamp(look.selEnd, start, shown) : shown;
    const size_t cuts[] = {start, selFrom, selTo, shown};
    for (size_t run = 0; run < 3; ++run) {
      const size_t from = cuts[run], to = cuts[run + 1];
      if (from == to) continue;
      const LONG left = x + Width(dc, text, start, from), right = x + Width(dc, text, start, to);
      RECT cell{std::max(left, area.left), y, std::min(right, area.right), std::min(y + metrics.tmHeight, area.bottom)};
      if (run == 1) {
        const int saved = SaveDC(dc);
        SetBkColor(dc, GetSysColor(COLOR_HIGHLIGHT));
        SetTextColor(dc, GetSysColor(COLOR_HIGHLIGHTTEXT));
        ExtTextOutA(dc, left, y, ETO_OPAQUE | ETO_CLIPPED, &cell, text.c_str() + from, static_cast<UINT>(to - from),
                    nullptr);
        RestoreDC(dc, saved);
      } else {
        ExtTextOutA(dc, left, y, ETO_CLIPPED, &cell, text.c_str() + from, static_cast<UINT>(to - from), nullptr);
      }
    }
    if (end == text.size()) break;
    start = end + 1;
  }
}

}  // namespace plat::win32
