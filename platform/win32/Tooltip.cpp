// The tooltip control: its tools and their texts, kept and shown in the window's text for the
// window dump as "<tool id>: <text>" lines; it never pops up a window of its own here.
#include <algorithm>
#include <string>
#include <vector>

#include "platform/win32/Controls.h"

namespace plat::win32 {
namespace {

constexpr UINT kMouseLast = 0x020E;  // the last mouse message, WM_MOUSEHWHEEL

struct Tool {
  HWND hwnd;
  UINT_PTR id;
  UINT flags;
  RECT rect;
  std::string text;
  bool callback;  // the text is asked for with TTN_GETDISPINFO when shown
};

struct TooltipState {
  std::vector<Tool> tools;
  bool active = true;
  UINT relayed = 0;  // mouse messages relayed to it
};

bool Acceptable(const TTTOOLINFOA* ti) {
  return ti != nullptr && (ti->cbSize == TTTOOLINFOA_V1_SIZE || ti->cbSize == TTTOOLINFOA_V2_SIZE ||
                           ti->cbSize == TTTOOLINFOA_V3_SIZE);
}

std::vector<Tool>::iterator Find(TooltipState* s, const TTTOOLINFOA* ti) {
  return std::find_if(s->tools.begin(), s->tools.end(),
                      [&](const Tool& t) { return t.hwnd == ti->hwnd && t.id == ti->uId; });
}

// A text given by a string resource's id comes from the tool's module.
std::string TextFrom(const TTTOOLINFOA* ti, bool* callback) {
  *callback = ti->lpszText == LPSTR_TEXTCALLBACKA;
  if (*callback || ti->lpszText == nullptr) return {};
  if (IS_INTRESOURCE(ti->lpszText)) {
    char buffer[512];
    int n = LoadStringA(ti->hinst, static_cast<UINT>(reinterpret_cast<UINT_PTR>(ti->lpszText)), buffer,
                        sizeof buffer);
    return std::string(buffer, static_cast<size_t>(std::max(0, n)));
  }
  return ti->lpszText;
}

void Show(HWND hwnd, const TooltipState* s) {
  std::string all;
  for (const Tool& t : s->tools) {
    if (!all.empty()) all += '\n';
    all += std::to_string(t.id) + ": " + (t.callback ? std::string("<callback>") : t.text);
  }
  DefWindowProcA(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(all.c_str()));
}

}  // namespace

LRESULT CALLBACK TooltipProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* s = StateOf<TooltipState>(hwnd);
  if (s == nullptr) return Attach<TooltipState>(hwnd, message, wParam, lParam);
  switch (message) {
    case TTM_ADDTOOLA: {
      auto* ti = reinterpret_cast<const TTTOOLINFOA*>(lParam);
      if (!Acceptable(ti) || Find(s, ti) != s->tools.end()) return FALSE;
      Tool tool{ti->hwnd, ti->uId, ti->uFlags, ti->rect, {}, false};
      tool.text = TextFrom(ti, &tool.callback);
      s->tools.push_back(std::move(tool));
      Show(hwnd, s);
      return TRUE;
    }
    case TTM_DELTOOLA: {
      auto* ti = reinterpret_cast<const TTTOOLINFOA*>(lParam);
      if (!Acceptable(ti)) return 0;
      auto it = Find(s, ti);
      if (it != s->tools.end()) s->tools.erase(it);
      Show(hwnd, s);
      return 0;
    }
    case TTM_UPDATETIPTEXTA: {
      auto* ti = reinterpret_cast<const TTTOOLINFOA*>(lParam);
      if (!Acceptable(ti)) return 0;
      auto it = Find(s, ti);
      if (it == s->tools.end()) return 0;
      it->text = TextFrom(ti, &it->callback);
      Show(hwnd, s);
      return 0;
    }
    case TTM_GETTEXTA: {
      auto* ti = reinterpret_cast<TTTOOLINFOA*>(lParam);
      if (!Acceptable(ti) || ti->lpszText == nullptr) return 0;
      auto it = Find(s, ti);
      std::string text = it == s->tools.end() ? std::string() : it->text;
      size_t room = wParam != 0 ? wParam : 80;
      text.resize(std::min(text.size(), room - 1));
      std::copy(text.begin(), text.end(), ti->lpszText);
      ti->lpszText[text.size()] = 0;
      return static_cast<LRESULT>(text.size());
    }
    case TTM_GETTOOLCOUNT: return static_cast<LRESULT>(s->tools.size());
    case TTM_NEWTOOLRECTA: {
      auto* ti = reinterpret_cast<const TTTOOLINFOA*>(lParam);
      if (!Acceptable(ti)) return 0;
      auto it = Find(s, ti);
      if (it != s->tools.end()) it->rect = ti->rect;
      return 0;
    }
    case TTM_RELAYEVENT: {
      auto* msg = reinterpret_cast<const MSG*>(lParam);
      if (msg != nullptr && msg->message >= WM_MOUSEFIRST && msg->message <= kMouseLast) ++s->relayed;
      return 0;
    }
    case TTM_ACTIVATE: s->active = wParam != 0; return 0;
    case TTM_SETMAXTIPWIDTH:
    case TTM_SETDELAYTIME:
    case TTM_POP:
    case TTM_UPDATE: return 0;
    case WM_NCHITTEST: return HTTRANSPARENT;
    // It never pops up, so it draws nothing, not even its background.
    case WM_ERASEBKGND: return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      BeginPaint(hwnd, &ps);
      EndPaint(hwnd, &ps);
      return 0;
    }
    default: return Attach<TooltipState>(hwnd, message, wParam, lParam);
  }
}

}  // namespace plat::win32
