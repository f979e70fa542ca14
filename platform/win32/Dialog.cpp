// The dialog manager: dialogs made from a template of an image's resources or from one in memory,
// in dialog units of fixed base units; modeless, modal (the owner disabled, a loop of its own that
// keeps the thread's timers firing) and nested child dialogs; the dialog class's default handling;
// and the keyboard interface IsDialogMessageA gives a dialog and the dialogs nested in it.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32/Controls.h"
#include "platform/win32/DialogManager.h"
#include "platform/win32/WindowManager.h"
#include "platform/win32/include/winres.h"

namespace w = plat::win32;

namespace plat::win32 {
namespace {

// The base units of the dialog font every template is laid out in, and of the system font.
constexpr LONG kBaseX = 6;
constexpr LONG kBaseY = 13;
constexpr LONG kSystemBaseX = 8;
constexpr LONG kSystemBaseY = 16;

struct ItemSpec {
  std::string className;
  WORD id = 0;
  std::string text;
  WORD resource = 0;  // a picture's resource id, in place of text
  DWORD style = 0;
  DWORD exStyle = 0;
  short x = 0, y = 0, cx = 0, cy = 0;
};

struct DialogSpec {
  DWORD style = 0;
  DWORD exStyle = 0;
  short x = 0, y = 0, cx = 0, cy = 0;
  std::string caption;
  std::vector<ItemSpec> items;
  std::vector<std::pair<WORD, std::vector<std::string>>> combos;
  WORD pointSize = 0;  // the font under DS_SETFONT
  std::string face;
};

// What the dialog manager keeps of a dialog, behind the dialog's window words.
struct DialogState {
  DialogState() = default;
  DialogState(const DialogState&) = delete;
  DialogState& operator=(const DialogState&) = delete;
  // The font the dialog made from its template goes with it.
  ~DialogState() {
    if (ownFont != nullptr) DeleteObject(ownFont);
  }

  WORD defId = 0;
  bool ended = false;
  INT_PTR result = 0;
  HWND savedFocus = nullptr;
  HFONT font = nullptr;     // what WM_GETFONT answers
  HFONT ownFont = nullptr;  // made from the template
};

DialogState* DialogOf(HWND hwnd) {
  Window* win = Desktop::Get().Find(hwnd);
  if (win == nullptr || win->cls->proc != &DialogClassProc) return nullptr;
  return static_cast<DialogState*>(win->state.get());
}

bool IsDialog(HWND hwnd) { return DialogOf(hwnd) != nullptr; }

DWORD StyleOf(HWND hwnd) { return static_cast<DWORD>(GetWindowLongA(hwnd, GWL_STYLE)); }
DWORD ExStyleOf(HWND hwnd) { return static_cast<DWORD>(GetWindowLongA(hwnd, GWL_EXSTYLE)); }

bool Usable(HWND hwnd) { return IsWindowVisible(hwnd) && IsWindowEnabled(hwnd); }

// The dialog whose keyboard interface a control belongs to: up through the dialogs nested in one
// another (WS_EX_CONTROLPARENT children) to the outermost.
HWND TopDialogOf(HWND hwnd) {
  HWND top = hwnd;
  for (HWND h = hwnd; h != nullptr && (StyleOf(h) & WS_CHILD); h = GetParent(h)) {
    HWND parent = GetParent(h);
    if (parent == nullptr) break;
    top = parent;
    if (!(ExStyleOf(parent) & WS_EX_CONTROLPARENT) || !(StyleOf(parent) & WS_CHILD)) break;
  }
  return top;
}

// The controls of a dialog in tab order, the controls of nested dialogs in their place.
void Flatten(HWND parent, std::vector<HWND>* out) {
  for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    if ((ExStyleOf(child) & WS_EX_CONTROLPARENT) && (StyleOf(child) & WS_CHILD)) {
      if (Usable(child)) Flatten(child, out);
    } else {
      out->push_back(child);
    }
  }
}

short ReadWord(const BYTE*& p) {
  short v;
  std::memcpy(&v, p, sizeof v);
  p += sizeof v;
  return v;
}

// A string or ordinal of a template in memory: 0 none, 0xFFFF and an ordinal, or UTF-16 text.
std::string ReadText(const BYTE*& p, WORD* ordinal) {
  auto first = static_cast<WORD>(ReadWord(p));
  if (ordinal != nullptr) *ordinal = 0;
  if (first == 0) return {};
  if (first == 0xFFFF) {
    auto ord = static_cast<WORD>(ReadWord(p));
    if (ordinal != nullptr) *ordinal = ord;
    return {};
  }
  std::string text;
  for (WORD c = first; c != 0; c = static_cast<WORD>(ReadWord(p))) text += c < 0x100 ? static_cast<char>(c) : '?';
  return text;
}

const char* PredefinedClass(WORD atom) {
  switch (atom) {
    case 0x80: return "Button";
    case 0x81: return "Edit";
    case 0x82: return "Static";
    case 0x83: return "ListBox";
    case 0x84: return "ScrollBar";
    case 0x85: return "ComboBox";
    default: return "";
  }
}

DialogSpec FromMemory(const DLGTEMPLATE* t) {
  DialogSpec spec{t->style, t->dwExtendedStyle, t->x, t->y, t->cx, t->cy, {}, {}, {}, 0, {}};
  const BYTE* p = reinterpret_cast<const BYTE*>(t) + sizeof(DLGTEMPLATE);
  ReadText(p, nullptr);  // menu
  ReadText(p, nullptr);  // class
  spec.caption = ReadText(p, nullptr);
  if (t->style & DS_SETFONT) {
    spec.pointSize = static_cast<WORD>(ReadWord(p));
    spec.face = ReadText(p, nullptr);
  }
  for (WORD i = 0; i < t->cdit; ++i) {
    auto align = reinterpret_cast<uintptr_t>(p) % 4;
    if (align != 0) p += 4 - align;
    DLGITEMTEMPLATE item;
    std::memcpy(&item, p, sizeof item);
    p += sizeof item;
    ItemSpec is;
    is.id = item.id;
    is.style = item.style;
    is.exStyle = item.dwExtendedStyle;
    is.x = item.x, is.y = item.y, is.cx = item.cx, is.cy = item.cy;
    WORD atom = 0;
    is.className = ReadText(p, &atom);
    if (atom != 0) is.className = PredefinedClass(atom);
    is.text = ReadText(p, &is.resource);
    auto extra = static_cast<WORD>(ReadWord(p));
    p += extra;
    spec.items.push_back(std::move(is));
  }
  return spec;
}

DialogSpec FromResource(const DIALOG_RESOURCE* r) {
  DialogSpec spec{
      r->style, r->exStyle, r->x, r->y, r->cx, r->cy, r->caption != nullptr ? r->caption : "", {}, {}, 0, {}};
  for (const DIALOG_ITEM_RESOURCE& item : r->items) {
    ItemSpec is;
    is.className = item.className;
    is.id = item.id;
    if (item.text.text != nullptr) is.text = item.text.text;
    is.resource = item.text.resource;
    is.style = item.style;
    is.exStyle = item.exStyle;
    is.x = item.x, is.y = item.y, is.cx = item.cx, is.cy = item.cy;
    spec.items.push_back(std::move(is));
  }
  if ((r->style & DS_SETFONT) && r->typeface != nullptr) {
    spec.pointSize = r->pointSize;
    spec.face = r->typeface;
  }
  for (const DIALOG_COMBO_LIST& combo : r->combos)
    spec.combos.emplace_back(combo.id, std::vector<std::string>(combo.strings.begin(), combo.strings.end()));
  return spec;
}

// Dialog units to pixels, rounded as MulDiv rounds.
LONG Scale(LONG v, LONG base, LONG units) {
  LONG n = v * base;
  return (n >= 0 ? n + units / 2 : n - units / 2) / units;
}

RECT ToPixels(short x, short y, short cx, short cy) {
  RECT r{x, y, x + cx, y + cy};
  r.left = Scale(r.left, kBaseX, 4);
  r.right = Scale(r.right, kBaseX, 4);
  r.top = Scale(r.top, kBaseY, 8);
  r.bottom = Scale(r.bottom, kBaseY, 8);
  return r;
}

// The template's font, its size in points at 96 pixels an inch; null without DS_SETFONT.
HFONT CreateTemplateFont(const DialogSpec& spec) {
  if (!(spec.style & DS_SETFONT) || spec.face.empty()) return nullptr;
  LOGFONTA description{};
  description.lfHeight = -Scale(spec.pointSize, 96, 72);
  description.lfWeight = FW_NORMAL;
  spec.face.copy(description.lfFaceName, sizeof description.lfFaceName - 1);
  return CreateFontIndirectA(&description);
}

INT_PTR CallDialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto proc = reinterpret_cast<DLGPROC>(GetWindowLongPtrA(hwnd, DWLP_DLGPROC));
  return proc != nullptr ? proc(hwnd, message, wParam, lParam) : FALSE;
}

// Focus to a control the keyboard brought there: an edit's text is selected whole.
void FocusControl(HWND control) {
  SetFocus(control);
  if (SendMessageA(control, WM_GETDLGCODE, 0, 0) & DLGC_HASSETSEL) SendMessageA(control, EM_SETSEL, 0, -1);
}

HWND Create(HINSTANCE instance, const DialogSpec& spec, HWND parent, DLGPROC proc, LPARAM param) {
  DWORD style = spec.style, exStyle = spec.exStyle;
  if (style & DS_MODALFRAME) exStyle |= WS_EX_DLGMODALFRAME;
  if (style & DS_CONTROL) {
    style &= ~(WS_CAPTION | WS_SYSMENU);
    exStyle |= WS_EX_CONTROLPARENT;
  }
  RECT r = ToPixels(spec.x, spec.y, spec.cx, spec.cy);
  bool child = (style & WS_CHILD) != 0;
  if (!child) {
    // The template gives the client area; the frame goes around it, placed from the owner's client.
    RECT frame = FrameOf(style, exStyle);
    r.left -= frame.left, r.top -= frame.top, r.right += frame.right, r.bottom += frame.bottom;
    POINT origin{0, 0};
    if (parent != nullptr && !(style & DS_ABSALIGN)) ClientToScreen(parent, &origin);
    OffsetRect(&r, origin.x, origin.y);
    if (style & DS_CENTER)
      OffsetRect(&r, (Desktop::kWidth - (r.right - r.left)) / 2 - r.left,
                 (Desktop::kHeight - (r.bottom - r.top)) / 2 - r.top);
  }
  HWND dlg = CreateWindowExA(exStyle, "#32770", spec.caption.c_str(), style & ~WS_VISIBLE, r.left, r.top,
                             r.right - r.left, r.bottom - r.top, parent, nullptr, instance, nullptr);
  if (dlg == nullptr) return nullptr;
  SetWindowLongPtrA(dlg, DWLP_DLGPROC, reinterpret_cast<LONG_PTR>(proc));
  DialogState* state = DialogOf(dlg);
  HFONT font = CreateTemplateFont(spec);
  if (font != nullptr) {
    state->ownFont = font;
    SendMessageA(dlg, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  }
  for (const ItemSpec& item : spec.items) {
    RECT ir = ToPixels(item.x, item.y, item.cx, item.cy);
    LPCSTR text = item.resource != 0 ? MAKEINTRESOURCEA(item.resource) : item.text.c_str();
    HWND control = CreateWindowExA(item.exStyle | WS_EX_NOPARENTNOTIFY, item.className.c_str(), text,
                                   item.style | WS_CHILD, ir.left, ir.top, ir.right - ir.left, ir.bottom - ir.top,
                                   dlg, reinterpret_cast<HMENU>(static_cast<INT_PTR>(item.id)), instance, nullptr);
    if (control != nullptr && font != nullptr)
      SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    if (control == nullptr && !(spec.style & DS_NOFAILCREATE)) {
      DestroyWindow(dlg);
      return nullptr;
    }
    if (control != nullptr && state->defId == 0 &&
        (SendMessageA(control, WM_GETDLGCODE, 0, 0) & DLGC_DEFPUSHBUTTON))
      state->defId = item.id;
  }
  // The template's combo lists are in place before the dialog procedure sees WM_INITDIALOG.
  for (const auto& [id, strings] : spec.combos) {
    HWND combo = GetDlgItem(dlg, id);
    for (const std::string& s : strings) SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(s.c_str()));
  }
  HWND first = GetNextDlgTabItem(dlg, nullptr, FALSE);
  if (SendMessageA(dlg, WM_INITDIALOG, reinterpret_cast<WPARAM>(first), param) != 0 && IsWindow(dlg)) {
    first = GetNextDlgTabItem(dlg, nullptr, FALSE);
    if (first != nullptr && !child) FocusControl(first);
    if (first != nullptr && child) state->savedFocus = first;
  }
  if (!IsWindow(dlg)) return nullptr;
  if (style & WS_VISIBLE) ShowWindow(dlg, SW_SHOWNORMAL);
  return dlg;
}

const DIALOG_RESOURCE* FindTemplate(HINSTANCE instance, LPCSTR name) {
  HRSRC found = FindResourceA(instance, name, RT_DIALOG);
  if (found == nullptr) return nullptr;
  return static_cast<const DIALOG_RESOURCE*>(LockResource(LoadResource(instance, found)));
}

INT_PTR RunModal(HWND dlg, HWND owner) {
  if (dlg == nullptr) return -1;
  bool disabled = owner != nullptr && IsWindowEnabled(owner);
  if (disabled) EnableWindow(owner, FALSE);
  if (!IsWindowVisible(dlg)) ShowWindow(dlg, SW_SHOWNORMAL);
  MSG msg;
  INT_PTR result = 0;
  bool quit = false;
  for (DialogState* s = DialogOf(dlg); s != nullptr && !s->ended; s = DialogOf(dlg)) {
    if (!GetMessageA(&msg, nullptr, 0, 0)) {
      quit = true;
      break;
    }
    if (!IsDialogMessageA(dlg, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
  if (DialogState* s = DialogOf(dlg)) result = s->result;
  if (disabled && IsWindow(owner)) EnableWindow(owner, TRUE);
  if (IsWindow(dlg)) DestroyWindow(dlg);
  // WM_QUIT ends the dialog and goes on to the thread's own loop.
  if (quit) PostQuitMessage(static_cast<int>(msg.wParam));
  return result;
}

HWND OwnerFor(HWND parent) { return parent != nullptr ? GetAncestor(parent, GA_ROOT) : nullptr; }

void SetDefault(HWND dlg, DialogState* s, WORD id) {
  if (s->defId != 0 && s->defId != id) {
    HWND old = GetDlgItem(dlg, s->defId);
    if (old != nullptr && (SendMessageA(old, WM_GETDLGCODE, 0, 0) & DLGC_DEFPUSHBUTTON))
      SendMessageA(old, BM_SETSTYLE, BS_PUSHBUTTON, TRUE);
  }
  s->defId = id;
  HWND now = GetDlgItem(dlg, id);
  if (now != nullptr && (SendMessageA(now, WM_GETDLGCODE, 0, 0) & DLGC_UNDEFPUSHBUTTON))
    SendMessageA(now, BM_SETSTYLE, BS_DEFPUSHBUTTON, TRUE);
}

void Command(HWND dlg, int id) {
  HWND button = GetDlgItem(dlg, id);
  if (button != nullptr && !IsWindowEnabled(button)) return;
  SendMessageA(dlg, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(id), BN_CLICKED), reinterpret_cast<LPARAM>(button));
}

bool ReturnsDirectly(UINT message) {
  return message == WM_INITDIALOG || message == WM_QUERYDRAGICON || message == WM_COMPAREITEM || (message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC);
}

}  // namespace

bool Load(const TemplateRef& ref, DialogSpec* spec) {
  if (ref.indirect != nullptr) {
    *spec = FromMemory(ref.indirect);
    return true;
  }
  const DIALOG_RESOURCE* t = FindTemplate(ref.instance, ref.name);
  if (t == nullptr) return false;
  *spec = FromResource(t);
  return true;
}

HWND CreateChildDialog(const TemplateRef& ref, HWND parent, DLGPROC proc, LPARAM param) {
  DialogSpec spec;
  if (!Load(ref, &spec)) return nullptr;
  spec.style = (spec.style & ~(WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_VISIBLE | DS_MODALFRAME)) |
               WS_CHILD | DS_CONTROL;
  spec.exStyle |= WS_EX_CONTROLPARENT;
  spec.x = spec.y = 0;
  return Create(ref.instance, spec, parent, proc, param);
}

bool TemplateInfo(const TemplateRef& ref, SIZE* pixels, std::string* caption) {
  DialogSpec spec;
  if (!Load(ref, &spec)) return false;
  RECT r = ToPixels(0, 0, spec.cx, spec.cy);
  *pixels = SIZE{r.right, r.bottom};
  *caption = spec.caption;
  return true;
}

LRESULT CALLBACK DialogClassProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) SetStateRecord(hwnd, std::make_shared<DialogState>());
  LRESULT r = DefDlgProcA(hwnd, message, wParam, lParam);
  if (message == WM_NCDESTROY) SetStateRecord(hwnd, nullptr);
  return r;
}

}  // namespace plat::win32

LRESULT DefDlgProcA(HWND hDlg, UINT Msg, WPARAM wParam, LPARAM lParam) {
  SetWindowLongPtrA(hDlg, DWLP_MSGRESULT, 0);
  INT_PTR handled = w::CallDialogProc(hDlg, Msg, wParam, lParam);
  if (!IsWindow(hDlg)) return handled;
  // A colour query the dialog procedure leaves unanswered gets the default colours.
  if (w::ReturnsDirectly(Msg) && (handled != 0 || Msg < WM_CTLCOLORMSGBOX || Msg > WM_CTLCOLORSTATIC)) return handled;
  if (handled) return GetWindowLongPtrA(hDlg, DWLP_MSGRESULT);
  w::DialogState* s = w::DialogOf(hDlg);
  if (s == nullptr) return DefWindowProcA(hDlg, Msg, wParam, lParam);
  switch (Msg) {
    case WM_CLOSE:
      w::Command(hDlg, IDCANCEL);
      return 0;
    case DM_GETDEFID: return s->defId != 0 ? MAKELONG(s->defId, DC_HASDEFID) : 0;
    case DM_SETDEFID: w::SetDefault(hDlg, s, static_cast<WORD>(wParam)); return TRUE;
    case WM_NEXTDLGCTL: {
      HWND to = LOWORD(lParam) ? reinterpret_cast<HWND>(wParam)
                               : GetNextDlgTabItem(hDlg, GetFocus(), wParam != 0 ? TRUE : FALSE);
      if (to != nullptr) w::FocusControl(to);
      return 0;
    }
    case WM_ACTIVATE:
      if (LOWORD(wParam) == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (focus != nullptr && IsChild(hDlg, focus)) s->savedFocus = focus;
      } else if (!(GetWindowLongA(hDlg, GWL_STYLE) & WS_MINIMIZE)) {
        SendMessageA(hDlg, WM_SETFOCUS, 0, 0);
      }
      return 0;
    case WM_SETFOCUS: {
      HWND to = s->savedFocus != nullptr && IsWindow(s->savedFocus) && IsChild(hDlg, s->savedFocus)
                    ? s->savedFocus
                    : GetNextDlgTabItem(hDlg, nullptr, FALSE);
      if (to != nullptr) w::FocusControl(to);
      return 0;
    }
    case WM_GETDLGCODE: return 0;
    case WM_SETFONT: s->font = reinterpret_cast<HFONT>(wParam); return 0;
    case WM_GETFONT: return reinterpret_cast<LRESULT>(s->font);
    case WM_ERASEBKGND: {
      // The dialog's own answer to WM_CTLCOLORDLG, else the face colour.
      auto dc = reinterpret_cast<HDC>(wParam);
      auto brush = reinterpret_cast<HBRUSH>(SendMessageA(hDlg, WM_CTLCOLORDLG, wParam, reinterpret_cast<LPARAM>(hDlg)));
      if (brush == nullptr) brush = GetSysColorBrush(COLOR_3DFACE);
      RECT client{};
      GetClientRect(hDlg, &client);
      FillRect(dc, &client, brush);
      return 1;
    }
    default: return DefWindowProcA(hDlg, Msg, wParam, lParam);
  }
}

HWND CreateDialogIndirectParamA(HINSTANCE hInstance, LPCDLGTEMPLATEA lpTemplate, HWND hWndParent, DLGPROC lpDialogFunc,
                                LPARAM dwInitParam) {
  if (lpTemplate == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return w::Create(hInstance, w::FromMemory(lpTemplate), hWndParent, lpDialogFunc, dwInitParam);
}

HWND CreateDialogParamA(HINSTANCE hInstance, LPCSTR lpTemplateName, HWND hWndParent, DLGPROC lpDialogFunc,
                        LPARAM dwInitParam) {
  const DIALOG_RESOURCE* t = w::FindTemplate(hInstance, lpTemplateName);
  if (t == nullptr) return nullptr;
  return w::Create(hInstance, w::FromResource(t), hWndParent, lpDialogFunc, dwInitParam);
}

INT_PTR DialogBoxIndirectParamA(HINSTANCE hInstance, LPCDLGTEMPLATEA hDialogTemplate, HWND hWndParent,
                                DLGPROC lpDialogFunc, LPARAM dwInitParam) {
  if (hDialogTemplate == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  HWND owner = w::OwnerFor(hWndParent);
  w::DialogSpec spec = w::FromMemory(hDialogTemplate);
  spec.style &= ~WS_CHILD;
  return w::RunModal(w::Create(hInstance, spec, owner, lpDialogFunc, dwInitParam), owner);
}

INT_PTR DialogBoxParamA(HINSTANCE hInstance, LPCSTR lpTemplateName, HWND hWndParent, DLGPROC lpDialogFunc,
                        LPARAM dwInitParam) {
  const DIALOG_RESOURCE* t = w::FindTemplate(hInstance, lpTemplateName);
  if (t == nullptr) return -1;
  HWND owner = w::OwnerFor(hWndParent);
  w::DialogSpec spec = w::FromResource(t);
  spec.style &= ~WS_CHILD;
  return w::RunModal(w::Create(hInstance, spec, owner, lpDialogFunc, dwInitParam), owner);
}

BOOL EndDialog(HWND hDlg, INT_PTR nResult) {
  w::DialogState* s = w::DialogOf(hDlg);
  if (s == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  s->ended = true;
  s->result = nResult;
  // The owner is back before the dialog goes, so the activation returns to it.
  HWND owner = GetWindow(hDlg, GW_OWNER);
  if (owner != nullptr) EnableWindow(owner, TRUE);
  ShowWindow(hDlg, SW_HIDE);
  return TRUE;
}

BOOL IsDialogMessageA(HWND hDlg, LPMSG lpMsg) {
  if (lpMsg == nullptr || hDlg == nullptr || lpMsg->hwnd == nullptr) return FALSE;
  if (lpMsg->hwnd != hDlg && !IsChild(hDlg, lpMsg->hwnd)) return FALSE;
  if (lpMsg->message != WM_KEYDOWN && lpMsg->message != WM_CHAR) {
    DispatchMessageA(lpMsg);
    return TRUE;
  }
  HWND focus = lpMsg->hwnd;
  LRESULT code = SendMessageA(focus, WM_GETDLGCODE, lpMsg->wParam, reinterpret_cast<LPARAM>(lpMsg));
  if (code & DLGC_WANTMESSAGE) {
    // The control takes the key as it comes, and its character after it.
    TranslateMessage(lpMsg);
    DispatchMessageA(lpMsg);
    return TRUE;
  }
  HWND top = w::TopDialogOf(focus);
  if (lpMsg->message == WM_KEYDOWN) {
    switch (lpMsg->wParam) {
      case VK_TAB:
        if (code & DLGC_WANTTAB) break;
        SendMessageA(top, WM_NEXTDLGCTL, GetKeyState(VK_SHIFT) < 0 ? 1 : 0, 0);
        return TRUE;
      case VK_LEFT:
      case VK_UP:
      case VK_RIGHT:
      case VK_DOWN: {
        if (code & DLGC_WANTARROWS) break;
        bool back = lpMsg->wParam == VK_LEFT || lpMsg->wParam == VK_UP;
        HWND next = GetNextDlgGroupItem(GetParent(focus), focus, back ? TRUE : FALSE);
        if (next == nullptr || next == focus) return TRUE;
        SetFocus(next);
        LRESULT nextCode = SendMessageA(next, WM_GETDLGCODE, 0, 0);
        if ((nextCode & DLGC_RADIOBUTTON) &&
            (static_cast<DWORD>(GetWindowLongA(next, GWL_STYLE)) & BS_TYPEMASK) == BS_AUTORADIOBUTTON)
          SendMessageA(next, BM_CLICK, 0, 0);
        return TRUE;
      }
      case VK_RETURN: {
        // A focused push button is the one Enter presses; otherwise the dialog's default.
        int id = IDOK;
        if (code & (DLGC_DEFPUSHBUTTON | DLGC_UNDEFPUSHBUTTON)) {
          id = GetDlgCtrlID(focus);
          w::Command(GetParent(focus), id);
          return TRUE;
        }
        LRESULT def = SendMessageA(top, DM_GETDEFID, 0, 0);
        if (HIWORD(def) == DC_HASDEFID) id = LOWORD(def);
        w::Command(top, id);
        return TRUE;
      }
      case VK_ESCAPE:
        // Esc is IDCANCEL whatever the state of a Cancel button, as in Windows.
        SendMessageA(top, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(top, IDCANCEL)));
        return TRUE;
      default: break;
    }
  } else if (lpMsg->wParam == '\t' || lpMsg->wParam == '\r' || lpMsg->wParam == 0x1B) {
    if (!(code & DLGC_WANTCHARS)) return TRUE;
  }
  TranslateMessage(lpMsg);
  DispatchMessageA(lpMsg);
  return TRUE;
}

LONG GetDialogBaseUnits() { return MAKELONG(w::kSystemBaseX, w::kSystemBaseY); }

BOOL MapDialogRect(HWND hDlg, LPRECT lpRect) {
  if (!w::IsDialog(hDlg) || lpRect == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  lpRect->left = w::Scale(lpRect->left, w::kBaseX, 4);
  lpRect->right = w::Scale(lpRect->right, w::kBaseX, 4);
  lpRect->top = w::Scale(lpRect->top, w::kBaseY, 8);
  lpRect->bottom = w::Scale(lpRect->bottom, w::kBaseY, 8);
  return TRUE;
}

HWND GetNextDlgTabItem(HWND hDlg, HWND hCtl, BOOL bPrevious) {
  // From a control, the tab order runs through every dialog nested in its outermost one.
  std::vector<HWND> all;
  w::Flatten(hCtl != nullptr ? w::TopDialogOf(hCtl) : hDlg, &all);
  std::vector<HWND> stops;
  for (HWND h : all)
    if ((w::StyleOf(h) & WS_TABSTOP) && w::Usable(h)) stops.push_back(h);
  if (stops.empty()) return hCtl;
  auto it = std::find(stops.begin(), stops.end(), hCtl);
  if (it == stops.end()) return bPrevious ? stops.back() : stops.front();
  auto i = static_cast<size_t>(it - stops.begin());
  return bPrevious ? stops[(i + stops.size() - 1) % stops.size()] : stops[(i + 1) % stops.size()];
}

HWND GetNextDlgGroupItem(HWND hDlg, HWND hCtl, BOOL bPrevious) {
  if (hCtl == nullptr) return GetNextDlgTabItem(hDlg, nullptr, bPrevious);
  HWND parent = GetParent(hCtl);
  std::vector<HWND> siblings;
  for (HWND c = GetWindow(parent, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) siblings.push_back(c);
  auto at = std::find(siblings.begin(), siblings.end(), hCtl);
  if (at == siblings.end()) return nullptr;
  // The group runs from the control with WS_GROUP at or before this one to the next one with it.
  auto first = at;
  while (first != siblings.begin() && !(w::StyleOf(*first) & WS_GROUP)) --first;
  auto last = at + 1;
  while (last != siblings.end() && !(w::StyleOf(*last) & WS_GROUP)) ++last;
  std::vector<HWND> group(first, last);
  size_t i = static_cast<size_t>(at - first), n = group.size();
  for (size_t k = 1; k < n; ++k) {
    HWND h = group[bPrevious ? (i + n - k) % n : (i + k) % n];
    if (w::Usable(h)) return h;
  }
  return hCtl;
}

UINT GetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPSTR lpString, int cchMax) {
  HWND item = GetDlgItem(hDlg, nIDDlgItem);
  if (item == nullptr) {
    if (lpString != nullptr && cchMax > 0) lpString[0] = 0;
    return 0;
  }
  return static_cast<UINT>(GetWindowTextA(item, lpString, cchMax));
}

BOOL SetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPCSTR lpString) {
  HWND item = GetDlgItem(hDlg, nIDDlgItem);
  return item != nullptr ? SetWindowTextA(item, lpString) : FALSE;
}

UINT GetDlgItemInt(HWND hDlg, int nIDDlgItem, BOOL* lpTranslated, BOOL bSigned) {
  if (lpTranslated != nullptr) *lpTranslated = FALSE;
  char text[64];
  if (GetDlgItemTextA(hDlg, nIDDlgItem, text, sizeof text) == 0) return 0;
  const char* p = text;
  while (*p == ' ') ++p;
  char* end = nullptr;
  long long v = std::strtoll(p, &end, 10);
  if (end == p) return 0;
  while (*end == ' ') ++end;
  if (*end != 0) return 0;
  if (bSigned ? (v < INT32_MIN || v > INT32_MAX) : (v < 0 || v > UINT32_MAX)) return 0;
  if (lpTranslated != nullptr) *lpTranslated = TRUE;
  return static_cast<UINT>(v);
}

BOOL SetDlgItemInt(HWND hDlg, int nIDDlgItem, UINT uValue, BOOL bSigned) {
  char text[16];
  if (bSigned)
    std::snprintf(text, sizeof text, "%d", static_cast<int>(uValue));
  else
    std::snprintf(text, sizeof text, "%u", uValue);
  return SetDlgItemTextA(hDlg, nIDDlgItem, text);
}

LRESULT SendDlgItemMessageA(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam) {
  HWND item = GetDlgItem(hDlg, nIDDlgItem);
  return item != nullptr ? SendMessageA(item, Msg, wParam, lParam) : 0;
}

BOOL AdjustWindowRectEx(LPRECT lpRect, DWORD dwStyle, BOOL, DWORD dwExStyle) {
  if (lpRect == nullptr) return FALSE;
  RECT f = w::FrameOf(dwStyle, dwExStyle);
  lpRect->left -= f.left, lpRect->top -= f.top, lpRect->right += f.right, lpRect->bottom += f.bottom;
  return TRUE;
}
