// Messages: posting, sending (across threads and processes), retrieval, translation and dispatch,
// registered messages, and what a message carries (time, position).
#include <cctype>

#include "platform/win32/Desktop.h"
#include "platform/win32/KernelBridge.h"
#include "platform/win32/MessageQueue.h"
#include "platform/win32/WindowManager.h"

namespace w = plat::win32;
using w::Desktop;

namespace {

MSG Make(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  return MSG{hwnd, msg, wParam, lParam, static_cast<DWORD>(w::NowMs()), Desktop::Get().cursor};
}

// The character a key gives on the US layout, or 0.
char CharOf(int vk, bool shift, bool control) {
  struct Key {
    int vk;
    char plain;
    char shifted;
  };
  static constexpr Key kKeys[] = {
      {'0', '0', ')'},          {'1', '1', '!'},         {'2', '2', '@'},         {'3', '3', '#'},
      {'4', '4', '$'},          {'5', '5', '%'},         {'6', '6', '^'},         {'7', '7', '&'},
      {'8', '8', '*'},          {'9', '9', '('},         {VK_SPACE, ' ', ' '},    {VK_OEM_1, ';', ':'},
      {VK_OEM_PLUS, '=', '+'},  {VK_OEM_COMMA, ',', '<'}, {VK_OEM_MINUS, '-', '_'}, {VK_OEM_PERIOD, '.', '>'},
      {VK_OEM_2, '/', '?'},     {VK_OEM_3, '`', '~'},    {VK_OEM_4, '[', '{'},    {VK_OEM_5, '\\', '|'},
      {VK_OEM_6, ']', '}'},     {VK_OEM_7, '\'', '"'},   {VK_MULTIPLY, '*', '*'}, {VK_ADD, '+', '+'},
      {VK_SUBTRACT, '-', '-'},  {VK_DECIMAL, '.', '.'},  {VK_DIVIDE, '/', '/'},   {VK_RETURN, '\r', '\r'},
      {VK_BACK, '\b', '\b'},    {VK_TAB, '\t', '\t'},    {VK_ESCAPE, 0x1B, 0x1B},
  };
  if (vk >= 'A' && vk <= 'Z') {
    if (control) return static_cast<char>(vk - 'A' + 1);
    return static_cast<char>(shift ? vk : std::tolower(vk));
  }
  if (vk >= VK_NUMPAD0 && vk <= VK_NUMPAD0 + 9) return static_cast<char>('0' + vk - VK_NUMPAD0);
  if (control) {
    if (vk == VK_OEM_4) return 0x1B;
    if (vk == VK_OEM_5) return 0x1C;
    if (vk == VK_OEM_6) return 0x1D;
    if (vk == VK_RETURN) return '\n';
    if (vk == VK_BACK) return 0x7F;
    return 0;
  }
  for (const Key& k : kKeys)
    if (k.vk == vk) return shift ? k.shifted : k.plain;
  return 0;
}

}  // namespace

BOOL PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  Desktop& d = Desktop::Get();
  if (hWnd == nullptr) return PostThreadMessageA(w::CurrentThreadId(), Msg, wParam, lParam);
  if (hWnd == HWND_BROADCAST) {
    for (HWND top : d.TopLevel())
      if (w::Window* win = d.Find(top))
        if (w::MessageQueue* q = d.FindQueue(win->threadId)) q->Post(Make(top, Msg, wParam, lParam));
    return TRUE;
  }
  w::Window* win = d.Checked(hWnd);
  if (win == nullptr) return FALSE;
  w::MessageQueue* q = d.FindQueue(win->threadId);
  if (q == nullptr) {
    w::SetError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  q->Post(Make(hWnd, Msg, wParam, lParam));
  return TRUE;
}

BOOL PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
  Desktop& d = Desktop::Get();
  w::MessageQueue* q = idThread == w::CurrentThreadId() ? &d.CurrentQueue() : d.FindQueue(idThread);
  if (q == nullptr) {
    w::SetError(ERROR_INVALID_THREAD_ID);
    return FALSE;
  }
  q->Post(Make(nullptr, Msg, wParam, lParam));
  return TRUE;
}

void PostQuitMessage(int nExitCode) { Desktop::Get().CurrentQueue().PostQuit(nExitCode); }

LRESULT SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  if (hWnd == HWND_BROADCAST) {
    std::vector<HWND> tops = Desktop::Get().TopLevel();
    for (HWND top : tops) w::CallWindow(top, Msg, wParam, lParam);
    return 0;
  }
  LRESULT result = 0;
  w::SendTo(hWnd, Msg, wParam, lParam, SMTO_NORMAL, -1, &result);
  return result;
}

LRESULT SendMessageTimeoutA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam, UINT fuFlags, UINT uTimeout,
                            PDWORD_PTR lpdwResult) {
  LRESULT result = 0;
  bool ok = w::SendTo(hWnd, Msg, wParam, lParam, fuFlags, uTimeout, &result);
  if (lpdwResult != nullptr) *lpdwResult = static_cast<DWORD_PTR>(result);
  return ok ? 1 : 0;
}

BOOL GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
  return Desktop::Get().CurrentQueue().Get(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax);
}

BOOL PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg) {
  return Desktop::Get().CurrentQueue().Peek(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, wRemoveMsg) ? TRUE : FALSE;
}

BOOL WaitMessage() {
  w::MessageQueue& q = Desktop::Get().CurrentQueue();
  MSG msg;
  if (!q.Peek(&msg, nullptr, 0, 0, PM_NOREMOVE)) q.WaitForMessage();
  return TRUE;
}

BOOL TranslateMessage(const MSG* lpMsg) {
  if (lpMsg == nullptr || (lpMsg->message != WM_KEYDOWN && lpMsg->message != WM_SYSKEYDOWN)) return FALSE;
  w::MessageQueue& q = Desktop::Get().CurrentQueue();
  bool shift = (q.keys[VK_SHIFT] & 0x80) != 0;
  bool control = (q.keys[VK_CONTROL] & 0x80) != 0;
  char c = CharOf(static_cast<int>(lpMsg->wParam), shift, control);
  if (c == 0) return FALSE;
  UINT message = lpMsg->message == WM_SYSKEYDOWN ? WM_SYSCHAR : WM_CHAR;
  q.Post(MSG{lpMsg->hwnd, message, static_cast<WPARAM>(static_cast<unsigned char>(c)), lpMsg->lParam, lpMsg->time,
             lpMsg->pt});
  return TRUE;
}

LRESULT DispatchMessageA(const MSG* lpMsg) {
  if (lpMsg == nullptr) return 0;
  if (lpMsg->message == WM_TIMER && lpMsg->lParam != 0) {
    reinterpret_cast<TIMERPROC>(lpMsg->lParam)(lpMsg->hwnd, WM_TIMER, lpMsg->wParam, static_cast<DWORD>(w::NowMs()));
    return 0;
  }
  if (lpMsg->hwnd == nullptr) return 0;
  Desktop& d = Desktop::Get();
  w::Window* win = d.Checked(lpMsg->hwnd);
  if (win == nullptr) return 0;
  if (win->threadId != w::CurrentThreadId()) {
    w::SetError(ERROR_WINDOW_OF_OTHER_THREAD);
    return 0;
  }
  auto hold = d.Hold(lpMsg->hwnd);
  return win->proc != nullptr ? win->proc(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam) : 0;
}

UINT RegisterWindowMessageA(LPCSTR lpString) {
  if (lpString == nullptr || *lpString == 0) {
    w::SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return Desktop::Get().AddAtom(lpString);
}

DWORD GetMessagePos() {
  const MSG& m = Desktop::Get().CurrentQueue().last;
  return static_cast<DWORD>(MAKELONG(static_cast<WORD>(m.pt.x), static_cast<WORD>(m.pt.y)));
}

LONG GetMessageTime() { return static_cast<LONG>(Desktop::Get().CurrentQueue().last.time); }

BOOL InSendMessage() { return Desktop::Get().CurrentQueue().InSend() ? TRUE : FALSE; }

SHORT GetKeyState(int nVirtKey) {
  uint8_t k = Desktop::Get().CurrentQueue().keys[nVirtKey & 0xFF];
  return static_cast<SHORT>(((k & 0x80) ? 0xFF80 : 0) | (k & 0x01));
}

SHORT GetAsyncKeyState(int vKey) {
  return (Desktop::Get().asyncKeys[vKey & 0xFF] & 0x80) ? static_cast<SHORT>(0x8000) : 0;
}

UINT_PTR SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc) {
  Desktop& d = Desktop::Get();
  if (hWnd != nullptr) {
    w::Window* win = d.Checked(hWnd);
    if (win == nullptr) return 0;
    if (win->threadId != w::CurrentThreadId()) {
      w::SetError(ERROR_ACCESS_DENIED);
      return 0;
    }
  }
  UINT_PTR id = d.CurrentQueue().SetTimer(hWnd, nIDEvent, uElapse, lpTimerFunc);
  return hWnd != nullptr && id == 0 ? 1 : id;
}

BOOL KillTimer(HWND hWnd, UINT_PTR uIDEvent) {
  if (!Desktop::Get().CurrentQueue().KillTimer(hWnd, uIDEvent)) {
    w::SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}
