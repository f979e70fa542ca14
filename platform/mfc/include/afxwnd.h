// A window's C++ object. A window the program creates, subclasses or attaches has its object in
// the permanent map for its whole life; any other window gets one object of its own the first time
// it is asked for, kept until the window is gone, so a pointer kept across idle passes stays valid.
#pragma once

#include <afxcmdtarget.h>
#include <afxdc.h>
#include <afxstr.h>
#include <afxtypes.h>

// RunModalLoop's flags: no WM_ENTERIDLE to the parent, no WM_KICKIDLE, show the window at the
// first idle pass.
constexpr DWORD MLF_NOIDLEMSG = 0x0001;
constexpr DWORD MLF_NOKICKIDLE = 0x0002;
constexpr DWORD MLF_SHOWONIDLE = 0x0004;

class CWnd : public CCmdTarget {
 public:
  HWND m_hWnd = nullptr;

  CWnd() = default;
  ~CWnd() override;

  operator HWND() const { return m_hWnd; }  // NOLINT(google-explicit-constructor)
  HWND GetSafeHwnd() const { return m_hWnd; }

  // The window's object: the permanent one, or the stable one made for it; null for no window.
  static CWnd* FromHandle(HWND hWnd);
  static CWnd* FromHandlePermanent(HWND hWnd);
  // Forgets the objects of windows that are gone.
  static void DeleteTempMap();

  BOOL Attach(HWND hWndNew);
  HWND Detach();
  // Routes the window's messages through this object from now on; PreSubclassWindow first. FALSE
  // when the window already has a permanent object.
  BOOL SubclassWindow(HWND hWnd);
  BOOL SubclassDlgItem(UINT nID, CWnd* pParent);
  HWND UnsubclassWindow();

  virtual BOOL CreateEx(DWORD dwExStyle, LPCSTR lpszClassName, LPCSTR lpszWindowName, DWORD dwStyle, const RECT& rect,
                        CWnd* pParentWnd, UINT nID, LPVOID lpParam = nullptr);
  virtual BOOL Create(LPCSTR lpszClassName, LPCSTR lpszWindowName, DWORD dwStyle, const RECT& rect, CWnd* pParentWnd,
                      UINT nID);
  virtual BOOL DestroyWindow();

  CWnd* GetDlgItem(int nID) const;
  CWnd* GetParent() const;
  CWnd* GetTopLevelParent() const;
  int GetDlgCtrlID() const { return ::GetDlgCtrlID(m_hWnd); }
  BOOL ShowWindow(int nCmdShow) { return ::ShowWindow(m_hWnd, nCmdShow); }
  BOOL IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }
  BOOL IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
  BOOL EnableWindow(BOOL bEnable = TRUE) { return ::EnableWindow(m_hWnd, bEnable); }
  BOOL IsIconic() const { return ::IsIconic(m_hWnd); }
  void SetWindowText(LPCSTR lpszString) { ::SetWindowTextA(m_hWnd, lpszString); }
  void GetWindowText(CString& rString) const;
  int GetWindowTextLength() const { return ::GetWindowTextLengthA(m_hWnd); }
  BOOL SetForegroundWindow() { return ::SetForegroundWindow(m_hWnd); }
  static CWnd* GetForegroundWindow() { return FromHandle(::GetForegroundWindow()); }
  static CWnd* GetFocus() { return FromHandle(::GetFocus()); }
  CWnd* SetFocus() { return FromHandle(::SetFocus(m_hWnd)); }
  DWORD GetStyle() const { return static_cast<DWORD>(::GetWindowLongA(m_hWnd, GWL_STYLE)); }
  DWORD GetExStyle() const { return static_cast<DWORD>(::GetWindowLongA(m_hWnd, GWL_EXSTYLE)); }
  // Takes dwRemove off and puts dwAdd on; TRUE when the style changed. With nFlags, the frame is
  // recomputed through SetWindowPos.
  BOOL ModifyStyle(DWORD dwRemove, DWORD dwAdd, UINT nFlags = 0);
  void MoveWindow(int x, int y, int nWidth, int nHeight, BOOL bRepaint = TRUE) {
    ::MoveWindow(m_hWnd, x, y, nWidth, nHeight, bRepaint);
  }
  void MoveWindow(LPCRECT lpRect, BOOL bRepaint = TRUE) {
    MoveWindow(lpRect->left, lpRect->top, lpRect->right - lpRect->left, lpRect->bottom - lpRect->top, bRepaint);
  }
  BOOL SetWindowPos(const CWnd* pWndInsertAfter, int x, int y, int cx, int cy, UINT nFlags) {
    return ::SetWindowPos(m_hWnd, pWndInsertAfter != nullptr ? pWndInsertAfter->m_hWnd : nullptr, x, y, cx, cy, nFlags);
  }
  void GetWindowRect(LPRECT lpRect) const { ::GetWindowRect(m_hWnd, lpRect); }
  void GetClientRect(LPRECT lpRect) const { ::GetClientRect(m_hWnd, lpRect); }
  void ScreenToClient(LPPOINT lpPoint) const { ::ScreenToClient(m_hWnd, lpPoint); }
  void ScreenToClient(LPRECT lpRect) const;
  void ClientToScreen(LPPOINT lpPoint) const { ::ClientToScreen(m_hWnd, lpPoint); }
  void Invalidate(BOOL bErase = TRUE) { ::InvalidateRect(m_hWnd, nullptr, bErase); }
  void InvalidateRect(LPCRECT lpRect, BOOL bErase = TRUE) { ::InvalidateRect(m_hWnd, lpRect, bErase); }
  void UpdateWindow() { ::UpdateWindow(m_hWnd); }
  UINT_PTR SetTimer(UINT_PTR nIDEvent, UINT nElapse, TIMERPROC lpfnTimer) {
    return ::SetTimer(m_hWnd, nIDEvent, nElapse, lpfnTimer);
  }
  BOOL KillTimer(UINT_PTR nIDEvent) { return ::KillTimer(m_hWnd, nIDEvent); }
  // The window's DC as a temporary object; give it back with ReleaseDC.
  CDC* GetDC();
  int ReleaseDC(CDC* pDC);
  CFont* GetFont() const;
  void SetFont(CFont* pFont, BOOL bRedraw = TRUE);
  HICON SetIcon(HICON hIcon, BOOL bBigIcon) {
    return reinterpret_cast<HICON>(
        SendMessage(WM_SETICON, bBigIcon ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(hIcon)));
  }
  LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
    return ::SendMessageA(m_hWnd, message, wParam, lParam);
  }
  BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
    return ::PostMessageA(m_hWnd, message, wParam, lParam);
  }
  // Sends to each child, and with bDeep to their children too; with bOnlyPerm only to windows with
  // a permanent object, straight through that object.
  void SendMessageToDescendants(UINT message, WPARAM wParam = 0, LPARAM lParam = 0, BOOL bDeep = TRUE,
                                BOOL bOnlyPerm = FALSE) const;
  // A message box owned by this window; a null caption is the application's title.
  int MessageBox(LPCSTR lpszText, LPCSTR lpszCaption = nullptr, UINT nType = MB_OK);

  // Pumps the thread's messages through the dialog manager until EndModalLoop, sending
  // WM_KICKIDLE to this window each time the queue empties (again only while it answers nonzero);
  // answers the result EndModalLoop was given.
  int RunModalLoop(DWORD dwFlags = 0);
  virtual BOOL ContinueModal();
  virtual void EndModalLoop(int nResult);
  // Asks pTarget's update handler of each child control's id to set the control's state; with
  // bDisableIfNoHndler, a push button nobody answers for is disabled unless its command has a handler.
  void UpdateDialogControls(CCmdTarget* pTarget, BOOL bDisableIfNoHndler);

  // The message this object is handling, and the window's own handling of it.
  static const MSG* GetCurrentMessage();
  LRESULT Default();

  // Called on each window from a message's own up to its top-level window before the message is
  // dispatched; TRUE takes the message.
  virtual BOOL PreTranslateMessage(MSG* pMsg);
  // Called after the window is attached and before its messages come through this object.
  virtual void PreSubclassWindow();
  // The object's messages in: the map, then the window's own handling.
  virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
  virtual BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);
  virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
  // A control's notification, reflected back to it before its parent sees it.
  virtual BOOL OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);
  // After WM_NCDESTROY, once the object is detached.
  virtual void PostNcDestroy();

  // The window procedure of every window with an object.
  static LRESULT CALLBACK AfxWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

 protected:
  virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
  virtual BOOL OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* pResult);
  BOOL ReflectChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);
  // Default handlers a map can name.
  void OnTimer(UINT_PTR nIDEvent);
  void OnDestroy();
  void OnPaint();

  WNDPROC m_pfnSuper = nullptr;  // the procedure the window had before this object took it
  // The modal loop's state.
  static constexpr UINT WF_MODALLOOP = 0x0001;
  static constexpr UINT WF_CONTINUEMODAL = 0x0002;
  UINT m_nFlags = 0;
  int m_nModalResult = -1;

 private:
  static void WalkPreTranslateTree(HWND hWndStop, MSG* pMsg, BOOL* pHandled);
  friend class CWinThread;
};
