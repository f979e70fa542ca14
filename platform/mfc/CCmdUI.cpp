#include <afxwin.h>

void CCmdUI::Enable(BOOL bOn) {
  if (m_pOther != nullptr) {
    if (!bOn && ::GetFocus() == m_pOther->m_hWnd) {
      ::SendMessageA(::GetParent(m_pOther->m_hWnd), WM_NEXTDLGCTL, 0, FALSE);
    }
    m_pOther->EnableWindow(bOn);
  }
  m_bEnableChanged = TRUE;
}

void CCmdUI::SetCheck(int nCheck) {
  if (m_pOther != nullptr && (m_pOther->SendMessage(WM_GETDLGCODE) & DLGC_BUTTON) != 0) {
    m_pOther->SendMessage(BM_SETCHECK, static_cast<WPARAM>(nCheck));
  }
}

void CCmdUI::SetText(LPCSTR lpszText) {
  if (m_pOther == nullptr) {
    return;
  }
  CString now;
  m_pOther->GetWindowText(now);
  if (now != lpszText) {
    m_pOther->SetWindowText(lpszText);
  }
}

void CCmdUI::DoUpdate(CCmdTarget* pTarget, BOOL bDisableIfNoHndler) {
  m_bEnableChanged = FALSE;
  const BOOL handled = pTarget->OnCmdMsg(m_nID, CN_UPDATE_COMMAND_UI, this, nullptr);
  if (!handled && bDisableIfNoHndler && !m_bEnableChanged) {
    AFX_CMDHANDLERINFO info{nullptr};
    Enable(pTarget->OnCmdMsg(m_nID, CN_COMMAND, this, &info));
  }
}

void CWnd::UpdateDialogControls(CCmdTarget* pTarget, BOOL bDisableIfNoHndler) {
  CCmdUI state;
  for (HWND child = ::GetWindow(m_hWnd, GW_CHILD); child != nullptr; child = ::GetWindow(child, GW_HWNDNEXT)) {
    state.m_nID = static_cast<UINT>(::GetDlgCtrlID(child));
    state.m_pOther = FromHandle(child);
    // Only push buttons are disabled for want of a handler; check boxes and radio buttons that
    // set themselves, and group boxes, stay as they are.
    BOOL disable = bDisableIfNoHndler;
    if (disable) {
      if ((::SendMessageA(child, WM_GETDLGCODE, 0, 0) & DLGC_BUTTON) == 0) {
        disable = FALSE;
      } else {
        const DWORD kind = static_cast<DWORD>(::GetWindowLongA(child, GWL_STYLE)) & 0x0F;
        if (kind == BS_AUTOCHECKBOX || kind == BS_AUTO3STATE || kind == BS_GROUPBOX || kind == BS_AUTORADIOBUTTON) {
          disable = FALSE;
        }
      }
    }
    state.DoUpdate(pTarget, disable);
  }
}
