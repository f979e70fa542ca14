// Windows and their classes: creation and destruction, window words, text, geometry, showing and
// z-order, enumeration, and DefWindowProcA.
#include <algorithm>
#include <cstring>
#include <string>

#include "platform/win32/Desktop.h"
#include "platform/win32/Hooks.h"
#include "platform/win32/KernelBridge.h"
#include "platform/win32/MessageQueue.h"
#include "platform/win32/WindowManager.h"
#include "platform/win32/include/windowsx.h"

namespace w = plat::win32;

namespace plat::win32 {
namespace {

constexpr int kCaption = 19;
constexpr int kBorder = 1;
constexpr int kDialogFrame = 3;
constexpr int kSizeFrame = 4;
constexpr int kEdge = 2;
constexpr int kMinimizedWidth = 160;
constexpr int kMinimizedHeight = 24;
constexpr LONG kIconicPosition = -32000;

RECT Relative(const Window& window) {
  RECT r = window.rect;
  if (window.parent != nullptr) {
    const Window* p = Desktop::Get().Find(window.parent);
    OffsetRect(&r, -p->client.left, -p->client.top);
  }
  return r;
}

// Classes are found by name; an atom in place of a name finds none.
std::shared_ptr<WindowClass> ClassByAtomOrName(LPCSTR name, uint32_t processId) {
  if (name == nullptr || IS_INTRESOURCE(name)) return nullptr;
  return Desktop::Get().FindClass(name, processId);
}

void SendDestroy(HWND hwnd) {
  Desktop& d = Desktop::Get();
  Window* w = d.Find(hwnd);
  if (w == nullptr) return;
  w->destroying = true;
  CallWindow(hwnd, WM_DESTROY, 0, 0);
  w = d.Find(hwnd);
  if (w == nullptr) return;
  std::vector<HWND> children = w->children;
  for (HWND child : children) SendDestroy(child);
}

void SendNcDestroy(HWND hwnd) {
  Desktop& d = Desktop::Get();
  Window* w = d.Find(hwnd);
  if (w == nullptr) return;
  std::vector<HWND> children = w->children;
  for (HWND child : children) SendNcDestroy(child);
  if (d.Find(hwnd) == nullptr) return;
  CallWindow(hwnd, WM_NCDESTROY, 0, 0);
  if (MessageQueue* q = d.FindQueue(d.Find(hwnd) ? d.Find(hwnd)->threadId : 0)) q->DropTimersOf(hwnd);
  d.Remove(hwnd);
}

LONG_PTR ReadExtra(Window& w, int index, size_t size, bool* ok) {
  *ok = index >= 0 && static_cast<size_t>(index) + size <= w.extra.size();
  if (!*ok) {
    SetError(ERROR_INVALID_INDEX);
    return 0;
  }
  if (size == sizeof(LONG)) {
    LONG v;
    std::memcpy(&v, w.extra.data() + index, sizeof v);
    return v;
  }
  LONG_PTR v;
  std::memcpy(&v, w.extra.data() + index, sizeof v);
  return v;
}

LONG_PTR SetWord(HWND hwnd, int index, LONG_PTR value, size_t size) {
  Desktop& d = Desktop::Get();
  Window* w = d.Checked(hwnd);
  if (w == nullptr) return 0;
  if (w->processId != CurrentProcessId()) {
    SetError(ERROR_ACCESS_DENIED);
    return 0;
  }
  LONG_PTR old = 0;
  switch (index) {
    case GWLP_WNDPROC:
      old = reinterpret_cast<LONG_PTR>(w->proc);
      w->proc = reinterpret_cast<WNDPROC>(value);
      break;
    case GWLP_HINSTANCE:
      old = reinterpret_cast<LONG_PTR>(w->instance);
      w->instance = reinterpret_cast<HINSTANCE>(value);
      break;
    case GWLP_ID:
      old = w->id;
      w->id = value;
      break;
    case GWL_STYLE:
      old = static_cast<LONG>(w->style);
      w->style = static_cast<DWORD>(value);
      break;
    case GWL_EXSTYLE:
      old = static_cast<LONG>(w->exStyle);
      w->exStyle = static_cast<DWORD>(value);
      break;
    case GWLP_USERDATA:
      old = w->userData;
      w->userData = value;
      break;
    case GWLP_HWNDPARENT:
      old = reinterpret_cast<LONG_PTR>(w->owner);
      w->owner = reinterpret_cast<HWND>(value);
      break;
    default: {
      bool ok = false;
      old = ReadExtra(*w, index, size, &ok);
      if (!ok) return 0;
      if (size == sizeof(LONG)) {
        auto v = static_cast<LONG>(value);
        std::memcpy(w->extra.data() + index, &v, sizeof v);
      } else {
        std::memcpy(w->extra.data() + index, &value, sizeof value);
      }
    }
  }
  SetError(ERROR_SUCCESS);
  return old;
}

LONG_PTR GetWord(HWND hwnd, int index, size_t size) {
  Window* w = Desktop::Get().Checked(hwnd);
  if (w == nullptr) return 0;
  switch (index) {
    case GWLP_WNDPROC: return reinterpret_cast<LONG_PTR>(w->proc);
    case GWLP_HINSTANCE: return reinterpret_cast<LONG_PTR>(w->instance);
    case GWLP_ID: return w->id;
    case GWL_STYLE: return static_cast<LONG>(w->style);
    case GWL_EXSTYLE: return static_cast<LONG>(w->exStyle);
    case GWLP_USERDATA: return w->userData;
    case GWLP_HWNDPARENT: return reinterpret_cast<LONG_PTR>(w->parent != nullptr ? w->parent : w->owner);
    default: {
      bool ok = false;
      return ReadExtra(*w, index, size, &ok);
    }
  }
}

// Minimising keeps where the window was, to restore it there.
UINT Minimize(Window& w, RECT* to) {
  w.normal = Relative(w);
  w.style |= WS_MINIMIZE;
  *to = RECT{kIconicPosition, kIconicPosition, kIconicPosition + kMinimizedWidth, kIconicPosition + kMinimizedHeight};
  return SWP_FRAMECHANGED;
}

UINT Restore(Window& w, RECT* to) {
  w.style &= ~WS_MINIMIZE;
  *to = w.normal;
  return SWP_FRAMECHANGED;
}

}  // namespace

RECT FrameOf(DWORD style, DWORD exStyle) {
  int frame = 0;
  if (style & WS_THICKFRAME)
    frame = kSizeFrame;
  else if ((style & WS_DLGFRAME) || (exStyle & WS_EX_DLGMODALFRAME))
    frame = kDialogFrame;
  else if (style & WS_BORDER)
    frame = kBorder;
  int edge = (exStyle & WS_EX_CLIENTEDGE) ? kEdge : (exStyle & WS_EX_STATICEDGE) ? kBorder : 0;
  int caption = (style & WS_CAPTION) == WS_CAPTION ? kCaption : 0;
  return RECT{frame + edge, frame + edge + caption, frame + edge, frame + edge};
}

void PlaceWindow(Window& window, const RECT& rect) {
  Desktop& d = Desktop::Get();
  LONG dx = rect.left - window.rect.left, dy = rect.top - window.rect.top;
  window.rect = rect;
  RECT f = FrameOf(window.style, window.exStyle);
  window.client = RECT{rect.left + f.left, rect.top + f.top, std::max(rect.left + f.left, rect.right - f.right),
                       std::max(rect.top + f.top, rect.bottom - f.bottom)};
  if (dx == 0 && dy == 0) return;
  for (HWND child : window.children) {
    Window* c = d.Find(child);
    RECT r = c->rect;
    OffsetRect(&r, dx, dy);
    PlaceWindow(*c, r);
  }
}

bool Visible(HWND hwnd) {
  Desktop& d = Desktop::Get();
  for (Window* w = d.Find(hwnd); w != nullptr; w = w->parent ? d.Find(w->parent) : nullptr)
    if (!(w->style & WS_VISIBLE)) return false;
  return d.Find(hwnd) != nullptr;
}

bool Enabled(HWND hwnd) {
  Window* w = Desktop::Get().Find(hwnd);
  return w != nullptr && !(w->style & WS_DISABLED);
}

HWND TopLevelOf(HWND hwnd) {
  Desktop& d = Desktop::Get();
  Window* w = d.Find(hwnd);
  while (w != nullptr && w->parent != nullptr) w = d.Find(w->parent);
  return w != nullptr ? w->handle : nullptr;
}

bool IsAncestor(HWND ancestor, HWND hwnd) {
  Desktop& d = Desktop::Get();
  for (Window* w = d.Find(hwnd); w != nullptr; w = w->parent ? d.Find(w->parent) : nullptr)
    if (w->handle == ancestor) return true;
  return false;
}

void InvalidateTree(HWND hwnd, bool erase) {
  Desktop& d = Desktop::Get();
  Window* w = d.Find(hwnd);
  if (w == nullptr) return;
  w->update = RECT{0, 0, w->client.right - w->client.left, w->client.bottom - w->client.top};
  w->erase = w->erase || erase;
  w->frame = true;
  for (HWND child : w->children)
    if (Window* c = d.Find(child); c != nullptr && (c->style & WS_VISIBLE)) InvalidateTree(child, erase);
  if (MessageQueue* q = d.FindQueue(w->threadId)) q->Wake();
}

bool NeedsPaint(const Window& window) {
  return !IsRectEmpty(&window.update) && Visible(window.handle) && !(window.style & WS_MINIMIZE);
}

}  // namespace plat::win32

using w::Desktop;
using w::Window;
using w::WindowClass;

namespace {

ATOM Register(const WNDCLASSEXA& wc) {
  if (wc.lpszClassName == nullptr || IS_INTRESOURCE(wc.lpszClassName) || wc.lpfnWndProc == nullptr ||
      wc.cbWndExtra < 0 || wc.cbClsExtra < 0) {
    w::SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto cls = std::make_shared<WindowClass>();
  cls->name = wc.lpszClassName;
  cls->style = wc.style;
  cls->proc = wc.lpfnWndProc;
  cls->classExtra = wc.cbClsExtra;
  cls->windowExtra = wc.cbWndExtra;
  cls->instance = wc.hInstance;
  cls->icon = wc.hIcon;
  cls->smallIcon = wc.hIconSm;
  cls->cursor = wc.hCursor;
  cls->background = wc.hbrBackground;
  cls->processId = w::CurrentProcessId();
  ATOM atom = 0;
  std::shared_ptr<WindowClass> held = cls;
  if (!Desktop::Get().AddClass(std::move(cls))) {
    w::SetError(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  atom = held->atom;
  return atom;
}

}  // namespace

ATOM RegisterClassExA(const WNDCLASSEXA* lpWndClass) {
  if (lpWndClass == nullptr || lpWndClass->cbSize != sizeof(WNDCLASSEXA)) {
    w::SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return Register(*lpWndClass);
}

ATOM RegisterClassA(const WNDCLASSA* lpWndClass) {
  if (lpWndClass == nullptr) {
    w::SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  WNDCLASSEXA ex{sizeof ex,
                 lpWndClass->style,
                 lpWndClass->lpfnWndProc,
                 lpWndClass->cbClsExtra,
                 lpWndClass->cbWndExtra,
                 lpWndClass->hInstance,
                 lpWndClass->hIcon,
                 lpWndClass->hCursor,
                 lpWndClass->hbrBackground,
                 lpWndClass->lpszMenuName,
                 lpWndClass->lpszClassName,
                 nullptr};
  return Register(ex);
}

BOOL UnregisterClassA(LPCSTR lpClassName, HINSTANCE) {
  if (lpClassName == nullptr || IS_INTRESOURCE(lpClassName) ||
      !Desktop::Get().RemoveClass(lpClassName, w::CurrentProcessId())) {
    w::SetError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
  }
  return TRUE;
}

BOOL GetClassInfoA(HINSTANCE, LPCSTR lpClassName, WNDCLASSA* lpWndClass) {
  auto cls = w::ClassByAtomOrName(lpClassName, w::CurrentProcessId());
  if (cls == nullptr || lpWndClass == nullptr) {
    w::SetError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
  }
  *lpWndClass = WNDCLASSA{cls->style,    cls->proc,   cls->classExtra, cls->windowExtra, cls->instance,
                          cls->icon,     cls->cursor, cls->background, nullptr,          lpClassName};
  return TRUE;
}

int GetClassNameA(HWND hWnd, LPSTR lpClassName, int nMaxCount) {
  Window* win = Desktop::Get().Checked(hWnd);
  if (win == nullptr || lpClassName == nullptr || nMaxCount <= 0) return 0;
  int n = std::min<int>(static_cast<int>(win->cls->name.size()), nMaxCount - 1);
  std::memcpy(lpClassName, win->cls->name.data(), n);
  lpClassName[n] = 0;
  return n;
}

ULONG_PTR GetClassLongPtrA(HWND hWnd, int nIndex) {
  Window* win = Desktop::Get().Checked(hWnd);
  if (win == nullptr) return 0;
  switch (nIndex) {
    case GCLP_HCURSOR: return reinterpret_cast<ULONG_PTR>(win->cls->cursor);
    case GCLP_HBRBACKGROUND: return reinterpret_cast<ULONG_PTR>(win->cls->background);
    case GCLP_HICON: return reinterpret_cast<ULONG_PTR>(win->cls->icon);
    default: w::SetError(ERROR_INVALID_INDEX); return 0;
  }
}

HWND CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName, DWORD dwStyle, int X, int Y, int nWidth,
                     int nHeight, HWND hWndParent, HMENU hMenu, HINSTANCE hInstance, LPVOID lpParam) {
  Desktop& d = Desktop::Get();
  uint32_t process = w::CurrentProcessId();
  auto cls = w::ClassByAtomOrName(lpClassName, process);
  if (cls == nullptr) {
    w::SetError(ERROR_CANNOT_FIND_WND_CLASS);
    return nullptr;
  }
  HWND parent = nullptr, owner = nullptr;
  if (dwStyle & WS_CHILD) {
    if (hWndParent == nullptr || d.Find(hWndParent) == nullptr) {
      w::SetError(hWndParent == nullptr ? ERROR_TLW_WITH_WSCHILD : ERROR_INVALID_WINDOW_HANDLE);
      return nullptr;
    }
    parent = hWndParent;
  } else if (hWndParent != nullptr) {
    if (d.Find(hWndParent) == nullptr) {
      w::SetError(ERROR_INVALID_WINDOW_HANDLE);
      return nullptr;
    }
    owner = w::TopLevelOf(hWndParent);
  }
  auto win = std::make_shared<Window>();
  win->cls = cls;
  win->parent = parent;
  win->owner = owner;
  // A picture control from a template is named by a resource ordinal, which is no text.
  win->text = lpWindowName != nullptr && !IS_INTRESOURCE(lpWindowName) ? lpWindowName : "";
  win->style = dwStyle & ~WS_VISIBLE;
  // An overlapped window always has a caption, and top-level windows clip their siblings.
  if (!(dwStyle & (WS_CHILD | WS_POPUP))) win->style |= WS_CAPTION | WS_CLIPSIBLINGS;
  if (!(dwStyle & WS_CHILD)) win->style |= WS_CLIPSIBLINGS;
  win->exStyle = dwExStyle;
  win->proc = cls->proc;
  win->extra.assign(static_cast<size_t>(cls->windowExtra), 0);
  win->id = parent != nullptr ? reinterpret_cast<LONG_PTR>(hMenu) : 0;
  win->instance = hInstance;
  win->threadId = w::CurrentThreadId();
  win->processId = process;
  d.QueueOf(win->threadId, process);  // the creating thread takes the window's messages
  if (parent == nullptr) {
    if (X == CW_USEDEFAULT) X = Y = 60;
    if (nWidth == CW_USEDEFAULT) {
      nWidth = Desktop::kWidth * 3 / 4;
      nHeight = Desktop::kHeight * 3 / 4;
    }
  } else {
    if (X == CW_USEDEFAULT) X = Y = 0;
    if (nWidth == CW_USEDEFAULT) nWidth = nHeight = 0;
  }
  Window* made = d.Add(win);
  HWND hwnd = made->handle;
  RECT rect{X, Y, X + nWidth, Y + nHeight};
  if (parent != nullptr) {
    Window* p = d.Find(parent);
    OffsetRect(&rect, p->client.left, p->client.top);
    p->children.push_back(hwnd);  // new children go to the bottom: creation order is tab order
  } else {
    d.TopLevel().insert(d.TopLevel().begin(), hwnd);
  }
  w::PlaceWindow(*made, rect);
  made->normal = RECT{X, Y, X + nWidth, Y + nHeight};

  CREATESTRUCTA cs{lpParam, hInstance, hMenu, hWndParent, nHeight, nWidth, Y, X, static_cast<LONG>(dwStyle),
                   lpWindowName, lpClassName, dwExStyle};
  auto failed = [&] {
    if (d.Find(hwnd) != nullptr) DestroyWindow(hwnd);
    return static_cast<HWND>(nullptr);
  };
  CBT_CREATEWNDA cbt{&cs, HWND_TOP};
  if (w::CallCbtHooks(HCBT_CREATEWND, reinterpret_cast<WPARAM>(hwnd), reinterpret_cast<LPARAM>(&cbt)) != 0)
    return failed();
  if (d.Find(hwnd) == nullptr) return nullptr;
  if (w::CallWindow(hwnd, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&cs)) == 0) return failed();
  if (d.Find(hwnd) == nullptr) return nullptr;
  if (w::CallWindow(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) return failed();
  Window* now = d.Find(hwnd);
  if (now == nullptr) return nullptr;
  RECT client{};
  GetClientRect(hwnd, &client);
  w::CallWindow(hwnd, WM_SIZE, SIZE_RESTORED, MAKELPARAM(client.right, client.bottom));
  now = d.Find(hwnd);
  if (now == nullptr) return nullptr;
  RECT rel = w::Relative(*now);
  RECT frame = w::FrameOf(now->style, now->exStyle);
  w::CallWindow(hwnd, WM_MOVE, 0, MAKELPARAM(rel.left + frame.left, rel.top + frame.top));
  if (parent != nullptr && !(dwExStyle & WS_EX_NOPARENTNOTIFY) && d.Find(parent) != nullptr)
    w::CallWindow(parent, WM_PARENTNOTIFY, MAKEWPARAM(WM_CREATE, static_cast<WORD>(win->id)),
                  reinterpret_cast<LPARAM>(hwnd));
  if (d.Find(hwnd) == nullptr) return nullptr;
  if (dwStyle & WS_VISIBLE) ShowWindow(hwnd, (dwStyle & WS_MINIMIZE) ? SW_SHOWMINIMIZED : SW_SHOW);
  return d.Find(hwnd) != nullptr ? hwnd : nullptr;
}

BOOL DestroyWindow(HWND hWnd) {
  Desktop& d = Desktop::Get();
  Window* win = d.Checked(hWnd);
  if (win == nullptr) return FALSE;
  if (win->threadId != w::CurrentThreadId()) {
    w::SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (win->destroying) return TRUE;
  auto hold = d.Hold(hWnd);
  // Owned windows go first.
  std::vector<HWND> owned;
  for (HWND top : d.TopLevel())
    if (Window* o = d.Find(top); o != nullptr && o->owner == hWnd) owned.push_back(top);
  for (HWND o : owned)
    if (Window* ow = d.Find(o); ow != nullptr && ow->threadId == w::CurrentThreadId()) DestroyWindow(o);
  if ((win = d.Find(hWnd)) == nullptr) return TRUE;
  if (win->style & WS_VISIBLE)
    SetWindowPos(hWnd, nullptr, 0, 0, 0, 0,
                 SWP_HIDEWINDOW | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  w::LeaveWindow(hWnd, false);
  if (d.foreground == hWnd) d.foreground = nullptr;
  if ((win = d.Find(hWnd)) != nullptr && win->parent != nullptr && !(win->exStyle & WS_EX_NOPARENTNOTIFY))
    w::CallWindow(win->parent, WM_PARENTNOTIFY, MAKEWPARAM(WM_DESTROY, static_cast<WORD>(win->id)),
                  reinterpret_cast<LPARAM>(hWnd));
  w::SendDestroy(hWnd);
  w::SendNcDestroy(hWnd);
  return TRUE;
}

BOOL IsWindow(HWND hWnd) { return Desktop::Get().Find(hWnd) != nullptr ? TRUE : FALSE; }

BOOL IsChild(HWND hWndParent, HWND hWnd) {
  Window* win = Desktop::Get().Find(hWnd);
  return win != nullptr && win->parent != nullptr && hWnd != hWndParent && w::IsAncestor(hWndParent, hWnd) ? TRUE
                                                                                                          : FALSE;
}

LONG_PTR GetWindowLongPtrA(HWND hWnd, int nIndex) { return w::GetWord(hWnd, nIndex, sizeof(LONG_PTR)); }
LONG_PTR SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong) {
  return w::SetWord(hWnd, nIndex, dwNewLong, sizeof(LONG_PTR));
}
LONG GetWindowLongA(HWND hWnd, int nIndex) { return static_cast<LONG>(w::GetWord(hWnd, nIndex, sizeof(LONG))); }
LONG SetWindowLongA(HWND hWnd, int nIndex, LONG dwNewLong) {
  return static_cast<LONG>(w::SetWord(hWnd, nIndex, dwNewLong, sizeof(LONG)));
}

HWND GetParent(HWND hWnd) {
  Window* win = Desktop::Get().Checked(hWnd);
  if (win == nullptr) return nullptr;
  if (win->style & WS_CHILD) return win->parent;
  return (win->style & WS_POPUP) ? win->owner : nullptr;
}

HWND SetParent(HWND hWndChild, HWND hWndNewParent) {
  Desktop& d = Desktop::Get();
  Window* win = d.Checked(hWndChild);
  if (win == nullptr || (hWndNewParent != nullptr && d.Checked(hWndNewParent) == nullptr)) return nullptr;
  HWND old = win->parent != nullptr ? win->parent : d.Root();
  RECT rel = w::Relative(*win);
  auto& from = d.SiblingsOf(*win);
  from.erase(std::remove(from.begin(), from.end(), hWndChild), from.end());
  win->parent = hWndNewParent;
  d.SiblingsOf(*win).insert(d.SiblingsOf(*win).begin(), hWndChild);
  if (hWndNewParent != nullptr) {
    Window* p = d.Find(hWndNewParent);
    OffsetRect(&rel, p->client.left, p->client.top);
  }
  w::PlaceWindow(*win, rel);
  return old;
}

HWND GetWindow(HWND hWnd, UINT uCmd) {
  Desktop& d = Desktop::Get();
  Window* win = d.Checked(hWnd);
  if (win == nullptr) return nullptr;
  if (uCmd == GW_CHILD) return win->children.empty() ? nullptr : win->children.front();
  if (uCmd == GW_OWNER) return win->owner;
  auto& siblings = d.SiblingsOf(*win);
  auto it = std::find(siblings.begin(), siblings.end(), hWnd);
  switch (uCmd) {
    case GW_HWNDFIRST: return siblings.front();
    case GW_HWNDLAST: return siblings.back();
    case GW_HWNDNEXT: return it + 1 == siblings.end() ? nullptr : *(it + 1);
    case GW_HWNDPREV: return it == siblings.begin() ? nullptr : *(it - 1);
    default: w::SetError(ERROR_INVALID_PARAMETER); return nullptr;
  }
}

HWND GetAncestor(HWND hwnd, UINT gaFlags) {
  Desktop& d = Desktop::Get();
  Window* win = d.Checked(hwnd);
  if (win == nullptr) return nullptr;
  switch (gaFlags) {
    case GA_PARENT: return win->parent != nullptr ? win->parent : d.Root();
    case GA_ROOT: return w::TopLevelOf(hwnd);
    case GA_ROOTOWNER: {
      HWND h = w::TopLevelOf(hwnd);
      while (Window* o = d.Find(h)) {
        if (o->owner == nullptr) break;
        h = o->owner;
      }
      return h;
    }
    default: return nullptr;
  }
}

HWND GetDesktopWindow() { return Desktop::Get().Root(); }

BOOL EnumWindows(WNDENUMPROC lpEnumFunc, LPARAM lParam) {
  std::vector<HWND> tops = Desktop::Get().TopLevel();
  for (HWND h : tops)
    if (Desktop::Get().Find(h) != nullptr && !lpEnumFunc(h, lParam)) return FALSE;
  return TRUE;
}

namespace {
bool EnumDescendants(HWND parent, WNDENUMPROC fn, LPARAM lParam) {
  Window* p = Desktop::Get().Find(parent);
  if (p == nullptr) return true;
  std::vector<HWND> children = p->children;
  for (HWND c : children) {
    if (Desktop::Get().Find(c) == nullptr) continue;
    if (!fn(c, lParam)) return false;
    if (!EnumDescendants(c, fn, lParam)) return false;
  }
  return true;
}
}  // namespace

BOOL EnumChildWindows(HWND hWndParent, WNDENUMPROC lpEnumFunc, LPARAM lParam) {
  if (hWndParent == nullptr) return EnumWindows(lpEnumFunc, lParam);
  return EnumDescendants(hWndParent, lpEnumFunc, lParam) ? TRUE : FALSE;
}

HWND FindWindowA(LPCSTR lpClassName, LPCSTR lpWindowName) { return FindWindowExA(nullptr, nullptr, lpClassName, lpWindowName); }

HWND FindWindowExA(HWND hWndParent, HWND hWndChildAfter, LPCSTR lpszClass, LPCSTR lpszWindow) {
  Desktop& d = Desktop::Get();
  Window* parent = nullptr;
  if (hWndParent != nullptr && (parent = d.Checked(hWndParent)) == nullptr) return nullptr;
  std::vector<HWND> siblings = parent != nullptr ? parent->children : d.TopLevel();
  auto from = siblings.begin();
  if (hWndChildAfter != nullptr) {
    from = std::find(siblings.begin(), siblings.end(), hWndChildAfter);
    if (from == siblings.end()) return nullptr;
    ++from;
  }
  for (auto it = from; it != siblings.end(); ++it) {
    Window* win = d.Find(*it);
    if (win == nullptr) continue;
    if (lpszClass != nullptr && lstrcmpiA(win->cls->name.c_str(), lpszClass) != 0) continue;
    if (lpszWindow != nullptr && win->text != lpszWindow) continue;
    return *it;
  }
  return nullptr;
}

HWND GetDlgItem(HWND hDlg, int nIDDlgItem) {
  Desktop& d = Desktop::Get();
  Window* win = d.Checked(hDlg);
  if (win == nullptr) return nullptr;
  for (HWND c : win->children)
    if (static_cast<int>(d.Find(c)->id) == nIDDlgItem) return c;
  w::SetError(ERROR_CONTROL_ID_NOT_FOUND);
  return nullptr;
}

int GetDlgCtrlID(HWND hWnd) {
  Window* win = Desktop::Get().Checked(hWnd);
  return win != nullptr && win->parent != nullptr ? static_cast<int>(win->id) : 0;
}

DWORD GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId) {
  Window* win = Desktop::Get().Checked(hWnd);
  if (win == nullptr) return 0;
  if (lpdwProcessId != nullptr) *lpdwProcessId = win->processId;
  return win->threadId;
}

int GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount) {
  if (lpString == nullptr || nMaxCount <= 0) return 0;
  Window* win = Desktop::Get().Checked(hWnd);
  if (win == nullptr) {
    lpString[0] = 0;
    return 0;
  }
  // Another process's window gives its stored text without running its code.
  if (win->processId != w::CurrentProcessId()) {
    int n = std::min<int>(static_cast<int>(win->text.size()), nMaxCount - 1);
    std::memcpy(lpString, win->text.data(), n);
    lpString[n] = 0;
    return n;
  }
  return static_cast<int>(w::CallWindow(hWnd, WM_GETTEXT, nMaxCount, reinterpret_cast<LPARAM>(lpString)));
}

int GetWindowTextLengthA(HWND hWnd) {
  Window* win = Desktop::Get().Checked(hWnd);
  if (win == nullptr) return 0;
  if (win->processId != w::CurrentProcessId()) return static_cast<int>(win->text.size());
  return static_cast<int>(w::CallWindow(hWnd, WM_GETTEXTLENGTH, 0, 0));
}

BOOL SetWindowTextA(HWND hWnd, LPCSTR lpString) {
  if (Desktop::Get().Checked(hWnd) == nullptr) return FALSE;
  return w::CallWindow(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpString)) != 0 ? TRUE : FALSE;
}

BOOL GetWindowRect(HWND hWnd, LPRECT lpRect) {
  Desktop& d = Desktop::Get();
  Window* win = hWnd == d.Root() ? d.Find(hWnd) : d.Checked(hWnd);
  if (win == nullptr || lpRect == nullptr) return FALSE;
  *lpRect = win->rect;
  return TRUE;
}

BOOL GetClientRect(HWND hWnd, LPRECT lpRect) {
  Desktop& d = Desktop::Get();
  Window* win = hWnd == d.Root() ? d.Find(hWnd) : d.Checked(hWnd);
  if (win == nullptr || lpRect == nullptr) return FALSE;
  *lpRect = RECT{0, 0, win->client.right - win->client.left, win->client.bottom - win->client.top};
  return TRUE;
}

BOOL ScreenToClient(HWND hWnd, LPPOINT lpPoint) {
  Desktop& d = Desktop::Get();
  Window* win = hWnd == d.Root() ? d.Find(hWnd) : d.Checked(hWnd);
  if (win == nullptr || lpPoint == nullptr) return FALSE;
  *lpPoint = w::ToClient(*win, *lpPoint);
  return TRUE;
}

BOOL ClientToScreen(HWND hWnd, LPPOINT lpPoint) {
  Desktop& d = Desktop::Get();
  Window* win = hWnd == d.Root() ? d.Find(hWnd) : d.Checked(hWnd);
  if (win == nullptr || lpPoint == nullptr) return FALSE;
  *lpPoint = w::ToScreen(*win, *lpPoint);
  return TRUE;
}

int MapWindowPoints(HWND hWndFrom, HWND hWndTo, LPPOINT lpPoints, UINT cPoints) {
  Desktop& d = Desktop::Get();
  Window* from = d.Find(hWndFrom != nullptr ? hWndFrom : d.Root());
  Window* to = d.Find(hWndTo != nullptr ? hWndTo : d.Root());
  if (from == nullptr || to == nullptr) {
    w::SetError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  LONG dx = from->client.left - to->client.left, dy = from->client.top - to->client.top;
  for (UINT i = 0; i < cPoints; ++i) {
    lpPoints[i].x += dx;
    lpPoints[i].y += dy;
  }
  return static_cast<int>(MAKELONG(static_cast<WORD>(dx), static_cast<WORD>(dy)));
}

BOOL MoveWindow(HWND hWnd, int X, int Y, int nWidth, int nHeight, BOOL bRepaint) {
  return SetWindowPos(hWnd, nullptr, X, Y, nWidth, nHeight,
                      SWP_NOZORDER | SWP_NOACTIVATE | (bRepaint ? 0 : SWP_NOREDRAW));
}

BOOL SetWindowPos(HWND hWnd, HWND hWndInsertAfter, int X, int Y, int cx, int cy, UINT uFlags) {
  Desktop& d = Desktop::Get();
  Window* win = d.Checked(hWnd);
  if (win == nullptr) return FALSE;
  auto hold = d.Hold(hWnd);
  RECT rel = w::Relative(*win);
  WINDOWPOS wp{hWnd, hWndInsertAfter, X, Y, cx, cy, uFlags};
  if (uFlags & SWP_NOMOVE) wp.x = rel.left, wp.y = rel.top;
  if (uFlags & SWP_NOSIZE) wp.cx = rel.right - rel.left, wp.cy = rel.bottom - rel.top;
  bool visible = (win->style & WS_VISIBLE) != 0;
  if (visible) wp.flags &= ~SWP_SHOWWINDOW;
  if (!visible) wp.flags &= ~SWP_HIDEWINDOW;
  if (!(uFlags & SWP_NOSENDCHANGING)) w::CallWindow(hWnd, WM_WINDOWPOSCHANGING, 0, reinterpret_cast<LPARAM>(&wp));
  if ((win = d.Find(hWnd)) == nullptr) return FALSE;
  // What the handler left in the record is what happens.
  RECT now = w::Relative(*win);
  bool moved = !(wp.flags & SWP_NOMOVE) && (wp.x != now.left || wp.y != now.top);
  bool sized = !(wp.flags & SWP_NOSIZE) && (wp.cx != now.right - now.left || wp.cy != now.bottom - now.top);
  if (!moved) wp.flags |= SWP_NOMOVE;
  if (!sized) wp.flags |= SWP_NOSIZE;
  if (moved || sized) {
    RECT r{wp.x, wp.y, wp.x + (sized ? wp.cx : now.right - now.left), wp.y + (sized ? wp.cy : now.bottom - now.top)};
    if (!moved) OffsetRect(&r, now.left - wp.x, now.top - wp.y);
    if (win->parent != nullptr) {
      Window* p = d.Find(win->parent);
      OffsetRect(&r, p->client.left, p->client.top);
    }
    w::PlaceWindow(*win, r);
    if (!(win->style & WS_MINIMIZE)) win->normal = w::Relative(*win);
  }
  if (!(wp.flags & SWP_NOZORDER) && wp.hwndInsertAfter != HWND_NOTOPMOST && wp.hwndInsertAfter != HWND_TOPMOST) {
    auto& siblings = d.SiblingsOf(*win);
    siblings.erase(std::remove(siblings.begin(), siblings.end(), hWnd), siblings.end());
    if (wp.hwndInsertAfter == HWND_TOP) {
      siblings.insert(siblings.begin(), hWnd);
    } else if (wp.hwndInsertAfter == HWND_BOTTOM) {
      siblings.push_back(hWnd);
    } else {
      auto it = std::find(siblings.begin(), siblings.end(), wp.hwndInsertAfter);
      siblings.insert(it == siblings.end() ? siblings.begin() : it + 1, hWnd);
    }
  }
  if (wp.flags & SWP_SHOWWINDOW) {
    win->style |= WS_VISIBLE;
    if (!(wp.flags & SWP_NOREDRAW)) w::InvalidateTree(hWnd, true);
  } else if (wp.flags & SWP_HIDEWINDOW) {
    win->style &= ~WS_VISIBLE;
    w::LeaveWindow(hWnd, false);
  } else if ((moved || sized) && !(wp.flags & SWP_NOREDRAW) && w::Visible(hWnd)) {
    w::InvalidateTree(hWnd, true);
  }
  if ((win = d.Find(hWnd)) == nullptr) return TRUE;
  if (!(wp.flags & SWP_NOACTIVATE) && win->parent == nullptr && (win->style & WS_VISIBLE) &&
      !(wp.flags & SWP_HIDEWINDOW))
    w::Activate(hWnd);
  if (d.Find(hWnd) == nullptr) return TRUE;
  w::CallWindow(hWnd, WM_WINDOWPOSCHANGED, 0, reinterpret_cast<LPARAM>(&wp));
  return TRUE;
}

BOOL ShowWindow(HWND hWnd, int nCmdShow) {
  Desktop& d = Desktop::Get();
  Window* win = d.Checked(hWnd);
  if (win == nullptr) return FALSE;
  auto hold = d.Hold(hWnd);
  bool wasVisible = (win->style & WS_VISIBLE) != 0;
  bool minimized = (win->style & WS_MINIMIZE) != 0;
  UINT flags = SWP_NOZORDER;
  RECT to{};
  bool place = false;
  bool show = true;
  bool minimizing = false;
  switch (nCmdShow) {
    case SW_HIDE:
      if (!wasVisible) return FALSE;
      show = false;
      flags |= SWP_HIDEWINDOW | SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE;
      break;
    case SW_MINIMIZE:
    case SW_SHOWMINIMIZED:
    case SW_SHOWMINNOACTIVE:
      flags |= SWP_SHOWWINDOW | SWP_NOACTIVATE;
      if (!minimized) {
        flags |= w::Minimize(*win, &to);
        place = true;
        minimizing = true;
      } else {
        flags |= SWP_NOMOVE | SWP_NOSIZE;
      }
      break;
    case SW_RESTORE:
    case SW_SHOWNORMAL:
    case SW_SHOWDEFAULT:
    case SW_SHOWMAXIMIZED:  // accepted: the window shows at its normal place and size
      flags |= SWP_SHOWWINDOW;
      // Marked maximised or not, so IsZoomed tells which was asked for.
      if (nCmdShow == SW_SHOWMAXIMIZED) {
        win->style |= WS_MAXIMIZE;
      } else {
        win->style &= ~WS_MAXIMIZE;
      }
      if (minimized) {
        flags |= w::Restore(*win, &to);
        place = true;
      } else {
        flags |= SWP_NOMOVE | SWP_NOSIZE;
      }
      break;
    case SW_SHOWNOACTIVATE:
    case SW_SHOWNA:
      flags |= SWP_SHOWWINDOW | SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE;
      break;
    case SW_SHOW:
      flags |= SWP_SHOWWINDOW | SWP_NOMOVE | SWP_NOSIZE;
      break;
    default:
      w::SetError(ERROR_INVALID_PARAMETER);
      return FALSE;
  }
  if (win->parent != nullptr) flags |= SWP_NOACTIVATE;
  if (show != wasVisible) w::CallWindow(hWnd, WM_SHOWWINDOW, show ? TRUE : FALSE, 0);
  if (d.Find(hWnd) == nullptr) return wasVisible;
  SetWindowPos(hWnd, nullptr, to.left, to.top, to.right - to.left, to.bottom - to.top, flags);
  // A minimised window keeps no focus; SW_MINIMIZE hands the activation to the next top-level
  // window in the z-order that can take it, when there is one.
  if (place && minimizing && d.Find(hWnd) != nullptr && w::IsAncestor(hWnd, d.CurrentQueue().focus))
    w::MoveFocus(nullptr);
  if (nCmdShow == SW_MINIMIZE && minimizing && d.foreground == hWnd) {
    for (HWND next : d.TopLevel()) {
      Window* n = d.Find(next);
      if (next == hWnd || n == nullptr || !(n->style & WS_VISIBLE) || (n->style & (WS_DISABLED | WS_MINIMIZE)))
        continue;
      w::Activate(next);
      break;
    }
  }
  return wasVisible ? TRUE : FALSE;
}

BOOL IsWindowVisible(HWND hWnd) { return w::Visible(hWnd) ? TRUE : FALSE; }

BOOL IsIconic(HWND hWnd) {
  Window* win = Desktop::Get().Find(hWnd);
  return win != nullptr && (win->style & WS_MINIMIZE) ? TRUE : FALSE;
}

BOOL IsZoomed(HWND hWnd) {
  Window* win = Desktop::Get().Find(hWnd);
  return win != nullptr && (win->style & WS_MAXIMIZE) ? TRUE : FALSE;
}

BOOL EnableWindow(HWND hWnd, BOOL bEnable) {
  Desktop& d = Desktop::Get();
  Window* win = d.Checked(hWnd);
  if (win == nullptr) return FALSE;
  bool wasDisabled = (win->style & WS_DISABLED) != 0;
  if (bEnable && wasDisabled) {
    win->style &= ~WS_DISABLED;
    w::CallWindow(hWnd, WM_ENABLE, TRUE, 0);
  } else if (!bEnable && !wasDisabled) {
    w::CallWindow(hWnd, WM_CANCELMODE, 0, 0);
    if ((win = d.Find(hWnd)) == nullptr) return FALSE;
    win->style |= WS_DISABLED;
    w::LeaveWindow(hWnd, true);
    if (d.Find(hWnd) != nullptr) w::CallWindow(hWnd, WM_ENABLE, FALSE, 0);
  }
  return wasDisabled ? TRUE : FALSE;
}

BOOL IsWindowEnabled(HWND hWnd) { return w::Enabled(hWnd) ? TRUE : FALSE; }

BOOL BringWindowToTop(HWND hWnd) { return SetWindowPos(hWnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE); }

int GetSystemMetrics(int nIndex) {
  switch (nIndex) {
    case SM_CXSCREEN: return Desktop::kWidth;
    case SM_CYSCREEN: return Desktop::kHeight;
    case SM_CYCAPTION: return w::kCaption;
    case SM_CXBORDER:
    case SM_CYBORDER: return w::kBorder;
    case SM_CXDLGFRAME:
    case SM_CYDLGFRAME: return w::kDialogFrame;
    case SM_CXFRAME:
    case SM_CYFRAME: return w::kSizeFrame;
    case SM_CXEDGE:
    case SM_CYEDGE: return w::kEdge;
    case SM_CXMINIMIZED: return w::kMinimizedWidth;
    case SM_CYMINIMIZED: return w::kMinimizedHeight;
    case SM_CXDOUBLECLK:
    case SM_CYDOUBLECLK: return 4;
    default: return 0;
  }
}

LRESULT CallWindowProcA(WNDPROC lpPrevWndFunc, HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  return lpPrevWndFunc != nullptr ? lpPrevWndFunc(hWnd, Msg, wParam, lParam) : 0;
}

LRESULT DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  Desktop& d = Desktop::Get();
  Window* win = d.Find(hWnd);
  if (win == nullptr) return 0;
  switch (Msg) {
    case WM_NCCREATE: {
      auto* cs = reinterpret_cast<const CREATESTRUCTA*>(lParam);
      if (cs != nullptr && cs->lpszName != nullptr && !IS_INTRESOURCE(cs->lpszName)) win->text = cs->lpszName;
      return TRUE;
    }
    case WM_NCHITTEST: {
      POINT pt{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
      if (PtInRect(&win->client, pt)) return HTCLIENT;
      if (!PtInRect(&win->rect, pt)) return HTNOWHERE;
      RECT f = w::FrameOf(win->style, win->exStyle);
      if ((win->style & WS_CAPTION) == WS_CAPTION && pt.y < win->client.top && pt.y >= win->client.top - w::kCaption) {
        // The close box: a caption-high square at the caption's right end.
        if ((win->style & WS_SYSMENU) && pt.x >= win->client.right - w::kCaption) return HTCLOSE;
        return HTCAPTION;
      }
      if ((win->style & WS_THICKFRAME) && f.left > 0) {
        if (pt.x < win->rect.left + f.left) return HTLEFT;
        if (pt.x >= win->rect.right - f.right) return HTRIGHT;
        if (pt.y < win->rect.top + f.left) return HTTOP;
        if (pt.y >= win->rect.bottom - f.bottom) return HTBOTTOM;
      }
      return HTBORDER;
    }
    case WM_SETCURSOR: {
      // The parent may decide first; in the client area the class cursor, elsewhere the arrow.
      if (win->parent != nullptr && (win->style & WS_CHILD)) {
        if (w::CallWindow(win->parent, WM_SETCURSOR, wParam, lParam) != 0) return TRUE;
        if ((win = d.Find(hWnd)) == nullptr) return 0;
      }
      auto hit = static_cast<SHORT>(LOWORD(lParam));
      if (hit == HTCLIENT) {
        if (win->cls->cursor != nullptr) SetCursor(win->cls->cursor);
        return FALSE;
      }
      if (hit != HTERROR) SetCursor(LoadCursorA(nullptr, IDC_ARROW));
      return FALSE;
    }
    case WM_CLOSE:
      DestroyWindow(hWnd);
      return 0;
    case WM_NCLBUTTONDOWN:
      // A press on the close box closes the window (Windows waits for the release over it).
      if (wParam == static_cast<WPARAM>(HTCLOSE)) return w::CallWindow(hWnd, WM_SYSCOMMAND, SC_CLOSE, lParam);
      return 0;
    case WM_SYSCOMMAND:
      switch (wParam & 0xFFF0) {
        case SC_CLOSE: return w::CallWindow(hWnd, WM_CLOSE, 0, 0);
        case SC_MINIMIZE: ShowWindow(hWnd, SW_MINIMIZE); return 0;
        case SC_RESTORE: ShowWindow(hWnd, SW_RESTORE); return 0;
        case SC_MAXIMIZE: ShowWindow(hWnd, SW_SHOWMAXIMIZED); return 0;
        default: return 0;
      }
    case WM_SETTEXT:
      win->text = lParam != 0 ? reinterpret_cast<LPCSTR>(lParam) : "";
      // A caption shows the new text at once.
      if ((win->style & WS_CAPTION) == WS_CAPTION && w::Visible(hWnd)) {
        HDC dc = GetWindowDC(hWnd);
        w::DrawFrame(hWnd, dc);
        ReleaseDC(hWnd, dc);
      }
      return TRUE;
    case WM_GETTEXT: {
      auto* out = reinterpret_cast<LPSTR>(lParam);
      if (out == nullptr || wParam == 0) return 0;
      size_t n = std::min<size_t>(win->text.size(), wParam - 1);
      std::memcpy(out, win->text.data(), n);
      out[n] = 0;
      return static_cast<LRESULT>(n);
    }
    case WM_GETTEXTLENGTH:
      return static_cast<LRESULT>(win->text.size());
    case WM_PAINT: {
      PAINTSTRUCT ps;
      BeginPaint(hWnd, &ps);
      EndPaint(hWnd, &ps);
      return 0;
    }
    case WM_NCPAINT: {
      HDC dc = GetWindowDC(hWnd);
      w::DrawFrame(hWnd, dc);
      ReleaseDC(hWnd, dc);
      return 0;
    }
    case WM_ERASEBKGND: {
      if (win->cls->background == nullptr) return 0;
      RECT client{};
      GetClientRect(hWnd, &client);
      FillRect(reinterpret_cast<HDC>(wParam), &client, win->cls->background);
      return 1;
    }
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC: {
      // What a control or dialog paints with when its parent has no answer of its own.
      const bool field = Msg == WM_CTLCOLOREDIT || Msg == WM_CTLCOLORLISTBOX;
      const int back = field ? COLOR_WINDOW : Msg == WM_CTLCOLORSCROLLBAR ? COLOR_SCROLLBAR : COLOR_3DFACE;
      auto dc = reinterpret_cast<HDC>(wParam);
      SetBkColor(dc, GetSysColor(field ? COLOR_WINDOW : COLOR_3DFACE));
      SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(back));
    }
    case WM_WINDOWPOSCHANGED: {
      auto* wp = reinterpret_cast<const WINDOWPOS*>(lParam);
      RECT client{};
      GetClientRect(hWnd, &client);
      if (!(wp->flags & SWP_NOMOVE)) {
        RECT rel = w::Relative(*win);
        RECT f = w::FrameOf(win->style, win->exStyle);
        w::CallWindow(hWnd, WM_MOVE, 0, MAKELPARAM(rel.left + f.left, rel.top + f.top));
      }
      if (!(wp->flags & SWP_NOSIZE) && (win = d.Find(hWnd)) != nullptr)
        w::CallWindow(hWnd, WM_SIZE, (win->style & WS_MINIMIZE) ? SIZE_MINIMIZED : SIZE_RESTORED,
                      MAKELPARAM(client.right, client.bottom));
      return 0;
    }
    case WM_ACTIVATE:
      if (LOWORD(wParam) != WA_INACTIVE && !(win->style & WS_MINIMIZE)) SetFocus(hWnd);
      return 0;
    case WM_MOUSEACTIVATE:
      return 1;  // MA_ACTIVATE
    case WM_SETICON: {
      HICON old = wParam == 0 ? win->smallIcon : win->bigIcon;
      (wParam == 0 ? win->smallIcon : win->bigIcon) = reinterpret_cast<HICON>(lParam);
      return reinterpret_cast<LRESULT>(old);
    }
    case WM_GETICON:
      return reinterpret_cast<LRESULT>(wParam == 0 ? win->smallIcon : win->bigIcon);
    case WM_GETFONT:
    case WM_SETFONT:
      return 0;  // plain windows keep no font; controls and dialogs do
    default:
      return 0;
  }
}

BOOL SetRect(LPRECT lprc, int xLeft, int yTop, int xRight, int yBottom) {
  if (lprc == nullptr) return FALSE;
  *lprc = RECT{xLeft, yTop, xRight, yBottom};
  return TRUE;
}

BOOL SetRectEmpty(LPRECT lprc) { return SetRect(lprc, 0, 0, 0, 0); }

BOOL IsRectEmpty(const RECT* lprc) {
  return lprc == nullptr || lprc->left >= lprc->right || lprc->top >= lprc->bottom ? TRUE : FALSE;
}

BOOL PtInRect(const RECT* lprc, POINT pt) {
  return lprc != nullptr && pt.x >= lprc->left && pt.x < lprc->right && pt.y >= lprc->top && pt.y < lprc->bottom
             ? TRUE
             : FALSE;
}

BOOL OffsetRect(LPRECT lprc, int dx, int dy) {
  if (lprc == nullptr) return FALSE;
  lprc->left += dx;
  lprc->right += dx;
  lprc->top += dy;
  lprc->bottom += dy;
  return TRUE;
}

BOOL InflateRect(LPRECT lprc, int dx, int dy) {
  if (lprc == nullptr) return FALSE;
  lprc->left -= dx;
  lprc->right += dx;
  lprc->top -= dy;
  lprc->bottom += dy;
  return TRUE;
}

BOOL UnionRect(LPRECT lprcDst, const RECT* a, const RECT* b) {
  if (IsRectEmpty(a)) {
    *lprcDst = IsRectEmpty(b) ? RECT{} : *b;
  } else if (IsRectEmpty(b)) {
    *lprcDst = *a;
  } else {
    *lprcDst = RECT{std::min(a->left, b->left), std::min(a->top, b->top), std::max(a->right, b->right),
                    std::max(a->bottom, b->bottom)};
  }
  return IsRectEmpty(lprcDst) ? FALSE : TRUE;
}

BOOL IntersectRect(LPRECT lprcDst, const RECT* a, const RECT* b) {
  RECT r{std::max(a->left, b->left), std::max(a->top, b->top), std::min(a->right, b->right),
         std::min(a->bottom, b->bottom)};
  *lprcDst = IsRectEmpty(&r) ? RECT{} : r;
  return IsRectEmpty(lprcDst) ? FALSE : TRUE;
}

BOOL EqualRect(const RECT* a, const RECT* b) {
  return a->left == b->left && a->top == b->top && a->right == b->right && a->bottom == b->bottom ? TRUE : FALSE;
}
