// The edit class, single-line: typing, the selection, the text limit, read-only, paste from the
// machine's clipboard, and EN_CHANGE, EN_SETFOCUS, EN_KILLFOCUS and EN_MAXTEXT to the parent. A
// multi-line edit behaves the same here but asks the dialog manager for every key.
#include <algorithm>
#include <cstring>
#include <string>

#include "platform/win32/ControlDraw.h"
#include "platform/win32/Controls.h"

namespace plat::win32 {
namespace {

constexpr size_t kDefaultLimit = 30000;
constexpr size_t kLargestLimit = 0x7FFFFFFE;

struct EditState {
  size_t anchor = 0;  // where the selection started
  size_t caret = 0;   // where it ends, and the caret is
  size_t limit = kDefaultLimit;
  bool modified = false;
  HFONT font = nullptr;
};

DWORD StyleOf(HWND hwnd) { return static_cast<DWORD>(GetWindowLongA(hwnd, GWL_STYLE)); }

size_t SelStart(const EditState* s) { return std::min(s->anchor, s->caret); }
size_t SelEnd(const EditState* s) { return std::max(s->anchor, s->caret); }

// Keeps the window's text, as WM_GETTEXT reads it, the edit's contents.
void Store(HWND hwnd, const std::string& text) {
  DefWindowProcA(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
  InvalidateRect(hwnd, nullptr, TRUE);
}

// Puts `insert` in place of the selection, cut to what the limit leaves room for; false when
// nothing changed.
bool Replace(HWND hwnd, EditState* s, std::string insert) {
  std::string text = TextOf(hwnd);
  size_t start = std::min(SelStart(s), text.size()), end = std::min(SelEnd(s), text.size());
  size_t room = s->limit - std::min(s->limit, text.size() - (end - start));
  bool cut = insert.size() > room;
  if (cut) insert.resize(room);
  if (insert.empty() && start == end) {
    if (cut) NotifyParent(hwnd, EN_MAXTEXT);
    return false;
  }
  text.replace(start, end - start, insert);
  s->anchor = s->caret = start + insert.size();
  s->modified = true;
  Store(hwnd, text);
  if (cut) NotifyParent(hwnd, EN_MAXTEXT);
  return true;
}

void Edited(HWND hwnd) {
  NotifyParent(hwnd, EN_UPDATE);
  NotifyParent(hwnd, EN_CHANGE);
}

void Paste(HWND hwnd, EditState* s) {
  if (StyleOf(hwnd) & ES_READONLY) return;
  // The clipboard as a program reads it; open elsewhere, there is nothing to paste.
  if (!IsClipboardFormatAvailable(CF_TEXT) || !OpenClipboard(hwnd)) return;
  std::string text;
  HANDLE block = GetClipboardData(CF_TEXT);
  if (auto* chars = static_cast<const char*>(GlobalLock(block))) {
    text.assign(chars, strnlen(chars, GlobalSize(block)));
    GlobalUnlock(block);
  }
  CloseClipboard();
  // A single-line edit takes the clipboard's first line.
  if (!(StyleOf(hwnd) & ES_MULTILINE)) text = text.substr(0, text.find_first_of("\r\n"));
  if (Replace(hwnd, s, text)) Edited(hwnd);
}

void MoveCaret(EditState* s, size_t to, bool extend) {
  s->caret = to;
  if (!extend) s->anchor = to;
}

}  // namespace

LRESULT CALLBACK EditProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* s = StateOf<EditState>(hwnd);
  if (s == nullptr) return Attach<EditState>(hwnd, message, wParam, lParam);
  switch (message) {
    case WM_GETDLGCODE: {
      LRESULT code = DLGC_WANTCHARS | DLGC_HASSETSEL | DLGC_WANTARROWS;
      if (StyleOf(hwnd) & ES_MULTILINE) code |= DLGC_WANTALLKEYS;
      return code;
    }
    case WM_SETTEXT: {
      std::string text = lParam != 0 ? reinterpret_cast<LPCSTR>(lParam) : "";
      Store(hwnd, text);
      s->anchor = s->caret = 0;
      s->modified = false;
      Edited(hwnd);
      return TRUE;
    }
    case WM_CHAR: {
      auto c = static_cast<unsigned char>(wParam);
      if (c == 0x16) {  // Ctrl+V
        Paste(hwnd, s);
        return 0;
      }
      if (StyleOf(hwnd) & ES_READONLY) return 0;
      if (c == VK_BACK) {
        if (SelStart(s) == SelEnd(s) && s->caret > 0) s->anchor = s->caret - 1;
        if (Replace(hwnd, s, {})) Edited(hwnd);
        return 0;
      }
      if (c < 0x20) return 0;
      if (Replace(hwnd, s, std::string(1, static_cast<char>(c)))) Edited(hwnd);
      return 0;
    }
    case WM_KEYDOWN: {
      bool shift = GetKeyState(VK_SHIFT) < 0;
      size_t length = static_cast<size_t>(GetWindowTextLengthA(hwnd));
      switch (wParam) {
        case VK_LEFT: MoveCaret(s, s->caret > 0 ? s->caret - 1 : 0, shift); break;
        case VK_RIGHT: MoveCaret(s, std::min(length, s->caret + 1), shift); break;
        case VK_HOME: MoveCaret(s, 0, shift); break;
        case VK_END: MoveCaret(s, length, shift); break;
        case VK_INSERT:
          if (shift) SendMessageA(hwnd, WM_PASTE, 0, 0);
          break;
        case VK_DELETE:
          if (StyleOf(hwnd) & ES_READONLY) break;
          if (SelStart(s) == SelEnd(s)) s->caret = std::min(length, s->caret + 1);
          if (Replace(hwnd, s, {})) Edited(hwnd);
          break;
        default: break;
      }
      return 0;
    }
    case WM_PASTE: Paste(hwnd, s); return 0;
    case WM_CLEAR:
      if (!(StyleOf(hwnd) & ES_READONLY) && Replace(hwnd, s, {})) Edited(hwnd);
      return 0;
    case EM_GETSEL: {
      auto start = static_cast<DWORD>(SelStart(s)), end = static_cast<DWORD>(SelEnd(s));
      if (wParam != 0) *reinterpret_cast<DWORD*>(wParam) = start;
      if (lParam != 0) *reinterpret_cast<DWORD*>(lParam) = end;
      return MAKELONG(std::min<DWORD>(start, 0xFFFF), std::min<DWORD>(end, 0xFFFF));
    }
    case EM_SETSEL: {
      // A start of -1 takes the selection away; an end of -1 is the end of the text.
      size_t length = static_cast<size_t>(GetWindowTextLengthA(hwnd));
      auto start = static_cast<INT_PTR>(wParam), end = static_cast<INT_PTR>(lParam);
      if (start == -1) {
        s->anchor = s->caret;
      } else {
        s->anchor = std::min(length, static_cast<size_t>(start < 0 ? 0 : start));
        s->caret = end < 0 ? length : std::min(length, static_cast<size_t>(end));
      }
      InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    }
    case EM_REPLACESEL: {
      std::string insert = lParam != 0 ? reinterpret_cast<LPCSTR>(lParam) : "";
      if (Replace(hwnd, s, insert)) Edited(hwnd);
      return 0;
    }
    case EM_LIMITTEXT:
      s->limit = wParam == 0 ? kLargestLimit : static_cast<size_t>(wParam);
      return 0;
    case EM_GETLIMITTEXT: return static_cast<LRESULT>(s->limit);
    case EM_SCROLLCARET: return TRUE;
    case EM_GETMODIFY: return s->modified ? TRUE : FALSE;
    case EM_SETMODIFY: s->modified = wParam != 0; return 0;
    case EM_SETREADONLY: {
      LONG style = GetWindowLongA(hwnd, GWL_STYLE);
      SetWindowLongA(hwnd, GWL_STYLE, wParam ? style | static_cast<LONG>(ES_READONLY)
                                             : style & ~static_cast<LONG>(ES_READONLY));
      return TRUE;
    }
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
      SetFocus(hwnd);
      return 0;
    case WM_SETFOCUS:
      InvalidateRect(hwnd, nullptr, FALSE);
      NotifyParent(hwnd, EN_SETFOCUS);
      return 0;
    case WM_KILLFOCUS:
      InvalidateRect(hwnd, nullptr, FALSE);
      NotifyParent(hwnd, EN_KILLFOCUS);
      return 0;
    case WM_SETFONT:
    case WM_GETFONT:
    case WM_ENABLE: return ControlLook(hwnd, message, wParam, lParam, &s->font);
    case WM_PAINT:
    case WM_PRINTCLIENT: {
      ControlPaint paint(hwnd, message, wParam);
      DrawEdit(paint, EditLook{SelStart(s), SelEnd(s)});
      return 0;
    }
    default: return Attach<EditState>(hwnd, message, wParam, lParam);
  }
}

}  // namespace plat::win32
