#include <afxwin.h>

namespace {

// Thrown by Fail: the pass is abandoned and UpdateData answers FALSE.
struct DataExchangeFailed {};

// The dialog whose data exchange is running, whose controls' notifications are not heard.
HWND g_lockoutNotifyWindow = nullptr;

// Sets a control's text only when it differs, so an unchanged edit hears nothing.
void SetTextIfChanged(HWND hWnd, LPCSTR text) {
  const int length = ::GetWindowTextLengthA(hWnd);
  CString now;
  ::GetWindowTextA(hWnd, now.GetBufferSetLength(length), length + 1);
  now.ReleaseBuffer();
  if (now != text) {
    ::SetWindowTextA(hWnd, text);
  }
}

}  // namespace

HWND CDataExchange::PrepareCtrl(int nIDC) {
  const HWND hWndCtrl = ::GetDlgItem(m_pDlgWnd->m_hWnd, nIDC);
  m_hWndLastControl = hWndCtrl;
  m_bEditLastControl = FALSE;
  return hWndCtrl;
}

HWND CDataExchange::PrepareEditCtrl(int nIDC) {
  const HWND hWndCtrl = PrepareCtrl(nIDC);
  m_bEditLastControl = TRUE;
  return hWndCtrl;
}

void CDataExchange::Fail() {
  if (m_bSaveAndValidate && m_hWndLastControl != nullptr) {
    ::SetFocus(m_hWndLastControl);
    if (m_bEditLastControl) {
      ::SendMessageA(m_hWndLastControl, EM_SETSEL, 0, -1);
    }
  }
  throw DataExchangeFailed{};
}

BOOL CDialog::UpdateData(BOOL bSaveAndValidate) {
  CDataExchange dx(this, bSaveAndValidate);
  const HWND outer = g_lockoutNotifyWindow;
  g_lockoutNotifyWindow = m_hWnd;
  BOOL ok = TRUE;
  try {
    DoDataExchange(&dx);
  } catch (const DataExchangeFailed&) {
    ok = FALSE;
  }
  g_lockoutNotifyWindow = outer;
  return ok;
}

BOOL CDialog::OnCommand(WPARAM wParam, LPARAM lParam) {
  if (lParam != 0 && g_lockoutNotifyWindow == m_hWnd) {
    return TRUE;
  }
  return CWnd::OnCommand(wParam, lParam);
}

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl) {
  if (rControl.m_hWnd != nullptr) {
    return;
  }
  const HWND hWndCtrl = pDX->PrepareCtrl(nIDC);
  if (hWndCtrl == nullptr || !rControl.SubclassWindow(hWndCtrl)) {
    pDX->Fail();
  }
}

void DDX_Text(CDataExchange* pDX, int nIDC, CString& value) {
  const HWND hWndCtrl = pDX->PrepareEditCtrl(nIDC);
  if (pDX->m_bSaveAndValidate) {
    const int length = ::GetWindowTextLengthA(hWndCtrl);
    ::GetWindowTextA(hWndCtrl, value.GetBufferSetLength(length), length + 1);
    value.ReleaseBuffer();
  } else {
    SetTextIfChanged(hWndCtrl, value);
  }
}

void DDX_CBIndex(CDataExchange* pDX, int nIDC, int& index) {
  const HWND hWndCtrl = pDX->PrepareCtrl(nIDC);
  if (pDX->m_bSaveAndValidate) {
    index = static_cast<int>(::SendMessageA(hWndCtrl, CB_GETCURSEL, 0, 0));
  } else {
    ::SendMessageA(hWndCtrl, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
  }
}

void DDX_Check(CDataExchange* pDX, int nIDC, int& value) {
  const HWND hWndCtrl = pDX->PrepareCtrl(nIDC);
  if (pDX->m_bSaveAndValidate) {
    value = static_cast<int>(::SendMessageA(hWndCtrl, BM_GETCHECK, 0, 0));
  } else {
    // A member holding no check state shows as cleared.
    if (value < 0 || value > 2) {
      value = 0;
    }
    ::SendMessageA(hWndCtrl, BM_SETCHECK, static_cast<WPARAM>(value), 0);
  }
}

void DDV_MaxChars(CDataExchange* pDX, const CString& value, int nChars) {
  if (pDX->m_bSaveAndValidate) {
    if (value.GetLength() > nChars) {
      CString prompt;
      prompt.Format("Please enter no more than %d characters.", nChars);
      AfxMessageBox(prompt, MB_ICONEXCLAMATION);
      pDX->Fail();
    }
  } else if (pDX->m_hWndLastControl != nullptr && pDX->m_bEditLastControl) {
    ::SendMessageA(pDX->m_hWndLastControl, EM_LIMITTEXT, static_cast<WPARAM>(nChars), 0);
  }
}
