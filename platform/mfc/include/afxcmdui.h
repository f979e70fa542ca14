// A command's user-interface state: an update handler (ON_UPDATE_COMMAND_UI) is handed one for
// its id and sets the control's state through it.
#pragma once

#include <afxwnd.h>

class CCmdUI {
 public:
  UINT m_nID = 0;
  UINT m_nIndex = 0;
  CWnd* m_pOther = nullptr;  // the control being updated
  BOOL m_bEnableChanged = FALSE;

  CCmdUI() = default;
  virtual ~CCmdUI() = default;
  CCmdUI(const CCmdUI&) = delete;
  CCmdUI& operator=(const CCmdUI&) = delete;

  // Disabling the control with the focus moves the focus on to the next one first.
  virtual void Enable(BOOL bOn = TRUE);
  // 0 clear, 1 checked, 2 indeterminate: for a button control only.
  virtual void SetCheck(int nCheck = 1);
  virtual void SetText(LPCSTR lpszText);

  // Asks pTarget's handler; with bDisableIfNoHndler, no update handler leaves the control enabled
  // only when its command has a handler.
  void DoUpdate(CCmdTarget* pTarget, BOOL bDisableIfNoHndler);
};
