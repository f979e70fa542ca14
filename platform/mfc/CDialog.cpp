#include <afxwin.h>

#include <cstring>

namespace {

constexpr UINT kMouseLast = 0x020E;
// The resource type of a template's initialisation data, and the old (16-bit) numbers of the list
// messages it is written with.
constexpr WORD kDlgInitType = 240;
constexpr WORD kWin16LbAddString = 0x0401;
constexpr WORD kWin16CbAddString = 0x0403;

}  // namespace

BEGIN_MESSAGE_MAP(CDialog, CWnd)
ON_COMMAND(IDOK, OnOK)
ON_COMMAND(IDCANCEL, OnCancel)
END_MESSAGE_MAP()

CDialog::CDialog() = default;

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd)
    : m_lpszTemplateName(MAKEINTRESOURCEA(nIDTemplate)), m_nIDHelp(nIDTemplate), m_pParentWnd(pParentWnd) {}

CDialog::CDialog(LPCSTR lpszTemplateName, CWnd* pParentWnd)
    : m_lpszTemplateName(lpszTemplateName), m_pParentWnd(pParentWnd) {}

INT_PTR CALLBACK CDialog::AfxDlgProc(HWND hWnd, UINT message, WPARAM, LPARAM) {
  if (message != WM_INITDIALOG) {
    return FALSE;
  }
  // Only the class library makes dialogs with this procedure, each taken over by its CDialog as
  // it was created.
  CWnd* const wnd = FromHandlePermanent(hWnd);
  return wnd != nullptr ? static_cast<CDialog*>(wnd)->OnInitDialog() : TRUE;
}

HWND CDialog::PreModal() {
  HWND parent = m_pParentWnd != nullptr ? m_pParentWnd->m_hWnd : nullptr;
  if (parent == nullptr && AfxGetApp() != nullptr && AfxGetApp()->m_pMainWnd != this &&
      AfxGetApp()->m_pMainWnd != nullptr) {
    parent = AfxGetApp()->m_pMainWnd->m_hWnd;
  }
  return parent != nullptr ? ::GetAncestor(parent, GA_ROOT) : nullptr;
}

INT_PTR CDialog::DoModal() {
  const HWND owner = PreModal();
  const BOOL enableOwner = owner != nullptr && ::IsWindowEnabled(owner);
  if (enableOwner) {
    ::EnableWindow(owner, FALSE);
  }
  m_nModalResult = -1;
  m_nFlags |= WF_CONTINUEMODAL;
  AfxHookWindowCreate(this);
  const HWND made = ::CreateDialogParamA(AfxGetResourceHandle(), m_lpszTemplateName, owner, &AfxDlgProc, 0);
  AfxUnhookWindowCreate();
  if (made != nullptr && (m_nFlags & WF_CONTINUEMODAL) != 0) {
    RunModalLoop(MLF_SHOWONIDLE | ((GetStyle() & DS_NOIDLEMSG) != 0 ? MLF_NOIDLEMSG : 0));
  }
  m_nFlags &= ~WF_CONTINUEMODAL;
  if (m_hWnd != nullptr) {
    SetWindowPos(nullptr, 0, 0, 0, 0, SWP_HIDEWINDOW | SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE | SWP_NOZORDER);
  }
  // The owner is back before the dialog goes, so the activation returns to it.
  if (enableOwner) {
    ::EnableWindow(owner, TRUE);
  }
  if (owner != nullptr && m_hWnd != nullptr && ::GetActiveWindow() == m_hWnd) {
    ::SetActiveWindow(owner);
  }
  DestroyWindow();
  return made != nullptr ? m_nModalResult : -1;
}

BOOL CDialog::Create(UINT nIDTemplate, CWnd* pParentWnd) { return Create(MAKEINTRESOURCEA(nIDTemplate), pParentWnd); }

BOOL CDialog::Create(LPCSTR lpszTemplateName, CWnd* pParentWnd) {
  m_lpszTemplateName = lpszTemplateName;
  if (IS_INTRESOURCE(lpszTemplateName) && m_nIDHelp == 0) {
    m_nIDHelp = static_cast<UINT>(reinterpret_cast<UINT_PTR>(lpszTemplateName));
  }
  m_pParentWnd = pParentWnd;
  AfxHookWindowCreate(this);
  const HWND made = ::CreateDialogParamA(AfxGetResourceHandle(), lpszTemplateName,
                                         pParentWnd != nullptr ? pParentWnd->m_hWnd : nullptr, &AfxDlgProc, 0);
  AfxUnhookWindowCreate();
  return made != nullptr;
}

void CDialog::EndDialog(int nResult) {
  if ((m_nFlags & (WF_MODALLOOP | WF_CONTINUEMODAL)) != 0) {
    EndModalLoop(nResult);
  }
  ::EndDialog(m_hWnd, nResult);
}

BOOL CDialog::OnInitDialog() {
  if (!ExecuteDlgInit(m_lpszTemplateName) || !UpdateData(FALSE)) {
    EndDialog(-1);
    return FALSE;
  }
  return TRUE;
}

void CDialog::OnOK() {
  if (!UpdateData(TRUE)) {
    return;
  }
  EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

void CDialog::DoDataExchange(CDataExchange*) {}

BOOL CDialog::ExecuteDlgInit(LPCSTR lpszResourceName) {
  // The dialog manager has given a template's combo lists already; only separate data is applied.
  if (lpszResourceName == nullptr) {
    return TRUE;
  }
  const HINSTANCE instance = AfxGetResourceHandle();
  const HRSRC found = ::FindResourceA(instance, lpszResourceName, MAKEINTRESOURCEA(kDlgInitType));
  if (found == nullptr) {
    return TRUE;
  }
  const auto* data = static_cast<const BYTE*>(::LockResource(::LoadResource(instance, found)));
  const DWORD size = ::SizeofResource(instance, found);
  if (data == nullptr) {
    return FALSE;
  }
  // Entries of control id, message and length (WORD, WORD, DWORD), then the text; id 0 ends them.
  for (DWORD at = 0; at + 2 <= size;) {
    WORD id = 0;
    std::memcpy(&id, data + at, sizeof id);
    if (id == 0 || at + 8 > size) {
      break;
    }
    WORD message = 0;
    DWORD length = 0;
    std::memcpy(&message, data + at + 2, sizeof message);
    std::memcpy(&length, data + at + 4, sizeof length);
    at += 8;
    if (length > size - at) {
      return FALSE;
    }
    const CString text(reinterpret_cast<LPCSTR>(data + at), static_cast<int>(::strnlen(reinterpret_cast<LPCSTR>(data + at), length)));
    const UINT sent = message == kWin16CbAddString ? CB_ADDSTRING : message == kWin16LbAddString ? LB_ADDSTRING : message;
    if (::SendDlgItemMessageA(m_hWnd, id, sent, 0, reinterpret_cast<LPARAM>(static_cast<LPCSTR>(text))) < 0 &&
        (sent == CB_ADDSTRING || sent == LB_ADDSTRING)) {
      return FALSE;
    }
    at += length;
  }
  return TRUE;
}

void CDialog::MapDialogRect(LPRECT lpRect) const { ::MapDialogRect(m_hWnd, lpRect); }

void CDialog::GotoDlgCtrl(CWnd* pWndCtrl) {
  if (pWndCtrl != nullptr) {
    SendMessage(WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(pWndCtrl->m_hWnd), TRUE);
  }
}

void CDialog::NextDlgCtrl() const { SendMessage(WM_NEXTDLGCTL, 0, 0); }

void CDialog::PrevDlgCtrl() const { SendMessage(WM_NEXTDLGCTL, 1, 0); }

BOOL CDialog::PreTranslateMessage(MSG* pMsg) {
  // A dialog nested in another (a page in its sheet) leaves the keyboard to the outer one.
  if ((GetStyle() & WS_CHILD) != 0) {
    return FALSE;
  }
  const bool input = (pMsg->message >= WM_KEYFIRST && pMsg->message <= WM_KEYLAST) ||
                     (pMsg->message >= WM_MOUSEFIRST && pMsg->message <= kMouseLast);
  return input && ::IsDialogMessageA(m_hWnd, pMsg);
}
