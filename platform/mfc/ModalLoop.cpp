#include <afxpriv.h>
#include <afxwin.h>

namespace {

// One message from the queue through the thread's pre-translation (the dialog manager among it);
// FALSE on WM_QUIT, whose code is left in *pQuitCode.
BOOL PumpOne(MSG* pMsg, int* pQuitCode) {
  CWinApp* app = AfxGetApp();
  if (app != nullptr) {
    const BOOL more = app->PumpMessage();
    *pMsg = *app->GetCurrentMessage();
    *pQuitCode = static_cast<int>(pMsg->wParam);
    return more;
  }
  if (!::GetMessageA(pMsg, nullptr, 0, 0)) {
    *pQuitCode = static_cast<int>(pMsg->wParam);
    return FALSE;
  }
  ::TranslateMessage(pMsg);
  ::DispatchMessageA(pMsg);
  return TRUE;
}

// Whether a message ends the idle state: a mouse move that did not move, a paint and the caret's
// blink leave it idle.
BOOL IsIdleMessage(const MSG& msg) {
  constexpr UINT kSysTimer = 0x0118;
  static POINT lastPoint{-1, -1};
  static UINT lastMessage = 0;
  if (msg.message == WM_MOUSEMOVE || msg.message == WM_NCMOUSEMOVE) {
    const bool same = msg.message == lastMessage && msg.pt.x == lastPoint.x && msg.pt.y == lastPoint.y;
    lastPoint = msg.pt;
    lastMessage = msg.message;
    return same ? FALSE : TRUE;
  }
  return msg.message != WM_PAINT && msg.message != kSysTimer;
}

}  // namespace

int CWnd::RunModalLoop(DWORD dwFlags) {
  BOOL idle = TRUE;
  LONG idleCount = 0;
  BOOL showIdle = (dwFlags & MLF_SHOWONIDLE) != 0 && (GetStyle() & WS_VISIBLE) == 0;
  const HWND hWndParent = ::GetParent(m_hWnd);
  m_nFlags |= WF_MODALLOOP | WF_CONTINUEMODAL;
  for (;;) {
    MSG peek;
    while (idle && !::PeekMessageA(&peek, nullptr, 0, 0, PM_NOREMOVE)) {
      if (showIdle) {
        ShowWindow(SW_SHOWNORMAL);
        UpdateWindow();
        showIdle = FALSE;
      }
      if (idleCount == 0) {
        CWnd::DeleteTempMap();
        if ((dwFlags & MLF_NOIDLEMSG) == 0 && hWndParent != nullptr) {
          ::SendMessageA(hWndParent, WM_ENTERIDLE, MSGF_DIALOGBOX, reinterpret_cast<LPARAM>(m_hWnd));
        }
      }
      if ((dwFlags & MLF_NOKICKIDLE) != 0 || SendMessage(WM_KICKIDLE, MSGF_DIALOGBOX, idleCount++) == 0) {
        idle = FALSE;
      }
    }
    do {
      MSG msg;
      int quitCode = 0;
      if (!PumpOne(&msg, &quitCode)) {
        // WM_QUIT ends the loop and goes on to the loop outside it.
        m_nFlags &= ~(WF_MODALLOOP | WF_CONTINUEMODAL);
        ::PostQuitMessage(quitCode);
        return -1;
      }
      if (showIdle && (msg.message == WM_SYSKEYDOWN || msg.message == 0x0118)) {
        ShowWindow(SW_SHOWNORMAL);
        UpdateWindow();
        showIdle = FALSE;
      }
      if (!::IsWindow(m_hWnd) || !ContinueModal()) {
        m_nFlags &= ~(WF_MODALLOOP | WF_CONTINUEMODAL);
        return m_nModalResult;
      }
      if (IsIdleMessage(msg)) {
        idle = TRUE;
        idleCount = 0;
      }
    } while (::PeekMessageA(&peek, nullptr, 0, 0, PM_NOREMOVE));
  }
}

BOOL CWnd::ContinueModal() { return (m_nFlags & WF_CONTINUEMODAL) != 0; }

void CWnd::EndModalLoop(int nResult) {
  m_nModalResult = nResult;
  if ((m_nFlags & WF_CONTINUEMODAL) != 0) {
    m_nFlags &= ~WF_CONTINUEMODAL;
    // Wakes the loop should it be waiting.
    PostMessage(WM_NULL);
  }
}
