#include <afxwin.h>

namespace {

// The object waiting for the thread's next window, and the hook that hands the window to it.
CWnd* g_pendingWnd = nullptr;
HHOOK g_createHook = nullptr;

LRESULT CALLBACK CbtFilterHook(int code, WPARAM wParam, LPARAM lParam) {
  const LRESULT next = ::CallNextHookEx(g_createHook, code, wParam, lParam);
  if (code != HCBT_CREATEWND || g_pendingWnd == nullptr) {
    return next;
  }
  CWnd* const wnd = g_pendingWnd;
  g_pendingWnd = nullptr;
  ::UnhookWindowsHookEx(g_createHook);
  g_createHook = nullptr;
  // Its first message, WM_NCCREATE, already comes through the object.
  wnd->SubclassWindow(reinterpret_cast<HWND>(wParam));
  return next;
}

}  // namespace

void AfxHookWindowCreate(CWnd* pWnd) {
  if (g_createHook == nullptr) {
    g_createHook = ::SetWindowsHookExA(WH_CBT, &CbtFilterHook, nullptr, ::GetCurrentThreadId());
  }
  g_pendingWnd = pWnd;
}

BOOL AfxUnhookWindowCreate() {
  const BOOL taken = g_pendingWnd == nullptr;
  g_pendingWnd = nullptr;
  if (g_createHook != nullptr) {
    ::UnhookWindowsHookEx(g_createHook);
    g_createHook = nullptr;
  }
  return taken;
}
