// Activation, keyboard focus, mouse capture and hit testing, the cursor, and the end of a
// user-interface thread or process.
#include <algorithm>

#include "platform/win32/Desktop.h"
#include "platform/win32/DeviceBroker.h"
#include "platform/win32/GdiSeam.h"
#include "platform/win32/ImageObjects.h"
#include "platform/win32/KernelBridge.h"
#include "platform/win32/MessageQueue.h"
#include "platform/win32/Shell.h"
#include "platform/win32/WindowManager.h"

namespace w = plat::win32;
using w::Desktop;

namespace plat::win32 {
namespace {

bool Contains(const RECT& r, POINT pt) { return PtInRect(&r, pt) != FALSE; }

// Among `siblings` (top first), the window that takes the mouse at `pt`.
HWND HitAmong(const std::vector<HWND>& siblings, POINT pt, bool topLevel, LRESULT* hit) {
  Desktop& d = Desktop::Get();
  for (HWND h : std::vector<HWND>(siblings)) {
    Window* w = d.Find(h);
    if (w == nullptr || !(w->style & WS_VISIBLE) || !Contains(w->rect, pt)) continue;
    if (w->style & WS_DISABLED) {
      // A disabled child passes the mouse to what lies beneath; a disabled top-level window takes it
      // and does nothing.
      if (!topLevel) continue;
      *hit = HTERROR;
      return h;
    }
    if (Contains(w->client, pt) && !(w->style & WS_MINIMIZE))
      if (HWND child = HitAmong(w->children, pt, false, hit)) return child;
    LRESULT code = CallWindow(h, WM_NCHITTEST, 0, MAKELPARAM(static_cast<WORD>(pt.x), static_cast<WORD>(pt.y)));
    if (code == HTTRANSPARENT) continue;
    *hit = code;
    return h;
  }
  return nullptr;
}

HWND GeometryAmong(const std::vector<HWND>& siblings, POINT pt) {
  Desktop& d = Desktop::Get();
  for (HWND h : siblings) {
    Window* w = d.Find(h);
    if (w == nullptr || !(w->style & WS_VISIBLE) || !Contains(w->rect, pt)) continue;
    if (Contains(w->client, pt))
      if (HWND child = GeometryAmong(w->children, pt)) return child;
    return h;
  }
  return nullptr;
}

void DestroyQuietly(HWND hwnd) {
  Desktop& d = Desktop::Get();
  Window* w = d.Find(hwnd);
  if (w == nullptr) return;
  std::vector<HWND> children = w->children;
  for (HWND c : children) DestroyQuietly(c);
  if (d.foreground == hwnd) d.foreground = nullptr;
  d.Remove(hwnd);
}

}  // namespace

HWND HitTest(POINT pt, LRESULT* hit) {
  *hit = HTNOWHERE;
  return HitAmong(Desktop::Get().TopLevel(), pt, true, hit);
}

HWND WindowAt(POINT pt) { return GeometryAmong(Desktop::Get().TopLevel(), pt); }

void Activate(HWND hwnd) {
  Desktop& d = Desktop::Get();
  hwnd = TopLevelOf(hwnd);
  Window* w = d.Find(hwnd);
  if (w == nullptr || d.foreground == hwnd) return;
  HWND old = d.foreground;
  d.foreground = hwnd;
  if (MessageQueue* q = d.FindQueue(w->threadId)) q->active = hwnd;
  if (Window* o = d.Find(old)) {
    if (MessageQueue* q = d.FindQueue(o->threadId); q != nullptr && o->threadId != w->threadId) q->active = nullptr;
    CallWindow(old, WM_ACTIVATE, MAKEWPARAM(WA_INACTIVE, 0), reinterpret_cast<LPARAM>(hwnd));
  }
  if ((w = d.Find(hwnd)) == nullptr) return;
  CallWindow(hwnd, WM_ACTIVATE, MAKEWPARAM(WA_ACTIVE, (w->style & WS_MINIMIZE) ? 1 : 0), reinterpret_cast<LPARAM>(old));
}

HWND MoveFocus(HWND hwnd) {
  Desktop& d = Desktop::Get();
  MessageQueue& q = d.CurrentQueue();
  HWND old = q.focus;
  if (old == hwnd) return old;
  q.focus = hwnd;
  if (old != nullptr && d.Find(old) != nullptr) CallWindow(old, WM_KILLFOCUS, reinterpret_cast<WPARAM>(hwnd), 0);
  if (hwnd != nullptr && d.Find(hwnd) != nullptr && q.focus == hwnd)
    CallWindow(hwnd, WM_SETFOCUS, reinterpret_cast<WPARAM>(old), 0);
  return old;
}

void LeaveWindow(HWND hwnd, bool disabling) {
  Desktop& d = Desktop::Get();
  Window* w = d.Find(hwnd);
  if (w == nullptr) return;
  MessageQueue* q = d.FindQueue(w->threadId);
  if (q == nullptr) return;
  if (q->capture != nullptr && IsAncestor(hwnd, q->capture)) q->capture = nullptr;
  // A hidden top-level window is deactivated first, while its focus still stands, so that a dialog
  // keeps the control it will give the focus back to.
  HWND heir = nullptr;
  if (!disabling && w->parent == nullptr && d.foreground == hwnd) {
    if (w->threadId == CurrentThreadId()) heir = w->owner;
    d.foreground = nullptr;
    q->active = nullptr;
    CallWindow(hwnd, WM_ACTIVATE, MAKEWPARAM(WA_INACTIVE, 0), 0);
    if ((w = d.Find(hwnd)) == nullptr) return;
  }
  if (q->focus != nullptr && IsAncestor(hwnd, q->focus)) {
    // Disabling takes the focus away; hiding hands it to the parent of a child window.
    HWND to = disabling || w->parent == nullptr ? nullptr : w->parent;
    if (w->threadId == CurrentThreadId()) {
      MoveFocus(to);
    } else {
      q->focus = to;
    }
  }
  // The activation passes to the owner when it can take it, as when a modal box closes.
  if (heir != nullptr && Visible(heir) && IsWindowEnabled(heir)) Activate(heir);
}

void UserEnded(uint32_t processId, uint32_t threadId) {
  ClipboardEnded(processId, threadId);
  Desktop& d = Desktop::Get();
  std::vector<uint32_t> threads;
  for (uint32_t t : d.QueueThreads()) {
    MessageQueue* q = d.FindQueue(t);
    if (q->ProcessId() == processId && (threadId == 0 || t == threadId)) threads.push_back(t);
  }
  for (HWND h : d.All()) {
    Window* w = d.Find(h);
    if (w == nullptr || w->processId != processId || (threadId != 0 && w->threadId != threadId)) continue;
    if (w->parent != nullptr && d.Find(w->parent) != nullptr && d.Find(w->parent)->processId == processId) continue;
    DestroyQuietly(h);
  }
  for (uint32_t t : threads) {
    d.FindQueue(t)->ReleaseAll();
    d.DropQueue(t);
  }
  if (threadId == 0) {
    d.DropClassesOf(processId);
    d.Broker().DropProcess(processId);
    DropProcessObjects(processId);
    DropImageObjectsOf(processId);
  }
}

}  // namespace plat::win32

BOOL SetForegroundWindow(HWND hWnd) {
  if (Desktop::Get().Checked(hWnd) == nullptr) return FALSE;
  w::Activate(hWnd);
  return TRUE;
}

HWND GetForegroundWindow() { return Desktop::Get().foreground; }

HWND SetActiveWindow(HWND hWnd) {
  Desktop& d = Desktop::Get();
  HWND old = d.CurrentQueue().active;
  if (hWnd != nullptr && d.Checked(hWnd) == nullptr) return nullptr;
  w::Activate(hWnd);
  return old;
}

HWND GetActiveWindow() { return Desktop::Get().CurrentQueue().active; }

HWND SetFocus(HWND hWnd) {
  Desktop& d = Desktop::Get();
  if (hWnd == nullptr) return w::MoveFocus(nullptr);
  w::Window* win = d.Checked(hWnd);
  if (win == nullptr) return nullptr;
  if (win->threadId != w::CurrentThreadId() || (win->style & (WS_DISABLED | WS_MINIMIZE))) return nullptr;
  for (w::Window* a = win; a != nullptr; a = a->parent ? d.Find(a->parent) : nullptr)
    if (a->style & WS_DISABLED) return nullptr;
  HWND top = w::TopLevelOf(hWnd);
  if (d.CurrentQueue().active != top) w::Activate(top);
  if (d.Find(hWnd) == nullptr) return nullptr;
  return w::MoveFocus(hWnd);
}

HWND GetFocus() { return Desktop::Get().CurrentQueue().focus; }

HWND SetCapture(HWND hWnd) {
  Desktop& d = Desktop::Get();
  w::MessageQueue& q = d.CurrentQueue();
  HWND old = q.capture;
  q.capture = hWnd;
  if (old != nullptr && old != hWnd && d.Find(old) != nullptr)
    w::CallWindow(old, WM_CAPTURECHANGED, 0, reinterpret_cast<LPARAM>(hWnd));
  return old;
}

HWND GetCapture() { return Desktop::Get().CurrentQueue().capture; }

BOOL ReleaseCapture() {
  Desktop& d = Desktop::Get();
  w::MessageQueue& q = d.CurrentQueue();
  HWND old = q.capture;
  q.capture = nullptr;
  if (old != nullptr && d.Find(old) != nullptr) w::CallWindow(old, WM_CAPTURECHANGED, 0, 0);
  return TRUE;
}

BOOL AttachThreadInput(DWORD, DWORD, BOOL) { return TRUE; }

HWND WindowFromPoint(POINT Point) { return w::WindowAt(Point); }

HWND ChildWindowFromPoint(HWND hWndParent, POINT Point) {
  Desktop& d = Desktop::Get();
  w::Window* p = d.Checked(hWndParent);
  if (p == nullptr) return nullptr;
  POINT screen = w::ToScreen(*p, Point);
  if (!PtInRect(&p->rect, screen)) return nullptr;
  for (HWND c : p->children)
    if (PtInRect(&d.Find(c)->rect, screen)) return c;
  return hWndParent;
}

BOOL GetCursorPos(LPPOINT lpPoint) {
  if (lpPoint == nullptr) return FALSE;
  *lpPoint = Desktop::Get().cursor;
  return TRUE;
}

BOOL SetCursorPos(int X, int Y) {
  Desktop::Get().cursor = POINT{std::clamp(X, 0, static_cast<int>(Desktop::kWidth) - 1),
                                std::clamp(Y, 0, static_cast<int>(Desktop::kHeight) - 1)};
  return TRUE;
}

HCURSOR SetCursor(HCURSOR hCursor) {
  HCURSOR old = Desktop::Get().cursorShape;
  Desktop::Get().cursorShape = hCursor;
  return old;
}

HCURSOR GetCursor() { return Desktop::Get().cursorShape; }

// A copy is a new object of the caller's, which DestroyIcon takes without touching the original.
HICON CopyIcon(HICON hIcon) {
  w::ImageObject* original = w::ImageObjectOf(hIcon);
  if (original == nullptr || original->kind == w::ImageKind::Bitmap) {
    w::SetError(ERROR_INVALID_CURSOR_HANDLE);
    return nullptr;
  }
  w::ImageObject copy = *original;
  copy.owner = w::CurrentProcessId();
  copy.shared = false;
  return static_cast<HICON>(w::AddImageObject(std::move(copy)));
}

UINT GetDoubleClickTime() { return 500; }

BOOL MessageBeep(UINT uType) {
  w::RecordMessageBeep(w::CurrentProcessId(), uType);
  return TRUE;
}
