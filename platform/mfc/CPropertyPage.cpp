#include <afxdlgs.h>

CPropertyPage::CPropertyPage(UINT nIDTemplate, UINT nIDCaption, DWORD dwSize)
    : CDialog(nIDTemplate), m_nIDCaption(nIDCaption) {
  m_psp.dwSize = dwSize;
  m_psp.dwFlags = PSP_USECALLBACK;
  m_psp.pszTemplate = MAKEINTRESOURCEA(nIDTemplate);
  m_psp.pfnDlgProc = &CDialog::AfxDlgProc;
  m_psp.lParam = reinterpret_cast<LPARAM>(this);
  m_psp.pfnCallback = &AfxPropPageCallback;
}

UINT CALLBACK CPropertyPage::AfxPropPageCallback(HWND, UINT message, PROPSHEETPAGEA* pPropPage) {
  // The page's window is about to be made: its object takes it as it is created.
  if (message == PSPCB_CREATE) {
    AfxHookWindowCreate(reinterpret_cast<CPropertyPage*>(pPropPage->lParam));
  }
  return TRUE;
}

void CPropertyPage::PrepareRecord() {
  m_psp.hInstance = AfxGetResourceHandle();
  if (m_nIDCaption != 0 && m_strCaption.LoadString(m_nIDCaption)) {
    m_psp.pszTitle = m_strCaption;
    m_psp.dwFlags |= PSP_USETITLE;
  }
}

void CPropertyPage::SetModified(BOOL bChanged) {
  ::SendMessageA(::GetParent(m_hWnd), bChanged ? PSM_CHANGED : PSM_UNCHANGED, reinterpret_cast<WPARAM>(m_hWnd), 0);
}

void CPropertyPage::CancelToClose() { ::SendMessageA(::GetParent(m_hWnd), PSM_CANCELTOCLOSE, 0, 0); }

BOOL CPropertyPage::OnSetActive() {
  // The first time, OnInitDialog has just loaded the controls.
  if (m_bFirstSetActive) {
    m_bFirstSetActive = FALSE;
  } else {
    UpdateData(FALSE);
  }
  return TRUE;
}

BOOL CPropertyPage::OnKillActive() { return UpdateData(TRUE); }

BOOL CPropertyPage::OnApply() {
  OnOK();
  return TRUE;
}

void CPropertyPage::OnReset() { OnCancel(); }

BOOL CPropertyPage::OnQueryCancel() { return TRUE; }

// A page is not ended by its own OK or Cancel: the sheet is.
void CPropertyPage::OnOK() {}

void CPropertyPage::OnCancel() {}

BOOL CPropertyPage::OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
  if (CDialog::OnNotify(wParam, lParam, pResult)) {
    return TRUE;
  }
  const auto* header = reinterpret_cast<const NMHDR*>(lParam);
  if (header->hwndFrom != m_hWnd && header->hwndFrom != ::GetParent(m_hWnd)) {
    return FALSE;
  }
  switch (header->code) {
    case PSN_SETACTIVE:
      *pResult = OnSetActive() ? 0 : -1;
      return TRUE;
    case PSN_KILLACTIVE:
      *pResult = OnKillActive() ? FALSE : TRUE;
      return TRUE;
    case PSN_APPLY:
      *pResult = OnApply() ? PSNRET_NOERROR : PSNRET_INVALID_NOCHANGEPAGE;
      return TRUE;
    case PSN_RESET:
      OnReset();
      return TRUE;
    case PSN_QUERYCANCEL:
      *pResult = OnQueryCancel() ? FALSE : TRUE;
      return TRUE;
    default:
      return FALSE;
  }
}
